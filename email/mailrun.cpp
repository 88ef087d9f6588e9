#include "mailrun.h"

#include "bytes.h"
#include "crmlogon.h"
#include "crmoperations.h"
#include "crmsettings.h"
#include "crmtransfer.h"
#include "exfolder.h"
#include "exsoapcall.h"
#include "mailfolders.h"
#include "mimeconverter.h"

#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

namespace {

using xmapi::bytes::hexOf;

// The column carries its value (a column the message lacks comes back with an error tag).
bool HasColumn(const xmapi::Row& row, std::size_t index, xmapi::PropTag tag)
{
    return index < row.size() && row[index].tag == tag;
}

QString textOf(const xmapi::PropValue& v)
{
    return QString::fromStdString(v.str);
}

const QString kMailAction = QStringLiteral("SOAPAction: urn:crmemailAction\r\n");

// The contents-table columns of a mail folder, in this order.
const std::vector<xmapi::PropTag> kMailColumns = {PR_SUBJECT_W,     PR_MESSAGE_SIZE, PR_MESSAGE_DELIVERY_TIME,
                                                  PR_SENDER_EMAIL_ADDRESS_W, PR_DISPLAY_TO_W, PR_ENTRYID};

// The request of a message that never left is logged for diagnosis, but a whole upload of up to
// 20 MB per failed message would flood the log: its beginning and its size say enough.
constexpr qsizetype kLoggedRequestBytes = 4096;

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

} // namespace

ExMailRun::ExMailRun(ExMailRunView& view, CrmTransport& transport)
    : m_view(view), m_transport(transport), m_convert(&ConvertMessageToMime), m_httpLogPath(mailHttpLogPath())
{
    m_exchange = [this](const QString& baseUrl, const QString& service, const QString& soapAction,
                        const QByteArray& httpLogPath, const QByteArray& request) {
        return crmExchange(m_transport, baseUrl, service, soapAction, httpLogPath, request);
    };
}

bool ExMailRun::readSettings()
{
    // The stored settings are read once per program start, at the first run that finds an address.
    if (!m_settingsRead) {
        const CrmSettings settings = readCrmSettings();
        m_crmUrl = settings.url;
        m_crmLoginName = settings.login;
        m_crmPassword = settings.password;
        m_settingsRead = !m_crmUrl.isEmpty();
    }
    return !m_crmUrl.isEmpty() && m_crmLoginName.size() >= 2;
}

void ExMailRun::ImportFolders(const QList<ExFOLDER*>& stores)
{
    // The event loop runs inside a run; a second press must not start a run within the run.
    if (m_running)
        return;
    qDebug() << "START import process!";
    if (!readSettings())
        return;

    // What the journal knows of the selected folders decides whether to ask before anything is sent.
    MailJournal journal(m_journalPath.isEmpty() ? nullptr : std::make_unique<ExJournal>(m_journalPath),
                        ExJournalCrm{m_crmUrl, m_crmLoginName});
    QList<const ExFOLDER*> selected;
    const std::function<void(const ExFOLDER*)> collect = [&](const ExFOLDER* record) {
        if (m_view.isSelected(record))
            selected.append(record);
        for (const auto& child : record->subFolders)
            collect(child.get());
    };
    for (const ExFOLDER* store : stores) {
        if (store)
            collect(store);
    }
    const MailJournal::Tally tally = journal.tally(selected);
    if (tally.recorded) {
        switch (m_view.askResume(tally.imported, tally.total)) {
        case MailResumeChoice::Cancel:
            return;
        case MailResumeChoice::Missing:
            journal.setMode(MailJournal::Mode::Resume);
            break;
        case MailResumeChoice::All:
            journal.setMode(MailJournal::Mode::All);
            break;
        }
    }
    m_journal = &journal;
    m_journalLines.clear();
    m_running = true;

    m_view.showProgress();
    m_view.processEvents();
    QThread::msleep(1);
    m_view.setStatus(QStringLiteral("Verbinde mit CRM"));

    // Every transfer of the run lets the event loop work while it waits or moves bytes, so the
    // window repaints and "Abbrechen" is seen; it never aborts a transfer: an upload that has begun
    // is finished.
    CrmTransferGuard guard([this] {
        m_view.processEvents();
        return true;
    });

    LogonOptions options;
    options.logRawResponse = true;
    m_sessionId = crmLogon(m_transport, m_crmUrl, m_crmLoginName, m_crmPassword, m_httpLogPath, options);
    if (!isSessionId(m_sessionId)) {
        m_view.setStatus(QStringLiteral("Login fehlgeschlagen ..."));
        qCritical() << "CRM Login FAILED!";
        m_view.closeProgress();
        // Without a word the user could not tell a refused login from a run that did nothing.
        m_view.showSummary(QStringLiteral(
            "<html><body><font size=\"12\" color=\"red\"><b>Login Fehlgeschlagen!</b></font><br></body></html>"));
        m_stopRequested = false;
        m_running = false;
        m_journal = nullptr;
        return;
    }
    m_view.setStatus(QStringLiteral("Verbunden"));
    qDebug() << "CRM Login OK!";
    m_view.setStatus(QStringLiteral("Datenverarbeitung ..."));

    CrmMailFolders crm(CrmSession{m_crmUrl, m_sessionId, &m_transport}, m_httpLogPath);
    MailFolderWalk walk;
    walk.isSelected = [this](const ExFOLDER* folder) { return m_view.isSelected(folder); };
    walk.stopRequested = [this] { return m_stopRequested; };
    walk.importFolderMails = [this](ExFOLDER* folder, qint64 target) { ImportFolderMails(folder, target); };
    walk.knownFolder = [&journal](const ExFOLDER* folder) { return journal.reuseFolder(folder); };
    walk.folderCreated = [&journal](const ExFOLDER* folder, qint64 created) { journal.folderCreated(folder, created); };
    importMailFolders(stores, crm, walk);
    m_journalLines = journal.summaryLines();
    m_journal = nullptr;

    m_view.closeProgress();
    m_view.showSummary(summary());
    m_stopRequested = false;
    m_running = false;
}

QString ExMailRun::summary() const
{
    return QStringLiteral("<html><body><font color=\"green\"><b>") + QString::number(m_importedCount) +
           QStringLiteral("  E-Mails sind erfolgreich importiert.</b></font><br>") +
           QStringLiteral("<font color=\"red\"><i>") + QString::number(m_failedCount) +
           QStringLiteral("</i> E-Mails k\u00f6nnten nicht importiert werden</font><br>") + m_journalLines +
           m_errorReport +
           QStringLiteral("</body></html>");
}

void ExMailRun::ImportFolderMails(ExFOLDER* folder, qint64 target)
{
    if (m_stopRequested || !folder || !folder->folder)
        return;
    qDebug() << "Importing mails from folder: " << folder->name << " folder_id: " << target;
    m_view.setStatus(QStringLiteral("Importiere \"%1\"").arg(folder->name));
    m_view.setProgressRange(folder->itemCount);
    m_view.processEvents();

    std::unique_ptr<xmapi::Table> table;
    xmapi::HResult hr = folder->folder->GetContentsTable(MAPI_UNICODE, table);
    if (xmapi::failed(hr) || !table) {
        qCritical().noquote() << QStringLiteral("Can't get folder content table! ") + hexOf(hr);
        return;
    }
    hr = table->SetColumns(kMailColumns, 0);
    if (xmapi::failed(hr)) {
        qCritical().noquote() << QStringLiteral("SetColumns Failed: ") + hexOf(hr);
        return;
    }

    qint32 rowCounter = 0;
    int countdown = 1;
    quint32 shownEstimate = 0;
    quint32 latestEstimate = 0;
    QElapsedTimer rowTime;
    rowTime.start();
    for (;;) {
        if (m_stopRequested)
            break;
        ++rowCounter;
        // The estimate shown changes at the second row and then at every eleventh.
        if (countdown > 0) {
            --countdown;
        } else {
            shownEstimate = latestEstimate;
            countdown = 10;
        }
        xmapi::RowSet rows;
        if (table->QueryRows(1, 0, rows) != S_OK || rows.empty())
            break;
        const xmapi::Row& row = rows.front();

        QString subject;
        QString sender;
        QString to;
        qint32 size = 0;
        QString dateText = QStringLiteral("Date: ");
        QByteArray dateHeader = QByteArrayLiteral("Date: "); // without a time no Date line is made up
        if (HasColumn(row, 0, PR_SUBJECT_W))
            subject = textOf(row[0]);
        if (HasColumn(row, 1, PR_MESSAGE_SIZE)) {
            size = row[1].l;
            qDebug() << "MSG SIZE: " << size;
        }
        if (HasColumn(row, 2, PR_MESSAGE_DELIVERY_TIME)) {
            dateHeader = DateHeaderOfDeliveryTime(row[2].ft);
            dateText = QString::fromLatin1(dateHeader);
        }
        if (HasColumn(row, 3, PR_SENDER_EMAIL_ADDRESS_W))
            sender = textOf(row[3]);
        if (HasColumn(row, 4, PR_DISPLAY_TO_W))
            to = textOf(row[4]);

        // Every message gets its own description, also one without subject, so that a failure
        // never names another message.
        AddMailInfo(subject, sender, to, dateText, size);

        // What an earlier run of this CRM recorded of the message decides whether it goes again.
        const bool hasEntryId = HasColumn(row, 5, PR_ENTRYID);
        const MailJournal::Plan plan =
            hasEntryId && m_journal ? m_journal->plan(folder, row[5]) : MailJournal::Plan::Send;
        if (plan == MailJournal::Plan::Skip) {
            m_view.setProgressValue(rowCounter);
        } else if (size >= sizeLimit) {
            AddFailure(QStringLiteral("Die Anlagengr\u00f6\u00dfe \u00fcberschreitet das erlaubte Maximum. (15Mb)"));
            ++m_failedCount;
        } else if (hasEntryId) {
            std::uint32_t objType = 0;
            std::unique_ptr<xmapi::MapiProp> object;
            hr = folder->folder->OpenEntry(row[5].bin, 0, objType, object);
            std::unique_ptr<xmapi::Message> message;
            if (xmapi::failed(hr) || !object) {
                qCritical().noquote() << QStringLiteral("Can't open message! ") + hexOf(hr);
                AddFailure(QStringLiteral("MAPI Objekt kann nicht ge\u00f6ffnet werden"));
                ++m_failedCount;
            } else if (objType == MAPI_MESSAGE && (message = xmapi::objectCast<xmapi::Message>(std::move(object)))) {
                qDebug() << "Converting Mail: " << subject;
                QByteArray mime;
                if (xmapi::succeeded(m_convert(*message, mime))) {
                    RepairDateHeader(mime, dateHeader);
                    m_view.setProgressValue(rowCounter);
                    m_view.processEvents();
                    qDebug() << "Importing Mail: size: " << mime.size() << " folder_id: " << target
                             << " Subject: " << subject;
                    if (m_journal)
                        m_journal->uploading(folder, row[5]);
                    const Upload upload = ImportMail(mime, target);
                    if (m_journal) {
                        m_journal->uploaded(folder, row[5], upload.result, upload.mayHaveArrived);
                        if (plan == MailJournal::Plan::SendAgain)
                            m_journal->sentAgain(subject);
                    }
                    m_view.setStatus2(QStringLiteral("%1 / %2 E-Mails  ~%3 Min.")
                                          .arg(rowCounter)
                                          .arg(folder->itemCount)
                                          .arg(shownEstimate));
                } else {
                    qCritical() << "E-Mail: " << subject << " can't be converted to MIME type.";
                    AddFailure(QStringLiteral("Fehler beim konvertierung MAPI Objekt in RFC1521 MIME Objekt"));
                    ++m_failedCount;
                }
            }
            // An object of another kind is passed over without a count.
        }
        m_currentMailInfo.clear();

        latestEstimate = quint32(quint64(rowTime.elapsed()) * quint64(qMax(folder->itemCount, 0)) / 1000 / 60);
        rowTime.restart();
    }
}

ExMailRun::Upload ExMailRun::ImportMail(QByteArray& mime, qint64 target)
{
    QByteArray request = buildImportMailSourceRequest(m_sessionId, target, mime);
    // Only one copy of a large message is held while it travels.
    mime = QByteArray();
    m_view.processEvents();

    int result = -1;
    const CrmExchangeResult exchange =
        m_exchange(m_crmUrl, QStringLiteral("email"), kMailAction, m_httpLogPath, request);
    if (!exchange.ready) {
        qCritical() << "WinInet initialization failed";
        AddFailure(QStringLiteral("WinInet initialisierung fehgeschlagen. Kein Internetzugriff? Server nicht erreichbar?"));
        ++m_failedCount;
    } else if (!exchange.sent) {
        qCritical() << "Can't send data over internet " << "ExOutlook::ImportMail" << " " << "exoutlook.cpp" << " "
                    << 764;
        AddFailure(
            QStringLiteral("Daten k\u00f6nnen nicht gesendet werden. Kein Internetzugriff? Server nicht erreichbar?"));
        ++m_failedCount;
    } else {
        request = QByteArray();
        m_view.processEvents();
        ExSoapCall reader;
        reader.feedResponse(exchange.response);
        result = reader.parseResponse(CrmOp::crmImportMailSource).toInt();
        const qint64 failureId = QDateTime::currentSecsSinceEpoch();
        qDebug() << "CRM return code = " << result;
        if (result > 0) {
            ++m_importedCount;
        } else {
            AddFailure(QStringLiteral("Vom CRM-Server wurde ein Fehler zur\u00fcckgegeben: ") + QString::number(result) +
                       QStringLiteral("<br>Mehr Info finden Sie in Logdatei kelvor_email.log im Programmordner\r\n"
                                      "FehlerID: ") +
                       QString::number(failureId));
            qWarning().noquote() << QStringLiteral("FehlerID: ") + QString::number(failureId) +
                                        QStringLiteral(" START -->") + QString::fromUtf8(exchange.response) +
                                        QStringLiteral("<-- STOP\r\n");
            ++m_failedCount;
        }
    }
    m_view.processEvents();
    if (result < 1) {
        QByteArray logged = request.left(kLoggedRequestBytes);
        if (request.size() > kLoggedRequestBytes)
            logged += "... (" + QByteArray::number(request.size()) + " bytes)";
        qCritical() << "Can't Import E-Mail: retcode: " << result << " " << logged;
    }
    return Upload{result, exchange.ready && !exchange.sent && exchange.requestMayHaveArrived};
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

void ExMailRun::AddMailInfo(const QString& subject, const QString& sender, const QString& to,
                            const QString& dateText, qint32 size)
{
    m_currentMailInfo = mailInfo(subject, sender, to, dateText, size);
}

void ExMailRun::AddFailure(const QString& reason)
{
    m_currentMailInfo += QStringLiteral("<b>Grund:</b> ") + reason + QStringLiteral("<br>");
    m_errorReport += m_currentMailInfo;
    m_currentMailInfo.clear();
}
