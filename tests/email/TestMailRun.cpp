// E-mail import runs end to end: memory store, the run, the MIME converter, the local test CRM.
#include "crmsettings.h"
#include "crmtransfer.h"
#include "crmtransport.h"
#include "crmtruststore.h"
#include "exfolder.h"
#include "exmessagelog.h"
#include "exoutlook.h"
#include "mailjournal.h"
#include "mailreader.h"
#include "mailrun.h"
#include "mailrunner.h"
#include "mimeconverter.h"
#include "testcrm.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <thread>

namespace
{

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
        props.insert(QStringLiteral("0x0E060040"),
                     QStringLiteral("2026-01-%1T09:00:00Z").arg(n, 2, 10, QLatin1Char('0')));
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

// A memory store scanned the way the e-mail importer scans it.
class MailStore
{
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
const QString kImportedLine =
    QStringLiteral("<font color=\"green\"><b>%1  E-Mails sind erfolgreich importiert.</b></font><br>");

// The (subject, reason) pairs of a failure report, in order.
QStringList failures(const QString& report)
{
    QStringList out;
    static const QRegularExpression entry(
        QStringLiteral(
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

// The MIME source inside a crmImportMailSource request.
QByteArray sourceOf(const QByteArray& request)
{
    const QByteArray open = "<source xsi:type=\"xsd:string\">";
    const qsizetype from = request.indexOf(open);
    if (from < 0)
        return QByteArray();
    const qsizetype start = from + open.size();
    return QByteArray::fromBase64(request.mid(start, request.indexOf("</source>", start) - start));
}

// An answer of the CRM to crmImportMailSource with this return value.
QByteArray importAnswer(const QByteArray& value)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope "
           "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:ns1=\"urn:crmemail\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
           "<SOAP-ENV:Body><ns1:crmImportMailSourceResponse><return xsi:type=\"xsd:int\">" +
           value + "</return></ns1:crmImportMailSourceResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

QStringList subjectsOf(const QJsonArray& mails)
{
    QStringList out;
    for (const auto& m : mails)
        out << m.toObject().value(QStringLiteral("subject")).toString();
    return out;
}

} // namespace

class TestMailRun : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void failureKindsAndTwoRuns_data();
    void failureKindsAndTwoRuns();
    void stopDuringFolder();
    void uploadsInFlightEnd_data();
    void uploadsInFlightEnd();
    void boundedMemory_data();
    void boundedMemory();
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

void TestMailRun::failureKindsAndTwoRuns_data()
{
    QTest::addColumn<int>("inflight");
    QTest::newRow("one after another") << 1;
    QTest::newRow("four at once") << 4;
}

// One message of every failure kind between good ones; then the same selection once more in the
// same program start: new CRM folders, every message read and sent again, counts added up. Uploads
// in flight change nothing of what the CRM holds and what the user sees.
void TestMailRun::failureKindsAndTwoRuns()
{
    QFETCH(int, inflight);
    TestCrm crm(QStringLiteral("TestMailRun_failureKinds%1").arg(inflight));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const QString password = QStringLiteral("Geh\u00e9im&<Pw>");
    crm.addUser(QStringLiteral("mailtest"), password);
    writeCrmSettings({crm.baseUrl(), QStringLiteral("mailtest"), password});
    const InflightScope inflightSetting(inflight);

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
        {mail(QStringLiteral("Erste \u4f1a\u8b70 \u00e4\u00f6\u00fc"), 1, summer, withAttachment),
         mail(QStringLiteral("Zu gro\u00df"), 2, tooLarge, openFails), mail(QStringLiteral("Grenze"), 3, atLimit),
         noSubject, mail(QStringLiteral("Unkonvertierbar"), 5), mail(QStringLiteral("Nicht bereit"), 6),
         mail(QStringLiteral("Sendefehler"), 7), mail(QStringLiteral("Null"), 8), mail(QStringLiteral("Kaputt"), 9),
         mail(QStringLiteral("<b>Letzte</b>"), 10)})});
    MailStore store(json);
    QVERIFY(store.ok());
    ExFOLDER* inbox = store.folder(folderName);
    QVERIFY(inbox);

    installMessageLog(QStringLiteral("kelvor_email.log"));
    ExMailRun run;
    run.setConverter([&](xmapi::Message& message, QByteArray& mime) -> xmapi::HResult {
        if (subjectOf(message) == QLatin1String("Unkonvertierbar")) {
            mime.clear();
            return E_FAIL;
        }
        return ConvertMessageToMime(message, mime);
    });
    // Called by several threads at once: decides by the message in the request alone.
    run.setExchange([](CrmTransport& transport, const QString& url, const QString& service, const QString& action,
                       const QByteArray& log, const QByteArray& request) {
        const QByteArray source = sourceOf(request);
        if (source.contains("Subject: Nicht bereit\r\n"))
            return CrmExchangeResult{};
        CrmExchangeResult r;
        r.ready = true;
        if (source.contains("Subject: Sendefehler\r\n"))
            return r;
        r.sent = true;
        if (source.contains("Subject: Null\r\n")) {
            r.response = importAnswer("0");
            return r;
        }
        if (source.contains("Subject: Kaputt\r\n")) {
            r.response = "<html>kein SOAP</html>";
            return r;
        }
        return crmExchange(transport, url, service, action, log, request);
    });
    QStringList outcomes;
    run.setOutcomeHook(
        [&outcomes](const MailOutcome& o) { outcomes << QStringLiteral("%1:%2").arg(o.row).arg(int(o.result)); });

    const auto selected = [inbox](const ExFOLDER* f) { return f == inbox; };
    const MailRunRecord first = runMail(run, m_transport, store.stores(), selected);
    QVERIFY(first.started);
    QCOMPARE(run.importedCount(), 3);
    QCOMPARE(run.failedCount(), 7);
    QVERIFY2(first.summary.startsWith(kSummaryHead.arg(3).arg(7)), qPrintable(first.summary));
    QVERIFY(first.summary.endsWith(QStringLiteral("</body></html>")));
    // Progress as the user sees it: the folder, then one line per message that was sent, in order.
    QCOMPARE(first.texts(1), (QStringList{QStringLiteral("Verbunden"), QStringLiteral("Datenverarbeitung ..."),
                                          QStringLiteral("Importiere \"%1\"").arg(folderName)}));
    QStringList lines;
    for (int row : {1, 3, 6, 7, 8, 9, 10})
        lines << QStringLiteral("%1 / 10 E-Mails  ~0 Min.").arg(row);
    QCOMPARE(first.texts(2), lines);
    // The bar counts every row with an outcome, failed ones included.
    QCOMPARE(first.texts(3).join(QLatin1Char(' ')), QStringLiteral("1 2 3 4 5 6 7 8 9 10"));
    // Every row once, in reading order: 0 imported, 1 failed, 3 passed over.
    QCOMPARE(outcomes.join(QLatin1Char(' ')), QStringLiteral("1:0 2:1 3:0 4:1 5:1 6:1 7:1 8:1 9:1 10:0"));

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
    // Nothing in this run went without an answer.
    QVERIFY(!first.summary.contains(QStringLiteral("vielleicht doch gespeichert")));

    // What the CRM holds: its folder below the inbox, with the name intact, and the three messages.
    QJsonObject stored = crm.stored();
    QJsonArray folders = stored.value(QStringLiteral("mailfolders")).toArray();
    QCOMPARE(folders.size(), 2);
    const int inboxId = folders.at(0).toObject().value(QStringLiteral("id")).toInt();
    QCOMPARE(folders.at(1).toObject().value(QStringLiteral("name")).toString(), folderName);
    QCOMPARE(folders.at(1).toObject().value(QStringLiteral("parent")).toInt(), inboxId);
    const int folderId = folders.at(1).toObject().value(QStringLiteral("id")).toInt();
    QJsonArray mails = stored.value(QStringLiteral("mails")).toArray();
    QJsonObject summerMail;
    for (const auto& m : mails) {
        QCOMPARE(m.toObject().value(QStringLiteral("tree_id")).toInt(), folderId);
        if (m.toObject().value(QStringLiteral("subject")).toString().startsWith(QStringLiteral("Erste")))
            summerMail = m.toObject();
    }
    QStringList subjects = subjectsOf(mails);
    QStringList expectedSubjects{QStringLiteral("Erste \u4f1a\u8b70 \u00e4\u00f6\u00fc"), QStringLiteral("Grenze"),
                                 QStringLiteral("<b>Letzte</b>")};
    // Several at once may arrive in another order; each exactly once.
    if (inflight > 1) {
        subjects.sort();
        expectedSubjects.sort();
    }
    QCOMPARE(subjects, expectedSubjects);
    // The CRM's page shows the folder and, decoded from the stored source, subject, sender and the
    // attachment's name, with umlauts and CJK intact and markup shown as text.
    const QString page = fetchPage(crm.baseUrl());
    for (const QString& shown :
         {QStringLiteral("Post &amp; &lt;Eingang&gt; \u6771\u4eac"),
          QStringLiteral("Erste \u4f1a\u8b70 \u00e4\u00f6\u00fc"), QStringLiteral("absender1@example.org"),
          QStringLiteral("\u00dcbersicht \u6771\u4eac.txt"), QStringLiteral("&lt;b&gt;Letzte&lt;/b&gt;")})
        QVERIFY2(page.contains(shown), qPrintable(shown));
    // The Date header carries the delivery time with the zone's true offset (summer time here).
    QVERIFY2(summerMail.value(QStringLiteral("date")).toString().contains(QStringLiteral("01 Jul 2026 12:00:00 +0200")),
             qPrintable(summerMail.value(QStringLiteral("date")).toString()));
    // A subject is shown as text in the summary, never as markup.
    QVERIFY(!first.summary.contains(QStringLiteral("<b>Letzte</b>")));

    // Second run in the same program start: new folders, everything read again; the CRM already
    // holds the three good messages (-1), so every message is a failure this time. Its summary tells
    // this run alone: no import of the first run, each failure once.
    outcomes.clear();
    const MailRunRecord second = runMail(run, m_transport, store.stores(), selected);
    QCOMPARE(run.importedCount(), 0);
    QCOMPARE(run.failedCount(), 10);
    QVERIFY2(second.summary.startsWith(kSummaryHead.arg(0).arg(10)), qPrintable(second.summary));
    QCOMPARE(failures(second.summary).size(), 10);
    QCOMPARE(outcomes.size(), 10);
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

// "Abbrechen" during a folder, between two messages: the folder ends, the next selected folder is
// neither created nor read, the summary is still shown, and the next run starts afresh.
void TestMailRun::stopDuringFolder()
{
    TestCrm crm(QStringLiteral("TestMailRun_stop"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    writeCrmSettings(
        {crm.baseUrl(), QString::fromLatin1(TestCrm::defaultLogin), QString::fromLatin1(TestCrm::defaultPassword)});
    QJsonArray many;
    for (int i = 1; i <= 5; ++i)
        many.append(mail(QStringLiteral("Nachricht %1").arg(i), i));
    MailStore store(storeJson({mailFolder(QStringLiteral("Eins"), many),
                               mailFolder(QStringLiteral("Zwei"), {mail(QStringLiteral("Andere"), 20)})}));
    QVERIFY(store.ok());

    const QSet<const ExFOLDER*> selected{store.folder(QStringLiteral("Eins")), store.folder(QStringLiteral("Zwei"))};
    const auto isSelected = [&selected](const ExFOLDER* f) { return selected.contains(f); };
    ExMailRun run;
    int lines = 0;
    const MailRunRecord r =
        runMail(run, m_transport, store.stores(), isSelected, [&lines](ExRun& frame, int code, const QString&) {
            if (code == 2 && ++lines == 2)
                frame.requestStop();
        });

    QCOMPARE(run.importedCount(), 2);
    QCOMPARE(run.failedCount(), 0);
    // Said to be stopped; no red line when nothing failed.
    QCOMPARE(r.summary, QStringLiteral("<html><body>") + ExSummary::interruptNote() + kImportedLine.arg(2) +
                            QStringLiteral("</body></html>"));
    QCOMPARE(r.texts(2), (QStringList{QStringLiteral("1 / 5 E-Mails  ~0 Min."), QStringLiteral("2 / 5 E-Mails  ~0 Min.")}));
    QJsonObject stored = crm.stored();
    QCOMPARE(stored.value(QStringLiteral("mails")).toArray().size(), 2);
    QCOMPARE(stored.value(QStringLiteral("mailfolders")).toArray().size(), 2); // inbox and "Eins"

    // Not stopped again by the old request: the next run goes through both folders, its bar over
    // both (5 + 1 rows) without starting again at the second, its folder work named over a busy bar.
    // The summary counts this run only and does not say it was stopped.
    const MailRunRecord again = runMail(run, m_transport, store.stores(), isSelected);
    QCOMPARE(run.importedCount(), 4);
    QCOMPARE(run.failedCount(), 2);
    QVERIFY2(again.summary.startsWith(kSummaryHead.arg(4).arg(2)), qPrintable(again.summary));
    QCOMPARE(again.texts(3).join(QLatin1Char(' ')), QStringLiteral("1 2 3 4 5 6"));
    QCOMPARE(again.texts(5), (QStringList{QStringLiteral("Anmeldung am CRM ..."), QString(),
                                          QStringLiteral("Lege CRM-Ordner an (1 von 2) ..."), QString(),
                                          QStringLiteral("Lege CRM-Ordner an (1 von 2) ..."), QString(),
                                          QStringLiteral("Lege CRM-Ordner an (2 von 2) ..."), QString()}));
    QCOMPARE(crm.stored().value(QStringLiteral("mails")).toArray().size(), 6);
}

void TestMailRun::uploadsInFlightEnd_data()
{
    QTest::addColumn<int>("inflight");
    QTest::addColumn<bool>("lost");
    QTest::newRow("stop, one at a time") << 1 << false;
    QTest::newRow("stop, four at once") << 4 << false;
    QTest::newRow("lost connection, one at a time") << 1 << true;
    QTest::newRow("lost connection, four at once") << 4 << true;
}

// "Abbrechen" and a lost connection while uploads travel: each upload in flight ends at once and
// counts as failed with the note that the CRM may have stored it; nothing is counted imported
// whose answer did not arrive; every message is counted once.
void TestMailRun::uploadsInFlightEnd()
{
    QFETCH(int, inflight);
    QFETCH(bool, lost);
    TestCrm crm(QStringLiteral("TestMailRun_inflightEnd%1%2").arg(inflight).arg(QLatin1String(lost ? "lost" : "stop")));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    writeCrmSettings(
        {crm.baseUrl(), QString::fromLatin1(TestCrm::defaultLogin), QString::fromLatin1(TestCrm::defaultPassword)});
    const InflightScope inflightSetting(inflight);
    QJsonArray first;
    for (int i = 1; i <= 8; ++i)
        first.append(mail(QStringLiteral("Eins %1").arg(i), i));
    MailStore store(storeJson(
        {mailFolder(QStringLiteral("Eins"), first),
         mailFolder(QStringLiteral("Zwei"), {mail(QStringLiteral("Zwei 1"), 20), mail(QStringLiteral("Zwei 2"), 21),
                                             mail(QStringLiteral("Zwei 3"), 22)})}));
    QVERIFY(store.ok());
    const QSet<const ExFOLDER*> selected{store.folder(QStringLiteral("Eins")), store.folder(QStringLiteral("Zwei"))};

    ExMailRun run;
    std::atomic<int> started{0};
    if (lost) {
        // Every connection breaks after the request has left, 50 ms into the upload; an upload still
        // going when the run gives up is aborted by it.
        run.setExchange([&started](CrmTransport&, const QString&, const QString&, const QString&, const QByteArray&,
                                   const QByteArray&) {
            ++started;
            CrmExchangeResult r;
            r.ready = true;
            r.requestMayHaveArrived = true;
            r.failure = CrmTransportFailure::Other;
            for (int i = 0; i < 10; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                if (!CrmTransferGuard::tickCurrent()) {
                    r.failure = CrmTransportFailure::Aborted;
                    break;
                }
            }
            return r;
        });
    } else {
        // Every answer takes 2 s; "Abbrechen" comes while the first uploads wait for theirs.
        crm.setFault(QStringLiteral("slow:crmImportMailSource"));
        run.setExchange([&started](CrmTransport& transport, const QString& url, const QString& service,
                                   const QString& action, const QByteArray& log, const QByteArray& request) {
            ++started;
            return crmExchange(transport, url, service, action, log, request);
        });
    }
    std::thread user;
    ExRun* frame = nullptr;
    const MailRunRecord r = runMail(
        run, m_transport, store.stores(), [&selected](const ExFOLDER* f) { return selected.contains(f); },
        [&](ExRun& f, int code, const QString& text) {
            if (lost || code != 1 || !text.startsWith(QStringLiteral("Importiere")) || user.joinable())
                return;
            frame = &f;
            user = std::thread([&] {
                while (started.load() < inflight)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                frame->requestStop();
            });
        });
    if (user.joinable())
        user.join();

    const QStringList failed = failures(run.errorReport());
    QCOMPARE(run.importedCount(), 0);
    QCOMPARE(run.failedCount(), int(failed.size()));
    // In reading order, each once; every one ended without an answer.
    for (int i = 0; i < failed.size(); ++i)
        QVERIFY2(failed.at(i).startsWith(QStringLiteral("Eins %1|").arg(i + 1)),
                 qPrintable(failed.join(QLatin1Char('\n'))));
    QCOMPARE(run.errorReport().count(QStringLiteral("vielleicht doch gespeichert.<br>")), int(failed.size()));
    QVERIFY(r.summary.contains(ExRun::mayBeStoredLine(int(failed.size()), QStringLiteral("E-Mails"))));
    if (lost) {
        // Five broken uploads in a row end the run; the rest is counted as not tried.
        QVERIFY2(failed.size() >= ExRun::lostConnectionLimit && failed.size() < ExRun::lostConnectionLimit + inflight,
                 qPrintable(QString::number(failed.size())));
        QVERIFY(r.summary.contains(ExRun::connectionLostText()));
        QVERIFY(r.summary.contains(ExRun::notTriedLine(11 - int(failed.size()), QStringLiteral("E-Mails"))));
        QVERIFY(!r.summary.contains(ExSummary::interruptNote()));
    } else {
        QVERIFY2(r.summary.startsWith(QStringLiteral("<html><body>") + ExSummary::interruptNote()), qPrintable(r.summary));
        // Exactly the uploads in flight; the next folder is neither created nor read.
        QCOMPARE(int(failed.size()), inflight);
        QVERIFY(r.summary.contains(QStringLiteral("\u00dcbertragung abgebrochen.")));
        QVERIFY(!r.summary.contains(QStringLiteral("nicht versucht")));
        QCOMPARE(crm.stored().value(QStringLiteral("mailfolders")).toArray().size(), 2);
        QVERIFY(crm.stored().value(QStringLiteral("mails")).toArray().size() <= inflight);
    }
}

void TestMailRun::boundedMemory_data()
{
    QTest::addColumn<int>("messages");
    QTest::addColumn<int>("sourceMiB");   // the size of each converted source
    QTest::addColumn<int>("declaredMiB"); // PR_MESSAGE_SIZE of each message
    QTest::newRow("10 MiB messages") << 12 << 10 << 10;
    QTest::newRow("sources far larger than declared") << 3 << 30 << 1;
}

// Messages of many MiB with 16 uploads allowed in flight: the sources and request bodies held at
// once stay within 64 MiB, or one message when a single message needs more; every message arrives.
void TestMailRun::boundedMemory()
{
    QFETCH(int, messages);
    QFETCH(int, sourceMiB);
    QFETCH(int, declaredMiB);
    TestCrm crm(QStringLiteral("TestMailRun_boundedMemory%1").arg(sourceMiB));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    writeCrmSettings(
        {crm.baseUrl(), QString::fromLatin1(TestCrm::defaultLogin), QString::fromLatin1(TestCrm::defaultPassword)});
    const InflightScope inflightSetting(16);
    QJsonArray items;
    for (int i = 1; i <= messages; ++i) {
        QJsonObject size;
        size.insert(QStringLiteral("0x0E080003"), declaredMiB * 1024 * 1024);
        items.append(mail(QStringLiteral("Gro\u00df %1").arg(i), i, size));
    }
    MailStore store(storeJson({mailFolder(QStringLiteral("Anlagen"), items)}));
    QVERIFY(store.ok());

    ExMailRun run;
    const qsizetype sourceBytes = qsizetype(sourceMiB) * 1024 * 1024;
    run.setConverter([sourceBytes](xmapi::Message& message, QByteArray& mime) -> xmapi::HResult {
        mime = "Subject: " + subjectOf(message).toUtf8() + "\r\n\r\n";
        mime.append(sourceBytes - mime.size(), 'x');
        return S_OK;
    });
    const qint64 alone = MailMemory::roomFor(sourceBytes);
    const qint64 bound = qMax(MailMemory::defaultLimit, alone);
    const bool shareable = alone <= MailMemory::defaultLimit;
    // Counts the request bodies travelling at once; each takes 500 ms (so that they would pile up)
    // and is stored. Where messages can share the memory, an upload also waits (up to 10 s) until a
    // second one travels, so that a slow machine does not make the run look serialised.
    QElapsedTimer clock;
    clock.start();
    std::atomic<qint64> travelling{0};
    std::atomic<qint64> mostTravelling{0};
    std::atomic<int> uploads{0};
    std::atomic<int> mostUploads{0};
    run.setExchange([&](CrmTransport&, const QString&, const QString&, const QString&, const QByteArray&,
                        const QByteArray& request) {
        const qint64 bytes = travelling += request.size();
        const int now = ++uploads;
        qint64 seen = mostTravelling.load();
        while (bytes > seen && !mostTravelling.compare_exchange_weak(seen, bytes))
            ;
        int seenUploads = mostUploads.load();
        while (now > seenUploads && !mostUploads.compare_exchange_weak(seenUploads, now))
            ;
        const qint64 until = clock.elapsed() + 500;
        while (clock.elapsed() < until || (shareable && mostUploads.load() < 2 && clock.elapsed() < 10000))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        travelling -= request.size();
        --uploads;
        CrmExchangeResult r;
        r.ready = true;
        r.sent = true;
        r.response = importAnswer("7");
        return r;
    });
    const MailRunRecord r =
        runMail(run, m_transport, store.stores(), [](const ExFOLDER* f) { return !f->isStoreRoot; });
    QVERIFY(r.started);
    QCOMPARE(run.importedCount(), messages);
    QCOMPARE(run.failedCount(), 0);

    QVERIFY2(run.peakHeldBytes() <= bound, qPrintable(QString::number(run.peakHeldBytes())));
    QVERIFY2(mostTravelling.load() <= bound, qPrintable(QString::number(mostTravelling.load())));
    // The source of a message that was held is counted: the run held something at all.
    QVERIFY(run.peakHeldBytes() >= sourceBytes);
    if (!shareable)
        QCOMPARE(mostUploads.load(), 1); // too large to share the memory: one after another
    else
        QVERIFY2(mostUploads.load() >= 2, qPrintable(QString::number(mostUploads.load()))); // but not serialised
}

// A refused logon ends the run before any folder, but says so instead of closing without a word;
// without settings there is no run at all.
void TestMailRun::logonRefused()
{
    TestCrm crm(QStringLiteral("TestMailRun_logonRefused"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    MailStore store(storeJson({mailFolder(QStringLiteral("Eins"), {mail(QStringLiteral("Nachricht"), 1)})}));
    QVERIFY(store.ok());
    const auto all = [](const ExFOLDER*) { return true; };
    {
        writeCrmSettings({crm.baseUrl(), QStringLiteral("x"), QStringLiteral("demo")});
        ExMailRun run;
        QVERIFY(!runMail(run, m_transport, store.stores(), all).started);
    }
    writeCrmSettings({crm.baseUrl(), QString::fromLatin1(TestCrm::defaultLogin), QStringLiteral("falsch")});
    ExMailRun run;
    const MailRunRecord r = runMail(run, m_transport, store.stores(), all);
    QVERIFY(r.started);
    QVERIFY2(r.summary.startsWith(QStringLiteral("<html><body><font size=\"12\" color=\"red\"><b>Login "
                                                 "Fehlgeschlagen!</b></font><br>")),
             qPrintable(r.summary));
    QVERIFY(r.summary.endsWith(QStringLiteral("</body></html>")));
    QCOMPARE(r.texts(1).last(), QStringLiteral("Login fehlgeschlagen ..."));
    QCOMPARE(run.importedCount() + run.failedCount(), 0);
    QCOMPARE(crm.stored().value(QStringLiteral("mailfolders")).toArray().size(), 0);
}

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
    writeCrmSettings(
        {crm.baseUrl(), QString::fromLatin1(TestCrm::defaultLogin), QString::fromLatin1(TestCrm::defaultPassword)});
    QJsonArray inbox;
    QJsonArray projects;
    QJsonArray archive;
    for (int i = 1; i <= 4; ++i)
        inbox.append(mail(QStringLiteral("Eingang %1").arg(i), i));
    for (int i = 5; i <= 7; ++i)
        projects.append(mail(QStringLiteral("Projekt %1").arg(i), i));
    for (int i = 8; i <= 9; ++i)
        archive.append(mail(QStringLiteral("Archiv %1").arg(i), i));
    MailStore store(
        storeJson({mailFolder(QStringLiteral("Eingang"), inbox, {mailFolder(QStringLiteral("Projekte"), projects)}),
                   mailFolder(QStringLiteral("Archiv"), archive)}));
    QVERIFY(store.ok());
    QTemporaryDir data;
    const QSet<const ExFOLDER*> selection{store.folder(QStringLiteral("Eingang")),
                                          store.folder(QStringLiteral("Projekte")),
                                          store.folder(QStringLiteral("Archiv"))};
    const auto selected = [&selection](const ExFOLDER* f) { return selection.contains(f); };
    const int total = 9;
    const int k = 4; // "Projekte" (3), then one of "Eingang"; the answer to "Eingang 2" is lost

    {
        ExMailRun first;
        first.setJournalPath(data.filePath(QStringLiteral("imports.sqlite")));
        std::atomic<int> uploads{0};
        first.setExchange([&uploads](CrmTransport& transport, const QString& url, const QString& service,
                                     const QString& action, const QByteArray& log, const QByteArray& request) {
            CrmExchangeResult dropped;
            dropped.ready = true;
            dropped.failure = CrmTransportFailure::Connect;
            const int n = ++uploads;
            if (n <= k)
                return crmExchange(transport, url, service, action, log, request);
            if (n == k + 1) {
                (void)crmExchange(transport, url, service, action, log, request);
                dropped.failure = CrmTransportFailure::Other;
                dropped.requestMayHaveArrived = true;
            }
            return dropped;
        });
        const MailRunRecord r = runMail(first, m_transport, store.stores(), selected);
        QVERIFY(r.started);
        QCOMPARE(first.importedCount(), k);
        QVERIFY(r.resumeAsked.isEmpty()); // nothing was recorded before the first run
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
    ExMailRun again;
    again.setJournalPath(data.filePath(QStringLiteral("imports.sqlite")));
    const MailRunRecord r = runMail(again, m_transport, store.stores(), selected, {}, choice);
    QCOMPARE(r.resumeAsked, (QList<QPair<int, int>>{{k, total}}));

    const QJsonObject stored = crm.stored();
    const QJsonArray folders = stored.value(QStringLiteral("mailfolders")).toArray();
    const QJsonArray mails = stored.value(QStringLiteral("mails")).toArray();
    if (choice == MailResumeChoice::Cancel) {
        QVERIFY(!r.started);
        QCOMPARE(crm.requests().size(), requestsBefore); // not even a logon
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
        folderName.insert(f.toObject().value(QStringLiteral("id")).toInteger(),
                          f.toObject().value(QStringLiteral("name")).toString());
    for (const QJsonValue& m : mails) {
        const QString subject = m.toObject().value(QStringLiteral("subject")).toString();
        const QString expected = subject.section(QLatin1Char(' '), 0, 0) == QLatin1String("Projekt")
                                     ? QStringLiteral("Projekte")
                                 : subject.startsWith(QLatin1String("Archiv")) ? QStringLiteral("Archiv")
                                                                               : QStringLiteral("Eingang");
        QCOMPARE(folderName.value(m.toObject().value(QStringLiteral("tree_id")).toInteger()), expected);
    }
    // Only what the CRM lacked went, and the one whose answer was lost.
    QCOMPARE(mailRequests() - uploadsBefore, total - k);
    QVERIFY2(r.summary.contains(MailJournal::skippedLine(k)), qPrintable(r.summary));
    QVERIFY2(r.summary.contains(QStringLiteral("<i>Eingang 2</i>")), qPrintable(r.summary));
    QCOMPARE(again.importedCount(), total - k - 1);
}

QTEST_GUILESS_MAIN(TestMailRun)
#include "TestMailRun.moc"
