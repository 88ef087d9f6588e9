#pragma once

#include "xmapi.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <string>
#include <vector>

class QWidget;

// The profile logon dialog of the .pst/.ost back-end: a file dialog that picks one or more Outlook data
// files. An empty list means the user cancelled.
QStringList exPickOutlookDataFiles(QWidget* parent);

// Asks for the password of a protected Outlook data file, naming the file; from the second attempt on it
// says that the previous password was wrong. False when the user cancels.
bool exAskStorePassword(const QString& file, int attempt, QString& password);

// The text of the message about files that cannot be used: each file with the reason and what to do.
QString exStoreProblemText(const std::vector<xmapi::StoreProblem>& problems, bool anyUsable);

// After the scan: when no store could be opened (every file of the profile was skipped: not readable,
// or its password prompt declined), says so in one message and returns false, so that the program ends
// instead of showing an empty window (window, when given, is hidden first). True when at least one store
// was opened.
struct ExFOLDER;
bool exAnyStoreOpened(const QList<ExFOLDER*>& stores, QWidget* window);

// Registers the dialogs above with the store access: the file dialog as its profile dialog (used when
// neither KELVOR_PST nor KELVOR_STORE is set), the password dialog, and a warning box for unusable files.
void exRegisterProfileDialog();
