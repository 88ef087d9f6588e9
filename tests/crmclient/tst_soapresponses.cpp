// Response readers on canned answers: the scan for the response element and its "return",
// the conversions and each not-found value.
#include "exsoapcall.h"

#include <QTest>

namespace
{

QByteArray envelope(const QByteArray& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:ns1=\"urn:crm\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
           "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><SOAP-ENV:Body>" +
           body + "</SOAP-ENV:Body></SOAP-ENV:Envelope>\n";
}

QByteArray answer(const char* response, const QByteArray& value)
{
    return envelope("<ns1:" + QByteArray(response) + "><return xsi:type=\"xsd:string\">" + value +
                    "</return></ns1:" + QByteArray(response) + ">");
}

const QByteArray soapFault = envelope(
    "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode><faultstring>Bad Request</faultstring></SOAP-ENV:Fault>");

} // namespace

Q_DECLARE_METATYPE(CrmOp)

class TestSoapResponses : public QObject
{
    Q_OBJECT
private slots:
    void scalars_data();
    void scalars();
    void notFound_data();
    void notFound();
    void idList_data();
    void idList();
    void oneCallBuildsAndReads();
};

void TestSoapResponses::scalars_data()
{
    QTest::addColumn<CrmOp>("op");
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<QVariant>("result");

    QTest::newRow("login") << CrmOp::crmLogin << answer("crmLoginResponse", "0123456789abcdef0123456789abcdef")
                           << QVariant(QByteArray("0123456789abcdef0123456789abcdef"));
    QTest::newRow("login entity") << CrmOp::crmLogin << answer("crmLoginResponse", "a&amp;b")
                                  << QVariant(QByteArray("a&b"));
    QTest::newRow("pcontact 123") << CrmOp::crmAddPContact << answer("crmAddPContactResponse", "123") << QVariant(123);
    QTest::newRow("pcontact -1") << CrmOp::crmAddPContact << answer("crmAddPContactResponse", "-1") << QVariant(-1);
    QTest::newRow("pcontact not a number")
        << CrmOp::crmAddPContact << answer("crmAddPContactResponse", "abc") << QVariant(0);
    QTest::newRow("contact -3") << CrmOp::crmaddContact << answer("crmaddContactResponse", "-3") << QVariant(-3);
    QTest::newRow("task 8") << CrmOp::crmaddTask << answer("crmaddTaskResponse", "8") << QVariant(8);
    QTest::newRow("appointment text") << CrmOp::crmaddAppointment << answer("crmaddAppointmentResponse", "x")
                                      << QVariant(0);
    QTest::newRow("ping 1") << CrmOp::crmPing << answer("crmPingResponse", "1") << QVariant(true);
    QTest::newRow("ping 2") << CrmOp::crmPing << answer("crmPingResponse", "2") << QVariant(false);
    QTest::newRow("count") << CrmOp::crmcountContacts << answer("crmcountContactsResponse", "4000000000")
                           << QVariant(4000000000u);
    QTest::newRow("inbox") << CrmOp::crmgetInboxFolder << answer("crmgetInboxFolderResponse", "5000000000")
                           << QVariant(qlonglong(5000000000LL));
    QTest::newRow("draft") << CrmOp::crmgetDraftFolder << answer("crmgetDraftFolderResponse", "7")
                           << QVariant(qlonglong(7));
    QTest::newRow("rename reads old name")
        << CrmOp::crmrenameTreeEntry << answer("crmrenameEntryResponse", "1") << QVariant(1);
    QTest::newRow("import mail") << CrmOp::crmImportMailSource << answer("crmImportMailSourceResponse", "0")
                                 << QVariant(0);
    QTest::newRow("create mail") << CrmOp::crmCreateMail << answer("crmCreateMailResponse", "3") << QVariant(3);
    QTest::newRow("version") << CrmOp::crmgetVersion << answer("crmgetVersionResponse", "5.1 &lt;beta&gt;")
                             << QVariant(QStringLiteral("5.1 <beta>"));
    QTest::newRow("mail ids") << CrmOp::crmgetMailIdsString << answer("crmgetMailIdsStringResponse", "1,2,3")
                              << QVariant(QStringLiteral("1,2,3"));
    QTest::newRow("date unicode") << CrmOp::crmgetDate << answer("crmgetDateResponse", "1. M\xC3\xA4rz")
                                  << QVariant(QString::fromUtf8("1. März"));
    QTest::newRow("mail source") << CrmOp::crmgetMailSource << answer("crmgetMailSourceResponse", "U3ViamVjdA==")
                                 << QVariant(QByteArray("U3ViamVjdA=="));
    // The response element need not be the first element of the body.
    QTest::newRow("after other elements")
        << CrmOp::crmaddPerson
        << envelope("<x><return>9</return></x><ns1:crmaddPersonResponse><return>12</return></ns1:crmaddPersonResponse>")
        << QVariant(12);
    QTest::newRow("namespace prefix ignored")
        << CrmOp::crmaddTreeEntry
        << envelope("<crmaddTreeEntryResponse xmlns=\"urn:x\"><return>44</return></crmaddTreeEntryResponse>")
        << QVariant(44);
}

void TestSoapResponses::scalars()
{
    QFETCH(CrmOp, op);
    QFETCH(QByteArray, response);
    QFETCH(QVariant, result);
    ExSoapCall call;
    call.feedResponse(response);
    const QVariant value = call.parseResponse(op);
    QCOMPARE(value.typeId(), result.typeId());
    QCOMPARE(value, result);
}

void TestSoapResponses::notFound_data()
{
    QTest::addColumn<CrmOp>("op");
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<QVariant>("result");

    const QByteArray indented =
        envelope("<ns1:crmAddPContactResponse>\n  <return>5</return></ns1:crmAddPContactResponse>");
    const QByteArray comment =
        envelope("<ns1:crmAddPContactResponse><!-- x --><return>5</return></ns1:crmAddPContactResponse>");
    const QByteArray html = "<html><body><h1>500 Internal Server Error</h1></body></html>";
    const QByteArray full = answer("crmAddPContactResponse", "5");
    const QByteArray truncated = full.left(full.indexOf("crmAddPContactResponse") + 10);

    QTest::newRow("white space before return") << CrmOp::crmAddPContact << indented << QVariant(-2);
    QTest::newRow("comment before return") << CrmOp::crmAddPContact << comment << QVariant(-2);
    QTest::newRow("soap fault A") << CrmOp::crmAddPContact << soapFault << QVariant(-2);
    QTest::newRow("html page") << CrmOp::crmAddPContact << html << QVariant(-2);
    QTest::newRow("empty") << CrmOp::crmAddPContact << QByteArray() << QVariant(-2);
    QTest::newRow("truncated") << CrmOp::crmAddPContact << truncated << QVariant(-2);
    QTest::newRow("other response") << CrmOp::crmAddPContact << answer("crmaddContactResponse", "5") << QVariant(-2);
    QTest::newRow("case matters") << CrmOp::crmAddPContact << answer("crmaddPContactResponse", "5") << QVariant(-2);
    QTest::newRow("family B") << CrmOp::crmaddContact << soapFault << QVariant(0);
    QTest::newRow("task") << CrmOp::crmaddTask << soapFault << QVariant(0);
    QTest::newRow("appointment ws")
        << CrmOp::crmaddAppointment
        << envelope("<ns1:crmaddAppointmentResponse> <return>5</return></ns1:crmaddAppointmentResponse>")
        << QVariant(0);
    QTest::newRow("login") << CrmOp::crmLogin << soapFault << QVariant(QByteArray("error"));
    QTest::newRow("ping") << CrmOp::crmPing << soapFault << QVariant(false);
    QTest::newRow("count") << CrmOp::crmcountContacts << soapFault << QVariant(0u);
    QTest::newRow("inbox") << CrmOp::crmgetInboxFolder << soapFault << QVariant(qlonglong(-2));
    QTest::newRow("text ids") << CrmOp::crmGetPContactIdsString << soapFault << QVariant(QStringLiteral("error"));
    QTest::newRow("date") << CrmOp::crmgetDate << soapFault << QVariant(QString());
    QTest::newRow("mail source") << CrmOp::crmgetMailSource << soapFault << QVariant(QByteArray());
    // Operations without a reader of their own look for the logon answer.
    QTest::newRow("no reader") << CrmOp::crmgetTree << answer("crmgetTreeResponse", "x")
                               << QVariant(QByteArray("error"));
    QTest::newRow("no reader, logon answer")
        << CrmOp::crmgetAppointments << answer("crmLoginResponse", "x") << QVariant(QByteArray("x"));
    QTest::newRow("unknown code") << CrmOp(99) << answer("crmLoginResponse", "y") << QVariant(QByteArray("y"));
}

void TestSoapResponses::notFound()
{
    scalars();
}

void TestSoapResponses::idList_data()
{
    QTest::addColumn<CrmOp>("op");
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<QList<int>>("ids");

    auto list = [](const char* response, const QByteArray& items) {
        return envelope("<ns1:" + QByteArray(response) + "><return SOAP-ENC:arrayType=\"ns1:Item[2]\">" + items +
                        "</return></ns1:" + QByteArray(response) + ">");
    };
    QTest::newRow("two") << CrmOp::crmgetTaskIds
                         << list("crmgetTaskIdsResponse",
                                 "<item><id>5</id><name>a</name></item><item><id>7</id></item>")
                         << QList<int>{5, 7};
    QTest::newRow("item must start with id")
        << CrmOp::crmGetPContactIds
        << list("crmGetPContactIdsResponse", "<item><name>a</name><id>5</id></item><item><id>7</id></item>")
        << QList<int>{7};
    QTest::newRow("stops at end of return")
        << CrmOp::crmgetAppointmentIds
        << envelope("<ns1:crmgetAppointmentIdsResponse><return><item><id>1</id></item></return>"
                    "<item><id>2</id></item></ns1:crmgetAppointmentIdsResponse>")
        << QList<int>{1};
    QTest::newRow("fault") << CrmOp::crmgetTaskIds << soapFault << QList<int>{};
}

void TestSoapResponses::idList()
{
    QFETCH(CrmOp, op);
    QFETCH(QByteArray, response);
    QFETCH(QList<int>, ids);
    ExSoapCall call;
    call.feedResponse(response);
    QCOMPARE(call.parseResponse(op).value<QList<int>>(), ids);
}

void TestSoapResponses::oneCallBuildsAndReads()
{
    // The logon builds and reads with one object; a second feed replaces the first response.
    ExSoapCall call;
    call.setArgument(QStringList{QStringLiteral("demo"), QStringLiteral("demo")});
    QVERIFY(!call.requestBytes(CrmOp::crmLogin).isEmpty());
    call.feedResponse(answer("crmLoginResponse", "first"));
    QCOMPARE(call.parseResponse(CrmOp::crmLogin).toByteArray(), QByteArray("first"));
    call.feedResponse(answer("crmLoginResponse", "second"));
    QCOMPARE(call.parseResponse(CrmOp::crmLogin).toByteArray(), QByteArray("second"));
}

QTEST_GUILESS_MAIN(TestSoapResponses)
#include "tst_soapresponses.moc"
