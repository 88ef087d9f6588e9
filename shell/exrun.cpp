#include "exrun.h"

#include "crmtransfer.h"
#include "exfolder.h"
#include "exinflight.h"
#include "eximportertable.h"

#include <QSettings>
#include <QThread>

#include <memory>

#include <climits>
#include <utility>

QString ExSummary::interruptNote()
{
    return QStringLiteral("<font color=\"red\"><b>Durchf\u00fchrung unterbrochen</b></font><br>");
}

bool ExSummary::addInterruptNote()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed || m_noteAdded || !m_noteEnabled)
        return false;
    m_noteAdded = true;
    m_text += interruptNote();
    return true;
}

void ExSummary::close(const QString& lines)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_text += lines;
}

QString ExSummary::text() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_frame ? m_frame(m_text) : m_text;
}

ExRun::ExRun(QList<ExFOLDER*> allFolders, QList<ExFOLDER*> selectedFolders, int total, bool mode, StatusSink sink)
    : m_all(std::move(allFolders))
    , m_selected(std::move(selectedFolders))
    , m_total(total)
    , m_mode(mode)
    , m_sink(std::move(sink))
{
}

void ExRun::requestStop()
{
    // The note goes in first, then the flag: the worker can only leave its loops, and so write its lines,
    // after it has seen the flag.
    m_summary.addInterruptNote();
    m_stop.store(true, std::memory_order_release);
}

ExFOLDER* ExRun::nextSelectedFolder()
{
    if (m_next >= m_selected.size())
        return nullptr;
    return m_selected.at(m_next++);
}

void ExRun::exchangeDone(Transport transport)
{
    switch (transport) {
    case Transport::Ok:
        m_failuresInRow = 0;
        break;
    case Transport::Aborted:
        break;
    case Transport::Failed:
        if (++m_failuresInRow >= lostConnectionLimit && !m_connectionLost) {
            qWarning("%d transport failures in a row: connection to the CRM lost, run ends", m_failuresInRow);
            m_connectionLost = true;
            m_stop.store(true, std::memory_order_release);
        }
        break;
    }
}

bool ExRun::itemTried(const CrmItemTransport& transport)
{
    switch (transport.failure) {
    case CrmTransportFailure::None:
        exchangeDone(Transport::Ok);
        return true;
    case CrmTransportFailure::Aborted:
        exchangeDone(Transport::Aborted);
        break;
    default:
        exchangeDone(Transport::Failed);
        break;
    }
    if (!transport.requestMayHaveArrived)
        return transport.failure != CrmTransportFailure::Aborted;
    ++m_mayBeStored;
    return true;
}

int ExRun::itemsInRemainingFolders() const
{
    int count = 0;
    for (qsizetype i = m_next; i < m_selected.size(); ++i) {
        const ExFOLDER* folder = m_selected.at(i);
        if (!folder)
            continue;
        std::unique_ptr<xmapi::Table> table;
        std::uint32_t rows = 0;
        if (folder->folder && !xmapi::failed(folder->folder->GetContentsTable(0, table)) && table
            && !xmapi::failed(table->GetRowCount(0, rows)))
            count += static_cast<int>(qMin<std::uint32_t>(rows, INT_MAX - count));
        else
            count += qMax(0, qMin(folder->itemCount, INT_MAX - count));
    }
    return count;
}

void ExRun::status(int code, const QString& text)
{
    if (m_sink)
        m_sink(code, text);
}

void ExRun::itemDone(int itemsDone)
{
    status(2, QString::asprintf("%d von %d", itemsDone, m_total));
    status(3, QString::number(itemsDone));
}

void ExRun::folderDone()
{
    QThread::msleep(1);
}

QString ExRun::logonFailedText(CrmLogonFailure failure)
{
    QString text = QStringLiteral("<font size=\"12\" color=\"red\"><b>Login Fehlgeschlagen!</b></font><br>");
    const QString cause = crmLogonFailureText(failure);
    if (!cause.isEmpty())
        text += QStringLiteral("<font color=\"red\">") + cause + QStringLiteral("</font><br>");
    return text;
}

QString ExRun::connectionLostText()
{
    return QStringLiteral("<font color=\"red\"><b>Verbindung zum CRM verloren: nach %1 \u00dcbertragungsfehlern in "
                          "Folge abgebrochen</b></font><br>")
        .arg(lostConnectionLimit);
}

QString ExRun::skippedLine(int count, const QString& what)
{
    return QStringLiteral("<font color=\"gray\"><i>%1</i>  Eintr\u00e4ge \u00fcbersprungen (keine %2)</font><br>")
        .arg(count)
        .arg(what);
}

QString ExRun::notTriedLine(int count, const QString& what)
{
    return QStringLiteral("<font color=\"red\"><i>%1</i>  %2 nicht versucht</font><br>").arg(count).arg(what);
}

QString ExRun::accountingLines(int mayBeStored, int skipped, int notTried, const QString& what)
{
    QString text;
    if (mayBeStored > 0)
        text += mayBeStoredLine(mayBeStored, what);
    if (skipped > 0)
        text += skippedLine(skipped, what);
    if (notTried > 0)
        text += notTriedLine(notTried, what);
    return text;
}

int ExRun::unreadRows(xmapi::Table& table, int rowsRead)
{
    std::uint32_t listed = 0;
    if (xmapi::failed(table.GetRowCount(0, listed)))
        return 0;
    return qMax(0, static_cast<int>(qMin<std::uint32_t>(listed, INT_MAX)) - rowsRead);
}

QString ExRun::mayBeStoredLine(int count, const QString& what)
{
    return QStringLiteral("<font color=\"red\">davon <i>%1</i>  %2 ohne Antwort des CRM: vielleicht doch "
                          "gespeichert</font><br>")
        .arg(count)
        .arg(what);
}

QString ExRun::execute(CrmTransport& transport, const ExLogonFunction& logon, const QString& logonHttpLog,
                       const ExRunBody& body, const ExRunBody& onLogonFailed)
{
    m_lines.clear();
    m_inflight = exInflightSetting();
    // Every exchange of the run in this thread, the logon included, ends at once when the run is asked
    // to stop, also while it only waits for the server.
    const CrmTransferGuard guard([this] {
        idle();
        return !stopRequested();
    });
    // A distant CRM may take seconds to answer the logon: the dialog says what the run waits for.
    busy(logonBusyText());
    m_logon = logon ? logon(transport, logonHttpLog) : CrmLogonOutcome{};
    m_session = CrmSession{m_logon.baseUrl, m_logon.sessionId, &transport};
    busy(QString());
    // A stop during the logon aborts it; that is no failed logon. The body, seeing the stop at once,
    // sends nothing and writes its lines with zero counts.
    if (m_logon.loggedOn() || stopRequested()) {
        // Filled in by the body once it knows; the line leads the counters it explains.
        const qsizetype lostAt = m_lines.size();
        m_unchanged = 0;
        if (!m_journalPath.isEmpty()) {
            m_journal = std::make_unique<ExJournal>(m_journalPath);
            m_journalCrm = ExJournalCrm{m_session.baseUrl, readCrmSettings().login};
        }
        if (body)
            body(*this);
        QString journalLines;
        if (m_unchanged > 0)
            journalLines += unchangedLine(m_unchanged);
        if (m_journal)
            journalLines += m_journal->summaryLine();
        m_journal.reset();
        m_lines.insert(lostAt, journalLines);
        if (m_connectionLost)
            m_lines.insert(lostAt, connectionLostText());
    } else {
        m_lines += logonFailedText(m_logon.failure);
        if (onLogonFailed)
            onLogonFailed(*this);
    }
    m_summary.close(m_lines);
    return m_summary.text();
}

QString ExRun::execute(CrmTransport& transport, const ExImporterTable& table)
{
    setSummaryStyle(table.interruptNote, table.summaryFrame);
    setJournalPath(table.journalPath);
    const ExLogonFunction logon = table.logon ? table.logon : ExLogonFunction(&exStoredSettingsLogon);
    return execute(transport, logon, table.logonHttpLog, table.body, table.onLogonFailed);
}

bool ExRun::unchangedSinceImport(const QString& kind, const ExJournalItem& item)
{
    if (!m_journal || !m_journal->unchanged(m_journalCrm, kind, item))
        return false;
    ++m_unchanged;
    return true;
}

void ExRun::recordOutcome(const QString& kind, const ExJournalItem& item, ExJournal::Outcome outcome, qint64 crmId)
{
    if (m_journal)
        m_journal->record(m_journalCrm, kind, item, outcome, crmId);
}

ExJournalItem ExRun::journalItem(const ExFOLDER* folder, const QByteArray& folderEntryId,
                                 const xmapi::PropValue* entryId, const xmapi::PropValue* modified)
{
    ExJournalItem item;
    if (const ExFOLDER* root = folder ? folder->storeRoot() : nullptr) {
        item.store = root->storeKey;
        item.storeHint = root->storeFile;
    }
    item.folder = folderEntryId;
    if (entryId && entryId->type() == PT_BINARY)
        item.entryId = QByteArray(reinterpret_cast<const char*>(entryId->bin.data()),
                                  static_cast<qsizetype>(entryId->bin.size()));
    if (modified && modified->type() == PT_SYSTIME)
        item.modified = static_cast<qint64>(modified->ft.ticks);
    return item;
}

ExJournal::Outcome ExRun::journalOutcome(bool imported, bool present, const CrmItemTransport& transport)
{
    if (imported)
        return ExJournal::Outcome::Stored;
    if (present)
        return ExJournal::Outcome::Present;
    return transport.requestMayHaveArrived ? ExJournal::Outcome::MayHaveArrived : ExJournal::Outcome::Failed;
}

QByteArray ExRun::folderEntryId(const ExFOLDER* folder)
{
    std::vector<xmapi::PropValue> values;
    if (!folder || !folder->folder || xmapi::failed(folder->folder->GetProps({PR_ENTRYID}, 0, values)) ||
        values.empty() || values.front().type() != PT_BINARY)
        return QByteArray();
    const xmapi::Bytes& bin = values.front().bin;
    return QByteArray(reinterpret_cast<const char*>(bin.data()), static_cast<qsizetype>(bin.size()));
}

QString ExRun::unchangedLine(int count)
{
    return QStringLiteral("<font color=\"blue\">%1 unver\u00e4ndert seit dem letzten Import, nicht erneut "
                          "gesendet</font><br>")
        .arg(count);
}

bool exIsOwnKind(const QString& messageClass, const QString& kind)
{
    if (messageClass.isEmpty() || kind.isEmpty())
        return false;
    if (messageClass.compare(kind, Qt::CaseInsensitive) == 0)
        return true;
    return messageClass.size() > kind.size() + 1 && messageClass.at(kind.size()) == QLatin1Char('.')
        && messageClass.startsWith(kind, Qt::CaseInsensitive);
}

ExStatusThrottle::ExStatusThrottle(ExRun::StatusSink out, int intervalMs)
    : m_out(std::move(out))
    , m_intervalMs(qMax(0, intervalMs))
{
}

void ExStatusThrottle::post(int code, const QString& text)
{
    if (code < 1 || code > 3) {
        flush();
        if (m_out)
            m_out(code, text);
        return;
    }
    m_pending[code - 1] = text;
    m_hasPending[code - 1] = true;
    poll();
}

void ExStatusThrottle::poll()
{
    if (m_intervalMs == 0 || !m_sinceLast.isValid() || m_sinceLast.elapsed() >= m_intervalMs)
        flush();
}

void ExStatusThrottle::flush()
{
    bool sent = false;
    for (int i = 0; i < 3; ++i) {
        if (!m_hasPending[i])
            continue;
        m_hasPending[i] = false;
        sent = true;
        if (m_out)
            m_out(i + 1, m_pending[i]);
    }
    if (sent)
        m_sinceLast.start();
}

int exInflightSetting()
{
    const std::unique_ptr<QSettings> settings = openCrmSettings();
    bool ok = false;
    const int n = settings->value(QStringLiteral("CRM_INFLIGHT")).toString().trimmed().toInt(&ok);
    return ok ? qBound(1, n, ExInflight::maxLimit) : 1;
}
