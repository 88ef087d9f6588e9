// The import journal on its own: what counts as unchanged, forgetting one CRM, and journals that
// cannot be used (damaged, locked, not a file) turning into "no journal" instead of a failure.
#include "exjournal.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

namespace
{

const ExJournalCrm crmA{QStringLiteral("http://127.0.0.1:8765/a/"), QStringLiteral("demo")};

ExJournalItem itemOf(const char* entry, qint64 modified)
{
    ExJournalItem item;
    item.store = QByteArray("store-key-0123456");
    item.storeHint = QStringLiteral("/home/u/outlook.pst");
    item.folder = QByteArray("folder-1");
    item.entryId = QByteArray(entry);
    item.modified = modified;
    return item;
}

} // namespace

class TestExJournal : public QObject
{
    Q_OBJECT
private slots:
    void init() { QVERIFY(m_dir.isValid()); }
    void unchangedOnlyWhenImportedWithTheSameTime_data();
    void unchangedOnlyWhenImportedWithTheSameTime();
    void forgetTouchesOnlyThatCrm();
    void fileIsOwnerOnlyAndSharedBetweenJournals();
    void unusableJournal_data();
    void unusableJournal();
    void lockedJournalGivesUp();

private:
    QString path() const { return m_dir.filePath(QStringLiteral("data/imports.sqlite")); }
    QTemporaryDir m_dir;
};

void TestExJournal::unchangedOnlyWhenImportedWithTheSameTime_data()
{
    QTest::addColumn<int>("outcome");
    QTest::addColumn<qint64>("recordedTime");
    QTest::addColumn<qint64>("currentTime");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("unchanged");

    const int stored = int(ExJournal::Outcome::Stored);
    QTest::newRow("stored, same time") << stored << qint64(1000) << qint64(1000) << "demo" << "task" << true;
    QTest::newRow("present, same time") << int(ExJournal::Outcome::Present) << qint64(1000) << qint64(1000) << "demo"
                                        << "task" << true;
    QTest::newRow("stored, modified since") << stored << qint64(1000) << qint64(1001) << "demo" << "task" << false;
    QTest::newRow("failed") << int(ExJournal::Outcome::Failed) << qint64(1000) << qint64(1000) << "demo" << "task"
                            << false;
    QTest::newRow("may have arrived") << int(ExJournal::Outcome::MayHaveArrived) << qint64(1000) << qint64(1000)
                                      << "demo" << "task" << false;
    QTest::newRow("no modification time") << stored << qint64(0) << qint64(0) << "demo" << "task" << false;
    QTest::newRow("other login of the same CRM") << stored << qint64(1000) << qint64(1000) << "anna" << "task" << false;
    QTest::newRow("other kind of the same item") << stored << qint64(1000) << qint64(1000) << "demo" << "person"
                                                 << false;
}

void TestExJournal::unchangedOnlyWhenImportedWithTheSameTime()
{
    QFETCH(int, outcome);
    QFETCH(qint64, recordedTime);
    QFETCH(qint64, currentTime);
    QFETCH(QString, login);
    QFETCH(QString, kind);
    QFETCH(bool, unchanged);

    {
        ExJournal journal(path());
        QVERIFY(journal.usable());
        QVERIFY(journal.record(crmA, QStringLiteral("task"), itemOf("e1", recordedTime),
                               static_cast<ExJournal::Outcome>(outcome), 42));
    }
    // A later program start reads what an earlier one committed.
    ExJournal journal(path());
    const ExJournalCrm crm{crmA.url, login};
    QCOMPARE(journal.unchanged(crm, kind, itemOf("e1", currentTime)), unchanged);
    QVERIFY(!journal.unchanged(crmA, QStringLiteral("task"), itemOf("e2", recordedTime)));
    QFile::remove(path());
}

void TestExJournal::forgetTouchesOnlyThatCrm()
{
    ExJournal journal(path());
    const ExJournalCrm crmB{QStringLiteral("http://127.0.0.1:8765/b/"), QStringLiteral("demo")};
    for (const char* e : {"e1", "e2", "e3"})
        QVERIFY(journal.record(crmA, QStringLiteral("mail"), itemOf(e, 5), ExJournal::Outcome::Stored, 7));
    QVERIFY(journal.recordCrmFolder(crmA, "store-key-0123456", "folder-1", 99));
    QVERIFY(journal.record(crmB, QStringLiteral("mail"), itemOf("e1", 5), ExJournal::Outcome::Stored, 8));
    QCOMPARE(journal.countEntries(crmA), 4);
    QCOMPARE(journal.countImported(crmA, QStringLiteral("mail"), "store-key-0123456", "folder-1"), 3);
    QCOMPARE(journal.crmFolder(crmA, "store-key-0123456", "folder-1"), qint64(99));

    QVERIFY(journal.forget(crmA));
    QCOMPARE(journal.countEntries(crmA), 0);
    QCOMPARE(journal.crmFolder(crmA, "store-key-0123456", "folder-1"), qint64(0));
    QCOMPARE(journal.countEntries(crmB), 1);
    QVERIFY(journal.unchanged(crmB, QStringLiteral("mail"), itemOf("e1", 5)));
}

void TestExJournal::fileIsOwnerOnlyAndSharedBetweenJournals()
{
    ExJournal first(path());
    ExJournal second(path());
    QVERIFY(first.usable() && second.usable());
    QVERIFY(first.record(crmA, QStringLiteral("task"), itemOf("e1", 5), ExJournal::Outcome::Stored));
    // Committed at once: another importer sees it without the first one closing.
    QVERIFY(second.unchanged(crmA, QStringLiteral("task"), itemOf("e1", 5)));
    QCOMPARE(QFileInfo(path()).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther |
                                                QFileDevice::WriteGroup | QFileDevice::WriteOther),
             QFileDevice::Permissions());
    QCOMPARE(QFileInfo(QFileInfo(path()).absolutePath()).permissions() &
                 (QFileDevice::ReadOther | QFileDevice::ExeOther | QFileDevice::ReadGroup),
             QFileDevice::Permissions());
}

void TestExJournal::unusableJournal_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("problem");
    QTest::newRow("random bytes") << "random" << int(ExJournal::Problem::Damaged);
    QTest::newRow("truncated database") << "truncated" << int(ExJournal::Problem::Damaged);
    QTest::newRow("a folder in its place") << "folder" << int(ExJournal::Problem::CannotOpen);
}

void TestExJournal::unusableJournal()
{
    QFETCH(QString, damage);
    QFETCH(int, problem);
    QDir().mkpath(QFileInfo(path()).absolutePath());
    if (damage == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(path()));
    } else {
        QByteArray bytes(64 * 1024, '\0');
        if (damage == QLatin1String("truncated")) {
            {
                ExJournal good(path());
                for (int i = 0; i < 200; ++i)
                    QVERIFY(good.record(crmA, QStringLiteral("task"), itemOf(QByteArray::number(i).constData(), 5),
                                        ExJournal::Outcome::Stored));
            }
            QFile file(path());
            QVERIFY(file.open(QIODevice::ReadOnly));
            bytes = file.readAll();
            QVERIFY(bytes.size() > 8192);
            bytes = bytes.left(100) + QByteArray(bytes.size() - 100, '\xA5');
        } else {
            for (char& c : bytes)
                c = static_cast<char>(QRandomGenerator::global()->bounded(256));
        }
        QFile::remove(path() + QStringLiteral("-wal"));
        QFile::remove(path() + QStringLiteral("-shm"));
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

    {
        ExJournal journal(path());
        QCOMPARE(int(journal.problem()), problem);
        QVERIFY(!journal.problemText().isEmpty());
        // Nothing is found, nothing is kept, nothing fails loudly.
        QVERIFY(!journal.unchanged(crmA, QStringLiteral("task"), itemOf("1", 5)));
        QVERIFY(!journal.record(crmA, QStringLiteral("task"), itemOf("1", 5), ExJournal::Outcome::Stored));
        QCOMPARE(journal.countEntries(crmA), 0);
        QCOMPARE(journal.crmFolder(crmA, "store-key-0123456", "folder-1"), qint64(0));
    }
    if (problem == int(ExJournal::Problem::Damaged)) {
        // The damaged file is kept aside and the next start has a journal again.
        QVERIFY(QFile::exists(path() + QStringLiteral(".damaged")));
        ExJournal fresh(path());
        QVERIFY(fresh.usable());
        QVERIFY(fresh.record(crmA, QStringLiteral("task"), itemOf("1", 5), ExJournal::Outcome::Stored));
    }
    QDir(QFileInfo(path()).absolutePath()).removeRecursively();
}

void TestExJournal::lockedJournalGivesUp()
{
    ExJournal journal(path());
    QVERIFY(journal.usable());
    {
        // Another program holds the write lock for longer than the journal waits.
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
        other.setDatabaseName(path());
        QVERIFY(other.open());
        QSqlQuery lock(other);
        QVERIFY(lock.exec(QStringLiteral("BEGIN IMMEDIATE")));
        QElapsedTimer waited;
        waited.start();
        QVERIFY(!journal.record(crmA, QStringLiteral("task"), itemOf("1", 5), ExJournal::Outcome::Stored));
        QVERIFY(waited.elapsed() >= ExJournal::lockWaitMs - 500);
        QCOMPARE(journal.problem(), ExJournal::Problem::Locked);
        QVERIFY(lock.exec(QStringLiteral("ROLLBACK")));
        lock = QSqlQuery();
        other.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("other"));
    // Once given up, the run goes on without it, even when the lock is gone.
    QVERIFY(!journal.record(crmA, QStringLiteral("task"), itemOf("1", 5), ExJournal::Outcome::Stored));
    QVERIFY(!journal.unchanged(crmA, QStringLiteral("task"), itemOf("1", 5)));
}

QTEST_GUILESS_MAIN(TestExJournal)
#include "TestExJournal.moc"
