// The login check ("Prüfen") against the local test CRM: the outcome in the status label, what
// reaches the wire and the logs, and what is left alone (the stored settings).
#include "crmsettings.h"
#include "exchecker.h"
#include "testcrm.h"
#include "crmtransport.h"
#include "crmtruststore.h"
#include "wizard.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMutex>
#include <QPushButton>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace
{

QMutex messagesMutex;
QStringList messages;

void collectMessages(QtMsgType, const QMessageLogContext&, const QString& text)
{
    const QMutexLocker lock(&messagesMutex);
    messages << text;
}

QString allMessages()
{
    const QMutexLocker lock(&messagesMutex);
    return messages.join(QLatin1Char('\n'));
}

QByteArray httpLog()
{
    QFile file(QString::fromLatin1(ExChecker::httpLogFile));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString red()
{
    return QString::fromUtf8(Wizard::failureText);
}
QString green()
{
    return QString::fromUtf8(Wizard::successText);
}

struct Window {
    CrmMemoryTrustStore trust;
    CrmTransport transport{trust};
    Wizard wizard{transport, nullptr, QDir::currentPath()};
    QLabel* label = wizard.findChild<QLabel*>(QStringLiteral("chkLabel"));
    QPushButton* check = wizard.findChild<QPushButton*>(QStringLiteral("chkButton"));

    void fill(const QString& url, const QString& login, const QString& password)
    {
        wizard.findChild<QLineEdit*>(QStringLiteral("leURL"))->setText(url);
        wizard.findChild<QLineEdit*>(QStringLiteral("leLOGIN"))->setText(login);
        wizard.findChild<QLineEdit*>(QStringLiteral("lePASS"))->setText(password);
    }
    void press() { QTest::mousePress(check, Qt::LeftButton); }
};

int logonRequests(const TestCrm& crm)
{
    int count = 0;
    for (const auto& request : crm.requests())
        count += request.toObject().value(QStringLiteral("op")).toString() == QStringLiteral("logon");
    return count;
}

} // namespace

class TestWizardCheck : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void outcome_data();
    void outcome();
    void tooShortFailsAtOnceWithoutNetwork_data();
    void tooShortFailsAtOnceWithoutNetwork();
    void unreachableServer();
    void httpsUsesThePortOfTheAddress();
    void credentialsTravelAsUtf8AndStayOutOfLogs();
    void secondPressStopsTheCheck();
    void checkLeavesSettingsAlone();
    void closingDuringCheckIsSafe();

private:
    QTemporaryDir m_config;
};

void TestWizardCheck::initTestCase()
{
    // These tests clear the settings store: keep it in a folder of their own, so that running them
    // by hand never wipes the settings of whoever runs them.
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    const QString store = QSettings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer")).fileName();
    QVERIFY2(store.startsWith(m_config.path() + QLatin1Char('/')),
             qPrintable(QStringLiteral("settings store outside the test's folder: ") + store));
    qInstallMessageHandler(collectMessages);
}

void TestWizardCheck::init()
{
    QFile::remove(QString::fromLatin1(ExChecker::httpLogFile));
    QSettings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer")).clear();
    const QMutexLocker lock(&messagesMutex);
    messages.clear();
}

void TestWizardCheck::outcome_data()
{
    // cause: the words below the red text; empty when logged on.
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("cause");
    // address: %1 stands for the test CRM's address.
    QTest::addColumn<QString>("address");
    const QString password = QString::fromLatin1(TestCrm::defaultPassword);
    const QString wrong = QStringLiteral("Login-Name oder Kennwort falsch");
    const QString invalid = QStringLiteral("keine gültige Antwort vom CRM");
    QTest::newRow("logged on") << QString() << password << QString() << QStringLiteral("%1");
    QTest::newRow("wrong password") << QString() << QStringLiteral("falsch") << wrong << QStringLiteral("%1");
    QTest::newRow("login refused") << QStringLiteral("login_refused") << password << wrong << QStringLiteral("%1");
    QTest::newRow("33-character answer") << QStringLiteral("answer:crmLogin=0123456789abcdef0123456789abcdef0")
                                         << password << invalid << QStringLiteral("%1");
    QTest::newRow("31-character answer") << QStringLiteral("answer:crmLogin=0123456789abcdef0123456789abcde")
                                         << password << invalid << QStringLiteral("%1");
    QTest::newRow("SOAP fault") << QStringLiteral("soap_fault") << password << invalid << QStringLiteral("%1");
    QTest::newRow("HTML error page") << QStringLiteral("html500") << password << invalid << QStringLiteral("%1");
    // Blanks copied along with the address are dropped: the check goes to the address itself.
    QTest::newRow("blanks around the address") << QString() << password << QString() << QStringLiteral(" %1 \t");
}

void TestWizardCheck::outcome()
{
    QFETCH(QString, fault);
    QFETCH(QString, password);
    QFETCH(QString, cause);
    QFETCH(QString, address);
    TestCrm crm(QStringLiteral("wizard-outcome"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(fault);

    Window window;
    window.fill(address.arg(crm.baseUrl()), QString::fromLatin1(TestCrm::defaultLogin), password);
    window.press();
    QCOMPARE(window.wizard.findChild<QLineEdit*>(QStringLiteral("leURL"))->text(), crm.baseUrl());
    QCOMPARE(window.label->text(), QString::fromUtf8(Wizard::checkingText));
    QTRY_VERIFY(!window.wizard.isChecking());
    QCOMPARE(window.label->text(), cause.isEmpty() ? green() : red() + QStringLiteral("<br>") + cause);
    QCOMPARE(logonRequests(crm), 1);
    // The check went through the wizard's own HTTP log.
    QVERIFY(httpLog().contains("/soap/index.php?op=logon"));
}

void TestWizardCheck::tooShortFailsAtOnceWithoutNetwork_data()
{
    // url: the address typed, or empty for the test CRM's own address.
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("cause");
    const QString incomplete = QStringLiteral("Adresse oder Login-Name unvollständig");
    const QString scheme = QString::fromUtf8(Wizard::schemeText);
    QTest::newRow("6-character address") << QStringLiteral("http:/") << QStringLiteral("demo") << scheme;
    QTest::newRow("address without scheme") << QStringLiteral("crm.example.de/") << QStringLiteral("demo") << scheme;
    QTest::newRow("other scheme") << QStringLiteral("ftp://crm.example.de/") << QStringLiteral("demo") << scheme;
    QTest::newRow("no address") << QStringLiteral(" ") << QStringLiteral("demo") << incomplete;
    QTest::newRow("1-character login") << QString() << QStringLiteral("d") << incomplete;
    QTest::newRow("empty login") << QString() << QString() << incomplete;
}

void TestWizardCheck::tooShortFailsAtOnceWithoutNetwork()
{
    QFETCH(QString, url);
    QFETCH(QString, login);
    QFETCH(QString, cause);
    TestCrm crm(QStringLiteral("wizard-short"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    Window window;
    window.fill(url.isEmpty() ? crm.baseUrl() : url, login, QString::fromLatin1(TestCrm::defaultPassword));
    window.press();
    // Red at once, inside the press, without waiting for anything.
    QCOMPARE(window.label->text(), red() + QStringLiteral("<br>") + cause);
    QCOMPARE(window.check->text(), QStringLiteral("Prüfen"));
    QVERIFY(!window.wizard.isChecking());
    QVERIFY(!QFile::exists(QString::fromLatin1(ExChecker::httpLogFile)));
    QCOMPARE(logonRequests(crm), 0);
}

void TestWizardCheck::unreachableServer()
{
    Window window;
    // Port 9 (discard) on loopback: nothing listens, the connection is refused.
    window.fill(QStringLiteral("http://127.0.0.1:9/crm/"), QStringLiteral("demo"), QStringLiteral("demo"));
    window.press();
    QTRY_VERIFY(!window.wizard.isChecking());
    QCOMPARE(window.label->text(), red() + QStringLiteral("<br>Server nicht erreichbar"));
    // The details are in the wizard's HTTP log.
    const QByteArray log = httpLog();
    QVERIFY(log.contains("Port: 9"));
    QVERIFY(log.contains("FAILED"));
}

void TestWizardCheck::httpsUsesThePortOfTheAddress()
{
    // A plain TCP listener on a free port: the TLS handshake must come here, not to port 443.
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    int connections = 0;
    connect(&listener, &QTcpServer::newConnection, &listener, [&] {
        while (QTcpSocket* socket = listener.nextPendingConnection()) {
            ++connections;
            socket->abort(); // no TLS here: the handshake fails at once
            socket->deleteLater();
        }
    });
    Window window;
    window.fill(QStringLiteral("https://127.0.0.1:%1/crm/").arg(listener.serverPort()), QStringLiteral("demo"),
                QStringLiteral("demo"));
    window.press();
    QTRY_VERIFY(!window.wizard.isChecking());
    QCOMPARE(window.label->text(), red() + QStringLiteral("<br>Server nicht erreichbar"));
    QVERIFY(connections >= 1);
}

void TestWizardCheck::credentialsTravelAsUtf8AndStayOutOfLogs()
{
    TestCrm crm(QStringLiteral("wizard-utf8"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const QString login = QStringLiteral("Jürgen Ж");
    const QString password = QStringLiteral("Kennwort-€-Жук&<x>");
    crm.addUser(login, password);

    Window window;
    window.fill(crm.baseUrl(), login, password);
    window.press();
    QTRY_VERIFY(!window.wizard.isChecking());
    QCOMPARE(window.label->text(), green());

    // On the wire: UTF-8 and escaped.
    const QJsonArray requests = crm.requests();
    QVERIFY(!requests.isEmpty());
    const QString body = requests.last().toObject().value(QStringLiteral("body")).toString();
    QVERIFY2(body.contains(QStringLiteral("Kennwort-€-Жук&amp;&lt;x&gt;")), qPrintable(body));

    // Never in a log: neither the debug output nor the HTTP log.
    QVERIFY(!allMessages().contains(QStringLiteral("Kennwort")));
    QVERIFY(allMessages().contains(QStringLiteral("LOGON XML")));
    QVERIFY(!httpLog().contains("Kennwort"));
}

void TestWizardCheck::secondPressStopsTheCheck()
{
    TestCrm crm(QStringLiteral("wizard-twice"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(QStringLiteral("slow"));
    Window window;
    window.fill(crm.baseUrl(), QString::fromLatin1(TestCrm::defaultLogin),
                QString::fromLatin1(TestCrm::defaultPassword));
    window.press();
    QVERIFY(window.wizard.isChecking());
    QCOMPARE(window.check->text(), QStringLiteral("Abbrechen"));
    QTest::mouseRelease(window.check, Qt::LeftButton);
    // The server takes 2 s; the second press ends the check well before that.
    QElapsedTimer timer;
    timer.start();
    window.press();
    QTest::mouseRelease(window.check, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window.wizard.isChecking(), 1500);
    QVERIFY2(timer.elapsed() < 1500, QByteArray::number(timer.elapsed()).constData());
    QCOMPARE(window.label->text(), QString::fromUtf8(Wizard::abortedText));
    QCOMPARE(window.check->text(), QStringLiteral("Prüfen"));

    // Once finished, the next press starts a new check that runs to its end.
    crm.setFault(QString());
    window.press();
    QTRY_VERIFY(!window.wizard.isChecking());
    QCOMPARE(window.label->text(), green());
}

void TestWizardCheck::checkLeavesSettingsAlone()
{
    TestCrm crm(QStringLiteral("wizard-nosave"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    QSettings settings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer"));
    settings.setValue(QStringLiteral("CRM_URL"), QStringLiteral("http://stored.example/"));
    settings.sync();

    Window window;
    window.fill(crm.baseUrl(), QString::fromLatin1(TestCrm::defaultLogin),
                QString::fromLatin1(TestCrm::defaultPassword));
    window.press();
    QTRY_VERIFY(!window.wizard.isChecking());
    QCOMPARE(window.label->text(), green());
    settings.sync();
    QCOMPARE(settings.value(QStringLiteral("CRM_URL")).toString(), QStringLiteral("http://stored.example/"));
    QVERIFY(!settings.contains(QStringLiteral("CRM_LGN")));
    QVERIFY(!settings.contains(QStringLiteral("CRM_KNW")));
}

void TestWizardCheck::closingDuringCheckIsSafe()
{
    TestCrm crm(QStringLiteral("wizard-close"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(QStringLiteral("slow"));
    auto window = std::make_unique<Window>();
    window->fill(crm.baseUrl(), QString::fromLatin1(TestCrm::defaultLogin),
                 QString::fromLatin1(TestCrm::defaultPassword));
    window->wizard.show();
    window->press();
    QVERIFY(window->wizard.isChecking());
    QVERIFY(window->wizard.close());
    // The window goes while the exchange is under way: the exchange is aborted at once, nothing
    // reaches the destroyed label, and the close still stored the fields.
    QElapsedTimer timer;
    timer.start();
    window.reset();
    QVERIFY2(timer.elapsed() < 1000, QByteArray::number(timer.elapsed()).constData());
    QTest::qWait(50);
    QCOMPARE(readCrmSettings().url, crm.baseUrl());
    QVERIFY(logonRequests(crm) <= 1);
}

QTEST_MAIN(TestWizardCheck)
#include "testwizardcheck.moc"
