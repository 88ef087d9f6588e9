#include "appointmentstable.h"

#include "appointmentrun.h"
#include "crmoperations.h"

ExImporterTable appointmentsTable()
{
    ExImporterTable t;
    t.program = QStringLiteral("Kelvor_termine");
    t.title = QStringLiteral("Kelvor CRM Outlook Importer - Termine");
    t.rowTooltip = QStringLiteral("%1 Termine");
    t.itemCountLogLabel = QStringLiteral("APPS Items: ");
    t.messageLog = QStringLiteral("kelvor_appointments.log");
    // The logon of this program shares the task importer's HTTP log; appointments have their own.
    t.logonHttpLog = QString::fromLatin1(tasksHttpLog);
    t.folderClass = QStringLiteral("IPF.Appointment");
    t.folderLogLabel = QStringLiteral("Appointments Folders in Account: ");
    t.body = [](ExRun& run) { appointmentsRunBody(run); };
    t.onLogonFailed = &appointmentsLogonFailed;
    t.logon = &appointmentsLogon;
    return t;
}
