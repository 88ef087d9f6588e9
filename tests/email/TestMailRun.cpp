// E-mail import runs end to end: memory store, the run, the MIME converter, the local test CRM.
#include "crmtransport.h"
#include "crmtruststore.h"
#include "crmsettings.h"
#include "exfolder.h"
#include "exmessagelog.h"
#include "exoutlook.h"
#include "mailjournal.h"
#include "mailrun.h"
#include "mimeconverter.h"
#include "testcrm.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSet>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <ctime>
#include <memory>

namespace {

QJsonObject mail(const QString& subject, int n, QJsonObject props = {}, const QJsonObject& extra = {})
{
    props.insert(QStringLiteral("0x001A001F"), QStringLiteral("IPM.Note"));
    props.insert(QStringLiteral("0x0037001F"), subject);
    props.insert(QStringLiteral("0x1000001F"), QStringLiteral("Text von Nachricht %1").arg(n));
    props.insert(QStringLiteral("0x0C1A001F"), QStringLiteral("Absender %1").arg(n));
    props.insert(QStringLiteral("0x0C1F001F"), QStringLiteral("absender%1@example.org").arg(n));
    props.insert(QStringLiteral("0x0C1E001F"), QStringLiteral("SMTP"));
    props.insert(QStringLiteral("0x0E04001F"), QStringLiteral("Empf\u00e4nger %1").arg(n));
    props.insert(QStringLiteral("0x1035001F"), QStringLiteral("<m%1@run.example>").arg(n));
    if (!props.contains(QStringLiteral("0x0E060040")))
        props.insert(QStringLiteral("0x0E060040"), QStringLiteral("2026-01-%1T09:00:00Z").arg(n, 2, 10, QLatin1Char('0')));
    QJsonObject item = extra;
    item.insert(QStringLiteral("props"), props);
    item.insert(QStringLiteral("recipients"),
                QJsonArray{QJsonObject{{QStringLiteral("type"), QStringLiteral("To")},
                                       {QStringLiteral("name"), QStringLiteral("Empf\u00e4nger %1").arg(n)},
                                       {QStringLiteral("address"), QStringLiteral("to%1@example.org").arg(n)},
                                       {QStringLiteral("addressType"), QStringLiteral("SMTP")}}});
    return item;
}

QJsonObject mailFolder(const QString& name, const QJsonArray& items, const QJsonArray& subFolders = {})
{
    return QJsonObject{{QStringLiteral("name"), name},
                       {QStringLiteral("class"), QStringLiteral("IPF.Note")},
                       {QStringLiteral("items"), items},
                       {QStringLiteral("folders"), subFolders}};
}

QByteArray storeJson(const QJsonArray& folders)
{
    const QJsonObject store{{QStringLiteral("name"), QStringLiteral("Pers\u00f6nliche Ordner")},
                            {QStringLiteral("folders"), folders}};
    return QJsonDocument(QJsonObject{{QStringLiteral("stores"), QJsonArray{store}}}).toJson(QJsonDocument::Compact);
}

// The user interface of a run without widgets: records what the run shows, answers the selection.
class RecordingView : public ExMailRunView {
public:
    QSet<const ExFOLDER*> selected;
    QStringList summaries;
    QStringList status2;
    int progressShown = 0;
    int progressClosed = 0;
    int eventRounds = 0;
    std::function<void()> afterUpload; // called when the run reports a message as done
    MailResumeChoice resumeAnswer = MailResumeChoice::Missing;
    QList<QPair<int, int>> resumeAsked; // (imported, total) of every "Bereits importiert"

    void showProgress() override { ++progressShown; }
    void closeProgress() override { ++progressClosed; }
    void setStatus(const QString&) override {}
    void setStatus2(const QString& text) override
    {
        status2 << text;
        if (afterUpload)
            afterUpload();
    }
    void setProgressRange(int) override {}
    void setProgressValue(int) override {}
    void showSummary(const QString& html) override { summaries << html; }
    void processEvents() override { ++eventRounds; }
    bool isSelected(const ExFOLDER* folder) const override { return selected.contains(folder); }
    MailResumeChoice askResume(int imported, int total) override
    {
        resumeAsked.append({imported, total});
        return resumeAnswer;
    }
};

// A memory store scanned the way the e-mail importer scans it.
class MailStore {
public:
    explicit MailStore(const QByteArray& json)
    {
        m_file.open();
        m_file.write(json);
        m_file.flush();
        qputenv("KELVOR_STORE", m_file.fileName().toLocal8Bit());
        m_outlook = std::make_unique<ExOutlook>(0, ExScanProfile::email());
        if (m_outlook->status())
            m_outlook->ScanFolders();
        qunsetenv("KELVOR_STORE");
    }
    bool ok() const { return m_outlook->status() && !m_outlook->stores().isEmpty(); }
    QList<ExFOLDER*> stores() const { return m_outlook->stores(); }
    ExFOLDER* folder(const QString& name) const
    {
        std::function<ExFOLDER*(ExFOLDER*)> find = [&](ExFOLDER* r) -> ExFOLDER* {
            if (r->name == name)
                return r;
            for (const auto& c : r->subFolders) {
                if (ExFOLDER* f = find(c.get()))
                    return f;
            }
            return nullptr;
        };
        for (ExFOLDER* s : m_outlook->stores()) {
            if (ExFOLDER* f = find(s))
                return f;
        }
        return nullptr;
    }

private:
    QTemporaryFile m_file;
    std::unique_ptr<ExOutlook> m_outlook;
};

QString subjectOf(xmapi::Message& message)
{
    std::vector<xmapi::PropValue> values;
    (void)message.GetProps({PR_SUBJECT_W}, 0, values);
    return values.empty() || values[0].isError() ? QString() : QString::fromStdString(values[0].str);
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The test CRM's page of a tenant, as a person looking at the import sees it.
QString fetchPage(const QString& url)
{
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(QUrl(url))));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!finished.wait(20000))
        return QString();
    return QString::fromUtf8(reply->readAll());
}

const QString kSummaryHead = QStringLiteral(
    "<html><body><font color=\"green\"><b>%1  E-Mails sind erfolgreich importiert.</b></font><br>"
    "<font color=\"red\"><i>%2</i> E-Mails k\u00f6nnten nicht importiert werden</font><br>");

// The (subject, reason) pairs of a failure report, in order.
QStringList failures(const QString& report)
{
    QStringList out;
    static const QRegularExpression entry(QStringLiteral(
        "<br><font color=\"red\">E-Mail: (.*?)</font><br><b>Von:</b> (.*?)<br>.*?<b>Grund:</b> (.*?)<br>"),
        QRegularExpression::DotMatchesEverythingOption);
    auto it = entry.globalMatch(report);
    while (it.hasNext()) {
        const auto m = it.next();
        QString reason = m.captured(3);
        reason.truncate(reason.indexOf(QLatin1Char(':')) > 0 ? reason.indexOf(QLatin1Char(':')) : reason.size());
        out << m.captured(1) + QLatin1Char('|') + m.captured(2) + QLatin1Char('|') + reason;
    }
    return out;
}

} // namespace

class TestMailRun : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void failureKindsAndTwoRuns();
    void stopDuringFolder();
    void logonRefused();
    void resumeAfterDroppedConnection_data();
    void resumeAfterDroppedConnection();

private:
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};
};

void TestMailRun::initTestCase()
{
    qputenv("TZ", "Europe/Berlin");
    tzset();
}

// One message of every failure kind between good ones; then the same selection once more in the
// same program start: new CRM folders, every message read and sent again, counts added up.
void TestMailRun::failureKindsAndTwoRuns()
{
    TestCrm crm(QStringLiteral("TestMailRun_failureKinds"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const QString password = QStringLiteral("Geh\u00e9im&<Pw>");
    crm.addUser(QStringLiteral("mailtest"), password);
    writeCrmSettings({crm.baseUrl(), QStringLiteral("mailtest"), password});

    const QString folderName = QStringLiteral("Post & <Eingang> \u6771\u4eac");
    QJsonObject tooLarge;
    tooLarge.insert(QStringLiteral("0x0E080003"), 16777216);
    QJsonObject atLimit;
    atLimit.insert(QStringLiteral("0x0E080003"), 16777215);
    QJsonObject summer;
    summer.insert(QStringLiteral("0x0E060040"), QStringLiteral("2026-07-01T10:00:00Z"));
    const QJsonObject openFails{{QStringLiteral("fail"), QStringLiteral("open")}};
    QJsonObject noSubject = mail(QString(), 4, {}, openFails);
    QJsonObject noSubjectProps = noSubject.value(QStringLiteral("props")).toObject();
    noSubjectProps.remove(QStringLiteral("0x0037001F"));
    noSubject.insert(QStringLiteral("props"), noSubjectProps);
    const QJsonObject attachment{{QStringLiteral("fileName"), QStringLiteral("\u00dcbersicht \u6771\u4eac.txt")},
                                 {QStringLiteral("mimeType"), QStringLiteral("text/plain")},
                                 {QStringLiteral("text"), QStringLiteral("Inhalt")}};
    const QJsonObject withAttachment{{QStringLiteral("attachments"), QJsonArray{attachment}}};
    const QByteArray json = storeJson({mailFolder(
        folderName,
        {mail(QStringLiteral("Erste \u4f1a\u8b70 \u00e4\u00f6\u00fc"), 1, summer, withAttachment), mail(QStringLiteral("Zu gro\u00df"), 2, tooLarge, openFails),
         mail(QStringLiteral("Grenze"), 3, atLimit), noSubject, mail(QStringLiteral("Unkonvertierbar"), 5),
         mail(QStringLiteral("Nicht bereit"), 6), mail(QStringLiteral("Sendefehler"), 7),
         mail(QStringLiteral("Null"), 8), mail(QStringLiteral("Kaputt"), 9),
         mail(QStringLiteral("<b>Letzte</b>"), 10)})});
    MailStore store(json);
    QVERIFY(store.ok());
    ExFOLDER* inbox = store.folder(folderName);
    QVERIFY(inbox);

    installMessageLog(QStringLiteral("kelvor_email.log"));
    RecordingView view;
    view.selected.insert(inbox);
    ExMailRun run(view, m_transport);
    QString converting;
    run.setConverter([&](xmapi::Message& message, QByteArray& mime) -> xmapi::HResult {
        converting = subjectOf(message);
        if (converting == QLatin1String("Unkonvertierbar")) {
            mime.clear();
            return E_FAIL;
        }
        return ConvertMessageToMime(message, mime);
    });
    run.setExchange([&](const QString& url, const QString& service, const QString& action, const QByteArray& log,
                        const QByteArray& request) {
        if (converting == QLatin1String("Nicht bereit"))
            return CrmExchangeResult{};
        if (converting == QLatin1String("Sendefehler")) {
            CrmExchangeResult r;
            r.ready = true;
            return r;
        }
        if (converting == QLatin1String("Null"))
            crm.setFault(QStringLiteral("answer:crmImportMailSource=0"));
        if (converting == QLatin1String("Kaputt"))
            crm.setFault(QStringLiteral("garbage:crmImportMailSource"));
        CrmExchangeResult r = crmExchange(m_transport, url, service, action, log, request);
        crm.setFault(QString());
        return r;
    });

    run.ImportFolders(store.stores());
    QCOMPARE(view.summaries.size(), 1);
    QCOMPARE(view.progressShown, 1);
    QCOMPARE(view.progressClosed, 1);
    QCOMPARE(run.importedCount(), 3);
    QCOMPARE(run.failedCount(), 7);
    const QString first = view.summaries.at(0);
    QVERIFY2(first.startsWith(kSummaryHead.arg(3).arg(7)), qPrintable(first));

    // Each failure is described by its own message, also the one without a subject.
    const QStringList expected{
        QStringLiteral("Zu gro\u00df|absender2@example.org|Die Anlagengr\u00f6\u00dfe \u00fcberschreitet das "
                       "erlaubte Maximum. (15Mb)"),
        QStringLiteral("|absender4@example.org|MAPI Objekt kann nicht ge\u00f6ffnet werden"),
        QStringLiteral("Unkonvertierbar|absender5@example.org|Fehler beim konvertierung MAPI Objekt in RFC1521 MIME "
                       "Objekt"),
        QStringLiteral("Nicht bereit|absender6@example.org|WinInet initialisierung fehgeschlagen. Kein "
                       "Internetzugriff? Server nicht erreichbar?"),
        QStringLiteral("Sendefehler|absender7@example.org|Daten k\u00f6nnen nicht gesendet werden. Kein "
                       "Internetzugriff? Server nicht erreichbar?"),
        QStringLiteral("Null|absender8@example.org|Vom CRM-Server wurde ein Fehler zur\u00fcckgegeben"),
        QStringLiteral("Kaputt|absender9@example.org|Vom CRM-Server wurde ein Fehler zur\u00fcckgegeben"),
    };
    QCOMPARE(failures(run.errorReport()), expected);
    QVERIFY(run.errorReport().contains(QStringLiteral("zur\u00fcckgegeben: 0<br>")));
    QVERIFY(run.errorReport().contains(QStringLiteral("zur\u00fcckgegeben: -2<br>")));
    // A message's size: the size column, not a made-up figure.
    QVERIFY(run.errorReport().contains(QStringLiteral("<b>Gr\u00f6sse:</b> 16 MB<br>")));

    // What the CRM holds: its folder below the inbox, with the name intact, and the three messages.
    QJsonObject stored = crm.stored();
    QJsonArray folders = stored.value(QStringLiteral("mailfolders")).toArray();
    QCOMPARE(folders.size(), 2);
    const int inboxId = folders.at(0).toObject().value(QStringLiteral("id")).toInt();
    QCOMPARE(folders.at(1).toObject().value(QStringLiteral("name")).toString(), folderName);
    QCOMPARE(folders.at(1).toObject().value(QStringLiteral("parent")).toInt(), inboxId);
    const int folderId = folders.at(1).toObject().value(QStringLiteral("id")).toInt();
    QJsonArray mails = stored.value(QStringLiteral("mails")).toArray();
    QStringList subjects;
    for (const auto& m : mails) {
        subjects << m.toObject().value(QStringLiteral("subject")).toString();
        QCOMPARE(m.toObject().value(QStringLiteral("tree_id")).toInt(), folderId);
    }
    QCOMPARE(subjects, (QStringList{QStringLiteral("Erste \u4f1a\u8b70 \u00e4\u00f6\u00fc"),
                                    QStringLiteral("Grenze"), QStringLiteral("<b>Letzte</b>")}));
    // The CRM's page shows the folder and, decoded from the stored source, subject, sender and the
    // attachment's name, with umlauts and CJK intact and markup shown as text.
    const QString page = fetchPage(crm.baseUrl());
    for (const QString& shown :
         {QStringLiteral("Post &amp; &lt;Eingang&gt; \u6771\u4eac"), QStringLiteral("Erste \u4f1a\u8b70 \u00e4\u00f6\u00fc"),
          QStringLiteral("absender1@example.org"), QStringLiteral("\u00dcbersicht \u6771\u4eac.txt"),
          QStringLiteral("&lt;b&gt;Letzte&lt;/b&gt;")})
        QVERIFY2(page.contains(shown), qPrintable(shown));
    // The Date header carries the delivery time with the zone's true offset (summer time here).
    QVERIFY2(mails.at(0).toObject().value(QStringLiteral("date")).toString().contains(
                 QStringLiteral("01 Jul 2026 12:00:00 +0200")),
             qPrintable(mails.at(0).toObject().value(QStringLiteral("date")).toString()));
    // A subject is shown as text in the summary, never as markup.
    QVERIFY(!first.contains(QStringLiteral("<b>Letzte</b>")));

    // Second run in the same program start: new folders, everything read again; the CRM already
    // holds the three good messages (-1), so every message is a failure this time.
    run.ImportFolders(store.stores());
    QCOMPARE(view.summaries.size(), 2);
    QCOMPARE(run.importedCount(), 3);
    QCOMPARE(run.failedCount(), 17);
    QVERIFY(view.summaries.at(1).startsWith(kSummaryHead.arg(3).arg(17)));
    QVERIFY(view.summaries.at(1).contains(first.mid(kSummaryHead.arg(3).arg(7).size()).chopped(14)));
    stored = crm.stored();
    QCOMPARE(stored.value(QStringLiteral("mailfolders")).toArray().size(), 3);
    QCOMPARE(stored.value(QStringLiteral("mails")).toArray().size(), 3);

    uninstallMessageLog();
    const QByteArray log = readFile(QStringLiteral("kelvor_email.log"));
    QVERIFY(log.contains("CRM Login OK!"));
    // The failure id in the summary opens the logged reply of that failure.
    const QRegularExpression idPattern(QStringLiteral("FehlerID: (\\d+)"));
    const auto idMatch = idPattern.match(run.errorReport());
    QVERIFY(idMatch.hasMatch());
    QVERIFY(log.contains("FehlerID: " + idMatch.captured(1).toLatin1() + " START -->"));
    // The password appears in no log, in no encoding.
    for (const QByteArray& file : {log, readFile(QStringLiteral("kelvor_exhttp.log"))}) {
        QVERIFY(!file.contains(password.toUtf8()));
        QVERIFY(!file.contains("Geh&#233;im") && !file.contains("Geh\xc3\xa9im&amp;"));
    }
}

// "Abbrechen" during a folder: the message in hand is finished, the folder ends, the next selected
// folder is neither created nor read, the summary is still shown, and the next run starts afresh.
void TestMailRun::stopDuringFolder()
{
    TestCrm crm(QStringLiteral("TestMailRun_stop"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    writeCrmSettings({crm.baseUrl(), QString::fromLatin1(TestCrm::defaultLogin),
                      QString::fromLatin1(TestCrm::defaultPassword)});
    QJsonArray many;
    for (int i = 1; i <= 5; ++i)
        many.append(mail(QStringLiteral("Nachricht %1").arg(i), i));
    MailStore store(storeJson({mailFolder(QStringLiteral("Eins"), many),
                               mailFolder(QStringLiteral("Zwei"), {mail(QStringLiteral("Andere"), 20)})}));
    QVERIFY(store.ok());

    RecordingView view;
    view.selected = {store.folder(QStringLiteral("Eins")), store.folder(QStringLiteral("Zwei"))};
    ExMailRun run(view, m_transport);
    view.afterUpload = [&] {
        if (view.status2.size() == 2)
            run.StopJob();
    };
    run.ImportFolders(store.stores());

    QCOMPARE(view.summaries.size(), 1);
    QVERIFY(!run.stopRequested());
    QCOMPARE(run.importedCount(), 2);
    QCOMPARE(run.failedCount(), 0);
    QCOMPARE(view.status2, (QStringList{QStringLiteral("1 / 5 E-Mails  ~0 Min."),
                                        QStringLiteral("2 / 5 E-Mails  ~0 Min.")}));
    QJsonObject stored = crm.stored();
    QCOMPARE(stored.value(QStringLiteral("mails")).toArray().size(), 2);
    QCOMPARE(stored.value(QStringLiteral("mailfolders")).toArray().size(), 2); // inbox and "Eins"

    // Not stopped again by the old request: the next run goes through both folders.
    view.afterUpload = nullptr;
    run.ImportFolders(store.stores());
    QCOMPARE(run.importedCount(), 2 + 4);
    QCOMPARE(run.failedCount(), 2);
    QCOMPARE(crm.stored().value(QStringLiteral("mails")).toArray().size(), 6);
}

// A refused logon ends the run before any folder, but says so instead of closing without a word;
// a stop pressed meanwhile does not carry over into the next run.
void TestMailRun::logonRefused()
{
    TestCrm crm(QStringLiteral("TestMailRun_logonRefused"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    writeCrmSettings({crm.baseUrl(), QString::fromLatin1(TestCrm::defaultLogin), QStringLiteral("falsch")});
    MailStore store(storeJson({mailFolder(QStringLiteral("Eins"), {mail(QStringLiteral("Nachricht"), 1)})}));
    QVERIFY(store.ok());
    RecordingView view;
    view.selected = {store.folder(QStringLiteral("Eins"))};
    ExMailRun run(view, m_transport);
    run.StopJob();
    run.ImportFolders(store.stores());
    QCOMPARE(view.progressShown, 1);
    QCOMPARE(view.progressClosed, 1);
    QCOMPARE(view.summaries.size(), 1);
    QVERIFY(view.summaries.at(0).contains(QStringLiteral("Login Fehlgeschlagen!")));
    QVERIFY(!run.stopRequested());
    QCOMPARE(run.importedCount() + run.failedCount(), 0);
    QCOMPARE(crm.stored().value(QStringLiteral("mailfolders")).toArray().size(), 0);
}

QTEST_GUILESS_MAIN(TestMailRun)
#include "TestMailRun.moc"

void TestMailRun::resumeAfterDroppedConnection_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("Nur fehlende importieren") << int(MailResumeChoice::Missing);
    QTest::newRow("Alle erneut importieren") << int(MailResumeChoice::All);
    QTest::newRow("Abbrechen") << int(MailResumeChoice::Cancel);
}

// The connection drops after k uploads (the answer of upload k+1 is lost, nothing after it leaves);
// then the same selection again. "Nur fehlende" resumes into the first run's CRM folders with only
// what the CRM lacks; the message whose answer was lost goes again and is named.
void TestMailRun::resumeAfterDroppedConnection()
{
    QFETCH(int, answer);
    const auto choice = static_cast<MailResumeChoice>(answer);
    TestCrm crm(QStringLiteral("TestMailRun_resume_%1").arg(answer));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    writeCrmSettings({crm.baseUrl(), QString::fromLatin1(TestCrm::defaultLogin),
                      QString::fromLatin1(TestCrm::defaultPassword)});
    QJsonArray inbox;
    QJsonArray projects;
    QJsonArray archive;
    for (int i = 1; i <= 4; ++i)
        inbox.append(mail(QStringLiteral("Eingang %1").arg(i), i));
    for (int i = 5; i <= 7; ++i)
        projects.append(mail(QStringLiteral("Projekt %1").arg(i), i));
    for (int i = 8; i <= 9; ++i)
        archive.append(mail(QStringLiteral("Archiv %1").arg(i), i));
    MailStore store(storeJson({mailFolder(QStringLiteral("Eingang"), inbox,
                                          {mailFolder(QStringLiteral("Projekte"), projects)}),
                               mailFolder(QStringLiteral("Archiv"), archive)}));
    QVERIFY(store.ok());
    QTemporaryDir data;
    RecordingView view;
    view.selected = {store.folder(QStringLiteral("Eingang")), store.folder(QStringLiteral("Projekte")),
                     store.folder(QStringLiteral("Archiv"))};
    view.resumeAnswer = choice;
    const int total = 9;
    const int k = 4; // "Projekte" (3), then one of "Eingang"; the answer to "Eingang 2" is lost

    {
        ExMailRun first(view, m_transport);
        first.setJournalPath(data.filePath(QStringLiteral("imports.sqlite")));
        int uploads = 0;
        first.setExchange([this, &uploads](const QString& url, const QString& service, const QString& action,
                                     const QByteArray& log, const QByteArray& request) {
            CrmExchangeResult dropped;
            dropped.ready = true;
            dropped.failure = CrmTransportFailure::Connect;
            if (++uploads <= k)
                return crmExchange(m_transport, url, service, action, log, request);
            if (uploads == k + 1) {
                (void)crmExchange(m_transport, url, service, action, log, request);
                dropped.failure = CrmTransportFailure::Other;
                dropped.requestMayHaveArrived = true;
            }
            return dropped;
        });
        first.ImportFolders(store.stores());
        QCOMPARE(first.importedCount(), k);
        QVERIFY(view.resumeAsked.isEmpty()); // nothing was recorded before the first run
    }
    const auto mailRequests = [&crm] {
        int n = 0;
        for (const QJsonValue& r : crm.requests())
            n += r.toObject().value(QStringLiteral("operation")).toString() == QLatin1String("crmImportMailSource");
        return n;
    };
    const int requestsBefore = static_cast<int>(crm.requests().size());
    const int uploadsBefore = mailRequests();
    QCOMPARE(uploadsBefore, k + 1);

    // A later program start with the same selection.
    ExMailRun again(view, m_transport);
    again.setJournalPath(data.filePath(QStringLiteral("imports.sqlite")));
    again.ImportFolders(store.stores());
    QCOMPARE(view.resumeAsked, (QList<QPair<int, int>>{{k, total}}));

    const QJsonObject stored = crm.stored();
    const QJsonArray folders = stored.value(QStringLiteral("mailfolders")).toArray();
    const QJsonArray mails = stored.value(QStringLiteral("mails")).toArray();
    if (choice == MailResumeChoice::Cancel) {
        QCOMPARE(crm.requests().size(), requestsBefore); // not even a logon
        QCOMPARE(view.summaries.size(), 1);
        return;
    }
    // Whatever the choice, the CRM (which refuses a Message-ID it has) holds each message once.
    QSet<QString> ids;
    for (const QJsonValue& m : mails)
        ids.insert(m.toObject().value(QStringLiteral("message_id")).toString());
    QCOMPARE(mails.size(), total);
    QCOMPARE(ids.size(), total);
    if (choice == MailResumeChoice::All) {
        // As without a journal: a second folder set, every message sent again.
        QCOMPARE(folders.size(), 1 + 2 * 3);
        QCOMPARE(mailRequests() - uploadsBefore, total);
        return;
    }

    // One folder set, each message in the folder of its Outlook folder.
    QCOMPARE(folders.size(), 1 + 3);
    QHash<qint64, QString> folderName;
    for (const QJsonValue& f : folders)
        folderName.insert(f.toObject().value(QStringLiteral("id")).toInteger(), f.toObject().value(QStringLiteral("name")).toString());
    for (const QJsonValue& m : mails) {
        const QString subject = m.toObject().value(QStringLiteral("subject")).toString();
        const QString expected = subject.section(QLatin1Char(' '), 0, 0) == QLatin1String("Projekt") ? QStringLiteral("Projekte")
                                 : subject.startsWith(QLatin1String("Archiv")) ? QStringLiteral("Archiv")
                                                                                : QStringLiteral("Eingang");
        QCOMPARE(folderName.value(m.toObject().value(QStringLiteral("tree_id")).toInteger()), expected);
    }
    // Only what the CRM lacked went, and the one whose answer was lost.
    QCOMPARE(mailRequests() - uploadsBefore, total - k);
    const QString summary = view.summaries.last();
    QVERIFY2(summary.contains(MailJournal::skippedLine(k)), qPrintable(summary));
    QVERIFY2(summary.contains(QStringLiteral("<i>Eingang 2</i>")), qPrintable(summary));
    QCOMPARE(again.importedCount(), total - k - 1);
}
