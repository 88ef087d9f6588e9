#include "appointmentrun.h"

#include "appointmentmapping.h"
#include "bytes.h"
#include "crmoperations.h"
#include "crmsettings.h"
#include "exfolder.h"
#include "exinflight.h"
#include "propaccess.h"

#include <QDebug>

QString appointmentSummary(const AppointmentRunCounts& c)
{
    QString text;
    if (c.existing > 0)
        text += QStringLiteral("<font color=\"blue\"><i>%1</i>  Termine existieren bereits</font><br>").arg(c.existing);
    if (c.failed > 0)
        text += QStringLiteral("<font color=\"red\"><i>%1</i>  Termine k\u00f6nnten nicht importiert werden</font><br>")
                    .arg(c.failed);
    text += ExRun::accountingLines(c.mayBeStored, c.skipped, c.notTried, QStringLiteral("Termine"));
    text += QStringLiteral("<br><font color=\"green\"><b>%1  Termine sind erfolgreich importiert.</b></font><br>")
                .arg(c.imported);
    return text;
}

namespace
{

// Reads and sends the appointments of one folder. False when the folder could not be read at all,
// which ends the whole folder loop.
bool importFolder(ExRun& run, ExFOLDER& folder, const CrmSession& session, ExInflight& inflight,
                  AppointmentRunCounts& c)
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
        qDebug().noquote() << QString::number(i) + QStringLiteral(" -> runPROP ID: ") + xmapi::bytes::hexOf((*tags)[i]);
    // The message class rides along after the 13 columns: items of another kind are not sent.
    std::vector<xmapi::PropTag> columns(tags->begin(), tags->end());
    const std::size_t classColumn = columns.size();
    columns.push_back(PR_MESSAGE_CLASS_W);
    // The journal's columns ride along too: an appointment unchanged since it was imported is not sent.
    const std::size_t entryIdColumn = columns.size();
    columns.push_back(PR_ENTRYID);
    columns.push_back(PR_LAST_MODIFICATION_TIME);
    const QByteArray folderId = ExRun::folderEntryId(&folder);
    hr = table->SetColumns(columns, 0);
    if (xmapi::failed(hr)) {
        qCritical().noquote() << QStringLiteral("SetColumns Failed: ") + xmapi::bytes::hexOf(hr);
        return false;
    }

    const auto itemDone = [&run, &c] {
        ++c.sent;
        run.itemDone(c.sent);
    };
    int rowsRead = 0;
    while (!run.stopRequested()) {
        xmapi::RowSet rows;
        if (table->QueryRows(1, 0, rows) != S_OK || rows.empty())
            break;
        ++rowsRead;
        if (!exIsOwnKind(TextOf(rows.front()[classColumn]), QStringLiteral("IPM.Appointment"))) {
            inflight.submit({}, [&c, itemDone](const ExItemResult&) {
                ++c.skipped;
                itemDone();
            });
            continue;
        }
        const ExJournalItem journaled = ExRun::journalItem(&folder, folderId, &rows.front()[entryIdColumn],
                                                           &rows.front()[entryIdColumn + 1]);
        if (run.unchangedSinceImport(QStringLiteral("appointment"), journaled)) {
            inflight.submit({}, [itemDone](const ExItemResult&) { itemDone(); });
            continue;
        }
        inflight.submit(
            [item = ReadAppointmentRow(rows.front(), *tags), session] {
                ExItemResult r;
                r.value = crmaddAppointment(session, item, appointmentsHttpLog, &r.transport);
                return r;
            },
            [&run, &c, itemDone, journaled](const ExItemResult& r) {
                qDebug() << r.value;
                const bool tried = run.itemTried(r.transport);
                const bool failed = r.value == 0 || r.value == -2;
                if (!tried)
                    ++c.notTried;
                else if (r.value == -1)
                    ++c.existing;
                else if (failed)
                    ++c.failed;
                else
                    ++c.imported;
                if (tried)
                    run.recordOutcome(QStringLiteral("appointment"), journaled,
                                      ExRun::journalOutcome(!failed && r.value != -1, r.value == -1, r.transport),
                                      r.value);
                itemDone();
            });
    }
    inflight.drain();
    if (run.connectionLost())
        c.notTried += ExRun::unreadRows(*table, rowsRead);
    // The table goes here; the folder keeps its handle, so a later run in the same program start
    // can read it again.
    return true;
}

} // namespace

void appointmentsRunBody(ExRun& run, AppointmentRunCounts* counts)
{
    AppointmentRunCounts c;
    const CrmSession& session = run.session();
    run.status(1, QStringLiteral("Verbunden"));
    run.status(1, QStringLiteral("Importiere Termine:"));
    // Appointments are independent of each other: with CRM_INFLIGHT above 1 several travel at once.
    ExInflight inflight(run.inflight(), [&run] { return !run.stopRequested(); }, [&run] { run.idle(); });

    while (!run.stopRequested()) {
        ExFOLDER* folder = run.nextSelectedFolder();
        if (!folder)
            break;
        // A folder that cannot be read ends the import: the summary reports what was sent so far.
        if (!importFolder(run, *folder, session, inflight, c))
            break;
        run.folderDone();
    }
    if (run.connectionLost())
        c.notTried += run.itemsInRemainingFolders();
    else
        c.notTried = 0; // a stop by the user leaves the rest unread, as it always did
    c.mayBeStored = run.mayBeStored();

    run.appendSummary(appointmentSummary(c));
    if (counts)
        *counts = c;
}

void appointmentsLogonFailed(ExRun& run)
{
    run.appendSummary(appointmentSummary(AppointmentRunCounts{}));
}

CrmLogonOutcome appointmentsLogon(CrmTransport& transport, const QString& httpLog)
{
    LogonOptions options;
    options.logSettings = true;
    return crmLogonOutcome(transport, readCrmSettings(), httpLog.toLocal8Bit(), options);
}
