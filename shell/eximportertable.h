#pragma once

// The per-program table of an item importer: everything that differs between the contacts, task and
// appointment importers. A program fills one table and hands it to exRunImporter() (exprogram.h).

#include "exrun.h"

#include <QRect>
#include <QString>

#include <functional>

// The look of the progress dialog (ExImporter). The defaults are the item importers'; the e-mail
// importer has its own form with the same widgets.
struct ExProgressForm {
    QString objectName = QStringLiteral("ExImporterClass"); // also the selector of its style sheet
    QString windowTitle = QStringLiteral("ExImporter");
    QString initialStatus = QStringLiteral("Verbinde mit CRM..."); // lbStatus while the run logs on
    QRect status{10, 4, 261, 21};   // lbStatus
    QRect status2{10, 26, 261, 21}; // lbStatus2
    QRect bar{10, 50, 261, 23};     // pbStatus
    QRect stop{190, 80, 81, 23};    // pbStop
    bool status2Bold = true;        // lbStatus2 in the bold face of lbStatus
    bool showsEstimate = true;      // lbEstimate: the time left, from codes 3 and 4
    // The bar's own text while it counts (QProgressBar format: %v done, %m of all selected folders);
    // empty: the bar shows no text.
    QString barText;
};

struct ExImporterTable {
    // Program name: the main window's class name; the form's object name is program + "Class" and the
    // resources live under ":/" + program + "/Resources/".
    QString program;
    QString title;              // window title and the heading label lb_1
    QString rowTooltip;         // tooltip of a folder row, %1 = item count ("%1 Kontakte")
    QString itemCountLogLabel;  // debug label of the total item count ("APPS Items: ")
    QString modeBoxText;        // text of the mode check box cb_pbuch; empty: the window has none
    QString messageLog;         // message log file name in the current folder ("kelvor_contacts.log")
    QString logonHttpLog;       // HTTP log of the logon exchange ("kelvor_extasks.log")
    QString folderClass;        // container class of the folders to list ("IPF.Contact")
    QString folderLogLabel;     // summary log label of the scan ("Contacts Folders in Account: ")
    ExRunBody body;             // the run's body, after a successful logon (worker thread)
    ExRunBody onLogonFailed;    // optional: lines to add after the logon failure text (worker thread)
    ExLogonFunction logon;      // optional: replaces the stored-settings logon (tests, e-mail)
    QString journalPath;        // the import journal; empty: none (exRunImporter sets the user's own)
    ExProgressForm progressForm;
    bool interruptNote = true;  // a stopped run's summary starts with the interrupt note
    // Optional: the whole summary (note and lines) as the completion dialog gets it, e.g. inside
    // <html><body>.
    std::function<QString(const QString& summary)> summaryFrame;

    [[nodiscard]] QString resourcePrefix() const
    {
        return QLatin1String(":/") + program + QLatin1String("/Resources/");
    }
    [[nodiscard]] QString formName() const { return program + QLatin1String("Class"); }
};
