#pragma once

// The per-program table of an item importer: everything that differs between the contacts, task and
// appointment importers. A program fills one table and hands it to exRunImporter() (exprogram.h).

#include "exrun.h"

#include <QString>

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
    ExLogonFunction logon;      // optional: replaces the stored-settings logon (tests)
    QString journalPath;        // the import journal; empty: none (exRunImporter sets the user's own)

    [[nodiscard]] QString resourcePrefix() const
    {
        return QLatin1String(":/") + program + QLatin1String("/Resources/");
    }
    [[nodiscard]] QString formName() const { return program + QLatin1String("Class"); }
};
