#include "taskstable.h"

#include "crmoperations.h"
#include "taskrun.h"

ExImporterTable tasksTable()
{
    ExImporterTable t;
    t.program = QStringLiteral("Kelvor_aufgaben");
    t.title = QStringLiteral("Kelvor CRM Outlook Importer - Aufgaben");
    t.rowTooltip = QStringLiteral("%1 Aufgaben");
    t.itemCountLogLabel = QStringLiteral("TASK Items: ");
    t.messageLog = QStringLiteral("kelvor_tasks.log");
    t.logonHttpLog = QString::fromLatin1(tasksHttpLog);
    t.folderClass = QStringLiteral("IPF.Task");
    t.folderLogLabel = QStringLiteral("TASK Folders in Account: ");
    t.body = [](ExRun& run) { tasksRunBody(run); };
    t.onLogonFailed = &tasksLogonFailed;
    return t;
}
