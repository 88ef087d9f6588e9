// Stored settings and the parts of the logon that need no server: the length rules (no request,
// no HTTP log entry), the debug lines and the masked password.
#include "crmlogon.h"
#include "crmsettings.h"
#include "crmtransport.h"
#include "exmessagelog.h"

#include <QDir>
#include <QFile>
#include <QSettings>
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

} // namespace

class TestCrmSettings : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void roundTrip();
    void missingKeysAreEmpty();
    void lengthRules_data();
    void lengthRules();
    void debugLinesMaskPassword();
    void appointmentDebugLines();

private:
    QTemporaryDir m_config;
    QTemporaryDir m_dir;
    QString m_oldCwd;
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};
};

void TestCrmSettings::initTestCase()
{
    // These tests clear the settings store: keep it in a folder of their own, so that running them
    // by hand never wipes the settings of whoever runs them.
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    const QString store = QSettings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer")).fileName();
    QVERIFY2(store.startsWith(m_config.path() + QLatin1Char('/')),
             qPrintable(QStringLiteral("settings store outside the test's folder: ") + store));
}

void TestCrmSettings::init()
{
    QVERIFY(m_dir.isValid());
    m_oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    QSettings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer")).clear();
}

void TestCrmSettings::cleanup()
{
    uninstallMessageLog();
    QDir::setCurrent(m_oldCwd);
}

void TestCrmSettings::roundTrip()
{
    // Text outside Latin-1 comes back as typed.
    const CrmSettings written{QStringLiteral("https://crm.example/äöü/"), QString::fromUtf8("Jürgen €"),
                              QString::fromUtf8("Pässwort&1 ✓")};
    writeCrmSettings(written);
    QSettings raw(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer"));
    QCOMPARE(raw.value(QStringLiteral("CRM_KNW")).toString(), written.password);
    const CrmSettings read = readCrmSettings();
    QCOMPARE(read.url, written.url);
    QCOMPARE(read.login, written.login);
    QCOMPARE(read.password, written.password);
}

void TestCrmSettings::missingKeysAreEmpty()
{
    QSettings raw(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer"));
    raw.setValue(QStringLiteral("CRM_LGN"), QStringLiteral("demo"));
    raw.sync();
    const CrmSettings read = readCrmSettings();
    QVERIFY(read.url.isEmpty());
    QCOMPARE(read.login, QStringLiteral("demo"));
    QVERIFY(read.password.isEmpty());
}

void TestCrmSettings::lengthRules_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("login");
    QTest::newRow("url of 6") << QStringLiteral("http:/") << QStringLiteral("demo");
    QTest::newRow("empty url") << QString() << QStringLiteral("demo");
    QTest::newRow("login of 1") << QStringLiteral("http://127.0.0.1:1/") << QStringLiteral("d");
    QTest::newRow("umlaut login of 1") << QStringLiteral("http://127.0.0.1:1/") << QString::fromUtf8("ä");
}

void TestCrmSettings::lengthRules()
{
    QFETCH(QString, url);
    QFETCH(QString, login);
    installMessageLog(QStringLiteral("kelvor_tasks.log"));
    const QString sessionId = crmLogon(m_transport, url, login, QStringLiteral("pw"), "kelvor_extasks.log");
    QVERIFY(sessionId.isEmpty());
    QVERIFY(!isSessionId(sessionId));
    QVERIFY(!QFile::exists(QStringLiteral("kelvor_extasks.log")));
    QVERIFY(!readAll(QStringLiteral("kelvor_tasks.log")).contains("LOGON XML"));
}

void TestCrmSettings::debugLinesMaskPassword()
{
    installMessageLog(QStringLiteral("kelvor_contacts.log"));
    // Nothing listens on port 1: the transport is prepared, the send fails, no session id.
    const QString sessionId = crmLogon(m_transport, QStringLiteral("http://127.0.0.1:1"), QStringLiteral("demo"),
                                       QStringLiteral("geheim<1>"), "kelvor_extasks.log");
    QCOMPARE(sessionId, QStringLiteral("error"));
    const QByteArray log = readAll(QStringLiteral("kelvor_contacts.log"));
    QVERIFY2(log.startsWith("Debug: LOGON XML: \nDebug: \"<?xml version="), log.constData());
    QVERIFY(log.contains("<login xsi:type=\"xsd:string\">demo</login><pass xsi:type=\"xsd:string\">***</pass>"));
    QVERIFY(!log.contains("geheim"));
    QVERIFY(log.endsWith("\"\nDebug: :LOGON XML\nDebug: SESSION ID:  \"error\"\n"));
    const QByteArray http = readAll(QStringLiteral("kelvor_extasks.log"));
    QVERIFY(http.startsWith("Host: 127.0.0.1\nPath: /soap/index.php?op=logon\nScheme: http\nExtra info: ?op=logon\n"
                            "Port: 1\nSSL: 1\nHttpSendRequest FAILED: 0x7\n"));
    QVERIFY(http.endsWith("CExHTTPn::~CExHTTPn OK.\n\n"));
}

void TestCrmSettings::appointmentDebugLines()
{
    installMessageLog(QStringLiteral("kelvor_appointments.log"));
    LogonOptions options;
    options.logSettings = true;
    (void)crmLogon(m_transport, QStringLiteral("http:/"), QStringLiteral("demo"), QStringLiteral("geheim"), "x.log", options);
    QCOMPARE(readAll(QStringLiteral("kelvor_appointments.log")),
             QByteArray("Debug: URL: \"http:/\"\nDebug: LGN: \"demo\"\nDebug: KNW: \"***\"\n"));
}

QTEST_GUILESS_MAIN(TestCrmSettings)
#include "tst_crmsettings.moc"
