#pragma once

#include <QStringList>

class QWidget;

// The profile logon dialog of the .pst/.ost back-end: a file dialog that picks one or more Outlook data
// files. An empty list means the user cancelled.
QStringList exPickOutlookDataFiles(QWidget* parent);

// Registers exPickOutlookDataFiles as the store access's profile dialog (used when neither KELVOR_PST nor
// KELVOR_STORE is set).
void exRegisterProfileDialog();
