#include "contactstable.h"

#include "contactrun.h"

ExImporterTable contactsTable()
{
    ExImporterTable t;
    t.program = QStringLiteral("Kelvor_kontakte");
    t.title = QStringLiteral("Kelvor CRM Outlook Importer - Kontakte");
    t.rowTooltip = QStringLiteral("%1 Kontakte");
    t.itemCountLogLabel = QStringLiteral("APPS Items: ");
    t.modeBoxText = QStringLiteral("Kontakte in das pers\u00f6nliche Adressbuch importieren.");
    t.messageLog = QStringLiteral("kelvor_contacts.log");
    t.logonHttpLog = QStringLiteral("kelvor_extasks.log");
    t.folderClass = QStringLiteral("IPF.Contact");
    t.folderLogLabel = QStringLiteral("Contacts Folders in Account: ");
    t.body = [](ExRun& run) { contactsRunBody(run); };
    return t;
}
