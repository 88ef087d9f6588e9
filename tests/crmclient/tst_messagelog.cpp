// The diagnostic log: file name, line endings, truncation at start, reopening after a failed open.
#include "exmessagelog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace
{

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestMessageLog : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void lines_data();
    void lines();
    void truncatedAtStart();
    void reopensAfterFailedOpen();
    void uninstallRestoresHandler();

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QDir m_dir;
    QString m_oldCwd;
};

void TestMessageLog::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    m_dir = QDir(m_tmp->path());
    m_oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
}

void TestMessageLog::cleanup()
{
    uninstallMessageLog();
    QDir::setCurrent(m_oldCwd);
    m_tmp.reset();
}

void TestMessageLog::lines_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("ending");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray lf = "Debug: LOGON XML: \nDebug: \"abc\" 5\nWarning: w \xC3\xA4\nCritical: c\n";
    QByteArray crlf = lf;
    crlf.replace("\n", "\r\n");
    QTest::newRow("contacts") << QStringLiteral("kelvor_contacts.log") << int(LogLineEnding::Lf) << lf;
    QTest::newRow("tasks") << QStringLiteral("kelvor_tasks.log") << int(LogLineEnding::Lf) << lf;
    QTest::newRow("appointments") << QStringLiteral("kelvor_appointments.log") << int(LogLineEnding::Lf) << lf;
    QTest::newRow("email") << QStringLiteral("kelvor_email.log") << int(LogLineEnding::CrLf) << crlf;
}

void TestMessageLog::lines()
{
    QFETCH(QString, fileName);
    QFETCH(int, ending);
    QFETCH(QByteArray, expected);
    installMessageLog(fileName, LogLineEnding(ending));
    qDebug() << "LOGON XML: ";
    qDebug() << QByteArray("abc") << 5;
    qWarning() << "w" << QString::fromUtf8("ä").toUtf8().constData();
    qCritical("c");
    qInfo("info messages have no line");
    // Flushed per line: readable while the log is still open.
    QCOMPARE(readAll(m_dir.filePath(fileName)), expected);
}

void TestMessageLog::truncatedAtStart()
{
    const QString path = m_dir.filePath(QStringLiteral("kelvor_tasks.log"));
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old run\n");
    }
    installMessageLog(QStringLiteral("kelvor_tasks.log"));
    QCOMPARE(readAll(path), QByteArray("old run\n")); // opened on the first message only
    qDebug("second run");
    QCOMPARE(readAll(path), QByteArray("Debug: second run\n"));
    // A new program start (install again) truncates again.
    uninstallMessageLog();
    installMessageLog(QStringLiteral("kelvor_tasks.log"));
    qDebug("third run");
    QCOMPARE(readAll(path), QByteArray("Debug: third run\n"));
}

void TestMessageLog::reopensAfterFailedOpen()
{
    // A folder in the file's place makes the open fail (also for root, unlike permissions).
    const QString path = m_dir.filePath(QStringLiteral("kelvor_contacts.log"));
    QVERIFY(QDir().mkdir(path));
    installMessageLog(QStringLiteral("kelvor_contacts.log"));
    qDebug("dropped");
    QVERIFY(QFileInfo(path).isDir());
    QVERIFY(QDir().rmdir(path));
    qDebug("kept");
    QCOMPARE(readAll(path), QByteArray("Debug: kept\n"));
}

void TestMessageLog::uninstallRestoresHandler()
{
    installMessageLog(QStringLiteral("kelvor_contacts.log"));
    qDebug("logged");
    uninstallMessageLog();
    qDebug("not logged");
    QCOMPARE(readAll(m_dir.filePath(QStringLiteral("kelvor_contacts.log"))), QByteArray("Debug: logged\n"));
}

QTEST_GUILESS_MAIN(TestMessageLog)
#include "tst_messagelog.moc"
