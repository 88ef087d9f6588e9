// Whole contacts import runs in the worker thread against the local test CRM, with the memory store.
#include "crmtransport.h"
#include "contactrun.h"
#include "contactstable.h"
#include "crmsettings.h"
#include "exjob.h"
#include "exfolder.h"
#include "exoutlook.h"
#include "jobsummary.h"
#include "testcrm.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>
#include <mutex>

namespace {

QString dataFile(const char* name)
{
    return qEnvironmentVariable("KELVOR_SOURCE_DIR") + QStringLiteral("/tests/contacts/data/") + QLatin1String(name);
}

const QString personalLine = QStringLiteral(
    "<br><font color=\"green\"><b>%1  Kontakte sind erfolgreich importiert.</b></font><br>");
const QString companiesLine = QStringLiteral(
    "<br><font color=\"green\"><b>%1  Kontakte sind erfolgreich importiert.</b></font><br>");
const QString personsLine = QStringLiteral(
    "<br><font color=\"green\"><b>%1  Personen sind erfolgreich importiert.</b></font><br>");
const QString note = QStringLiteral("<font color=\"red\"><b>Durchf\u00fchrung unterbrochen</b></font><br>");
const QString logonFailed = QStringLiteral("<font size=\"12\" color=\"red\"><b>Login Fehlgeschlagen!</b></font><br>");

struct RunResult {
    QString summary;
    QList<QPair<int, QString>> progress;  // every UpdateStatus after the job was created
};

int countOps(const QJsonArray& requests, const QString& op)
{
    int n = 0;
    for (const auto& r : requests) {
        const QString body = r.toObject().value(QLatin1String("body")).toString();
        n += body.contains(QLatin1String(":") + op + QLatin1String(" ")) ? 1 : 0;
    }
    return n;
}

QJsonArray storedOf(const TestCrm& crm, const char* kind)
{
    return crm.stored().value(QLatin1String(kind)).toArray();
}

QString field(const QJsonArray& items, int index, const char* name)
{
    const QJsonValue v = items.at(index).toObject().value(QLatin1String(name));
    return v.isDouble() ? QString::number(v.toInteger()) : v.toString();
}

} // namespace

class TestContactRun : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ExOutlook> m_outlook;
    ExImporterTable m_table = contactsTable();
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};

    ExFOLDER* folder(const QString& name) const
    {
        for (ExFOLDER* f : *m_outlook->folders())
            if (f->name == name)
                return f;
        return nullptr;
    }
    std::unique_ptr<ExOutlook> scan(const QString& fixture)
    {
        qputenv("KELVOR_STORE", fixture.toLocal8Bit());
        auto outlook = std::make_unique<ExOutlook>(0, ExScanProfile::contacts());
        if (outlook->status())
            outlook->ScanFolders();
        return outlook;
    }
    void useCrm(const TestCrm& crm, const QString& login = QLatin1String(TestCrm::defaultLogin),
                const QString& password = QLatin1String(TestCrm::defaultPassword))
    {
        writeCrmSettings({crm.baseUrl(), login, password});
    }
    // Runs one job over `selected` and waits for its summary.
    void run(ExOutlook& outlook, const QList<ExFOLDER*>& selected, bool personal, RunResult& result,
             const std::function<void(ExJob&)>& onProgress3 = {})
    {
        int total = 0;
        for (ExFOLDER* f : selected)
            total += f->itemCount;
        ExJob job(m_table, m_transport, *outlook.folders(), selected, total, personal);
        job.setStatusInterval(0);  // every step, so that a stop can follow a given one
        // Progress is recorded in the worker (so that a stop can follow a given step at once).
        std::mutex progressMutex;
        QList<QPair<int, QString>> progress;
        connect(&job, &ExJob::UpdateStatus, &job,
                [&](int code, const QString& text) {
                    // The busy phase around the logon (code 5) is the run frame's, not the body's.
                    if (code != 5) {
                        const std::lock_guard<std::mutex> lock(progressMutex);
                        progress.append({code, text});
                    }
                    if (code == 3 && onProgress3)
                        onProgress3(job);
                },
                Qt::DirectConnection);
        JobSummary done(job);
        job.start();
        QTRY_VERIFY_WITH_TIMEOUT(done.received, 30000);
        result.summary = done.text;
        QVERIFY(job.wait(5000));
        const std::lock_guard<std::mutex> lock(progressMutex);
        result.progress = progress;
    }

private slots:
    void initTestCase();
    void personalMode();
    void companyAndPersonMode();
    void companyAnswers_data();
    void companyAnswers();
    void personalAnswers_data();
    void personalAnswers();
    void logonFailure_data();
    void logonFailure();
    void stopAfterThirdOfTen();
    void stopBeforeLogonFinished();
    void noFolderSelected();
    void selectedFolderWithoutRows();
    void unreadableFolderEndsTheRun();
    void secondRunReadsEveryFolderAgain();
    void destroyingARunningJobStopsAndWaits();
    void itemsOfAnotherKindAreSkipped_data();
    void itemsOfAnotherKindAreSkipped();
    void storesWithTheirOwnNameMaps();
};

void TestContactRun::initTestCase()
{
    m_outlook = scan(dataFile("contacts.json"));
    QVERIFY(m_outlook->status());
    QCOMPARE(m_outlook->folders()->size(), 3);
    QVERIFY(folder(QStringLiteral("Kontakte")) && folder(QStringLiteral("Leer")) && folder(QStringLiteral("Lieferanten")));
}

void TestContactRun::personalMode()
{
    TestCrm crm(QStringLiteral("TestContactRun_personal"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    useCrm(crm);
    RunResult r;
    run(*m_outlook, {folder(QStringLiteral("Kontakte")), folder(QStringLiteral("Lieferanten"))}, true, r);
    QCOMPARE(r.summary, personalLine.arg(6));

    const QJsonArray p = storedOf(crm, "pcontacts");
    QCOMPARE(p.size(), 6);
    // Cyrillic and Greek names reach the CRM unchanged.
    QCOMPARE(field(p, 0, "firstname"), QStringLiteral("\u0418\u0432\u0430\u043d"));
    QCOMPARE(field(p, 0, "lastname"), QStringLiteral("\u041f\u0435\u0442\u0440\u043e\u0432"));
    QCOMPARE(field(p, 0, "displayname"), QStringLiteral("\u0418\u0432\u0430\u043d \u041f\u0435\u0442\u0440\u043e\u0432"));
    QCOMPARE(field(p, 0, "emailadr1"), QStringLiteral("ivan@acme.example"));
    QCOMPARE(field(p, 0, "work_organisation"), QStringLiteral("ACME GmbH"));
    QCOMPARE(field(p, 0, "phone_work"), QStringLiteral("+49 228 1234-0"));
    QCOMPARE(field(p, 0, "phone_home"), QStringLiteral("+49 228 555"));
    QCOMPARE(field(p, 0, "work_city"), QStringLiteral("Bonn"));
    QCOMPARE(field(p, 0, "home_city"), QStringLiteral("K\u00f6ln"));
    QCOMPARE(field(p, 0, "work_title"), QStringLiteral("Einkauf"));
    QCOMPARE(field(p, 0, "notes"), QStringLiteral("Notiz mit <Klammern> & Umlauten \u00e4\u00f6\u00fc"));
    QVERIFY(!field(p, 0, "birthday").isEmpty());
    QVERIFY(!field(p, 0, "anniversary").isEmpty());
    QCOMPARE(field(p, 1, "firstname"), QStringLiteral("\u039d\u03af\u03ba\u03bf\u03c2"));
    QCOMPARE(field(p, 1, "lastname"), QStringLiteral("\u03a0\u03b1\u03c0\u03b1\u03b4\u03ac\u03ba\u03b7\u03c2"));
    QCOMPARE(field(p, 1, "emailadr2"), QStringLiteral("nikos@home.example"));
    QCOMPARE(field(p, 1, "phone_mobil"), QStringLiteral("+30 690 000 0000"));
    QCOMPARE(field(p, 1, "phone_fax"), QStringLiteral("+30 210 1"));
    // Without a display name the request carries "last,first".
    QCOMPARE(field(p, 2, "displayname"), QStringLiteral("Mustermann,Erika"));
    QCOMPARE(field(p, 2, "work_address1"), QStringLiteral("Hauptstra\u00dfe 1"));
    QCOMPARE(field(p, 4, "work_organisation"), QStringLiteral("Holz & Co"));
    QCOMPARE(field(p, 5, "displayname"), QStringLiteral("Nur Anzeigename"));
    QVERIFY(field(p, 5, "firstname").isEmpty());
    QCOMPARE(countOps(crm.requests(), QStringLiteral("crmaddContact")), 0);

    // Progress: maximum from the selection, then one step per contact.
    QCOMPARE(r.progress.first(), qMakePair(1, QStringLiteral("Verbunden")));
    QVERIFY(r.progress.contains(qMakePair(1, QStringLiteral("Importiere Kontakte:"))));
    QVERIFY(r.progress.contains(qMakePair(2, QStringLiteral("6 von 6"))));
    QCOMPARE(r.progress.last(), qMakePair(3, QStringLiteral("6")));

    // What the run leaves in the program folder is the user's alone; the request dump lies beside
    // the logs, without the session id.
    for (const char* file : {"kelvor_extasks.log", "kelvor_excon.log", "pcontact.xml"}) {
        const QFileInfo info(QString::fromLatin1(file));
        QVERIFY2(info.exists(), file);
        QCOMPARE(info.permissions() & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    QFile dump(QStringLiteral("pcontact.xml"));
    QVERIFY(dump.open(QIODevice::ReadOnly));
    const QByteArray dumped = dump.readAll();
    QVERIFY(dumped.contains("<session_id xsi:type=\"xsd:string\">***</session_id>"));
    QVERIFY(!dumped.contains(crm.sessionId().toUtf8()));
}

void TestContactRun::companyAndPersonMode()
{
    TestCrm crm(QStringLiteral("TestContactRun_company"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    useCrm(crm);
    RunResult r;
    run(*m_outlook, {folder(QStringLiteral("Kontakte")), folder(QStringLiteral("Lieferanten"))}, false, r);

    // ACME GmbH once for two persons; "acme gmbh" is another company; a contact without company gets a
    // nameless company each time.
    const QJsonArray companies = storedOf(crm, "contacts");
    const QJsonArray persons = storedOf(crm, "persons");
    QCOMPARE(countOps(crm.requests(), QStringLiteral("crmaddContact")), 5);
    QCOMPARE(countOps(crm.requests(), QStringLiteral("crmaddPerson")), 6);
    QCOMPARE(companies.size(), 5);
    QCOMPARE(persons.size(), 6);
    QCOMPARE(field(companies, 0, "company"), QStringLiteral("ACME GmbH"));
    QCOMPARE(field(companies, 0, "email"), QStringLiteral("ivan@acme.example"));
    QCOMPARE(field(companies, 0, "phone"), QStringLiteral("+49 228 1234-0"));
    QCOMPARE(field(companies, 0, "city"), QStringLiteral("Bonn"));
    QCOMPARE(field(companies, 1, "company"), QStringLiteral("acme gmbh"));
    QCOMPARE(field(companies, 1, "street"), QStringLiteral("Hauptstra\u00dfe 1"));
    QCOMPARE(field(companies, 1, "postcode"), QStringLiteral("53111"));
    QVERIFY(field(companies, 2, "company").isEmpty());
    QCOMPARE(field(companies, 3, "company"), QStringLiteral("Holz & Co"));
    QVERIFY(field(companies, 4, "company").isEmpty());

    const QString acmeId = field(companies, 0, "id");
    QCOMPARE(field(persons, 0, "cid"), acmeId);
    QCOMPARE(field(persons, 1, "cid"), acmeId);
    QCOMPARE(field(persons, 0, "firstname"), QStringLiteral("\u0418\u0432\u0430\u043d"));
    QCOMPARE(field(persons, 0, "phone"), QStringLiteral("+49 228 555"));
    QCOMPARE(field(persons, 0, "city"), QStringLiteral("K\u00f6ln"));
    QCOMPARE(field(persons, 0, "position"), QStringLiteral("Einkauf"));
    QCOMPARE(field(persons, 1, "lastname"), QStringLiteral("\u03a0\u03b1\u03c0\u03b1\u03b4\u03ac\u03ba\u03b7\u03c2"));
    QCOMPARE(field(persons, 1, "mobile"), QStringLiteral("+30 690 000 0000"));
    QCOMPARE(field(persons, 1, "fax"), QStringLiteral("+30 210 1"));
    QCOMPARE(field(persons, 2, "cid"), field(companies, 1, "id"));
    // Otto has no company: his person hangs on the nameless company, not on the one before.
    QCOMPARE(field(persons, 3, "lastname"), QStringLiteral("Ohnefirma"));
    QCOMPARE(field(persons, 3, "cid"), field(companies, 2, "id"));
    QCOMPARE(field(persons, 4, "cid"), field(companies, 3, "id"));
    QCOMPARE(field(persons, 5, "cid"), field(companies, 4, "id"));

    QCOMPARE(r.summary, companiesLine.arg(5) + personsLine.arg(6));
}

void TestContactRun::companyAnswers_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("personRequests");
    QTest::addColumn<QString>("summary");
    // Folder "Lieferanten": two contacts, so two company requests (the answer is never a cacheable id).
    QTest::newRow("-1 exists") << QStringLiteral("answer:crmaddContact=-1") << 0
                               << QStringLiteral("<font color=\"blue\"><i>2</i>  Kontakte existieren bereits</font><br>")
                                      + companiesLine.arg(0) + personsLine.arg(0);
    QTest::newRow("-3 exists") << QStringLiteral("answer:crmaddContact=-3") << 0
                               << QStringLiteral("<font color=\"blue\"><i>2</i>  Kontakte existieren bereits</font><br>")
                                      + companiesLine.arg(0) + personsLine.arg(0);
    QTest::newRow("-4 imported, no person") << QStringLiteral("answer:crmaddContact=-4") << 0
                                            << companiesLine.arg(2) + personsLine.arg(0);
    QTest::newRow("0 failed") << QStringLiteral("answer:crmaddContact=0") << 0
                              << QStringLiteral("<font color=\"red\"><i>2</i>  Kontakte k\u00f6nnten nicht importiert "
                                                "werden</font><br>")
                                     + companiesLine.arg(0) + personsLine.arg(0);
    QTest::newRow("person exists") << QStringLiteral("answer:crmaddPerson=-3") << 2
                                   << QStringLiteral("<font color=\"blue\"><i>2</i>  Personen existieren bereits</font><br>")
                                          + companiesLine.arg(2) + personsLine.arg(0);
    QTest::newRow("person fails") << QStringLiteral("answer:crmaddPerson=0") << 2
                                  << QStringLiteral("<font color=\"red\"><i>2</i>  Personen k\u00f6nnten nicht "
                                                    "importiert werden</font><br>")
                                         + companiesLine.arg(2) + personsLine.arg(0);
}

void TestContactRun::companyAnswers()
{
    QFETCH(QString, fault);
    QFETCH(int, personRequests);
    QFETCH(QString, summary);
    TestCrm crm(QStringLiteral("TestContactRun_companyAnswers"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(fault);
    useCrm(crm);
    RunResult r;
    run(*m_outlook, {folder(QStringLiteral("Lieferanten"))}, false, r);
    QCOMPARE(countOps(crm.requests(), QStringLiteral("crmaddContact")), 2);
    QCOMPARE(countOps(crm.requests(), QStringLiteral("crmaddPerson")), personRequests);
    QCOMPARE(r.summary, summary);
}

void TestContactRun::personalAnswers_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("summary");
    QTest::newRow("0 failed") << QStringLiteral("answer:crmAddPContact=0")
                              << QStringLiteral("<font color=\"red\"><b>2  Kontakte k\u00f6nnten nicht importiert "
                                                "werden</font></b><br>")
                                     + personalLine.arg(0);
    QTest::newRow("5 imported") << QStringLiteral("answer:crmAddPContact=5") << personalLine.arg(2);
    QTest::newRow("-1 exists") << QStringLiteral("answer:crmAddPContact=-1")
                               << QStringLiteral("<font color=\"blue\"><b>2  Kontakte existieren bereits</font></b><br>")
                                      + personalLine.arg(0);
    QTest::newRow("server error page") << QStringLiteral("html500")
                                       << QStringLiteral("<font color=\"red\"><b>2  Kontakte k\u00f6nnten nicht "
                                                         "importiert werden</font></b><br>")
                                              + personalLine.arg(0);
}

void TestContactRun::personalAnswers()
{
    QFETCH(QString, fault);
    QFETCH(QString, summary);
    TestCrm crm(QStringLiteral("TestContactRun_personalAnswers"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    useCrm(crm);
    // The fault must not hit the logon.
    crm.setFault(fault.startsWith(QLatin1String("answer:")) ? fault : fault + QStringLiteral(":crmAddPContact"));
    RunResult r;
    run(*m_outlook, {folder(QStringLiteral("Lieferanten"))}, true, r);
    QCOMPARE(r.summary, summary);
}

void TestContactRun::logonFailure_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("requestExpected");
    QTest::addColumn<int>("cause"); // CrmLogonFailure, named below the failure line
    const int wrong = int(CrmLogonFailure::WrongCredentials);
    const int incomplete = int(CrmLogonFailure::Incomplete);
    QTest::newRow("wrong password") << QString() << QStringLiteral("demo") << QStringLiteral("falsch") << QString()
                                    << true << wrong;
    QTest::newRow("refused") << QString() << QStringLiteral("demo") << QStringLiteral("demo")
                             << QStringLiteral("login_refused") << true << wrong;
    QTest::newRow("url of 6 characters") << QStringLiteral("http:/") << QStringLiteral("demo")
                                         << QStringLiteral("demo") << QString() << false << incomplete;
    QTest::newRow("login of 1 character") << QString() << QStringLiteral("d") << QStringLiteral("demo") << QString()
                                          << false << incomplete;
    QTest::newRow("server unreachable") << QStringLiteral("http://127.0.0.1:9/") << QStringLiteral("demo")
                                        << QStringLiteral("demo") << QString() << false
                                        << int(CrmLogonFailure::Unreachable);
}

void TestContactRun::logonFailure()
{
    QFETCH(QString, url);
    QFETCH(QString, login);
    QFETCH(QString, password);
    QFETCH(QString, fault);
    QFETCH(bool, requestExpected);
    QFETCH(int, cause);
    TestCrm crm(QStringLiteral("TestContactRun_logon"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(fault);
    writeCrmSettings({url.isEmpty() ? crm.baseUrl() : url, login, password});
    for (bool personal : {true, false}) {
        RunResult r;
        run(*m_outlook, {folder(QStringLiteral("Kontakte"))}, personal, r);
        QCOMPARE(r.summary, logonFailed + QStringLiteral("<font color=\"red\">") +
                                crmLogonFailureText(CrmLogonFailure(cause)) + QStringLiteral("</font><br>"));
    }
    QCOMPARE(crm.requests().size(), requestExpected ? 2 : 0);  // the two logons, nothing else
    QCOMPARE(storedOf(crm, "pcontacts").size() + storedOf(crm, "contacts").size(), 0);
}

void TestContactRun::stopAfterThirdOfTen()
{
    // Ten contacts generated into a fixture of their own.
    QJsonArray items;
    for (int i = 1; i <= 10; ++i) {
        QJsonObject props;
        props.insert(QStringLiteral("0x3A06001F"), QStringLiteral("Vorname%1").arg(i));
        props.insert(QStringLiteral("0x3A11001F"), QStringLiteral("Nachname%1").arg(i));
        props.insert(QStringLiteral("0x001A001F"), QStringLiteral("IPM.Contact"));
        items.append(QJsonObject{{QStringLiteral("props"), props}});
    }
    const QJsonObject folderObj{{QStringLiteral("name"), QStringLiteral("Zehn")},
                                {QStringLiteral("class"), QStringLiteral("IPF.Contact")},
                                {QStringLiteral("items"), items}};
    const QJsonObject store{{QStringLiteral("name"), QStringLiteral("Zehn")},
                            {QStringLiteral("folders"), QJsonArray{folderObj}}};
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("ten.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(QJsonObject{{QStringLiteral("stores"), QJsonArray{store}}}).toJson());
    file.close();
    auto outlook = scan(file.fileName());
    QVERIFY(outlook->status());
    QCOMPARE(outlook->folders()->size(), 1);
    QCOMPARE(outlook->totalItems(), 10);

    // "Abbrechen" right after the third contact: the run stops with 3 of 10 done.
    TestCrm crm2(QStringLiteral("TestContactRun_stop3"));
    QVERIFY2(crm2.isUp(), qPrintable(crm2.errorString()));
    useCrm(crm2);
    RunResult r3;
    int steps = 0;
    run(*outlook, *outlook->folders(), true, r3, [&steps](ExJob& job) {
        if (++steps == 3)
            job.stop();
    });
    QCOMPARE(r3.summary, note + personalLine.arg(3));
    QCOMPARE(storedOf(crm2, "pcontacts").size(), 3);
    QList<QPair<int, QString>> last2;
    for (const auto& p : r3.progress)
        if (p.first == 2 || p.first == 3)
            last2.append(p);
    QCOMPARE(last2.size(), 6);
    QCOMPARE(last2.at(4), qMakePair(2, QStringLiteral("3 von 10")));
    QCOMPARE(last2.at(5), qMakePair(3, QStringLiteral("3")));
}

void TestContactRun::stopBeforeLogonFinished()
{
    TestCrm crm(QStringLiteral("TestContactRun_stopEarly"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    useCrm(crm);
    ExJob job(m_table, m_transport, *m_outlook->folders(), {folder(QStringLiteral("Kontakte"))}, 4, true);
    JobSummary done(job);
    job.stop();  // before the thread even starts
    job.start();
    QTRY_VERIFY_WITH_TIMEOUT(done.received, 30000);
    QCOMPARE(done.text, note + personalLine.arg(0));
    QCOMPARE(storedOf(crm, "pcontacts").size(), 0);
}

void TestContactRun::noFolderSelected()
{
    TestCrm crm(QStringLiteral("TestContactRun_noFolder"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    useCrm(crm);
    RunResult r;
    run(*m_outlook, {}, false, r);
    QCOMPARE(r.summary, companiesLine.arg(0) + personsLine.arg(0));
    QCOMPARE(crm.requests().size(), 1);  // the logon only
    for (const auto& p : r.progress)
        QVERIFY(p.first == 1);
    QCOMPARE(m_outlook->folders()->size(), 3);  // the scan's list stays whole
}

void TestContactRun::selectedFolderWithoutRows()
{
    TestCrm crm(QStringLiteral("TestContactRun_emptyFolder"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    useCrm(crm);
    RunResult r;
    run(*m_outlook, {folder(QStringLiteral("Leer"))}, true, r);
    QCOMPARE(r.summary, personalLine.arg(0));
    QCOMPARE(crm.requests().size(), 1);
    for (const auto& p : r.progress)
        QVERIFY2(p.first == 1, qPrintable(p.second));
}

void TestContactRun::unreadableFolderEndsTheRun()
{
    TestCrm crm(QStringLiteral("TestContactRun_unreadable"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    useCrm(crm);

    // A contents table that refuses the columns: logged with the signed result in base 16, nothing is read.
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile file(dir.filePath(QStringLiteral("columns.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({ "stores": [ { "name": "P", "folders": [
            { "name": "Kontakte", "class": "IPF.Contact", "fail": "contentsSetColumns",
              "items": [ { "props": { "0x001A001F": "IPM.Contact", "0x3A06001F": "Max", "0x3A11001F": "Muster" } } ] } ] } ] })");
        file.close();
        std::unique_ptr<ExOutlook> outlook = scan(file.fileName());
        QVERIFY(outlook->status());
        QCOMPARE(outlook->folders()->size(), 1);
        QTest::ignoreMessage(QtCriticalMsg, "SetColumns Failed: 80004005");
        RunResult r;
        run(*outlook, {outlook->folders()->first()}, true, r);
        QCOMPARE(r.summary, personalLine.arg(0));
    }

    // A first list entry without a folder handle cannot resolve the named properties.
    {
        ExFOLDER bare;
        bare.name = QStringLiteral("Ohne Zugriff");
        QList<ExFOLDER*> all{&bare};
        all += *m_outlook->folders();
        ExJob job(m_table, m_transport, all, {folder(QStringLiteral("Kontakte"))}, 4, true);
        JobSummary done(job);
        QTest::ignoreMessage(QtCriticalMsg, "CAN'T get NAMED Properties");
        job.start();
        QTRY_VERIFY_WITH_TIMEOUT(done.received, 30000);
        QVERIFY(job.wait(5000));
        QCOMPARE(done.text, personalLine.arg(0));
    }
    QCOMPARE(storedOf(crm, "pcontacts").size(), 0);
}

void TestContactRun::secondRunReadsEveryFolderAgain()
{
    TestCrm crm(QStringLiteral("TestContactRun_twice"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    useCrm(crm);
    // First the last folder of the list, then the first one and the last again.
    RunResult first;
    run(*m_outlook, {folder(QStringLiteral("Lieferanten"))}, true, first);
    QCOMPARE(first.summary, personalLine.arg(2));
    RunResult second;
    run(*m_outlook, {folder(QStringLiteral("Kontakte")), folder(QStringLiteral("Lieferanten"))}, true, second);
    QCOMPARE(second.summary,
             QStringLiteral("<font color=\"blue\"><b>2  Kontakte existieren bereits</font></b><br>") + personalLine.arg(4));
    QCOMPARE(storedOf(crm, "pcontacts").size(), 6);
}

void TestContactRun::destroyingARunningJobStopsAndWaits()
{
    // The program may end during a run: the job stops the worker and waits for it before it goes, so
    // nothing is sent afterwards and no signal reaches a destroyed dialog.
    TestCrm crm(QStringLiteral("TestContactRun_destroy"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(QStringLiteral("slow:crmAddPContact"));  // 2 s per contact
    useCrm(crm);
    auto job = std::make_unique<ExJob>(m_table, m_transport, *m_outlook->folders(), QList<ExFOLDER*>{folder(QStringLiteral("Kontakte"))},
                                       4, true);
    int steps = 0;
    connect(job.get(), &ExJob::UpdateStatus, this, [&steps](int, const QString&) { ++steps; });
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(steps >= 2, 10000);  // logged on, first contact under way
    QElapsedTimer timer;
    timer.start();
    job.reset();
    QVERIFY(timer.elapsed() < 5000);
    QTest::qWait(2500);  // a worker still running would send the next contact by now
    QVERIFY(crm.stored().value(QLatin1String("pcontacts")).toArray().size() <= 1);
    QCOMPARE(countOps(crm.requests(), QStringLiteral("crmAddPContact")), 1);
}

void TestContactRun::itemsOfAnotherKindAreSkipped_data()
{
    QTest::addColumn<bool>("personal");
    QTest::newRow("personal address book") << true;
    QTest::newRow("companies and persons") << false;
}

void TestContactRun::itemsOfAnotherKindAreSkipped()
{
    QFETCH(bool, personal);
    // A contacts folder as Outlook keeps it: contacts (one of a derived class), a distribution list and
    // an item without a class.
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("mixed.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(R"({ "stores": [ { "name": "P", "folders": [ { "name": "Gemischt", "class": "IPF.Contact", "items": [
        { "props": { "0x001A001F": "IPM.Contact", "0x3A06001F": "Max", "0x3A11001F": "Muster" } },
        { "props": { "0x001A001F": "IPM.DistList", "0x3001001F": "Verteiler Vertrieb" } },
        { "props": { "0x001A001F": "", "0x3A06001F": "Ohne", "0x3A11001F": "Klasse" } },
        { "props": { "0x001A001F": "IPM.Contact.Lieferant", "0x3A06001F": "Lena", "0x3A11001F": "Holz" } } ] } ] } ] })");
    file.close();
    std::unique_ptr<ExOutlook> outlook = scan(file.fileName());
    QVERIFY(outlook->status());
    QCOMPARE(outlook->totalItems(), 4);

    TestCrm crm(personal ? QStringLiteral("TestContactRun_skippedPersonal") : QStringLiteral("TestContactRun_skippedCompany"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    useCrm(crm);
    RunResult r;
    run(*outlook, *outlook->folders(), personal, r);

    // imported + present + failed + skipped = read: 2 + 0 + 0 + 2 = 4, and the progress counts all four.
    const QString skipped = ExRun::skippedLine(2, QStringLiteral("Kontakte"));
    QCOMPARE(r.summary, personal ? skipped + personalLine.arg(2) : skipped + companiesLine.arg(2) + personsLine.arg(2));
    QCOMPARE(r.progress.last(), qMakePair(3, QStringLiteral("4")));
    QCOMPARE(crm.requests().size(), personal ? 3 : 5);
    QStringList lastnames;
    for (const QJsonValue& v : storedOf(crm, personal ? "pcontacts" : "persons"))
        lastnames << v.toObject().value(QStringLiteral("lastname")).toString();
    QCOMPARE(lastnames, (QStringList{QStringLiteral("Muster"), QStringLiteral("Holz")}));
}

void TestContactRun::storesWithTheirOwnNameMaps()
{
    // Two files number the same e-mail properties differently: the archive learnt e-mail 2 first.
    // Each contact's addresses must be read with its own file's numbers.
    const QByteArray fixture = R"({"stores":[
        {"name":"Pers\u00f6nliche Ordner","folders":[{"name":"Kontakte","class":"IPF.Contact","items":[
            {"props":{"0x3001001F":"Anna A","0x3A16001F":"Firma A","0x001A001F":"IPM.Contact"},
             "named":[{"guid":"{00062004-0000-0000-C000-000000000046}","id":"0x8083","type":"PT_STRING8","value":"anna@a.example"},
                      {"guid":"{00062004-0000-0000-C000-000000000046}","id":"0x8093","type":"PT_STRING8","value":"anna2@a.example"}]}]}]},
        {"name":"Archiv","names":[{"guid":"{00062004-0000-0000-C000-000000000046}","id":"0x8093"},
                                  {"guid":"{00062004-0000-0000-C000-000000000046}","id":"0x8062"}],
         "folders":[{"name":"Kontakte","class":"IPF.Contact","items":[
            {"props":{"0x3001001F":"Bert B","0x3A16001F":"Firma B","0x001A001F":"IPM.Contact"},
             "named":[{"guid":"{00062004-0000-0000-C000-000000000046}","id":"0x8083","type":"PT_STRING8","value":"bert@b.example"}]}]}]}]})";
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("two-stores.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(fixture);
    file.close();
    auto outlook = scan(file.fileName());
    qputenv("KELVOR_STORE", dataFile("contacts.json").toLocal8Bit());
    QVERIFY(outlook->status());
    QCOMPARE(outlook->folders()->size(), 2);
    const QList<ExFOLDER*> both = *outlook->folders();

    for (const bool personal : {true, false}) {
        TestCrm crm(QStringLiteral("TestContactRun_twoStores%1").arg(int(personal)));
        QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
        useCrm(crm);
        RunResult r;
        run(*outlook, both, personal, r);
        if (personal) {
            const QJsonArray p = storedOf(crm, "pcontacts");
            QCOMPARE(p.size(), 2);
            QCOMPARE(field(p, 0, "emailadr1"), QStringLiteral("anna@a.example"));
            QCOMPARE(field(p, 0, "emailadr2"), QStringLiteral("anna2@a.example"));
            QCOMPARE(field(p, 1, "emailadr1"), QStringLiteral("bert@b.example"));
            QVERIFY(field(p, 1, "emailadr2").isEmpty());
        } else {
            // A company takes e-mail 1 only: the archive's contact must not lose it.
            const QJsonArray companies = storedOf(crm, "contacts");
            QCOMPARE(companies.size(), 2);
            QCOMPARE(field(companies, 1, "email"), QStringLiteral("bert@b.example"));
        }
    }
}

QTEST_GUILESS_MAIN(TestContactRun)
#include "TestContactRun.moc"
