#include "appointmentrun.h"

#include "appointmentmapping.h"
#include "crmoperations.h"
#include "crmsettings.h"
#include "exfolder.h"

#include <QDebug>

QString appointmentSummary(const AppointmentRunCounts& c)
{
    QString text;
    if (c.existing > 0)
        text += QStringLiteral("<font color=\"blue\"><i>%1</i>  Termine existieren bereits</font><br>").arg(c.existing);
    if (c.failed > 0)
        text += QStringLiteral("<font color=\"red\"><i>%1</i>  Termine k\u00f6nnten nicht importiert werden</font><br>")
                    .arg(c.failed);
    text += QStringLiteral("<br><font color=\"green\"><b>%1  Termine sind erfolgreich importiert.</b></font><br>")
                .arg(c.imported);
    return text;
}

namespace
{

// Reads and sends the appointments of one folder. False when the folder could not be read at all,
// which ends the whole folder loop.
bool importFolder(ExRun& run, ExFOLDER& folder, const CrmSession& session, AppointmentRunCounts& c)
{
    if (!folder.folder) {
        qCritical("eximporter.cpp GetContentTable failed");
        return false;
    }
    xmapi::HResult hr = S_OK;
    const std::optional<CalendarTags> tags = GetPropIDS(*folder.folder, hr);
    if (!tags) {
        qCritical("eximporter.cpp GetIdsFromNames failed");
        return false;
    }
    std::unique_ptr<xmapi::Table> table;
    if (xmapi::failed(folder.folder->GetContentsTable(MAPI_UNICODE, table)) || !table) {
        qCritical("eximporter.cpp GetContentTable failed");
        return false;
    }
    for (std::size_t i = 0; i < tags->size(); ++i)
        qDebug().noquote() << QString::number(i) + QStringLiteral(" -> runPROP ID: ") + QString::number((*tags)[i], 16);
    hr = table->SetColumns(std::vector<xmapi::PropTag>(tags->begin(), tags->end()), 0);
    if (xmapi::failed(hr)) {
        qCritical().noquote() << QStringLiteral("SetColumns Failed: ") + QString::number(hr, 16);
        return false;
    }

    while (!run.stopRequested()) {
        xmapi::RowSet rows;
        if (table->QueryRows(1, 0, rows) != S_OK || rows.empty())
            break;
        const crmAppointmentItem item = ReadAppointmentRow(rows.front(), *tags);
        const int result = crmaddAppointment(session, item, appointmentsHttpLog);
        qDebug() << result;
        if (result == -1)
            ++c.existing;
        else if (result == 0 || result == -2)
            ++c.failed;
        else
            ++c.imported;
        ++c.sent;
        run.itemDone(c.sent);
    }
    // The table goes here; the folder keeps its handle, so a later run in the same program start
    // can read it again.
    return true;
}

} // namespace

void appointmentsRunBody(ExRun& run, AppointmentRunCounts* counts)
{
    AppointmentRunCounts c;
    const CrmSession session{run.baseUrl(), run.sessionId()};
    run.status(1, QStringLiteral("Verbunden"));
    run.status(1, QStringLiteral("Importiere Termine:"));

    while (!run.stopRequested()) {
        ExFOLDER* folder = run.nextSelectedFolder();
        if (!folder)
            break;
        // A folder that cannot be read ends the import: the summary reports what was sent so far.
        if (!importFolder(run, *folder, session, c))
            break;
        run.folderDone();
    }

    run.appendSummary(appointmentSummary(c));
    if (counts)
        *counts = c;
}

void appointmentsLogonFailed(ExRun& run)
{
    run.appendSummary(appointmentSummary(AppointmentRunCounts{}));
}

QString appointmentsLogon(const QString& httpLog, QString* baseUrl)
{
    const CrmSettings settings = readCrmSettings();
    if (baseUrl)
        *baseUrl = settings.url;
    LogonOptions options;
    options.logSettings = true;
    return crmLogon(settings, httpLog.toLocal8Bit(), options);
}
