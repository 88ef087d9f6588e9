// The HTTP transport against the local test CRM, a TLS front with a self-signed certificate and
// a small local listener (raw request bytes, proxy, redirects).
#include "crmexchange.h"
#include "crmlogon.h"
#include "crmtruststore.h"
#include "exhttpn.h"
#include "exsoapcall.h"
#include "localserver.h"
#include "testcrm.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUrl>

namespace
{

struct Exchange {
    bool ready = false;
    bool sent = false;
    quint32 status = 0;
    quint32 available = 0;
    QByteArray body;
};

QByteArray loginRequest(const QString& login = QStringLiteral("demo"), const QString& password = QStringLiteral("demo"))
{
    ExSoapCall call;
    call.setArgument(QStringList{login, password});
    return call.requestBytes(CrmOp::crmLogin);
}

Exchange run(CrmTransport& transport, const QString& baseUrl, const QByteArray& logPath,
             const QByteArray& request = loginRequest(),
             const QString& service = QStringLiteral("logon"))
{
    Exchange e;
    CExHTTPn http(transport, baseUrl, service, logPath);
    e.ready = http.isReady();
    if (!e.ready)
        return e;
    e.sent = http.sendRequest(QStringLiteral("SOAPAction: urn:logonAction\r\n"), request);
    e.status = http.statusCode();
    e.available = http.dataAvailable();
    e.body.resize(e.available);
    // Read in small pieces: the whole body must come out, then 0.
    qsizetype pos = 0;
    while (pos < e.body.size()) {
        const qint32 n = http.readdata(e.body.data() + pos, quint32(qMin<qsizetype>(4096, e.body.size() - pos)));
        if (n <= 0)
            break;
        pos += n;
    }
    e.body.truncate(pos);
    return e;
}

QByteArray sessionOf(const QByteArray& response)
{
    ExSoapCall call;
    call.feedResponse(response);
    return call.parseResponse(CrmOp::crmLogin).toByteArray();
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray dump(const QUrl& url, const QByteArray& target, int ssl)
{
    return "Host: " + url.host().toUtf8() + "\nPath: " + target + "\nScheme: " + url.scheme().toUtf8() +
           "\nExtra info: ?op=logon\nPort: " + QByteArray::number(url.port()) + "\nSSL: " + QByteArray::number(ssl) +
           "\n";
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool waitForPort(quint16 port)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    return false;
}

const QByteArray loginAnswer =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
    "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:ns1=\"urn:crmlogon\"><SOAP-ENV:Body>"
    "<ns1:crmLoginResponse><return>0123456789abcdef0123456789abcdef</return></ns1:crmLoginResponse>"
    "</SOAP-ENV:Body></SOAP-ENV:Envelope>";

} // namespace

class TestTransport : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void trailingSlash_data();
    void trailingSlash();
    void unreachablePort();
    void withoutScheme_data();
    void withoutScheme();
    void unwritableLog();
    void largeAnswer();
    void largePrefixBeforeAnswer();
    void htmlErrorPage();
    void slowAnswer();
    void requestOnTheWire();
    void noRedirects();
    void nullBuffer();
    void selfSignedCertificate();
    void certificateRetry_data();
    void certificateRetry();
    void proxyFromEnvironment();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCwd;
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};
};

void TestTransport::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_oldCwd = QDir::currentPath();
    QDir::setCurrent(m_dir->path());
}

void TestTransport::cleanup()
{
    QDir::setCurrent(m_oldCwd);
    m_dir.reset();
}

void TestTransport::trailingSlash_data()
{
    QTest::addColumn<bool>("slash");
    QTest::newRow("with /") << true;
    QTest::newRow("without /") << false;
}

void TestTransport::trailingSlash()
{
    QFETCH(bool, slash);
    TestCrm crm(QStringLiteral("TestTransport_trailingSlash_%1").arg(int(slash)));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    QString base = crm.baseUrl();
    if (!slash)
        base.chop(1);
    const QUrl url(crm.baseUrl());
    QCOMPARE(CExHTTPn::composeUrl(base, QStringLiteral("logon")),
             crm.baseUrl() + QStringLiteral("soap/index.php?op=logon"));

    const Exchange e = run(m_transport, base, "http.log");
    QVERIFY(e.ready);
    QVERIFY(e.sent);
    QCOMPARE(e.status, 200u);
    QCOMPARE(e.available, quint32(e.body.size()));
    QCOMPARE(sessionOf(e.body), crm.sessionId().toUtf8());
    const QByteArray target = url.path().toUtf8() + "soap/index.php?op=logon";
    QCOMPARE(readAll(QStringLiteral("http.log")), dump(url, target, 1) + "CExHTTPn::~CExHTTPn OK.\n\n");
    const QJsonArray requests = crm.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.at(0).toObject().value(QStringLiteral("soapaction")).toString(),
             QStringLiteral("urn:logonAction"));

    // The HTTP log is appended to, never truncated.
    (void)run(m_transport, base, "http.log");
    QCOMPARE(readAll(QStringLiteral("http.log")).count("CExHTTPn::~CExHTTPn OK.\n\n"), 2);
}

void TestTransport::unreachablePort()
{
    const quint16 port = freePort();
    const Exchange e = run(m_transport, QStringLiteral("http://127.0.0.1:%1/").arg(port), "http.log");
    QVERIFY(e.ready);
    QVERIFY(!e.sent);
    QCOMPARE(e.available, 0u);
    const QByteArray log = readAll(QStringLiteral("http.log"));
    QVERIFY2(log.contains("\nSSL: 1\nHttpSendRequest FAILED: 0x7\nHttpQueryInfo FAILED: 0x7\n"
                          "InternetQueryDataAvailable FAILED: 0x7\n"),
             log.constData());
    QVERIFY(log.endsWith("CExHTTPn::~CExHTTPn OK.\n\n"));

    // The exchange routine and the logon read once in any case, so the read failure is logged too.
    const QByteArray failure = "HttpSendRequest FAILED: 0x7\nHttpQueryInfo FAILED: 0x7\n"
                               "InternetQueryDataAvailable FAILED: 0x7\nInternetReadFile FAILED: 0x7\n"
                               "CExHTTPn::~CExHTTPn OK.\n\n";
    const QString base = QStringLiteral("http://127.0.0.1:%1/").arg(port);
    QVERIFY(QFile::remove(QStringLiteral("http.log")));
    const CrmExchangeResult exchange = crmExchange(
        m_transport, base, QStringLiteral("logon"), QStringLiteral("SOAPAction: urn:logonAction\r\n"), "http.log", loginRequest());
    QVERIFY(exchange.ready);
    QVERIFY(!exchange.sent);
    QVERIFY(exchange.response.isEmpty());
    QVERIFY2(readAll(QStringLiteral("http.log")).endsWith("\nSSL: 1\n" + failure),
             readAll(QStringLiteral("http.log")).constData());
    QVERIFY(QFile::remove(QStringLiteral("http.log")));
    QCOMPARE(crmLogon(m_transport, base, QStringLiteral("demo"), QStringLiteral("demo"), "http.log"), QStringLiteral("error"));
    QVERIFY2(readAll(QStringLiteral("http.log")).endsWith("\nSSL: 1\n" + failure),
             readAll(QStringLiteral("http.log")).constData());
}

void TestTransport::withoutScheme_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("host and port") << QStringLiteral("127.0.0.1:%1/TestTransport_withoutScheme/");
    QTest::newRow("bare host") << QStringLiteral("localhost");
    QTest::newRow("empty") << QString();
}

void TestTransport::withoutScheme()
{
    QFETCH(QString, url);
    TestCrm crm(QStringLiteral("TestTransport_withoutScheme"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    if (url.contains(QLatin1String("%1")))
        url = url.arg(QUrl(crm.baseUrl()).port());
    {
        CExHTTPn http(m_transport, url, QStringLiteral("logon"), "http.log");
        QVERIFY(!http.isReady());
        QVERIFY(!http.sendRequest(QStringLiteral("SOAPAction: urn:logonAction\r\n"), loginRequest()));
    }
    const QByteArray log = readAll(QStringLiteral("http.log"));
    QVERIFY2(log.startsWith("InternetConnect FAILED: 0x") && log.endsWith("\nCExHTTPn::~CExHTTPn OK.\n\n") &&
                 log.count('\n') == 3,
             log.constData());
    QCOMPARE(crm.requests().size(), 0);
}

void TestTransport::unwritableLog()
{
    TestCrm crm(QStringLiteral("TestTransport_unwritableLog"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    // A folder in the log file's place cannot be opened, not even by root.
    QVERIFY(QDir().mkdir(QStringLiteral("http.log")));
    const Exchange e = run(m_transport, crm.baseUrl(), "http.log");
    QVERIFY(e.sent);
    QCOMPARE(sessionOf(e.body).size(), 32);
    const Exchange missing = run(m_transport, crm.baseUrl(), "no/such/folder/http.log");
    QCOMPARE(sessionOf(missing.body).size(), 32);
    QVERIFY(!QFile::exists(QStringLiteral("no")));
}

void TestTransport::largeAnswer()
{
    TestCrm crm(QStringLiteral("TestTransport_largeAnswer"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(QStringLiteral("large"));
    const Exchange e = run(m_transport, crm.baseUrl(), "http.log");
    QVERIFY(e.sent);
    QVERIFY2(e.available > 200u * 1024u, QByteArray::number(e.available).constData());
    QCOMPARE(quint32(e.body.size()), e.available);
    QVERIFY(e.body.endsWith("</SOAP-ENV:Envelope>\n") || e.body.trimmed().endsWith("Envelope>"));
    QCOMPARE(sessionOf(e.body), crm.sessionId().toUtf8());
}

void TestTransport::largePrefixBeforeAnswer()
{
    // 200 KB before the response element: only a transport that reads the whole body finds it.
    QByteArray body = loginAnswer;
    body.insert(body.indexOf("<SOAP-ENV:Body>"), "<!-- " + QByteArray(200 * 1024, 'x') + " -->");
    LocalServer server(LocalServer::response("200 OK", body));
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(server.port());
    const Exchange e = run(m_transport, base, "http.log");
    QCOMPARE(e.body, body);
    QCOMPARE(sessionOf(e.body), QByteArray("0123456789abcdef0123456789abcdef"));
    // The exchange routine and the logon read it whole as well.
    const CrmExchangeResult exchange = crmExchange(
        m_transport, base, QStringLiteral("logon"), QStringLiteral("SOAPAction: urn:logonAction\r\n"), "http.log", loginRequest());
    QVERIFY(exchange.sent);
    QCOMPARE(exchange.response, body);
    QCOMPARE(crmLogon(m_transport, base, QStringLiteral("demo"), QStringLiteral("demo"), "http.log"),
             QStringLiteral("0123456789abcdef0123456789abcdef"));
}

void TestTransport::htmlErrorPage()
{
    TestCrm crm(QStringLiteral("TestTransport_htmlErrorPage"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(QStringLiteral("html500"));
    const Exchange e = run(m_transport, crm.baseUrl(), "http.log");
    QVERIFY(e.sent); // the status does not make the send fail
    QCOMPARE(e.status, 500u);
    QVERIFY(e.body.contains("<html>"));
    QCOMPARE(sessionOf(e.body), QByteArray("error"));
    QVERIFY(!readAll(QStringLiteral("http.log")).contains("FAILED"));
}

void TestTransport::slowAnswer()
{
    TestCrm crm(QStringLiteral("TestTransport_slowAnswer"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(QStringLiteral("slow"));
    QElapsedTimer timer;
    timer.start();
    const Exchange e = run(m_transport, crm.baseUrl(), "http.log");
    QVERIFY(timer.elapsed() >= 1900);
    QCOMPARE(sessionOf(e.body), crm.sessionId().toUtf8());
}

void TestTransport::requestOnTheWire()
{
    LocalServer server(LocalServer::response("200 OK", loginAnswer));
    const QByteArray request = loginRequest(QString::fromUtf8("Jürgen"), QString::fromUtf8("Pässwort&1"));
    QVERIFY(request.contains("<pass xsi:type=\"xsd:string\">P\xC3\xA4sswort&amp;1</pass>"));
    const Exchange e = run(m_transport, QStringLiteral("http://127.0.0.1:%1/crm/").arg(server.port()), "http.log", request);
    QCOMPARE(sessionOf(e.body), QByteArray("0123456789abcdef0123456789abcdef"));
    QCOMPARE(server.requests().size(), 1);
    const QByteArray raw = server.requests().at(0);
    const QByteArray head = raw.left(raw.indexOf("\r\n\r\n") + 2);
    QVERIFY2(head.startsWith("POST /crm/soap/index.php?op=logon HTTP/1.1\r\n"), head.constData());
    for (const char* line :
         {"\r\nUser-Agent: Kelvor Outlook Importer 2.0.32\r\n", "\r\ncontent-type: text/xml; charset=utf-8\r\n",
          "\r\nSOAPAction: urn:logonAction\r\n", "\r\nAccept: text/xml\r\n", "\r\nCache-Control: no-cache\r\n"})
        QVERIFY2(head.contains(line), line);
    QVERIFY(!head.contains("Expect:"));
    QCOMPARE(raw.mid(raw.indexOf("\r\n\r\n") + 4), request);
}

void TestTransport::noRedirects()
{
    LocalServer target(LocalServer::response("200 OK", loginAnswer));
    LocalServer server(LocalServer::response("302 Found", QByteArray(),
                                             "Location: http://127.0.0.1:" + QByteArray::number(target.port()) +
                                                 "/soap/index.php?op=logon\r\n"));
    const Exchange e = run(m_transport, QStringLiteral("http://127.0.0.1:%1/").arg(server.port()), "http.log");
    QVERIFY(e.sent);
    QCOMPARE(e.status, 302u);
    QCOMPARE(target.requests().size(), 0);
    QCOMPARE(sessionOf(e.body), QByteArray("error"));
}

void TestTransport::nullBuffer()
{
    LocalServer server(LocalServer::response("200 OK", loginAnswer));
    {
        CExHTTPn http(m_transport, QStringLiteral("http://127.0.0.1:%1/").arg(server.port()), QStringLiteral("logon"), "http.log");
        QVERIFY(http.sendRequest(QStringLiteral("SOAPAction: urn:logonAction\r\n"), loginRequest()));
        QCOMPARE(http.readdata(nullptr, 10), 0);
        QCOMPARE(http.dataAvailable(), quint32(loginAnswer.size())); // nothing consumed
    }
    QVERIFY(readAll(QStringLiteral("http.log"))
                .endsWith("CExHTTPn::readdata FAILED: Wrong buffer.\nCExHTTPn::~CExHTTPn OK.\n\n"));
}

void TestTransport::selfSignedCertificate()
{
    const QString stunnel = QStandardPaths::findExecutable(QStringLiteral("stunnel4"));
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (stunnel.isEmpty() || openssl.isEmpty())
        QFAIL("stunnel4 and openssl are needed for the TLS front");
    TestCrm crm(QStringLiteral("TestTransport_selfSignedCertificate"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));

    const QString dir = m_dir->path();
    QProcess gen;
    gen.start(openssl,
              {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
               QStringLiteral("-nodes"), QStringLiteral("-keyout"), dir + QStringLiteral("/key.pem"),
               QStringLiteral("-out"), dir + QStringLiteral("/cert.pem"), QStringLiteral("-days"), QStringLiteral("1"),
               QStringLiteral("-subj"), QStringLiteral("/CN=crm.test")});
    QVERIFY(gen.waitForFinished(30000));
    QCOMPARE(gen.exitCode(), 0);

    const QUrl crmUrl(crm.baseUrl());
    const quint16 tlsPort = freePort();
    QFile conf(dir + QStringLiteral("/stunnel.conf"));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write(QStringLiteral("foreground = yes\npid =\noutput = %1/stunnel.log\n[crm]\naccept = 127.0.0.1:%2\n"
                              "connect = 127.0.0.1:%3\ncert = %1/cert.pem\nkey = %1/key.pem\n")
                   .arg(dir)
                   .arg(tlsPort)
                   .arg(crmUrl.port())
                   .toUtf8());
    conf.close();
    QProcess front;
    front.start(stunnel, {conf.fileName()});
    QVERIFY(front.waitForStarted());
    const auto stop = qScopeGuard([&front] {
        front.terminate();
        if (!front.waitForFinished(5000))
            front.kill();
    });
    QVERIFY2(waitForPort(tlsPort), "the TLS front does not answer");

    // The URL's own port is used for https too.
    const QString base = QStringLiteral("https://127.0.0.1:%1%2").arg(tlsPort).arg(crmUrl.path());
    const Exchange e = run(m_transport, base, "http.log");
    QVERIFY(e.sent);
    QCOMPARE(sessionOf(e.body), crm.sessionId().toUtf8());
    QCOMPARE(sessionOf(e.body).size(), 32);
    const QByteArray target = crmUrl.path().toUtf8() + "soap/index.php?op=logon";
    const QByteArray log = readAll(QStringLiteral("http.log"));
    QVERIFY2(log.startsWith(dump(QUrl(base), target, 4) + "HttpSendRequest WARNING: ERROR_INTERNET_INVALID_CA\n"
                                                          "HttpSendRequest WARNING: certificate of 127.0.0.1:" +
                            QByteArray::number(tlsPort) + " not verified, remembered as sha256//"),
             log.constData());
    QVERIFY(log.endsWith("=\nCExHTTPn::~CExHTTPn OK.\n\n"));
}

void TestTransport::certificateRetry_data()
{
    // libcurl: 60 = peer failed verification, 77 = CA store unreadable, 7 = could not connect.
    QTest::addColumn<int>("curlResult");
    QTest::addColumn<int>("verifyResult");
    QTest::addColumn<int>("expected");
    const int none = int(CertificateRetry::None);
    const int quiet = int(CertificateRetry::Quiet);
    const int warned = int(CertificateRetry::Warned);
    QTest::newRow("success") << 0 << 0 << none;
    QTest::newRow("connection refused") << 7 << 0 << none;
    QTest::newRow("unknown issuer") << 60 << 20 << warned;
    QTest::newRow("self-signed") << 60 << 18 << warned;
    QTest::newRow("self-signed in chain") << 60 << 19 << warned;
    QTest::newRow("issuer certificate missing") << 60 << 2 << warned;
    QTest::newRow("leaf signature unverifiable") << 60 << 21 << warned;
    QTest::newRow("bad signature") << 60 << 7 << warned;
    QTest::newRow("no CA store") << 77 << 0 << warned;
    QTest::newRow("expired") << 60 << 10 << quiet;
    QTest::newRow("not yet valid") << 60 << 9 << quiet;
    QTest::newRow("host name mismatch") << 60 << 62 << quiet;
    QTest::newRow("name mismatch, chain fine") << 60 << 0 << quiet;
}

void TestTransport::certificateRetry()
{
    QFETCH(int, curlResult);
    QFETCH(int, verifyResult);
    QFETCH(int, expected);
    QCOMPARE(int(::certificateRetry(curlResult, verifyResult)), expected);
}

void TestTransport::proxyFromEnvironment()
{
    LocalServer proxy(LocalServer::response("200 OK", loginAnswer));
    qputenv("http_proxy", QStringLiteral("http://127.0.0.1:%1").arg(proxy.port()).toLatin1());
    qunsetenv("no_proxy");
    qunsetenv("NO_PROXY");
    const Exchange e = run(m_transport, QStringLiteral("http://crm.example.invalid/kelvor/"), "http.log");
    qunsetenv("http_proxy");
    QVERIFY(e.sent);
    QCOMPARE(sessionOf(e.body), QByteArray("0123456789abcdef0123456789abcdef"));
    QCOMPARE(proxy.requests().size(), 1);
    QVERIFY2(proxy.requests().at(0).startsWith(
                 "POST http://crm.example.invalid/kelvor/soap/index.php?op=logon HTTP/1.1\r\n"),
             proxy.requests().at(0).left(200).constData());
}

QTEST_GUILESS_MAIN(TestTransport)
#include "tst_transport.moc"
