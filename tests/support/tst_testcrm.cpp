// The local test CRM itself, driven with hand-written SOAP envelopes over real HTTP.

#include "testcrm.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTest>
#include <QXmlStreamReader>

#include <memory>
#include <optional>

namespace
{

const QByteArray envelopeHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?> <SOAP-ENV:Envelope "
    "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\"> <SOAP-ENV:Body "
    "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";
const QByteArray envelopeTail = "</SOAP-ENV:Body> </SOAP-ENV:Envelope>";

struct Reply {
    int status = 0;
    QByteArray contentType;
    QByteArray body;
    qint64 elapsedMs = 0;
};

Reply httpRequest(const QString& url, const QByteArray& soapAction, const QByteArray* body)
{
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("text/xml; charset=utf-8"));
    if (!soapAction.isEmpty())
        request.setRawHeader("SOAPAction", soapAction);
    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<QNetworkReply> reply(body ? manager.post(request, *body) : manager.get(request));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(20000);
    Reply result;
    result.elapsedMs = timer.elapsed();
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
    result.body = reply->readAll();
    return result;
}

Reply post(const TestCrm& crm, const char* service, const QByteArray& inner, const QByteArray& soapAction = "urn:test")
{
    const QByteArray body = envelopeHead + inner + envelopeTail;
    return httpRequest(crm.baseUrl() + QStringLiteral("soap/index.php?op=") + QLatin1String(service), soapAction,
                       &body);
}

// The value of "return" when it is the first child of the response element, as the client reads it.
std::optional<QString> returnValue(const QByteArray& body)
{
    QXmlStreamReader xml(body);
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name().endsWith(QLatin1String("Response"))) {
            xml.readNext();
            if (xml.isStartElement() && xml.name() == QLatin1String("return"))
                return xml.readElementText();
        }
    }
    return std::nullopt;
}

QByteArray loginBody(const QByteArray& login, const QByteArray& pass)
{
    return "<NS1:crmLogin xmlns:NS1=\"urn:crmlogon\"><login xsi:type=\"xsd:string\">" + login +
           "</login><pass xsi:type=\"xsd:string\">" + pass + "</pass></NS1:crmLogin>";
}

QString logIn(const TestCrm& crm)
{
    const Reply reply = post(crm, "logon", loginBody(TestCrm::defaultLogin, TestCrm::defaultPassword));
    return returnValue(reply.body).value_or(QString());
}

QByteArray sessionElement(const QString& sid)
{
    return "<session_id xsi:type=\"xsd:string\">" + sid.toUtf8() + "</session_id>";
}

// session: the session_id element, or the placeholder %SID% in data rows
QByteArray companyBody(const QByteArray& session, const QByteArray& name)
{
    return "<NS1:crmaddContact xmlns:NS1=\"urn:contacts\">" + session +
           "<crmContactItem xsi:type=\"NS1:crmContactItem\"><company xsi:type=\"xsd:string\">" + name +
           "</company><city xsi:type=\"xsd:string\">K\xc3\xb6ln</city><userid xsi:type=\"xsd:int\">3</userid>"
           "</crmContactItem></NS1:crmaddContact>";
}

int intReturn(const Reply& reply)
{
    const std::optional<QString> value = returnValue(reply.body);
    return value ? value->toInt() : -2;
}

QJsonArray storedOf(const TestCrm& crm, const char* kind)
{
    return crm.stored().value(QLatin1String(kind)).toArray();
}

} // namespace

class TstTestCrm : public QObject
{
    Q_OBJECT

private slots:
    void login_data();
    void login();
    void addStoresAndDetectsDuplicates_data();
    void addStoresAndDetectsDuplicates();
    void unknownSessionStoresNothing();
    void tenantsAreIsolated();
    void malformedRequestsGetFault_data();
    void malformedRequestsGetFault();
    void faultSwitches_data();
    void faultSwitches();
    void slowTenantDoesNotBlockOthers();
    void htmlPageListsStoredItems();
};

void TstTestCrm::login_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("login");
    QTest::addColumn<QByteArray>("pass");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("expected"); // the literal answer when not accepted

    QTest::newRow("default user") << QString() << QByteArray("demo") << QByteArray("demo") << true << QString();
    QTest::newRow("wrong password") << QString() << QByteArray("demo") << QByteArray("dem0") << false
                                    << QStringLiteral("error");
    QTest::newRow("unknown user") << QString() << QByteArray("nobody") << QByteArray("demo") << false
                                  << QStringLiteral("error");
    QTest::newRow("utf-8 credentials, escaped ampersand")
        << QString() << QByteArray("J\xc3\xbcrgen") << QByteArray("P\xc3\xa4sswort&amp;1") << true << QString();
    QTest::newRow("login refused") << QStringLiteral("login_refused") << QByteArray("demo") << QByteArray("demo")
                                   << false << QStringLiteral("error");
    QTest::newRow("literal answer") << QStringLiteral("answer:crmLogin=0123456789012345678901234567890")
                                    << QByteArray("demo") << QByteArray("demo") << false
                                    << QStringLiteral("0123456789012345678901234567890");
}

void TstTestCrm::login()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, login);
    QFETCH(QByteArray, pass);
    QFETCH(bool, accepted);
    QFETCH(QString, expected);

    TestCrm crm(QStringLiteral("TstTestCrm_login"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.addUser(QStringLiteral("Jürgen"), QStringLiteral("Pässwort&1"));
    crm.setFault(fault);

    const Reply reply = post(crm, "logon", loginBody(login, pass), "urn:logonAction");
    QCOMPARE(reply.status, 200);
    const std::optional<QString> sid = returnValue(reply.body);
    QVERIFY2(sid.has_value(), reply.body.constData());
    if (accepted) {
        QCOMPARE(sid->size(), 32);
        QCOMPARE(*sid, crm.sessionId());
    } else {
        QCOMPARE(*sid, expected);
        QVERIFY(crm.sessionId().isEmpty());
    }
    // Every request is recorded raw, with its service and SOAPAction.
    const QJsonArray requests = crm.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0][QLatin1String("op")].toString(), QStringLiteral("logon"));
    QCOMPARE(requests[0][QLatin1String("soapaction")].toString(), QStringLiteral("urn:logonAction"));
    QCOMPARE(requests[0][QLatin1String("operation")].toString(), QStringLiteral("crmLogin"));
    QVERIFY(requests[0][QLatin1String("body")].toString().toUtf8().contains(pass));
}

void TstTestCrm::addStoresAndDetectsDuplicates_data()
{
    QTest::addColumn<QByteArray>("service");
    QTest::addColumn<QByteArray>("first");     // %SID%, %CID% and %INBOX% are filled in
    QTest::addColumn<QByteArray>("duplicate"); // an item the server must see as the same
    QTest::addColumn<QByteArray>("distinct");  // an item that differs only in a key field
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("expected"); // JSON object: fields the stored item must hold
    QTest::addColumn<bool>("duplicatesDetected");

    const QByteArray pcontact =
        "<NS1:crmAddPContact xmlns:NS1=\"urn:crmemail\">%SID%<PContactItem xsi:type=\"NS1:PContactItem\">"
        "<list xsi:type=\"xsd:string\">0</list><firstname xsi:type=\"xsd:string\">J\xc3\xbcrgen</firstname>"
        "<lastname xsi:type=\"xsd:string\">M\xc3\xbcller &amp; Co</lastname>"
        "<emailadr1 xsi:type=\"xsd:string\">%MAIL%</emailadr1><notes xsi:type=\"xsd:string\">a &lt;b&gt;</notes>"
        "<birthday xsi:type=\"xsd:string\">86400</birthday></PContactItem></NS1:crmAddPContact>";
    QTest::newRow("personal contact")
        << QByteArray("email") << QByteArray(pcontact).replace("%MAIL%", "jm@example.org")
        << QByteArray(pcontact).replace("%MAIL%", "JM@Example.org")
        << QByteArray(pcontact).replace("%MAIL%", "other@example.org") << QStringLiteral("pcontacts")
        << QByteArray(R"({"firstname":"Jürgen","lastname":"Müller & Co","emailadr1":"jm@example.org",
                          "notes":"a <b>","birthday":"86400","list":"0","user":"demo"})")
        << true;

    QTest::newRow("company") << QByteArray("contacts") << companyBody("%SID%", "Acme &amp; Partner")
                             << companyBody("%SID%", "Acme &amp; Partner") << companyBody("%SID%", "ACME &amp; Partner")
                             << QStringLiteral("contacts")
                             << QByteArray(R"({"company":"Acme & Partner","city":"Köln","userid":3})") << true;

    const QByteArray person =
        "<NS1:crmaddPerson xmlns:NS1=\"urn:contacts\">%SID%<crmPersonItem xsi:type=\"NS1:crmPersonItem\">"
        "<cid xsi:type=\"xsd:int\">%CID%</cid><firstname xsi:type=\"xsd:string\">Erika</firstname>"
        "<lastname xsi:type=\"xsd:string\">%LAST%</lastname><email xsi:type=\"xsd:string\">e@x.de</email>"
        "<birthday xsi:type=\"xsd:int\">100</birthday></crmPersonItem></NS1:crmaddPerson>";
    QTest::newRow("person") << QByteArray("contacts") << QByteArray(person).replace("%LAST%", "Mustermann")
                            << QByteArray(person).replace("%LAST%", "Mustermann")
                            << QByteArray(person).replace("%LAST%", "Musterfrau") << QStringLiteral("persons")
                            << QByteArray(R"({"firstname":"Erika","lastname":"Mustermann","email":"e@x.de",
                                              "birthday":100})")
                            << true;

    const QByteArray task =
        "<NS1:crmaddTask xmlns:NS1=\"urn:tasks\">%SID%<crmTaskItem xsi:type=\"NS1:crmTaskItem\">"
        "<start xsi:type=\"xsd:int\">%START%</start><stop xsi:type=\"xsd:int\">1700003600</stop>"
        "<subject xsi:type=\"xsd:string\">Angebot schreiben</subject><achieved xsi:type=\"xsd:double\">1.5</achieved>"
        "<crmTaskItemContacts SOAP-ENC:arrayType=\"NS1:crmTaskItemContact[1]\" "
        "xsi:type=\"NS1:crmTaskItemContactArray\"><item xsi:type=\"NS1:crmTaskItemContact\">"
        "<firstname xsi:type=\"xsd:string\">Max</firstname><lastname xsi:type=\"xsd:string\">Muster</lastname>"
        "</item></crmTaskItemContacts></crmTaskItem></NS1:crmaddTask>";
    QTest::newRow("task") << QByteArray("tasks") << QByteArray(task).replace("%START%", "1700000000")
                          << QByteArray(task).replace("%START%", "1700000000")
                          << QByteArray(task).replace("%START%", "1700000001") << QStringLiteral("tasks")
                          << QByteArray(R"({"start":1700000000,"stop":1700003600,"subject":"Angebot schreiben",
                                            "achieved":1.5,
                                            "crmTaskItemContacts":[{"firstname":"Max","lastname":"Muster"}]})")
                          << true;

    const QByteArray appointment =
        "<NS1:crmaddAppointment xmlns:NS1=\"urn:crmdates\">%SID%"
        "<crmAppointmentItem xsi:type=\"NS1:crmAppointmentItem\"><start xsi:type=\"xsd:int\">1700000000</start>"
        "<stop xsi:type=\"xsd:int\">%STOP%</stop><subject xsi:type=\"xsd:string\">Besprechung</subject>"
        "<confirmed xsi:type=\"xsd:int\">1</confirmed><city xsi:type=\"xsd:string\">D\xc3\xbcsseldorf</city>"
        "</crmAppointmentItem></NS1:crmaddAppointment>";
    QTest::newRow("appointment") << QByteArray("dates") << QByteArray(appointment).replace("%STOP%", "1700007200")
                                 << QByteArray(appointment).replace("%STOP%", "1700007200")
                                 << QByteArray(appointment).replace("%STOP%", "1700010800")
                                 << QStringLiteral("appointments")
                                 << QByteArray(R"({"start":1700000000,"stop":1700007200,"subject":"Besprechung",
                                                   "confirmed":1,"city":"Düsseldorf"})")
                                 << true;

    const QByteArray folder = "<NS1:crmaddTreeEntry xmlns:NS1=\"urn:crmemail\">%SID%"
                              "<parent xsi:type=\"xsd:string\">%INBOX%</parent>"
                              "<name xsi:type=\"xsd:string\">%NAME%</name></NS1:crmaddTreeEntry>";
    QTest::newRow("mail folder: same name makes a second folder")
        << QByteArray("email")
        << QByteArray(folder).replace("%NAME%", "Gesch\xc3\xa4"
                                                "ftlich")
        << QByteArray(folder).replace("%NAME%", "Gesch\xc3\xa4"
                                                "ftlich")
        << QByteArray(folder).replace("%NAME%", "Privat") << QStringLiteral("mailfolders")
        << QByteArray(R"({"name":"Geschäftlich"})") << false;

    const QByteArray mime = "Message-ID: <%ID%@example.org>\r\nSubject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\n"
                            "From: a@example.org\r\n\r\nHallo\r\n";
    const QByteArray mail = "<NS1:crmImportMailSource xmlns:NS1=\"urn:crmemail\">%SID%"
                            "<tree_id xsi:type=\"xsd:string\">%INBOX%</tree_id><source xsi:type=\"xsd:string\">%SRC%"
                            "</source></NS1:crmImportMailSource>";
    const auto mailWith = [&](const QByteArray& id) {
        return QByteArray(mail).replace("%SRC%", QByteArray(mime).replace("%ID%", id).toBase64());
    };
    QTest::newRow("mail") << QByteArray("email") << mailWith("m1") << mailWith("m1") << mailWith("m2")
                          << QStringLiteral("mails")
                          << QByteArray(R"({"message_id":"<m1@example.org>","subject":"Grüße","from":"a@example.org"})")
                          << true;
}

void TstTestCrm::addStoresAndDetectsDuplicates()
{
    QFETCH(QByteArray, service);
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, duplicate);
    QFETCH(QByteArray, distinct);
    QFETCH(QString, kind);
    QFETCH(QByteArray, expected);
    QFETCH(bool, duplicatesDetected);

    TestCrm crm(QStringLiteral("TstTestCrm_adds"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const QString sid = logIn(crm);
    QCOMPARE(sid.size(), 32);
    const int cid = intReturn(post(crm, "contacts", companyBody(sessionElement(sid), "Tr\xc3\xa4ger GmbH")));
    QVERIFY(cid > 0);
    const int inbox = intReturn(post(crm, "email",
                                     "<NS1:crmgetInboxFolder xmlns:NS1=\"urn:crmemail\">" + sessionElement(sid) +
                                         "<konto xsi:type=\"xsd:string\">0</konto></NS1:crmgetInboxFolder>"));
    QVERIFY(inbox > 0);
    const auto fill = [&](QByteArray body) {
        return body.replace("%SID%", sessionElement(sid))
            .replace("%CID%", QByteArray::number(cid))
            .replace("%INBOX%", QByteArray::number(inbox));
    };
    const int before = storedOf(crm, qPrintable(kind)).size();

    const Reply firstReply = post(crm, service.constData(), fill(first));
    QCOMPARE(firstReply.status, 200);
    const int id = intReturn(firstReply);
    QVERIFY2(id > 0, firstReply.body.constData());
    const int second = intReturn(post(crm, service.constData(), fill(duplicate)));
    if (duplicatesDetected)
        QCOMPARE(second, -1);
    else
        QVERIFY(second > id);
    const int third = intReturn(post(crm, service.constData(), fill(distinct)));
    QVERIFY(third > id);

    const QJsonArray items = storedOf(crm, qPrintable(kind));
    QCOMPARE(items.size(), before + (duplicatesDetected ? 2 : 3));
    const QJsonObject item = items[before].toObject();
    QCOMPARE(item.value(QLatin1String("id")).toInt(), id);
    const QJsonObject want = QJsonDocument::fromJson(expected).object();
    QVERIFY(!want.isEmpty());
    for (auto it = want.begin(); it != want.end(); ++it)
        QVERIFY2(item.value(it.key()) == it.value(),
                 qPrintable(QStringLiteral("%1: %2").arg(it.key(), QString::fromUtf8(QJsonDocument(item).toJson()))));
    // The stored item points at the raw request it came from.
    const QJsonArray requests = crm.requests();
    const int request = item.value(QLatin1String("_request")).toInt();
    QVERIFY(request > 0 && request <= requests.size());
    QCOMPARE(requests[request - 1][QLatin1String("body")].toString().toUtf8(),
             envelopeHead + fill(first) + envelopeTail);
}

void TstTestCrm::unknownSessionStoresNothing()
{
    TestCrm crm(QStringLiteral("TstTestCrm_unknownSession"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const QString bogus = QStringLiteral("0123456789abcdef0123456789abcdef");
    QCOMPARE(intReturn(post(crm, "contacts", companyBody(sessionElement(bogus), "Acme"))), 0);
    QCOMPARE(intReturn(post(crm, "contacts", companyBody(sessionElement(QString()), "Acme"))), 0);
    QCOMPARE(storedOf(crm, "contacts").size(), 0);
}

void TstTestCrm::tenantsAreIsolated()
{
    TestCrm a(QStringLiteral("TstTestCrm_isolatedA"));
    TestCrm b(QStringLiteral("TstTestCrm_isolatedB"));
    QVERIFY2(a.isUp(), qPrintable(a.errorString()));
    QVERIFY2(b.isUp(), qPrintable(b.errorString()));
    QVERIFY(a.baseUrl() != b.baseUrl());
    b.setFault(QStringLiteral("soap_fault"));
    a.addUser(QStringLiteral("nur_a"), QStringLiteral("geheim"));

    const QString sid = logIn(a);
    QCOMPARE(intReturn(post(a, "contacts", companyBody(sessionElement(sid), "Acme"))) > 0, true);
    // A's session, user and items do not exist in B; B's fault does not reach A.
    b.setFault(QString());
    QCOMPARE(intReturn(post(b, "contacts", companyBody(sessionElement(sid), "Acme"))), 0);
    QCOMPARE(returnValue(post(b, "logon", loginBody("nur_a", "geheim")).body).value_or(QString()),
             QStringLiteral("error"));
    QCOMPARE(storedOf(a, "contacts").size(), 1);
    QCOMPARE(storedOf(b, "contacts").size(), 0);
    QCOMPARE(a.requests().size(), 2);

    // A deeper base path reaches the same tenant.
    const QByteArray body = envelopeHead + loginBody("demo", "demo") + envelopeTail;
    const Reply deep = httpRequest(a.baseUrl() + QStringLiteral("crm/sub/soap/index.php?op=logon"), "x", &body);
    QCOMPARE(returnValue(deep.body).value_or(QString()).size(), 32);
}

void TstTestCrm::malformedRequestsGetFault_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("faultcode");

    const QByteArray company = companyBody("%SID%", "Acme");
    QTest::newRow("latin-1 byte in utf-8 envelope")
        << envelopeHead + QByteArray(company).replace("Acme", "M\xfcller") + envelopeTail << QByteArray("Client");
    QTest::newRow("unescaped ampersand") << envelopeHead + QByteArray(company).replace("Acme", "A & B") + envelopeTail
                                         << QByteArray("Client");
    QTest::newRow("truncated") << (envelopeHead + company).left(envelopeHead.size() + 60) << QByteArray("Client");
    QTest::newRow("empty body") << QByteArray() << QByteArray("Client");
}

void TstTestCrm::malformedRequestsGetFault()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, faultcode);

    TestCrm crm(QStringLiteral("TstTestCrm_malformed"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const QString sid = logIn(crm);
    body.replace("%SID%", sessionElement(sid));
    const Reply reply =
        httpRequest(crm.baseUrl() + QStringLiteral("soap/index.php?op=contacts"), "urn:crmcontacts", &body);
    QCOMPARE(reply.status, 500);
    QVERIFY2(reply.body.contains("<SOAP-ENV:Fault>"), reply.body.constData());
    QVERIFY(reply.body.contains("<faultcode>SOAP-ENV:" + faultcode + "</faultcode>"));
    QCOMPARE(storedOf(crm, "contacts").size(), 0);
    const QJsonArray requests = crm.requests();
    QCOMPARE(requests.size(), 2);
    if (!QString::fromUtf8(body).toUtf8().startsWith(body))
        QVERIFY(requests[1][QLatin1String("invalid_utf8")].toBool());
}

void TstTestCrm::faultSwitches_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QString>("answer"); // the client's reading of "return"; empty: none found
    QTest::addColumn<int>("storedCount");
    QTest::addColumn<int>("minBytes");
    QTest::addColumn<int>("minMs");

    QTest::newRow("none") << QString() << 200 << QByteArray("text/xml") << QStringLiteral("id") << 1 << 0 << 0;
    QTest::newRow("add_zero") << QStringLiteral("add_zero") << 200 << QByteArray("text/xml") << QStringLiteral("0") << 0
                              << 0 << 0;
    QTest::newRow("soap_fault") << QStringLiteral("soap_fault") << 500 << QByteArray("text/xml") << QString() << 0 << 0
                                << 0;
    QTest::newRow("html500") << QStringLiteral("html500") << 500 << QByteArray("text/html") << QString() << 0 << 0 << 0;
    QTest::newRow("garbage") << QStringLiteral("garbage") << 200 << QByteArray("text/plain") << QString() << 0 << 0
                             << 0;
    QTest::newRow("large") << QStringLiteral("large") << 200 << QByteArray("text/xml") << QStringLiteral("id") << 1
                           << 200 * 1024 << 0;
    QTest::newRow("ws_before_return") << QStringLiteral("ws_before_return") << 200 << QByteArray("text/xml")
                                      << QString() << 1 << 0 << 0;
    QTest::newRow("slow") << QStringLiteral("slow") << 200 << QByteArray("text/xml") << QStringLiteral("id") << 1 << 0
                          << 1800;
    QTest::newRow("answer") << QStringLiteral("answer:crmaddContact=-3") << 200 << QByteArray("text/xml")
                            << QStringLiteral("-3") << 0 << 0 << 0;
    QTest::newRow("fault limited to another operation")
        << QStringLiteral("soap_fault:crmaddTask") << 200 << QByteArray("text/xml") << QStringLiteral("id") << 1 << 0
        << 0;
    QTest::newRow("combined") << QStringLiteral("large;answer:crmaddContact=-7") << 200 << QByteArray("text/xml")
                              << QStringLiteral("-7") << 0 << 200 * 1024 << 0;
}

void TstTestCrm::faultSwitches()
{
    QFETCH(QString, fault);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QString, answer);
    QFETCH(int, storedCount);
    QFETCH(int, minBytes);
    QFETCH(int, minMs);

    TestCrm crm(QStringLiteral("TstTestCrm_faults"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const QString sid = logIn(crm);
    QCOMPARE(sid.size(), 32);
    crm.setFault(fault);

    const Reply reply = post(crm, "contacts", companyBody(sessionElement(sid), "Acme"), "urn:crmcontacts");
    QCOMPARE(reply.status, status);
    QVERIFY2(reply.contentType.startsWith(contentType), reply.contentType.constData());
    QVERIFY(reply.body.size() >= minBytes);
    QVERIFY(reply.elapsedMs >= minMs);
    const std::optional<QString> value = returnValue(reply.body);
    const QJsonArray items = storedOf(crm, "contacts");
    QCOMPARE(items.size(), storedCount);
    if (answer.isEmpty())
        QVERIFY2(!value.has_value(), reply.body.left(300).constData());
    else if (answer == QLatin1String("id"))
        QCOMPARE(value.value_or(QString()).toInt(), items[0][QLatin1String("id")].toInt());
    else
        QCOMPARE(value.value_or(QString()), answer);
    // Stored although the client cannot read the answer: the reply is well-formed with white space before "return".
    if (fault == QLatin1String("ws_before_return"))
        QVERIFY(QXmlStreamReader(reply.body).readNextStartElement());
}

void TstTestCrm::slowTenantDoesNotBlockOthers()
{
    TestCrm slow(QStringLiteral("TstTestCrm_slowA"));
    TestCrm quick(QStringLiteral("TstTestCrm_slowB"));
    QVERIFY2(slow.isUp(), qPrintable(slow.errorString()));
    slow.setFault(QStringLiteral("slow"));

    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request{QUrl(slow.baseUrl() + QStringLiteral("soap/index.php?op=logon"))};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("text/xml; charset=utf-8"));
    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<QNetworkReply> pending(
        manager.post(request, envelopeHead + loginBody("demo", "demo") + envelopeTail));
    // The server records a request before it starts to delay the answer.
    QTRY_COMPARE_WITH_TIMEOUT(slow.requests().size(), 1, 1000);
    QCOMPARE(logIn(quick).size(), 32);
    QVERIFY2(timer.elapsed() < 1500, "a slow tenant blocked another tenant");
    QTRY_VERIFY_WITH_TIMEOUT(pending->isFinished(), 10000);
    QVERIFY(timer.elapsed() >= 1800);
    QCOMPARE(returnValue(pending->readAll()).value_or(QString()).size(), 32);
}

void TstTestCrm::htmlPageListsStoredItems()
{
    TestCrm crm(QStringLiteral("TstTestCrm_page"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    QVERIFY(intReturn(post(crm, "contacts",
                           companyBody(sessionElement(logIn(crm)), "B\xc3\xa4"
                                                                   "ckerei &lt;Sonne&gt;"))) > 0);
    const Reply page = httpRequest(crm.baseUrl(), QByteArray(), nullptr);
    QCOMPARE(page.status, 200);
    QVERIFY(page.contentType.startsWith("text/html"));
    const QString html = QString::fromUtf8(page.body);
    QVERIFY(html.contains(QStringLiteral("<h2>Firmen (1)</h2>")));
    QVERIFY(html.contains(QStringLiteral("Bäckerei &lt;Sonne&gt;")));
    QVERIFY(html.contains(QStringLiteral("<h2>Termine (0)</h2>")));
}

QTEST_GUILESS_MAIN(TstTestCrm)
#include "tst_testcrm.moc"
