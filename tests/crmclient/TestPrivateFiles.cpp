// Owner-only files: HTTP logs appended to across starts (created or tightened to 0600, renamed
// to .1 past their cap) and files written whole, both kept open between writes.
#include "privatefiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace
{

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

mode_t modeOf(const QString& path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 0777) : mode_t(07777);
}

} // namespace

class TestPrivateFiles : public QObject
{
    Q_OBJECT
private slots:
    void appendLog_data();
    void appendLog();
    void writeWhole();
};

void TestPrivateFiles::appendLog_data()
{
    QTest::addColumn<QByteArray>("before"); // content of an existing log, "<none>" for no file
    QTest::addColumn<int>("beforeMode");
    QTest::addColumn<QByteArray>("expected"); // the log after appending "new\n"
    QTest::addColumn<QByteArray>("rotated");  // the .1 file afterwards, "<missing>" for none
    QTest::newRow("new file") << QByteArray("<none>") << 0 << QByteArray("new\n") << QByteArray("<missing>");
    QTest::newRow("readable by all") << QByteArray("old\n") << 0644 << QByteArray("old\nnew\n")
                                     << QByteArray("<missing>");
    QTest::newRow("at the cap") << QByteArray(100, 'a') << 0600 << QByteArray(100, 'a') + "new\n"
                                << QByteArray("<missing>");
    QTest::newRow("past the cap") << QByteArray(101, 'b') << 0644 << QByteArray("new\n") << QByteArray(101, 'b');
}

void TestPrivateFiles::appendLog()
{
    QFETCH(QByteArray, before);
    QFETCH(int, beforeMode);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, rotated);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("kelvor_excon.log"));
    if (before != "<none>") {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(before);
        old.close();
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode_t(beforeMode)), 0);
        // An older rotation is replaced.
        QFile older(path + QStringLiteral(".1"));
        QVERIFY(older.open(QIODevice::WriteOnly));
        older.write("oldest\n");
    }
    const mode_t oldMask = ::umask(0);
    const bool written = appendPrivateLog(QFile::encodeName(path), "new\n", 100);
    ::umask(oldMask);
    QVERIFY(written);
    QCOMPARE(readAll(path), expected);
    QCOMPARE(modeOf(path), mode_t(0600));
    if (rotated == "<missing>" && before != "<none>")
        rotated = "oldest\n";
    QCOMPARE(readAll(path + QStringLiteral(".1")), rotated);

    // The next append goes to the file kept open, which is rotated once it has grown past the cap.
    QVERIFY(appendPrivateLog(QFile::encodeName(path), "more\n", 100));
    if (expected.size() > 100) {
        QCOMPARE(readAll(path), QByteArray("more\n"));
        QCOMPARE(readAll(path + QStringLiteral(".1")), expected);
    } else {
        QCOMPARE(readAll(path), expected + "more\n");
    }
}

void TestPrivateFiles::writeWhole()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("pcontact.xml"));
    QVERIFY(writePrivateFile(path, "first, longer text"));
    QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
    QVERIFY(writePrivateFile(path, "second"));
    QCOMPARE(readAll(path), QByteArray("second"));
    QCOMPARE(modeOf(path), mode_t(0600));
    // Removed while the program runs: written anew, not into the removed file.
    QVERIFY(QFile::remove(path));
    QVERIFY(writePrivateFile(path, "third"));
    QCOMPARE(readAll(path), QByteArray("third"));
    QVERIFY(!writePrivateFile(dir.filePath(QStringLiteral("missing/pcontact.xml")), "x"));
}

QTEST_GUILESS_MAIN(TestPrivateFiles)
#include "TestPrivateFiles.moc"
