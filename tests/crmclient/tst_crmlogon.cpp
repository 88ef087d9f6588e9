// The logon against the local test CRM: credentials on the wire, the 32-character rule.
#include "crmlogon.h"
#include "crmsettings.h"
#include "crmtransport.h"
#include "exmessagelog.h"
#include "testcrm.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

namespace
{

QByteArray readAll(const QString& path)
{
    flushMessageLog(); // the message log writes in blocks
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString lastBody(const TestCrm& crm)
{
    const QJsonArray requests = crm.requests();
    return requests.isEmpty() ? QString() : requests.last().toObject().value(QStringLiteral("body")).toString();
}

} // namespace

class TestCrmLogon : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void success();
    void credentials_data();
    void credentials();
    void answerLength_data();
    void answerLength();
    void fromStoredSettings();
    void rawResponseLine();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCwd;
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};
};

void TestCrmLogon::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_oldCwd = QDir::currentPath();
    QDir::setCurrent(m_dir->path());
}

void TestCrmLogon::cleanup()
{
    uninstallMessageLog();
    QDir::setCurrent(m_oldCwd);
    m_dir.reset();
}

void TestCrmLogon::success()
{
    TestCrm crm(QStringLiteral("TestCrmLogon_success"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    installMessageLog(QStringLiteral("kelvor_tasks.log"));
    const QString sessionId =
        crmLogon(m_transport, crm.baseUrl(), QStringLiteral("demo"), QStringLiteral("demo"), "kelvor_extasks.log");
    QVERIFY(isSessionId(sessionId));
    QCOMPARE(sessionId, crm.sessionId());
    const QByteArray log = readAll(QStringLiteral("kelvor_tasks.log"));
    QVERIFY(log.contains("<pass xsi:type=\"xsd:string\">***</pass>"));
    QVERIFY(log.endsWith("Debug: :LOGON XML\nDebug: SESSION ID:  \"" + sessionId.toUtf8() + "\"\n"));
    QVERIFY(lastBody(crm).contains(QStringLiteral("<pass xsi:type=\"xsd:string\">demo</pass>")));
    QVERIFY(readAll(QStringLiteral("kelvor_extasks.log")).endsWith("CExHTTPn::~CExHTTPn OK.\n\n"));
    const QJsonObject request = crm.requests().last().toObject();
    QCOMPARE(request.value(QStringLiteral("op")).toString(), QStringLiteral("logon"));
}

void TestCrmLogon::credentials_data()
{
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("sent"); // the credentials as the request carries them
    QTest::addColumn<QString>("tried");
    QTest::addColumn<bool>("ok");
    QTest::newRow("wrong password")
        << QStringLiteral("demo") << QStringLiteral("demo")
        << QStringLiteral("<login xsi:type=\"xsd:string\">demo</login><pass xsi:type=\"xsd:string\">nope</pass>")
        << QStringLiteral("nope") << false;
    QTest::newRow("empty password")
        << QStringLiteral("leer") << QString()
        << QStringLiteral("<login xsi:type=\"xsd:string\">leer</login><pass xsi:type=\"xsd:string\"></pass>")
        << QString() << true;
    QTest::newRow("ampersand") << QStringLiteral("amp") << QStringLiteral("a&b<c\"d")
                               << QStringLiteral("<pass xsi:type=\"xsd:string\">a&amp;b&lt;c&quot;d</pass>")
                               << QStringLiteral("a&b<c\"d") << true;
    QTest::newRow("umlauts")
        << QString::fromUtf8("Jürgen") << QString::fromUtf8("Pässwort&1")
        << QString::fromUtf8(
               "<login xsi:type=\"xsd:string\">Jürgen</login><pass xsi:type=\"xsd:string\">Pässwort&amp;1</pass>")
        << QString::fromUtf8("Pässwort&1") << true;
    QTest::newRow("outside latin-1") << QString::fromUtf8("Ελένη") << QString::fromUtf8("€uro✓")
                                     << QString::fromUtf8("<pass xsi:type=\"xsd:string\">€uro✓</pass>")
                                     << QString::fromUtf8("€uro✓") << true;
}

void TestCrmLogon::credentials()
{
    QFETCH(QString, login);
    QFETCH(QString, password);
    QFETCH(QString, sent);
    QFETCH(QString, tried);
    QFETCH(bool, ok);
    TestCrm crm(QStringLiteral("TestCrmLogon_credentials"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    if (login != QLatin1String("demo"))
        crm.addUser(login, password);
    const QString sessionId = crmLogon(m_transport, crm.baseUrl(), login, tried, "kelvor_extasks.log");
    QCOMPARE(isSessionId(sessionId), ok);
    if (!ok)
        QCOMPARE(sessionId, QStringLiteral("error"));
    QVERIFY2(lastBody(crm).contains(sent), qPrintable(lastBody(crm)));
}

void TestCrmLogon::answerLength_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("ok");
    QTest::newRow("31") << 31 << false;
    QTest::newRow("32") << 32 << true;
    QTest::newRow("33") << 33 << false;
}

void TestCrmLogon::answerLength()
{
    QFETCH(int, length);
    QFETCH(bool, ok);
    TestCrm crm(QStringLiteral("TestCrmLogon_answerLength"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const QString answer = QStringLiteral("abcdefghij0123456789abcdefghij0123456789").left(length);
    crm.setFault(QStringLiteral("answer:crmLogin=") + answer);
    const QString sessionId =
        crmLogon(m_transport, crm.baseUrl(), QStringLiteral("demo"), QStringLiteral("demo"), "kelvor_extasks.log");
    QCOMPARE(sessionId, answer);
    QCOMPARE(isSessionId(sessionId), ok);
}

void TestCrmLogon::fromStoredSettings()
{
    TestCrm crm(QStringLiteral("TestCrmLogon_fromStoredSettings"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.addUser(QString::fromUtf8("Jörg"), QString::fromUtf8("Pässwort&1"));
    QString base = crm.baseUrl();
    base.chop(1); // stored without the trailing slash
    writeCrmSettings({base, QString::fromUtf8("Jörg"), QString::fromUtf8("Pässwort&1")});
    QVERIFY(isSessionId(crmLogon(m_transport, readCrmSettings(), "kelvor_extasks.log")));
}

void TestCrmLogon::rawResponseLine()
{
    TestCrm crm(QStringLiteral("TestCrmLogon_rawResponseLine"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    installMessageLog(QStringLiteral("kelvor_email.log"), LogLineEnding::CrLf);
    LogonOptions options;
    options.logRawResponse = true;
    const QString sessionId =
        crmLogon(m_transport, crm.baseUrl(), QStringLiteral("demo"), QStringLiteral("demo"),
                 QFile::encodeName(QDir::currentPath() + QStringLiteral("/kelvor_exhttp.log")), options);
    QVERIFY(isSessionId(sessionId));
    const QByteArray log = readAll(QStringLiteral("kelvor_email.log"));
    QVERIFY(log.contains(":LOGON XML\r\nDebug: \"<?xml"));
    QVERIFY(log.contains("crmLoginResponse"));
    QVERIFY(QFile::exists(QStringLiteral("kelvor_exhttp.log")));
}

QTEST_GUILESS_MAIN(TestCrmLogon)
#include "tst_crmlogon.moc"
