// The diagnostic log: file name, line endings, truncation at start, reopening after a failed open,
// writing in blocks, bounded lines and files, owner-only mode, the lines before a crash.
#include "exmessagelog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// write() calls made by this process so far, or -1 when the kernel does not tell.
qint64 writeCalls()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("syscw:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
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
    void fewWritesAndFlushedLater();
    void longLinesCut_data();
    void longLinesCut();
    void rotatedOnce();
    void ownerOnly();
    void linesBeforeCrashKept_data();
    void linesBeforeCrashKept();

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
    flushMessageLog();
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
    flushMessageLog();
    QCOMPARE(readAll(path), QByteArray("Debug: second run\n"));
    // A new program start (install again) truncates again.
    uninstallMessageLog();
    installMessageLog(QStringLiteral("kelvor_tasks.log"));
    qDebug("third run");
    flushMessageLog();
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
    flushMessageLog();
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

void TestMessageLog::fewWritesAndFlushedLater()
{
    const QString path = m_dir.filePath(QStringLiteral("kelvor_contacts.log"));
    installMessageLog(QStringLiteral("kelvor_contacts.log"));
    qDebug("first");
    // Nobody flushes: the background flusher writes the line soon.
    QTRY_COMPARE_WITH_TIMEOUT(readAll(path), QByteArray("Debug: first\n"), 5000);

    const qint64 before = writeCalls();
    if (before < 0)
        QSKIP("/proc/self/io is not available");
    QByteArray expected = "Debug: first\n";
    for (int i = 0; i < 2000; ++i) {
        qDebug() << "RESPONSE: " << i;
        expected += "Debug: RESPONSE:  " + QByteArray::number(i) + '\n';
    }
    flushMessageLog();
    const qint64 calls = writeCalls() - before;
    QCOMPARE(readAll(path), expected);
    // About 40 KB of lines: a handful of blocks, not one call per line.
    QVERIFY2(calls <= 10, qPrintable(QStringLiteral("%1 write calls for 2000 lines").arg(calls)));
}

void TestMessageLog::longLinesCut_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("expected");
    const qsizetype max = qsizetype(maxMessageLogLine);
    const QByteArray exact(max, 'a');
    QTest::newRow("at the limit") << QString::fromLatin1(exact) << exact;
    QTest::newRow("10 MB answer") << QString(10 * 1024 * 1024, QLatin1Char('x'))
                                  << QByteArray(max, 'x') + " ... [cut at 65536 of 10485760 bytes]";
    // "ä" is two bytes: a character the limit falls into is left out whole.
    const QString umlauts(max / 2 + 1, QChar(0xE4));
    QByteArray cutUmlauts;
    for (qsizetype i = 0; i < max / 2; ++i)
        cutUmlauts += "\xC3\xA4";
    QTest::newRow("limit between characters") << umlauts << cutUmlauts + " ... [cut at 65536 of 65538 bytes]";
    QTest::newRow("limit inside a character")
        << QLatin1Char('b') + umlauts << "b" + cutUmlauts.left(max - 2) + " ... [cut at 65535 of 65539 bytes]";
    QTest::newRow("ends at NUL") << QStringLiteral("abc") + QChar(0) + QStringLiteral("def") << QByteArray("abc");
}

void TestMessageLog::longLinesCut()
{
    QFETCH(QString, message);
    QFETCH(QByteArray, expected);
    QCOMPARE(boundedMessageText(message), expected);

    installMessageLog(QStringLiteral("kelvor_email.log"), LogLineEnding::CrLf);
    qDebug().noquote() << message;
    qDebug("after");
    flushMessageLog();
    QCOMPARE(readAll(m_dir.filePath(QStringLiteral("kelvor_email.log"))),
             "Debug: " + expected + "\r\nDebug: after\r\n");
}

void TestMessageLog::rotatedOnce()
{
    const QString path = m_dir.filePath(QStringLiteral("kelvor_tasks.log"));
    installMessageLog(QStringLiteral("kelvor_tasks.log"));
    const QString chunk(60000, QLatin1Char('r'));
    const qint64 lineSize = 7 + 6 + 60000 + 1; // "Debug: ", number, text, "\n"
    // Enough lines for two and a half files.
    const int lines = int(maxMessageLogFile * 5 / 2 / lineSize) + 1;
    for (int i = 0; i < lines; ++i)
        qDebug().noquote() << QStringLiteral("%1 ").arg(i, 5, 10, QLatin1Char('0')) + chunk;
    flushMessageLog();

    const QFileInfo current(path);
    const QFileInfo rotated(path + QStringLiteral(".1"));
    QVERIFY(rotated.exists());
    QVERIFY(!QFileInfo::exists(path + QStringLiteral(".2")));
    QVERIFY(current.size() <= maxMessageLogFile);
    QVERIFY(rotated.size() <= maxMessageLogFile);
    QVERIFY(rotated.size() > maxMessageLogFile - 2 * lineSize);
    // Whole lines in each file; the newest file ends with the last line, the rotated one
    // continues into it without a gap.
    const QByteArray tail = readAll(path);
    const QByteArray older = readAll(rotated.filePath());
    QVERIFY(tail.startsWith("Debug: ") && tail.endsWith(chunk.toLatin1() + '\n'));
    QVERIFY(older.startsWith("Debug: ") && older.endsWith('\n'));
    const int lastOfOlder = older.mid(older.lastIndexOf("Debug: ") + 7, 5).toInt();
    const int firstOfTail = tail.mid(7, 5).toInt();
    QCOMPARE(firstOfTail, lastOfOlder + 1);
    QCOMPARE(tail.mid(tail.lastIndexOf("Debug: ") + 7, 5).toInt(), lines - 1);
    QCOMPARE(tail.size() % lineSize, 0);
}

void TestMessageLog::ownerOnly()
{
    const QString path = m_dir.filePath(QStringLiteral("kelvor_appointments.log"));
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        QVERIFY(old.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                                   QFileDevice::ReadOther));
    }
    const mode_t oldMask = ::umask(0);
    installMessageLog(QStringLiteral("kelvor_appointments.log"));
    qDebug("KNW: secret");
    flushMessageLog();
    ::umask(oldMask);
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0600));
    QCOMPARE(readAll(path), QByteArray("Debug: KNW: secret\n"));
}

void TestMessageLog::linesBeforeCrashKept_data()
{
    QTest::addColumn<int>("how");
    QTest::addColumn<int>("signal");
    QTest::newRow("abort") << 0 << SIGABRT;
    QTest::newRow("segmentation fault") << 1 << SIGSEGV;
    QTest::newRow("qFatal") << 2 << SIGABRT;
    QTest::newRow("terminated") << 3 << SIGTERM;
}

void TestMessageLog::linesBeforeCrashKept()
{
    QFETCH(int, how);
    QFETCH(int, signal);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    QSKIP("the sanitizers take over fatal signals and forked children");
#endif
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // Default dispositions, so that the signal ends the child after the log's handler.
        for (int s : {SIGABRT, SIGSEGV, SIGTERM})
            ::signal(s, SIG_DFL);
        installMessageLog(QStringLiteral("kelvor_contacts.log"));
        qDebug("before the crash");
        qWarning("last words");
        if (how == 0)
            ::abort();
        if (how == 1)
            ::raise(SIGSEGV);
        if (how == 3)
            ::raise(SIGTERM);
        qFatal("fatal %d", 3);
        ::_exit(0);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status));
    QCOMPARE(WTERMSIG(status), signal);
    QByteArray expected = "Debug: before the crash\nWarning: last words\n";
    if (how == 2)
        expected += "Fatal: fatal 3\n";
    QCOMPARE(readAll(m_dir.filePath(QStringLiteral("kelvor_contacts.log"))), expected);
}

QTEST_GUILESS_MAIN(TestMessageLog)
#include "tst_messagelog.moc"
