#include "taskrun.h"

#include "crmoperations.h"
#include "exfolder.h"
#include "exinflight.h"
#include "propaccess.h"
#include "taskmapping.h"

#include <QDebug>

TaskOutcome readTaskResult(int result)
{
    if (result == -1)
        return TaskOutcome::Exists;
    if (result == 0 || result == -2)
        return TaskOutcome::Failed;
    return TaskOutcome::Imported;
}

QString taskLine(TaskOutcome outcome, const QString& subject)
{
    // The summary is shown as rich text: a subject is text, never markup.
    const QString shown = subject.toHtmlEscaped();
    switch (outcome) {
    case TaskOutcome::Exists:
        return QStringLiteral("<font color=\"blue\">Aufgabe <i>%1</i> existiert bereits</font><br>").arg(shown);
    case TaskOutcome::Failed:
        return QStringLiteral("<font color=\"red\">Aufgabe <i>%1</i> k\u00f6nnte nicht importiert werden</font><br>")
            .arg(shown);
    case TaskOutcome::Imported:
        break;
    }
    return QString();
}

QString taskSummary(const TaskRunCounts& c)
{
    QString text;
    if (c.existing > 0)
        text += QStringLiteral("<font color=\"blue\"><i>%1</i> Aufgaben existieren bereits</font><br>").arg(c.existing);
    if (c.failed > 0)
        text += QStringLiteral("<font color=\"red\"><i>%1</i> Aufgaben k\u00f6nnten nicht importiert werden</font><br>")
                    .arg(c.failed);
    text += ExRun::accountingLines(c.mayBeStored, c.skipped, c.notTried, QStringLiteral("Aufgaben"));
    text += QStringLiteral("<br><font color=\"green\"><b>%1  Aufgaben sind erfolgreich importiert.</b></font><br>")
                .arg(c.imported);
    return text;
}

namespace
{

// The class of an opened task; empty when it has none.
QString messageClassOf(xmapi::Message* message)
{
    std::vector<xmapi::PropValue> values;
    if (!message || xmapi::failed(message->GetProps({PR_MESSAGE_CLASS_W}, 0, values)) || values.empty())
        return QString();
    return TextOf(values.front());
}

const QString taskKind = QStringLiteral("task");

// Where the journal keeps a task: its entry id and last modification, read from the opened task.
ExJournalItem journalItemOf(const ExFOLDER* folder, const QByteArray& folderId, xmapi::Message* message)
{
    std::vector<xmapi::PropValue> values;
    if (!message || xmapi::failed(message->GetProps({PR_ENTRYID, PR_LAST_MODIFICATION_TIME}, 0, values)) ||
        values.size() != 2)
        return ExRun::journalItem(folder, folderId, nullptr, nullptr);
    return ExRun::journalItem(folder, folderId, &values[0], &values[1]);
}

} // namespace

void tasksRunBody(ExRun& run, TaskRunCounts* counts)
{
    TaskRunCounts c;
    const CrmSession& session = run.session();
    run.status(1, QStringLiteral("Verbunden"));
    // Tasks are independent of each other: with CRM_INFLIGHT above 1 several travel at once.
    ExInflight inflight(run.inflight(), [&run] { return !run.stopRequested(); }, [&run] { run.idle(); });
    // The second line counts within the folder; the bar goes over the whole run, against the total of
    // the selected folders.
    int doneBefore = 0;

    while (!run.stopRequested()) {
        ExFOLDER* folder = run.nextSelectedFolder();
        if (!folder)
            break;
        TaskFolderBatch batch;
        batch.url = run.baseUrl();
        batch.sessionId = run.sessionId();
        batch.source = folder;
        batch.hourOffset = 0;
        if (!folder->folder) {
            qCritical("Can't open Tasks folder!");
            continue;
        }
        if (!CollectTasks(batch)) {
            qCritical("Can't collect folders");
            continue;
        }
        run.status(1, QStringLiteral("Importiere Aufgabe:"));
        const QByteArray folderId = ExRun::folderEntryId(folder);

        // Progress counts within the folder, against the tasks that could actually be opened.
        const int n = static_cast<int>(batch.entries.size());
        int j = 0;
        for (; j < n && !run.stopRequested(); ++j) {
            TaskEntry& entry = *batch.entries[static_cast<std::size_t>(j)];
            run.status(2, QString::asprintf("%d von %d", j, n));
            run.status(3, QString::number(doneBefore + j));
            if (!exIsOwnKind(messageClassOf(entry.message.get()), QStringLiteral("IPM.Task"))) {
                inflight.submit({}, [&c](const ExItemResult&) { ++c.skipped; });
                continue;
            }
            const ExJournalItem journaled = journalItemOf(folder, folderId, entry.message.get());
            if (run.unchangedSinceImport(taskKind, journaled))
                continue;
            inflight.submit(
                [item = entry.item, session]() mutable {
                    ExItemResult r;
                    r.value = crmaddTask(session, item, tasksHttpLog, &r.transport);
                    return r;
                },
                [&run, &c, subject = entry.item.subject, journaled](const ExItemResult& r) {
                    qDebug() << r.value;
                    if (!run.itemTried(r.transport)) {
                        ++c.notTried;
                        return;
                    }
                    const TaskOutcome outcome = readTaskResult(r.value);
                    run.recordOutcome(taskKind, journaled,
                                      ExRun::journalOutcome(outcome == TaskOutcome::Imported,
                                                            outcome == TaskOutcome::Exists, r.transport),
                                      r.value);
                    switch (outcome) {
                    case TaskOutcome::Exists:
                        ++c.existing;
                        break;
                    case TaskOutcome::Failed:
                        ++c.failed;
                        break;
                    case TaskOutcome::Imported:
                        ++c.imported;
                        break;
                    }
                    run.appendSummary(taskLine(outcome, subject));
                });
        }
        // Every answer of this folder is in before its batch releases the task messages.
        inflight.drain();
        doneBefore += j;
        if (run.connectionLost())
            c.notTried += n - j;
        // The folder keeps its handle, so a later run in the same program start can read it again.
        run.folderDone();
    }

    if (run.connectionLost())
        c.notTried += run.itemsInRemainingFolders();
    else
        c.notTried = 0; // a stop by the user leaves the rest unread, as it always did
    c.mayBeStored = run.mayBeStored();
    run.appendSummary(taskSummary(c));
    if (counts)
        *counts = c;
}

void tasksLogonFailed(ExRun& run)
{
    run.appendSummary(taskSummary(TaskRunCounts{}));
}
