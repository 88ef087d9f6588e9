// The program itself: without Outlook data it ends at once with exit code 0, and only its log tells why.
#include <QFile>
#include <QProcess>
#include <QtTest>

class TestContactProgram : public QObject {
    Q_OBJECT

private slots:
    void endsQuietlyWhenTheStoreIsUnavailable();
};

void TestContactProgram::endsQuietlyWhenTheStoreIsUnavailable()
{
    QFile::remove(QStringLiteral("kelvor_contacts.log"));
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KELVOR_STORE"), qEnvironmentVariable("KELVOR_SOURCE_DIR")
                                                   + QStringLiteral("/tests/contacts/data/logon_fails.json"));
    program.setProcessEnvironment(env);
    program.start(qEnvironmentVariable("KELVOR_BINARY_DIR") + QStringLiteral("/bin/Kelvor_kontakte"), {});
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);

    QFile log(QStringLiteral("kelvor_contacts.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    QVERIFY2(text.contains("Critical: Can't open MAPI Profile! stop\n"), text.constData());
    QVERIFY(text.contains("Debug: Status: false\n"));
    QVERIFY(text.endsWith("Debug: Closing program\n"));
}

QTEST_GUILESS_MAIN(TestContactProgram)
#include "TestContactProgram.moc"
