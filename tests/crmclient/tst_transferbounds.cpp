// What the transport does when the server misbehaves, when the caller aborts, and how it reuses its
// connection: outcome, what the server received, and how long it took (generous bounds; the time
// limits are shortened so that the cases run in seconds).
#include "crmexchange.h"
#include "crmlogon.h"
#include "crmsettings.h"
#include "crmtransfer.h"
#include "crmtruststore.h"
#include "exhttpn.h"
#include "misbehavingserver.h"
#include "tlsfront.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

namespace
{

const QByteArray loginAnswer =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
    "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:ns1=\"urn:crmlogon\"><SOAP-ENV:Body>"
    "<ns1:crmLoginResponse><return>0123456789abcdef0123456789abcdef</return></ns1:crmLoginResponse>"
    "</SOAP-ENV:Body></SOAP-ENV:Envelope>";

const QByteArray request = "<?xml version=\"1.0\"?><request>" + QByteArray(3000, 'r') + "</request>";

CrmExchangeResult exchange(CrmTransport& transport, quint16 port, const QString& service = QStringLiteral("tasks"))
{
    return crmExchange(transport, QStringLiteral("http://127.0.0.1:%1/").arg(port), service,
                       QStringLiteral("SOAPAction: urn:crmtasksAction\r\n"), "http.log", request);
}

// Bounds short enough for the cases to run in seconds.
CrmTransferLimits shortLimits()
{
    CrmTransferLimits limits;
    limits.connectMs = 2000;
    limits.stallMs = 1000;
    limits.logonMs = 2500;
    limits.exchangeMs = 3500;
    limits.answerBytes = 1024 * 1024;
    return limits;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

using Mode = MisbehavingServer::Mode;
using Failure = CrmTransportFailure;

} // namespace

Q_DECLARE_METATYPE(MisbehavingServer::Mode)
Q_DECLARE_METATYPE(CrmTransportFailure)
Q_DECLARE_METATYPE(CrmSecureOption)

class TestTransferBounds : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void misbehavingServer_data();
    void misbehavingServer();
    void abortByGuard_data();
    void abortByGuard();
    void oneConnectionForARun();
    void droppedConnection();
    void certificateDecision();
    void failClosed_data();
    void failClosed();
    void verifiedDespiteRememberedKey();
    void logonCause_data();
    void logonCause();

private:
    QString storedPin(const QString& host) const { return QString::fromUtf8(m_settingsTrust.pin(host.toUtf8())); }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCwd;
    CrmSettingsTrustStore m_settingsTrust;
    std::unique_ptr<CrmTransport> m_transport;
};

void TestTransferBounds::initTestCase()
{
    // Certificate decisions go to the settings, as in the programs.
    m_transport = std::make_unique<CrmTransport>(m_settingsTrust, shortLimits());
}

void TestTransferBounds::cleanupTestCase()
{
    m_transport.reset();
}

void TestTransferBounds::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_oldCwd = QDir::currentPath();
    QDir::setCurrent(m_dir->path());
}

void TestTransferBounds::cleanup()
{
    QDir::setCurrent(m_oldCwd);
    m_dir.reset();
}

void TestTransferBounds::misbehavingServer_data()
{
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<QString>("service");
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<bool>("mayHaveArrived");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    QTest::addColumn<QByteArray>("logLine");
    const QString logon = QStringLiteral("logon");
    const QString tasks = QStringLiteral("tasks");
    QTest::newRow("never answers") << Mode::NeverAnswer << tasks << Failure::Timeout << true << 900 << 3000
                                   << QByteArray("nothing moved for 1000 ms");
    QTest::newRow("logon never answered") << Mode::NeverAnswer << logon << Failure::Timeout << true << 900 << 3000
                                          << QByteArray("nothing moved");
    QTest::newRow("logon trickled") << Mode::Trickle << logon << Failure::Timeout << true << 2400 << 4500
                                    << QByteArray("longer than 2500 ms");
    QTest::newRow("item trickled") << Mode::Trickle << tasks << Failure::Timeout << true << 3400 << 6000
                                   << QByteArray("exchange took longer than 3");
    QTest::newRow("endless body") << Mode::EndlessBody << tasks << Failure::TooLarge << true << 0 << 3000
                                  << QByteArray("answer larger than 1048576 bytes");
    QTest::newRow("closes mid-answer") << Mode::CloseMidAnswer << tasks << Failure::Other << true << 0 << 1500
                                       << QByteArray("HttpSendRequest FAILED: 0x12");
    QTest::newRow("closes after the request") << Mode::CloseAfterRequest << tasks << Failure::Other << true << 0
                                              << 1500 << QByteArray("HttpSendRequest FAILED: 0x34");
    QTest::newRow("dies after the logon") << Mode::DieAfterFirst << tasks << Failure::Connect << false << 0 << 1500
                                          << QByteArray("HttpSendRequest FAILED: 0x7");
}

void TestTransferBounds::misbehavingServer()
{
    QFETCH(Mode, mode);
    QFETCH(QString, service);
    QFETCH(Failure, failure);
    QFETCH(bool, mayHaveArrived);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);
    QFETCH(QByteArray, logLine);

    MisbehavingServer server(mode, loginAnswer);
    if (mode == Mode::DieAfterFirst) {
        const CrmExchangeResult first = exchange(*m_transport, server.port(), QStringLiteral("logon"));
        QVERIFY(first.sent);
        QCOMPARE(first.response, loginAnswer);
        QTRY_COMPARE(server.connections(), 1);
        QTest::qWait(100); // the server is gone now
    }
    QElapsedTimer timer;
    timer.start();
    const CrmExchangeResult result = exchange(*m_transport, server.port(), service);
    const qint64 elapsed = timer.elapsed();
    QVERIFY(result.ready);
    QVERIFY(!result.sent);
    QCOMPARE(result.failure, failure);
    QCOMPARE(result.requestMayHaveArrived, mayHaveArrived);
    QVERIFY(result.response.isEmpty());
    QVERIFY2(elapsed >= minMs && elapsed <= maxMs, QByteArray::number(elapsed).constData());
    // The request arrived once, never twice (after a server's death: only the logon arrived).
    QCOMPARE(server.requests().size(), 1);
    const QByteArray log = readAll(QStringLiteral("http.log"));
    QVERIFY2(log.contains(logLine), log.constData());
    QVERIFY(log.endsWith("CExHTTPn::~CExHTTPn OK.\n\n"));
}

void TestTransferBounds::abortByGuard_data()
{
    QTest::addColumn<bool>("outerAborts"); // an outer guard that asks to stop
    QTest::addColumn<bool>("innerAborts"); // a nested guard, created after the outer one
    QTest::addColumn<Failure>("failure");
    QTest::newRow("abort at once") << true << true << Failure::Aborted;
    QTest::newRow("innermost guard wins") << true << false << Failure::Timeout;
    QTest::newRow("inner guard aborts") << false << true << Failure::Aborted;
}

void TestTransferBounds::abortByGuard()
{
    QFETCH(bool, outerAborts);
    QFETCH(bool, innerAborts);
    QFETCH(Failure, failure);
    MisbehavingServer server(Mode::NeverAnswer);
    QElapsedTimer timer;
    timer.start();
    int outerTicks = 0;
    int innerTicks = 0;
    const auto stopAfter300ms = [&timer](bool aborts) { return !(aborts && timer.elapsed() > 300); };
    CrmTransferGuard outer([&] {
        ++outerTicks;
        return stopAfter300ms(outerAborts);
    });
    CrmExchangeResult result;
    {
        CrmTransferGuard inner([&] {
            ++innerTicks;
            return stopAfter300ms(innerAborts);
        });
        result = exchange(*m_transport, server.port());
    }
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(result.failure, failure);
    QVERIFY(result.requestMayHaveArrived);
    QCOMPARE(outerTicks, 0);
    if (failure == Failure::Aborted) {
        QVERIFY2(elapsed >= 300 && elapsed < 1000, QByteArray::number(elapsed).constData());
        // Ticks come every 50-100 ms also while the exchange only waits.
        QVERIFY2(innerTicks >= 3 && innerTicks <= 30, QByteArray::number(innerTicks).constData());
    }
    // Once the inner guard is gone, the outer one is asked again.
    if (outerAborts) {
        const CrmExchangeResult next = exchange(*m_transport, server.port());
        QCOMPARE(next.failure, Failure::Aborted);
        QVERIFY(outerTicks > 0);
    }
}

void TestTransferBounds::oneConnectionForARun()
{
    MisbehavingServer server(Mode::Answer, loginAnswer);
    QVERIFY(exchange(*m_transport, server.port(), QStringLiteral("logon")).sent);
    for (int i = 0; i < 20; ++i) {
        const CrmExchangeResult result = exchange(*m_transport, server.port());
        QVERIFY(result.sent);
        QCOMPARE(result.failure, Failure::None);
        QCOMPARE(result.response, loginAnswer);
    }
    QCOMPARE(server.requests().size(), 21);
    QCOMPARE(server.connections(), 1);

    // Several threads at once each get a connection of their own and all their answers.
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i)
                answered += exchange(*m_transport, server.port()).response == loginAnswer ? 1 : 0;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(answered.load(), 40);
    QVERIFY2(server.connections() <= 5, QByteArray::number(server.connections()).constData());
}

void TestTransferBounds::droppedConnection()
{
    // A kept-alive connection the server has closed meanwhile is replaced without a failure.
    MisbehavingServer server(Mode::DropAfterAnswer, loginAnswer);
    for (int i = 0; i < 3; ++i) {
        QTest::qWait(50);
        const CrmExchangeResult result = exchange(*m_transport, server.port());
        QVERIFY(result.sent);
        QCOMPARE(result.response, loginAnswer);
    }
    QCOMPARE(server.connections(), 3);
    QCOMPARE(server.requests().size(), 3);

    // A connection that breaks after the request went out is not used to send it a second time.
    server.setMode(Mode::Answer);
    QTest::qWait(100); // the last dropped connection's end has arrived
    QVERIFY(exchange(*m_transport, server.port()).sent);
    server.setMode(Mode::CloseAfterRequest);
    const CrmExchangeResult lost = exchange(*m_transport, server.port());
    QVERIFY(!lost.sent);
    QCOMPARE(lost.failure, Failure::Other);
    QVERIFY(lost.requestMayHaveArrived);
    QCOMPARE(server.requests().size(), 5);
}

void TestTransferBounds::certificateDecision()
{
    const QString dir = m_dir->path();
    QVERIFY(TlsFront::makeCertificate(dir, QStringLiteral("first")));
    QVERIFY(TlsFront::makeCertificate(dir, QStringLiteral("second")));
    MisbehavingServer server(Mode::Answer, loginAnswer);
    quint16 port = 0;
    {
        MisbehavingServer probe(Mode::Answer); // a free port for the front
        port = probe.port();
    }
    const QString url = QStringLiteral("https://127.0.0.1:%1/").arg(port);
    const QString host = QStringLiteral("127.0.0.1:%1").arg(port);
    const auto logon = [this, &url] {
        return crmLogonOutcome(*m_transport, url, QStringLiteral("demo"), QStringLiteral("geheim"), "http.log");
    };
    m_settingsTrust.remember(host.toUtf8(), QByteArray()); // left by an earlier run of this test on the same port
    m_transport->reset();
    QVERIFY(storedPin(host).isEmpty());

    QString firstPin;
    {
        TlsFront front(dir, QStringLiteral("first"), port, server.port());
        QVERIFY2(front.isUp(), "stunnel4 does not answer");
        // First use: accepted and remembered with the settings.
        const CrmLogonOutcome first = logon();
        QVERIFY(isSessionId(first.sessionId));
        QCOMPARE(CrmCertificate(first.certificate), CrmCertificate::Remembered);
        firstPin = storedPin(host);
        QVERIFY(firstPin.startsWith(QLatin1String("sha256//")));
        // The settings file (it holds the password too) stays the user's alone.
        const QString store = QSettings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer")).fileName();
        QCOMPARE(QFile(store).permissions() & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser |
                                                  QFile::WriteUser),
                 QFile::Permissions());
        QCOMPARE(readAll(QStringLiteral("http.log")).count("WARNING"), 2); // unknown issuer, remembered

        // A later run finds the certificate in the settings and settles it once: one connection and
        // one TLS handshake for the logon and twenty items, no warning.
        m_transport->reset();
        QVERIFY(QFile::remove(QStringLiteral("http.log")));
        const int connectionsBefore = server.connections();
        const auto handshakes = [&dir] { return readAll(dir + QStringLiteral("/first.log")).count("accepted connection"); };
        const qsizetype handshakesBefore = handshakes();
        const CrmLogonOutcome later = logon();
        QVERIFY(isSessionId(later.sessionId));
        QCOMPARE(CrmCertificate(later.certificate), CrmCertificate::Known);
        for (int i = 0; i < 20; ++i) {
            const CrmExchangeResult item = crmExchange(*m_transport, url, QStringLiteral("tasks"),
                                                       QStringLiteral("SOAPAction: urn:crmtasksAction\r\n"), "http.log",
                                                       request);
            QCOMPARE(item.response, loginAnswer);
        }
        QCOMPARE(server.connections() - connectionsBefore, 1);
        QCOMPARE(handshakes() - handshakesBefore, 1);
        QVERIFY(!readAll(QStringLiteral("http.log")).contains("WARNING"));
    }
    const int requestsBefore = int(server.requests().size());
    {
        // Another certificate for the same host: refused before the password goes out, in this
        // run and in a later one.
        TlsFront front(dir, QStringLiteral("second"), port, server.port());
        QVERIFY2(front.isUp(), "stunnel4 does not answer");
        for (int start = 0; start < 2; ++start) {
            m_transport->reset();
            const CrmLogonOutcome refused = logon();
            QVERIFY(refused.sessionId.isEmpty() || refused.sessionId == QLatin1String("error"));
            QCOMPARE(refused.failure, CrmLogonFailure::CertificateRefused);
            QCOMPARE(CrmCertificate(refused.certificate), CrmCertificate::Refused);
            QCOMPARE(server.requests().size(), requestsBefore);
            QCOMPARE(storedPin(host), firstPin);
        }
        QVERIFY(readAll(QStringLiteral("http.log")).contains("is not the one remembered, refused"));

        // The user confirms the new certificate: it replaces the remembered one.
        m_transport->forgetCertificate(url);
        const CrmLogonOutcome replaced = logon();
        QVERIFY(isSessionId(replaced.sessionId));
        QCOMPARE(CrmCertificate(replaced.certificate), CrmCertificate::Remembered);
        QVERIFY(!storedPin(host).isEmpty());
        QVERIFY(storedPin(host) != firstPin);
    }
}

void TestTransferBounds::failClosed_data()
{
    QTest::addColumn<CrmSecureOption>("option");
    QTest::addColumn<int>("refusedCall"); // the how-many-th setting of that option libcurl does not take
    QTest::addColumn<QString>("remembered"); // the key remembered before, "" for none
    QTest::addColumn<QString>("shown");      // the key the server shows, "" for plain http
    QTest::addColumn<QByteArray>("logLine");
    using O = CrmSecureOption;
    const QString first = QStringLiteral("first");
    const QString second = QStringLiteral("second");
    QTest::newRow("pin of a first-seen key") << O::PinnedKey << 1 << QString() << first
                                             << QByteArray("CURLOPT_PINNEDPUBLICKEY not taken");
    QTest::newRow("pin of a remembered key") << O::PinnedKey << 1 << first << first
                                             << QByteArray("CURLOPT_PINNEDPUBLICKEY not taken");
    QTest::newRow("verification not back on after another key")
        << O::Verification << 3 << first << second << QByteArray("CURLOPT_SSL_VERIFYPEER not taken");
    QTest::newRow("handshake probe") << O::HandshakeOnly << 1 << QString() << first
                                     << QByteArray("CURLOPT_CONNECT_ONLY not taken");
    QTest::newRow("header lines") << O::Headers << 1 << QString() << QString()
                                  << QByteArray("CURLOPT_HTTPHEADER not taken");
    QTest::newRow("body") << O::Body << 1 << QString() << QString()
                          << QByteArray("CURLOPT_POSTFIELDSIZE_LARGE not taken");
}

// An option that weakens nothing when it is taken must not weaken anything when it is not: the
// exchange fails before a byte of the request reaches the server.
void TestTransferBounds::failClosed()
{
    QFETCH(CrmSecureOption, option);
    QFETCH(int, refusedCall);
    QFETCH(QString, remembered);
    QFETCH(QString, shown);
    QFETCH(QByteArray, logLine);
    const QString dir = m_dir->path();
    CrmMemoryTrustStore trust;
    CrmTransport transport(trust, shortLimits());
    MisbehavingServer server(Mode::Answer, loginAnswer);
    quint16 port = server.port();
    QString url = QStringLiteral("http://127.0.0.1:%1/").arg(port);
    std::unique_ptr<TlsFront> front;
    if (!shown.isEmpty()) {
        {
            MisbehavingServer probe(Mode::Answer); // a free port for the front
            port = probe.port();
        }
        url = QStringLiteral("https://127.0.0.1:%1/").arg(port);
        if (!remembered.isEmpty()) {
            QVERIFY(TlsFront::makeCertificate(dir, remembered));
            front = std::make_unique<TlsFront>(dir, remembered, port, server.port());
            QVERIFY2(front->isUp(), "stunnel4 does not answer");
            QVERIFY(crmExchange(transport, url, QStringLiteral("logon"), QStringLiteral("SOAPAction: urn:logonAction\r\n"),
                                "http.log", request)
                        .sent);
            QVERIFY(QFile::remove(QStringLiteral("http.log")));
        }
        if (shown != remembered) {
            front.reset();
            QVERIFY(TlsFront::makeCertificate(dir, shown));
            front = std::make_unique<TlsFront>(dir, shown, port, server.port());
            QVERIFY2(front->isUp(), "stunnel4 does not answer");
        }
    }
    const qsizetype before = server.requests().size();
    {
        CExHTTPn http(transport, url, QStringLiteral("logon"), "http.log");
        QVERIFY(http.isReady());
        int calls = 0;
        http.setOptionRefusal([&](CrmSecureOption o) { return o == option && ++calls == refusedCall; });
        QVERIFY(!http.sendRequest(QStringLiteral("SOAPAction: urn:logonAction\r\n"), request));
        QVERIFY(!http.requestMayHaveArrived());
        QCOMPARE(http.dataAvailable(), 0u);
        QCOMPARE(calls, refusedCall);
    }
    QCOMPARE(server.requests().size(), before);
    const QByteArray log = readAll(QStringLiteral("http.log"));
    QVERIFY2(log.contains("HttpSendRequest FAILED: " + logLine), log.constData());
}

// The key remembered for a host is not the one the server shows now, but the new certificate verifies:
// it is taken as verified, the request goes out once, and the remembered key stays for the day the
// server shows an unverified certificate again.
void TestTransferBounds::verifiedDespiteRememberedKey()
{
    const QString dir = m_dir->path();
    QVERIFY(TlsFront::makeCertificate(dir, QStringLiteral("unverified")));
    QVERIFY(TlsFront::makeCertificate(dir, QStringLiteral("trusted"), QStringLiteral("127.0.0.1"),
                                      QStringLiteral("IP:127.0.0.1")));
    CrmMemoryTrustStore trust;
    CrmTransport transport(trust, shortLimits());
    transport.setCertificateAuthorities(dir + QStringLiteral("/trusted.pem"));
    MisbehavingServer server(Mode::Answer, loginAnswer);
    quint16 port = 0;
    {
        MisbehavingServer probe(Mode::Answer); // a free port for the front
        port = probe.port();
    }
    const QString url = QStringLiteral("https://127.0.0.1:%1/").arg(port);
    const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
    const auto logon = [&] {
        return crmLogonOutcome(transport, url, QStringLiteral("demo"), QStringLiteral("geheim"), "http.log");
    };
    {
        TlsFront front(dir, QStringLiteral("unverified"), port, server.port());
        QVERIFY2(front.isUp(), "stunnel4 does not answer");
        QCOMPARE(logon().certificate, CrmCertificate::Remembered);
    }
    const QByteArray remembered = trust.pin(host);
    QVERIFY(!remembered.isEmpty());
    const qsizetype before = server.requests().size();
    {
        TlsFront front(dir, QStringLiteral("trusted"), port, server.port());
        QVERIFY2(front.isUp(), "stunnel4 does not answer");
        // Within the program start that accepted the old key, and in a later one.
        for (int start = 0; start < 2; ++start) {
            const CrmLogonOutcome outcome = logon();
            QVERIFY(outcome.loggedOn());
            QCOMPARE(outcome.certificate, CrmCertificate::Verified);
            transport.reset();
        }
    }
    QCOMPARE(server.requests().size(), before + 2);
    QCOMPARE(trust.pin(host), remembered);
    QVERIFY(!readAll(QStringLiteral("http.log")).contains("refused"));
}

void TestTransferBounds::logonCause_data()
{
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<QString>("cause");
    QTest::newRow("never answers") << Mode::NeverAnswer << QStringLiteral("Server antwortet nicht");
    QTest::newRow("answers too slowly") << Mode::Trickle << QStringLiteral("keine gültige Antwort vom CRM");
    QTest::newRow("closes after the request") << Mode::CloseAfterRequest
                                              << QStringLiteral("keine gültige Antwort vom CRM");
    QTest::newRow("gone") << Mode::DieAfterFirst << QStringLiteral("Server nicht erreichbar");
}

// Why a logon failed, as the wizard and the summaries tell it: a server that took the request and said
// nothing within the bound is not one that answered something unusable.
void TestTransferBounds::logonCause()
{
    QFETCH(Mode, mode);
    QFETCH(QString, cause);
    MisbehavingServer server(mode, loginAnswer);
    if (mode == Mode::DieAfterFirst) {
        QVERIFY(exchange(*m_transport, server.port()).sent);
        QTest::qWait(100); // the server is gone now
    }
    const CrmLogonOutcome outcome = crmLogonOutcome(*m_transport, QStringLiteral("http://127.0.0.1:%1/").arg(server.port()),
                                                    QStringLiteral("demo"), QStringLiteral("geheim"), "http.log");
    QVERIFY(!outcome.loggedOn());
    QCOMPARE(crmLogonFailureText(outcome.failure), cause);
}

QTEST_GUILESS_MAIN(TestTransferBounds)
#include "tst_transferbounds.moc"
