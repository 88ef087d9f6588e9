#include "mailrun.h"

#include "crmlogon.h"
#include "crmoperations.h"
#include "crmsettings.h"
#include "exfolder.h"
#include "exinflight.h"
#include "exjournal.h"
#include "exrun.h"
#include "exsoapcall.h"
#include "mailfolders.h"
#include "mailreader.h"
#include "mimeconverter.h"

#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QSet>

#include <climits>

namespace {

const QString kMailAction = QStringLiteral("SOAPAction: urn:crmemailAction\r\n");

// The request of a message that never left is logged for diagnosis, but a whole upload of up to
// 20 MB per failed message would flood the log: its beginning and its size say enough.
constexpr qsizetype kLoggedRequestBytes = 4096;

const QString kNotReady =
    QStringLiteral("WinInet initialisierung fehgeschlagen. Kein Internetzugriff? Server nicht erreichbar?");
const QString kNotSent =
    QStringLiteral("Daten k\u00f6nnen nicht gesendet werden. Kein Internetzugriff? Server nicht erreichbar?");
// An upload that ended after its first bytes had left, without an answer: the CRM may hold it.
const QString kMayBeStored = QStringLiteral("Keine Antwort des CRM: die E-Mail ist vielleicht doch gespeichert.");
const QString kAborted = QStringLiteral("\u00dcbertragung abgebrochen.");

// The folder exchanges against the CRM of the current run.
class CrmMailFolders : public MailFolderCrm {
public:
    CrmMailFolders(const CrmSession& session, const QByteArray& httpLogPath)
        : m_session(session), m_httpLogPath(httpLogPath)
    {
    }

    qint64 GetCRMInbox() override
    {
        const CrmMailResult r = crmgetInboxFolder(m_session, m_httpLogPath);
        if (!r.exchange.ready)
            return -1; // the transport has logged why
        if (!r.exchange.sent) {
            qCritical() << "Can't send data over internet " << "ExOutlook::GetCRMInbox" << "exoutlook.cpp" << 909;
            return -1;
        }
        return r.value;
    }

    qint64 CreateCRMFolder(const QString& name, qint64 parent) override
    {
        // The name travels as UTF-8 and XML-escaped (done by the request builder).
        const CrmMailResult r = crmaddTreeEntry(m_session, parent, name, m_httpLogPath);
        qint64 result = -1;
        if (r.exchange.ready && !r.exchange.sent)
            qCritical() << "Can't send data over internet " << "ExOutlook::CreateCRMFolder" << "exoutlook.cpp" << 835;
        else if (r.exchange.sent)
            result = r.value;
        qDebug() << "Folder " << name << " " << result;
        return result;
    }

private:
    CrmSession m_session;
    QByteArray m_httpLogPath;
};

// The folder exchanges as the progress dialog shows them: each one is work without a count, named
// over a busy bar ("Lege CRM-Ordner an (2 von 5) ..."); the bar counts again once it is answered.
class BusyMailFolders : public MailFolderCrm {
public:
    BusyMailFolders(MailFolderCrm& crm, ExRun& run, int folders) : m_crm(crm), m_run(run), m_folders(folders) {}

    qint64 GetCRMInbox() override
    {
        m_run.busy(text(1));
        const qint64 inbox = m_crm.GetCRMInbox();
        m_run.busy(QString());
        return inbox;
    }

    qint64 CreateCRMFolder(const QString& name, qint64 parent) override
    {
        m_run.busy(text(++m_walked));
        const qint64 id = m_crm.CreateCRMFolder(name, parent);
        m_run.busy(QString());
        return id;
    }

    // A selected folder that keeps the CRM folder of an earlier run.
    void passOver() { ++m_walked; }

private:
    QString text(int n) const
    {
        return QStringLiteral("Lege CRM-Ordner an (%1 von %2) ...").arg(qMin(n, m_folders)).arg(m_folders);
    }

    MailFolderCrm& m_crm;
    ExRun& m_run;
    const int m_folders; // the selected folders: each gets a CRM folder (a new or an earlier one)
    int m_walked = 0;
};

// One upload on its way: the request until it has left, then what came back. Shared between the
// thread that carries it and the run's thread, which reads it only after the upload has finished.
struct MailUpload {
    explicit MailUpload(MailMemory& memory) : memory(memory) {}
    MailUpload(const MailUpload&) = delete;
    MailUpload& operator=(const MailUpload&) = delete;
    ~MailUpload() { dropRequest(); }

    // The request has left (or never will): its bytes and its room go back.
    void dropRequest()
    {
        memory.drop(request.size());
        request = QByteArray();
        memory.release(room);
        room = 0;
    }

    MailMemory& memory;
    QByteArray request;
    qint64 room = 0; // reserved for the request
    CrmExchangeResult exchange;
    QByteArray logged; // the beginning of a request that did not leave, for the log
};

} // namespace

// One run: the folder walk in the run's thread, the uploads in flight, and the accounting of every
// row in reading order.
class ExMailRun::Body {
public:
    Body(ExMailRun& mail, ExRun& run) : m_mail(mail), m_run(run)
    {
        for (ExFOLDER* folder : run.selectedFolders())
            m_selected.insert(folder);
    }

    void execute()
    {
        // A summary tells the run it closes: nothing of an earlier run of this program start.
        m_mail.m_importedCount = 0;
        m_mail.m_failedCount = 0;
        m_mail.m_errorReport.clear();
        m_run.status(1, QStringLiteral("Verbunden"));
        qDebug() << "CRM Login OK!";
        m_run.status(1, QStringLiteral("Datenverarbeitung ..."));

        const CrmSession& session = m_run.session();
        std::unique_ptr<MailFolderCrm> exchanges = m_mail.m_folderCrm
                                                       ? m_mail.m_folderCrm(session, m_mail.m_httpLogPath)
                                                       : std::make_unique<CrmMailFolders>(session, m_mail.m_httpLogPath);
        BusyMailFolders crm(*exchanges, m_run, int(m_selected.size()));
        QList<ExFOLDER*> stores;
        for (ExFOLDER* folder : m_run.allFolders()) {
            if (folder && folder->isStoreRoot)
                stores.append(folder);
        }
        // What an earlier import into this CRM recorded decides which CRM folders are used again and
        // which messages go. The journal is opened here: it is used by this thread alone.
        MailJournal journal(m_mail.m_journalPath.isEmpty() ? nullptr : std::make_unique<ExJournal>(m_mail.m_journalPath),
                            ExJournalCrm{m_mail.m_crmUrl, m_mail.m_crmLoginName});
        journal.setMode(m_mail.m_journalMode);
        m_journal = &journal;
        MailFolderWalk walk;
        walk.isSelected = [this](const ExFOLDER* folder) { return m_selected.contains(folder); };
        walk.stopRequested = [this] { return m_run.stopRequested(); };
        walk.importFolderMails = [this](ExFOLDER* folder, qint64 target) { importFolder(folder, target); };
        walk.knownFolder = [&journal, &crm](const ExFOLDER* folder) {
            const qint64 known = journal.reuseFolder(folder);
            if (known > 0)
                crm.passOver(); // counted among the folders, without an exchange
            return known;
        };
        walk.folderCreated = [&journal](const ExFOLDER* folder, qint64 created) { journal.folderCreated(folder, created); };
        m_order = mailFoldersInImportOrder(stores, walk.isSelected);
        // Before the reader starts: the journal reads the folders' entry ids from the store.
        journal.load(m_run.selectedFolders());

        {
            // The messages are read and converted ahead, from the logon on, while the folders are
            // created and the uploads travel.
            MailReader reader(m_order, m_mail.m_convert, m_memory);
            reader.setSkip([&journal](const ExFOLDER* folder, const QByteArray& entryId) {
                return journal.plan(folder, entryId) == MailJournal::Plan::Skip;
            });
            reader.start();
            m_reader = &reader;
            ExInflight inflight(
                m_run.inflight(), [this] { return !m_run.stopRequested(); }, [this] { m_run.idle(); });
            m_inflight = &inflight;
            importMailFolders(stores, crm, walk);
            // Every answer is in before the summary is written.
            inflight.drain();
            m_inflight = nullptr;
            reader.stop();
            m_reader = nullptr;
        }
        m_mail.m_peakHeldBytes = m_memory.peakHeld();

        int notTried = 0;
        if (m_run.connectionLost()) {
            // Messages not read, and those read but not sent, after the connection was lost.
            for (const ExFOLDER* folder : m_order)
                notTried += qMax(0, folder->itemCount - m_accounted.value(folder));
        }
        QString lines = QStringLiteral("<font color=\"green\"><b>") + QString::number(m_mail.m_importedCount) +
                        QStringLiteral("  E-Mails sind erfolgreich importiert.</b></font><br>");
        // The red line only when something failed: "0 ... könnten nicht importiert werden" alarms for nothing.
        if (m_mail.m_failedCount > 0)
            lines += QStringLiteral("<font color=\"red\"><i>") + QString::number(m_mail.m_failedCount) +
                     QStringLiteral("</i> E-Mails k\u00f6nnten nicht importiert werden</font><br>");
        m_run.appendSummary(lines +
                            ExRun::accountingLines(m_run.mayBeStored(), 0, notTried, QStringLiteral("E-Mails")) +
                            journal.summaryLines() + m_mail.m_errorReport);
        m_journal = nullptr;
    }

private:
    // The estimate of the minutes left in a folder, from the rate of its rows so far. The estimate
    // shown changes at the second row and then at every eleventh, so that it does not flicker.
    struct FolderProgress {
        const ExFOLDER* folder = nullptr;
        QElapsedTimer clock;
        int countdown = 1;
        quint32 shownEstimate = 0;
        quint32 latestEstimate = 0;
    };

    void importFolder(ExFOLDER* folder, qint64 target)
    {
        if (m_run.stopRequested() || !folder || !folder->folder)
            return;
        qDebug() << "Importing mails from folder: " << folder->name << " folder_id: " << target;
        auto progress = std::make_shared<FolderProgress>();
        progress->folder = folder;
        // What the dialog shows follows the answers: the folder's line appears when the answers of the
        // folder before it are in.
        m_inflight->submit({}, [this, folder, progress](const ExItemResult&) {
            m_run.status(1, QStringLiteral("Importiere \"%1\"").arg(folder->name));
            progress->clock.start();
        });

        MailReader::Entry entry;
        const auto keepGoing = [this] {
            m_run.idle();
            return !m_run.stopRequested();
        };
        while (!m_run.stopRequested() && m_reader->next(entry, keepGoing)) {
            if (entry.folder != folder) {
                // The reader follows the same order as the walk; anything else is a fault of this code.
                qCritical() << "E-mail run: rows of" << (entry.folder ? entry.folder->name : QString())
                            << "while importing" << folder->name;
                m_reader->discard(entry);
                m_reader->stop();
                break;
            }
            if (!entry.item)
                break; // the folder's last row
            submit(entry, target, progress);
        }
    }

    void submit(MailReader::Entry& entry, qint64 target, const std::shared_ptr<FolderProgress>& progress)
    {
        const std::shared_ptr<MailItem> item = entry.item;
        if (item->kind != MailItem::Kind::Message) {
            m_inflight->submit({}, [this, item, target, progress](const ExItemResult&) {
                finish(*item, target, *progress, nullptr, ExItemResult{});
            });
            return;
        }
        qDebug() << "Importing Mail: size: " << item->mime.size() << " folder_id: " << target
                 << " Subject: " << item->subject;
        // Recorded before it leaves, so that a crash during the upload leaves a trace for the next run.
        m_journal->uploading(entry.folder, item->entryId);
        auto upload = std::make_shared<MailUpload>(m_memory);
        upload->request = buildImportMailSourceRequest(m_run.sessionId(), target, item->mime);
        m_memory.hold(upload->request.size());
        // Only the request is held while the message travels; the room of the source goes back.
        m_memory.drop(item->mime.size());
        item->mime = QByteArray();
        upload->room = qMin<qint64>(upload->request.size(), entry.reserved);
        m_memory.release(entry.reserved - upload->room);
        entry.reserved = 0;
        m_inflight->submit(
            [upload, exchange = m_mail.m_exchange, transport = m_run.session().transport, url = m_run.baseUrl(),
             log = m_mail.m_httpLogPath] {
                upload->exchange = exchange(*transport, url, QStringLiteral("email"), kMailAction, log, upload->request);
                if (!upload->exchange.sent) {
                    upload->logged = upload->request.left(kLoggedRequestBytes);
                    if (upload->request.size() > kLoggedRequestBytes)
                        upload->logged += "... (" + QByteArray::number(upload->request.size()) + " bytes)";
                }
                upload->dropRequest();
                ExItemResult result;
                result.transport.failure = upload->exchange.failure;
                result.transport.requestMayHaveArrived = upload->exchange.requestMayHaveArrived;
                return result;
            },
            [this, item, target, progress, upload](const ExItemResult& result) {
                finish(*item, target, *progress, upload.get(), result);
            });
    }

    // One row's outcome, in reading order (the run's thread).
    void finish(const MailItem& item, qint64 target, FolderProgress& progress, MailUpload* upload,
                const ExItemResult& result)
    {
        if (progress.countdown > 0) {
            --progress.countdown;
        } else {
            progress.shownEstimate = progress.latestEstimate;
            progress.countdown = 10;
        }
        MailOutcome outcome;
        outcome.folder = progress.folder;
        outcome.target = target;
        outcome.row = item.row;
        outcome.entryId = item.entryId;
        outcome.subject = item.subject;
        m_currentMailInfo = mailInfo(item.subject, item.sender, item.to, item.dateText, item.size);

        switch (item.kind) {
        case MailItem::Kind::TooLarge:
            fail(outcome, QStringLiteral("Die Anlagengr\u00f6\u00dfe \u00fcberschreitet das erlaubte Maximum. (15Mb)"));
            break;
        case MailItem::Kind::OpenFailed:
            fail(outcome, QStringLiteral("MAPI Objekt kann nicht ge\u00f6ffnet werden"));
            break;
        case MailItem::Kind::ConvertFailed:
            fail(outcome, QStringLiteral("Fehler beim konvertierung MAPI Objekt in RFC1521 MIME Objekt"));
            break;
        case MailItem::Kind::Passed:
            outcome.result = MailOutcome::Result::Passed;
            break;
        case MailItem::Kind::Skipped:
            outcome.result = MailOutcome::Result::Skipped;
            m_journal->skippedOne();
            break;
        case MailItem::Kind::Message:
            if (upload) {
                uploaded(outcome, *upload, result);
                journalUpload(outcome);
            }
            break;
        }
        m_currentMailInfo.clear();
        if (outcome.result != MailOutcome::Result::NotSent) {
            m_accounted[progress.folder] += 1;
            // The bar runs over every selected folder: rows done in the run, of the folders' counts.
            ++m_rowsDone;
            if (m_rowsDone > m_run.total())
                m_run.status(4, QString::number(m_rowsDone)); // a folder held more than it said
            m_run.status(3, QString::number(m_rowsDone));
        }
        if (outcome.result != MailOutcome::Result::NotSent && item.kind == MailItem::Kind::Message) {
            m_run.status(2, QStringLiteral("%1 / %2 E-Mails  ~%3 Min.")
                                .arg(item.row)
                                .arg(progress.folder->itemCount)
                                .arg(progress.shownEstimate));
        }
        // Minutes left in the folder at the rate of its rows so far.
        const quint64 left = quint64(qMax(progress.folder->itemCount - item.row, 0));
        progress.latestEstimate =
            quint32(quint64(progress.clock.isValid() ? progress.clock.elapsed() : 0) * left / quint64(item.row) / 60000);
        if (m_mail.m_outcomeHook)
            m_mail.m_outcomeHook(outcome);
    }

    void uploaded(MailOutcome& outcome, const MailUpload& upload, const ExItemResult& result)
    {
        if (!m_run.itemTried(result.transport)) {
            // Stopped before any byte of it left: as if it had not been read.
            outcome.result = MailOutcome::Result::NotSent;
            return;
        }
        const CrmExchangeResult& exchange = upload.exchange;
        int value = -1;
        if (!exchange.ready) {
            qCritical() << "WinInet initialization failed";
            fail(outcome, kNotReady);
        } else if (!exchange.sent) {
            qCritical() << "Can't send data over internet " << "ExOutlook::ImportMail" << " " << "exoutlook.cpp" << " "
                        << 764;
            outcome.mayBeStored = exchange.requestMayHaveArrived;
            if (!exchange.requestMayHaveArrived)
                fail(outcome, kNotSent);
            else if (exchange.failure == CrmTransportFailure::Aborted)
                fail(outcome, kAborted + QLatin1Char(' ') + kMayBeStored);
            else
                fail(outcome, kNotSent + QLatin1Char(' ') + kMayBeStored);
        } else {
            ExSoapCall reader;
            reader.feedResponse(exchange.response);
            value = reader.parseResponse(CrmOp::crmImportMailSource).toInt();
            outcome.crmValue = value;
            const qint64 failureId = QDateTime::currentSecsSinceEpoch();
            qDebug() << "CRM return code = " << value;
            if (value > 0) {
                outcome.result = MailOutcome::Result::Imported;
                ++m_mail.m_importedCount;
            } else {
                fail(outcome, QStringLiteral("Vom CRM-Server wurde ein Fehler zur\u00fcckgegeben: ") +
                                  QString::number(value) +
                                  QStringLiteral("<br>Mehr Info finden Sie in Logdatei kelvor_email.log im "
                                                 "Programmordner\r\nFehlerID: ") +
                                  QString::number(failureId));
                qWarning().noquote() << QStringLiteral("FehlerID: ") + QString::number(failureId) +
                                            QStringLiteral(" START -->") + QString::fromUtf8(exchange.response) +
                                            QStringLiteral("<-- STOP\r\n");
            }
        }
        if (value < 1)
            qCritical() << "Can't Import E-Mail: retcode: " << value << " " << upload.logged;
    }

    // What the journal keeps of an upload's end.
    void journalUpload(const MailOutcome& outcome)
    {
        if (outcome.result == MailOutcome::Result::NotSent) {
            // It never left: the next run sends it as one never tried.
            m_journal->uploaded(outcome.folder, outcome.entryId, -1, false);
            return;
        }
        if (m_journal->plan(outcome.folder, outcome.entryId) == MailJournal::Plan::SendAgain)
            m_journal->sentAgain(outcome.subject);
        m_journal->uploaded(outcome.folder, outcome.entryId, outcome.crmValue, outcome.mayBeStored);
    }

    void fail(MailOutcome& outcome, const QString& reason)
    {
        outcome.result = MailOutcome::Result::Failed;
        outcome.reason = reason;
        m_mail.m_errorReport += m_currentMailInfo + QStringLiteral("<b>Grund:</b> ") + reason + QStringLiteral("<br>");
        ++m_mail.m_failedCount;
    }

    ExMailRun& m_mail;
    ExRun& m_run;
    QSet<const ExFOLDER*> m_selected;
    QList<ExFOLDER*> m_order;
    QHash<const ExFOLDER*, int> m_accounted; // rows with an outcome, per folder
    int m_rowsDone = 0;                       // rows with an outcome, over the run
    MailMemory m_memory;
    MailReader* m_reader = nullptr;
    ExInflight* m_inflight = nullptr;
    MailJournal* m_journal = nullptr;
    QString m_currentMailInfo;
};

ExMailRun::ExMailRun()
    : m_convert(&ConvertMessageToMime), m_exchange(&crmExchange), m_httpLogPath(mailHttpLogPath())
{
}

ExMailRun::~ExMailRun() = default;

bool ExMailRun::prepare()
{
    qDebug() << "START import process!";
    // The stored settings are read once per program start, at the first run that finds an address.
    if (!m_settingsRead) {
        const CrmSettings settings = readCrmSettings();
        m_crmUrl = settings.url;
        m_crmLoginName = settings.login;
        m_crmPassword = settings.password;
        m_settingsRead = !m_crmUrl.isEmpty();
    }
    m_journalMode = MailJournal::Mode::New;
    return !m_crmUrl.isEmpty() && m_crmLoginName.size() >= 2;
}

bool ExMailRun::askResume(const QList<ExFOLDER*>& selected,
                          const std::function<MailResumeChoice(int imported, int total)>& ask)
{
    m_journalMode = MailJournal::Mode::New;
    if (m_journalPath.isEmpty())
        return true;
    // This journal object lives only for the question; the run opens its own in its thread.
    MailJournal journal(std::make_unique<ExJournal>(m_journalPath), ExJournalCrm{m_crmUrl, m_crmLoginName});
    const MailJournal::Tally tally = journal.tally(QList<const ExFOLDER*>(selected.cbegin(), selected.cend()));
    if (!tally.recorded)
        return true;
    switch (ask(tally.imported, tally.total)) {
    case MailResumeChoice::Cancel:
        return false;
    case MailResumeChoice::Missing:
        m_journalMode = MailJournal::Mode::Resume;
        break;
    case MailResumeChoice::All:
        m_journalMode = MailJournal::Mode::All;
        break;
    }
    return true;
}

ExImporterTable ExMailRun::table()
{
    ExImporterTable t;
    t.program = QStringLiteral("Kelvor_email");
    t.title = QStringLiteral("Kelvor CRM Outlook Importer - E-Mails");
    t.rowTooltip = QStringLiteral("%1 E-Mails");
    t.messageLog = QStringLiteral("kelvor_email.log");
    t.logonHttpLog = QString::fromLocal8Bit(m_httpLogPath);
    t.folderClass = QStringLiteral("IPF.Note");
    t.logon = [this](CrmTransport& transport, const QString&) { return logon(transport); };
    t.body = [this](ExRun& run) { body(run); };
    t.onLogonFailed = [this](ExRun& run) { logonFailed(run); };
    // A stopped run says so at the head of its summary.
    t.interruptNote = true;
    t.summaryFrame = [](const QString& summary) {
        return QStringLiteral("<html><body>") + summary + QStringLiteral("</body></html>");
    };
    ExProgressForm& form = t.progressForm;
    form.objectName = QStringLiteral("Dialog");
    form.windowTitle = QString();
    // The form says "Verbinde mit CRM ..."; a run shows "Verbinde mit CRM" from its start.
    form.initialStatus = QStringLiteral("Verbinde mit CRM");
    form.status = QRect(10, 10, 261, 16);
    form.status2 = QRect(10, 30, 261, 16);
    form.bar = QRect(10, 54, 261, 23);
    form.stop = QRect(190, 84, 81, 23);
    form.status2Bold = false;
    // The second status line tells the folder in hand; the bar and the time left beside "Abbrechen"
    // cover the whole run.
    form.showsEstimate = true;
    form.barText = QStringLiteral("E-Mail %v von %m");
    return t;
}

QList<ExFOLDER*> ExMailRun::treeOrder(const QList<ExFOLDER*>& stores)
{
    QList<ExFOLDER*> out;
    std::function<void(ExFOLDER*)> add = [&](ExFOLDER* record) {
        out.append(record);
        for (const auto& child : record->subFolders)
            add(child.get());
    };
    for (ExFOLDER* store : stores) {
        if (store)
            add(store);
    }
    return out;
}

CrmLogonOutcome ExMailRun::logon(CrmTransport& transport)
{
    LogonOptions options;
    options.logRawResponse = true;
    return crmLogonOutcome(transport, m_crmUrl, m_crmLoginName, m_crmPassword, m_httpLogPath, options);
}

void ExMailRun::body(ExRun& run)
{
    Body(*this, run).execute();
}

void ExMailRun::logonFailed(ExRun& run)
{
    run.status(1, QStringLiteral("Login fehlgeschlagen ..."));
    qCritical() << "CRM Login FAILED!";
}

QString ExMailRun::mailInfo(const QString& subject, const QString& sender, const QString& to,
                            const QString& dateText, qint32 size)
{
    // Message texts are shown as text: a subject such as "a <b> c" must not turn into markup.
    QString info = QStringLiteral("<br><font color=\"red\">E-Mail: ") + subject.toHtmlEscaped() +
                   QStringLiteral("</font><br><b>Von:</b> ") + sender.toHtmlEscaped() +
                   QStringLiteral("<br><b>An:</b> ") + to.toHtmlEscaped() + QStringLiteral("<br>") +
                   QString(dateText).replace(QStringLiteral("Date:"), QStringLiteral("<b>Datum:</b>")) +
                   QStringLiteral("<br>");
    if (size > 0 && size < 1048576)
        info += QStringLiteral("<b>Gr\u00f6sse:</b> ") + QString::number(size / 1024.0, 'g', 3) + QStringLiteral(" KB<br>");
    else if (size >= 1048576)
        info += QStringLiteral("<b>Gr\u00f6sse:</b> ") + QString::number(size / 1048576.0, 'g', 3) +
                QStringLiteral(" MB<br>");
    else
        info += QStringLiteral("<b>Gr\u00f6sse:</b> Unbekant<br>");
    return info;
}
