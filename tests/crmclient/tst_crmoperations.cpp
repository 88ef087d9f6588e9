// The send operations of the importers against the local test CRM: what arrives and is stored,
// the results the importers count, the request dump and the debug lines.
#include "crmlogon.h"
#include "crmoperations.h"
#include "crmsettings.h"
#include "crmtransport.h"
#include "exmessagelog.h"
#include "exsoapcall.h"
#include "testcrm.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace
{

QString S(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

QByteArray readAll(const QString& path)
{
    flushMessageLog(); // the message log writes in blocks
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonObject lastStored(const TestCrm& crm, const char* kind)
{
    const QJsonArray items = crm.stored().value(QLatin1String(kind)).toArray();
    return items.isEmpty() ? QJsonObject() : items.last().toObject();
}

} // namespace

class TestCrmOperations : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void personalContact();
    void companyAndPerson();
    void task();
    void appointment();
    void mailFolders();
    void importMailSource();
    void results_data();
    void results();

private:
    CrmSession logon(const TestCrm& crm);
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCwd;
};

void TestCrmOperations::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_oldCwd = QDir::currentPath();
    QDir::setCurrent(m_dir->path());
}

void TestCrmOperations::cleanup()
{
    uninstallMessageLog();
    QDir::setCurrent(m_oldCwd);
    m_dir.reset();
}

CrmSession TestCrmOperations::logon(const TestCrm& crm)
{
    CrmSession session{crm.baseUrl(),
                       crmLogon(m_transport, crm.baseUrl(), QStringLiteral("demo"), QStringLiteral("demo"), tasksHttpLog),
                       &m_transport};
    if (!isSessionId(session.sessionId))
        qWarning("logon failed");
    return session;
}

void TestCrmOperations::personalContact()
{
    TestCrm crm(QStringLiteral("TestCrmOperations_personalContact"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    installMessageLog(QStringLiteral("kelvor_contacts.log"));
    const CrmSession session = logon(crm);
    QVERIFY(isSessionId(session.sessionId));

    PContactItem p;
    p.firstname = S("Jürgen");
    p.lastname = S("Müller & Söhne");
    p.emailadr1 = S("j&m@x.de");
    p.phone_work = S("</phone_work><list>1</list>");
    p.notes = S("Zeile 1\vZeile 2\x02");
    p.picture = S("<b>");
    p.birthday = 3600;
    const QString dumpPath = m_dir->filePath(QStringLiteral("pcontact.xml"));
    const int id = crmAddPContact(session, p, contactsHttpLog, dumpPath);
    QVERIFY2(id > 0, QByteArray::number(id).constData());
    const QJsonObject stored = lastStored(crm, "pcontacts");
    QCOMPARE(stored.value(QStringLiteral("firstname")).toString(), p.firstname);
    QCOMPARE(stored.value(QStringLiteral("lastname")).toString(), p.lastname);
    QCOMPARE(stored.value(QStringLiteral("emailadr1")).toString(), p.emailadr1);
    QCOMPARE(stored.value(QStringLiteral("phone_work")).toString(), p.phone_work);
    QCOMPARE(stored.value(QStringLiteral("notes")).toString(), S("Zeile 1\nZeile 2"));
    QCOMPARE(stored.value(QStringLiteral("picture")).toString(), p.picture);
    QCOMPARE(stored.value(QStringLiteral("displayname")).toString(), S("Müller & Söhne,Jürgen"));
    QCOMPARE(stored.value(QStringLiteral("list")).toString(), S("0"));
    QCOMPARE(stored.value(QStringLiteral("id")).toInt(), id);

    // The wire carries exactly the built request; the dump keeps the last one.
    ExSoapCall call;
    call.setArgument(QStringList{session.sessionId});
    call.setPContact(&p);
    const QByteArray request = call.requestBytes(CrmOp::crmAddPContact);
    QCOMPARE(crm.requests().last().toObject().value(QStringLiteral("body")).toString().toUtf8(), request);
    QCOMPARE(crm.requests().last().toObject().value(QStringLiteral("soapaction")).toString(), S("urn:crmemail"));
    QCOMPARE(crm.requests().last().toObject().value(QStringLiteral("op")).toString(), S("email"));
    // The dump keeps the request without the live session id.
    const QByteArray dumped = readAll(dumpPath);
    QVERIFY(!dumped.contains(session.sessionId.toUtf8()));
    QCOMPARE(dumped, QByteArray(request).replace(session.sessionId.toUtf8(), "***"));

    // The same contact again: the CRM has it already; the dump now holds the second request only.
    p.birthday = 7200;
    QCOMPARE(crmAddPContact(session, p, contactsHttpLog, dumpPath), -1);
    QVERIFY(readAll(dumpPath).contains("<birthday xsi:type=\"xsd:string\">7200</birthday>"));
    QVERIFY(!readAll(dumpPath).contains(">3600<"));

    const QByteArray log = readAll(QStringLiteral("kelvor_contacts.log"));
    // Streamed like every other message: label, one blank, the answer quoted.
    QVERIFY(log.contains("\nDebug: RESPONSE:  \"<?xml version=\\\"1.0\\\""));
    QVERIFY(log.contains("\nDebug: \"" + request + "\"\n"));
    QCOMPARE(readAll(QString::fromLatin1(contactsHttpLog)).count("CExHTTPn::~CExHTTPn OK.\n\n"), 2);
    // Request dump, message log and HTTP log are the user's alone.
    for (const QString& file : {dumpPath, QStringLiteral("kelvor_contacts.log"), QString::fromLatin1(contactsHttpLog)}) {
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0600));
    }
}

void TestCrmOperations::companyAndPerson()
{
    TestCrm crm(QStringLiteral("TestCrmOperations_companyAndPerson"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const CrmSession session = logon(crm);
    crmContactItem company;
    company.company = S("  Müller & Co. KG ");
    company.email = S("a&b@x.de");
    company.phone = S("</phone><userid xsi:type=\"xsd:int\">1</userid>");
    company.website = S("http://x.de/?a=1&b=2");
    const int cid = crmaddContact(session, company);
    QVERIFY(cid > 0);
    const QJsonObject storedCompany = lastStored(crm, "contacts");
    QCOMPARE(storedCompany.value(QStringLiteral("company")).toString(), S("Müller & Co. KG"));
    QCOMPARE(storedCompany.value(QStringLiteral("email")).toString(), company.email);
    QCOMPARE(storedCompany.value(QStringLiteral("phone")).toString(), company.phone);
    QCOMPARE(storedCompany.value(QStringLiteral("website")).toString(), company.website);
    QVERIFY(!storedCompany.contains(QStringLiteral("userid")));
    QCOMPARE(crm.requests().last().toObject().value(QStringLiteral("soapaction")).toString(), S("urn:crmcontacts"));
    QCOMPARE(crmaddContact(session, company), -1);

    crmPersonItem person;
    person.cid = cid;
    person.firstname = S("Ännchen");
    person.lastname = S("Ölmann");
    person.email = S("ä<b>@x.de");
    const int pid = crmaddPerson(session, person);
    QVERIFY(pid > 0);
    const QJsonObject storedPerson = lastStored(crm, "persons");
    QCOMPARE(storedPerson.value(QStringLiteral("cid")).toInt(), cid);
    QCOMPARE(storedPerson.value(QStringLiteral("firstname")).toString(), person.firstname);
    QCOMPARE(storedPerson.value(QStringLiteral("email")).toString(), person.email);
    QCOMPARE(crmaddPerson(session, person), -1);
    QVERIFY(QFile::exists(QString::fromLatin1(contactsHttpLog)));
}

void TestCrmOperations::task()
{
    TestCrm crm(QStringLiteral("TestCrmOperations_task"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const CrmSession session = logon(crm);
    crmTaskItem t;
    t.stop = 1700000000;
    t.subject = S("Übung & <Test>");
    t.body = S("Zeile\vzwei");
    t.priority = -1;
    t.achieved = 1.5;
    t.contacts = {{S("Anna"), S("Ärger")}};
    const int id = crmaddTask(session, t);
    QVERIFY(id > 0);
    QCOMPARE(t.start, 1700000000); // the due date became the start as well
    const QJsonObject stored = lastStored(crm, "tasks");
    QCOMPARE(stored.value(QStringLiteral("subject")).toString(), t.subject);
    QCOMPARE(stored.value(QStringLiteral("body")).toString(), S("Zeile\nzwei"));
    QCOMPARE(stored.value(QStringLiteral("start")).toInt(), 1700000000);
    QCOMPARE(stored.value(QStringLiteral("priority")).toInt(), -1);
    QCOMPARE(stored.value(QStringLiteral("achieved")).toDouble(), 1.5);
    QCOMPARE(stored.value(QStringLiteral("crmTaskItemContacts"))
                 .toArray()
                 .at(0)
                 .toObject()
                 .value(QStringLiteral("lastname"))
                 .toString(),
             S("Ärger"));
    QCOMPARE(crm.requests().last().toObject().value(QStringLiteral("soapaction")).toString(), S("urn:crmtasksAction"));
    QCOMPARE(crm.requests().last().toObject().value(QStringLiteral("op")).toString(), S("tasks"));
    QCOMPARE(crmaddTask(session, t), -1);
    QVERIFY(readAll(QString::fromLatin1(tasksHttpLog)).count("CExHTTPn::~CExHTTPn OK.") == 3);
}

void TestCrmOperations::appointment()
{
    TestCrm crm(QStringLiteral("TestCrmOperations_appointment"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const CrmSession session = logon(crm);
    crmAppointmentItem a;
    a.start = 1700000000;
    a.stop = 1700003600;
    a.subject = S("Treffen in Köln & Bonn");
    a.cid = S("<x>");
    const int id = crmaddAppointment(session, a);
    QVERIFY(id > 0);
    const QJsonObject stored = lastStored(crm, "appointments");
    QCOMPARE(stored.value(QStringLiteral("subject")).toString(), a.subject);
    QCOMPARE(stored.value(QStringLiteral("cid")).toString(), a.cid);
    QCOMPARE(crm.requests().last().toObject().value(QStringLiteral("soapaction")).toString(), S("urn:crmdates"));
    QCOMPARE(crm.requests().last().toObject().value(QStringLiteral("op")).toString(), S("dates"));
    QCOMPARE(crmaddAppointment(session, a), -1);
    QVERIFY(QFile::exists(QString::fromLatin1(appointmentsHttpLog)));
}

void TestCrmOperations::mailFolders()
{
    TestCrm crm(QStringLiteral("TestCrmOperations_mailFolders"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const CrmSession session = logon(crm);
    const CrmMailResult inbox = crmgetInboxFolder(session);
    QVERIFY(inbox.exchange.sent);
    QVERIFY(inbox.value > 0);
    QCOMPARE(crm.requests().last().toObject().value(QStringLiteral("soapaction")).toString(), S("urn:crmemailAction"));
    const CrmMailResult folder = crmaddTreeEntry(session, inbox.value, S("Büro & <Privat>"));
    QVERIFY(folder.value > inbox.value);
    const QJsonObject stored = lastStored(crm, "mailfolders");
    QCOMPARE(stored.value(QStringLiteral("name")).toString(), S("Büro & <Privat>"));
    QCOMPARE(stored.value(QStringLiteral("parent")).toVariant().toLongLong(), inbox.value);
    QVERIFY(QFile::exists(QDir::currentPath() + QStringLiteral("/kelvor_exhttp.log")));

    // Nothing sent: the caller tells "not ready" from "send failed" by the exchange.
    const CrmMailResult notReady = crmgetInboxFolder({QStringLiteral("localhost"), session.sessionId});
    QVERIFY(!notReady.exchange.ready);
    QCOMPARE(notReady.value, -1);
}

void TestCrmOperations::importMailSource()
{
    TestCrm crm(QStringLiteral("TestCrmOperations_importMailSource"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const CrmSession session = logon(crm);
    const qint64 inbox = crmgetInboxFolder(session).value;
    const QByteArray mime = "From: a@x.de\r\nTo: b@x.de\r\nSubject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\n"
                            "Message-ID: <1@x.de>\r\n\r\nHallo\r\n";
    const CrmMailResult result = crmImportMailSource(session, inbox, mime);
    QVERIFY(result.value > 0);
    const QJsonObject stored = lastStored(crm, "mails");
    QCOMPARE(stored.value(QStringLiteral("subject")).toString(), S("Grüße"));
    QCOMPARE(stored.value(QStringLiteral("tree_id")).toVariant().toLongLong(), inbox);
    QCOMPARE(crmImportMailSource(session, inbox, mime).value, -1);
    QVERIFY(buildImportMailSourceRequest(S("SID"), 5, "abc")
                .contains("<NS1:crmImportMailSource xmlns:NS1=\"urn:crmemail\"><session_id "
                          "xsi:type=\"xsd:string\">SID</session_id>"
                          "<tree_id xsi:type=\"xsd:string\">5</tree_id><source xsi:type=\"xsd:string\">YWJj</source>"
                          "</NS1:crmImportMailSource></SOAP-ENV:Body> </SOAP-ENV:Envelope>"));
    // Large sources are encoded piece by piece into the body: the same text as encoding them whole,
    // at every length around the piece size.
    for (const qsizetype size : {qsizetype(0), qsizetype(1), qsizetype(2), qsizetype(49151), qsizetype(49152),
                                 qsizetype(49153), qsizetype(49154), qsizetype(3 * 49152 + 1)}) {
        QByteArray source(size, '\0');
        for (qsizetype i = 0; i < size; ++i)
            source[i] = char((i * 7919) >> 3);
        const QByteArray request = buildImportMailSourceRequest(S("SID"), 5, source);
        QVERIFY2(request.contains("<source xsi:type=\"xsd:string\">" + source.toBase64() + "</source>"),
                 qPrintable(QString::number(size)));
        QVERIFY(request.endsWith("</SOAP-ENV:Envelope>"));
    }
}

void TestCrmOperations::results_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("pcontact");
    QTest::addColumn<int>("company");
    QTest::addColumn<int>("task");
    QTest::newRow("add_zero") << S("add_zero") << 0 << 0 << 0;
    QTest::newRow("soap fault") << S("soap_fault") << -2 << 0 << 0;
    QTest::newRow("html page") << S("html500") << -2 << 0 << 0;
    QTest::newRow("garbage") << S("garbage") << -2 << 0 << 0;
    QTest::newRow("white space") << S("ws_before_return") << -2 << 0 << 0;
    QTest::newRow("large") << S("large") << 1 << 1 << 1; // 1: any positive id
    QTest::newRow("answer -3") << S("answer:crmaddContact=-3;answer:crmAddPContact=-3;answer:crmaddTask=-3") << -3 << -3
                               << -3;
    QTest::newRow("not ready") << S("-") << -2 << -2 << -2;
}

void TestCrmOperations::results()
{
    QFETCH(QString, fault);
    QFETCH(int, pcontact);
    QFETCH(int, company);
    QFETCH(int, task);
    TestCrm crm(QStringLiteral("TestCrmOperations_results"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    CrmSession session = logon(crm);
    if (fault == QLatin1String("-"))
        session.baseUrl = S("crm.example"); // no scheme: nothing can be sent
    else
        crm.setFault(fault);
    PContactItem p;
    p.firstname = S("A");
    crmContactItem c;
    c.company = S("C");
    crmTaskItem t;
    t.subject = S("T");
    auto normalise = [](int v) { return v > 0 ? 1 : v; };
    QCOMPARE(normalise(crmAddPContact(session, p, contactsHttpLog, m_dir->filePath(S("p.xml")))), pcontact);
    QCOMPARE(normalise(crmaddContact(session, c)), company);
    QCOMPARE(normalise(crmaddTask(session, t)), task);
}

QTEST_GUILESS_MAIN(TestCrmOperations)
#include "tst_crmoperations.moc"
