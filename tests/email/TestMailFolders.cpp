// The CRM mail-folder mapping on a scanned memory store: which CRM folders are created below
// which parent, and which folder's messages go to which CRM folder, in which order.
#include "exfolder.h"
#include "exoutlook.h"
#include "mailfolders.h"

#include <QHash>
#include <QSet>
#include <QTemporaryFile>
#include <QTest>

namespace {

// Two stores. "Posteingang" has no container class (kept), "Kalender" is not a mail folder.
const char* const kFixture = R"({"stores": [
  {"name": "Pers\u00f6nliche Ordner", "folders": [
    {"name": "Posteingang", "items": [{"props": {"0x0037001F": "a"}}], "folders": [
      {"name": "Kunden", "class": "IPF.Note", "folders": [{"name": "Archiv 2025", "class": "IPF.Note"}]},
      {"name": "Lieferanten", "class": "IPF.Note"}]},
    {"name": "Kalender", "class": "IPF.Appointment", "folders": [{"name": "Unter Kalender", "class": "IPF.Note"}]},
    {"name": "Gesendet", "class": "IPF.Note"}]},
  {"name": "Archiv", "folders": [
    {"name": "Alt", "class": "IPF.Imap", "folders": [{"name": "Tief", "class": "IPF.Note"}]}]}
]})";

// Records the folder exchanges; answers are scripted per folder name, otherwise ids count up from 100.
class FakeCrm : public MailFolderCrm {
public:
    qint64 inbox = 10;
    QHash<QString, qint64> answers;
    int stopAfterCreations = -1;
    bool* stop = nullptr;
    QStringList creations;

    qint64 GetCRMInbox() override { return inbox; }
    qint64 CreateCRMFolder(const QString& name, qint64 parent) override
    {
        creations << QStringLiteral("%1@%2").arg(name).arg(parent);
        if (stop && creations.size() == stopAfterCreations)
            *stop = true;
        return answers.contains(name) ? answers.value(name) : m_next++;
    }

private:
    qint64 m_next = 100;
};

} // namespace

class TestMailFolders : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void mapping_data();
    void mapping();

private:
    void index(ExFOLDER* record, const QString& path);

    QTemporaryFile m_fixture;
    std::unique_ptr<ExOutlook> m_outlook;
    QHash<QString, ExFOLDER*> m_byPath;
};

void TestMailFolders::initTestCase()
{
    QVERIFY(m_fixture.open());
    m_fixture.write(kFixture);
    m_fixture.flush();
    qputenv("KELVOR_STORE", m_fixture.fileName().toLocal8Bit());
    m_outlook = std::make_unique<ExOutlook>(0, ExScanProfile::email());
    QVERIFY(m_outlook->status());
    m_outlook->ScanFolders();
    for (ExFOLDER* store : m_outlook->stores())
        index(store, store->name);
    // The scan keeps mail folders only, and nothing below a folder of another kind.
    QVERIFY(m_byPath.contains(QStringLiteral("Pers\u00f6nliche Ordner/Posteingang/Kunden/Archiv 2025")));
    QVERIFY(!m_byPath.contains(QStringLiteral("Pers\u00f6nliche Ordner/Kalender")));
    QCOMPARE(m_byPath.size(), 9);
}

void TestMailFolders::cleanupTestCase()
{
    m_outlook.reset();
    qunsetenv("KELVOR_STORE");
}

void TestMailFolders::index(ExFOLDER* record, const QString& path)
{
    m_byPath.insert(path, record);
    for (const auto& child : record->subFolders)
        index(child.get(), path + QLatin1Char('/') + child->name);
}

void TestMailFolders::mapping_data()
{
    QTest::addColumn<QStringList>("selected");      // paths below the store names ("P" = first store)
    QTest::addColumn<qint64>("inbox");              // what GetCRMInbox answers
    QTest::addColumn<QStringList>("answers");       // "name=id" scripted CreateCRMFolder answers
    QTest::addColumn<int>("stopAfterCreations");    // stop requested right after this many creations
    QTest::addColumn<QString>("stopInImportOf");    // stop requested while this folder's messages go
    QTest::addColumn<QStringList>("creations");     // "name@parent" in order
    QTest::addColumn<QStringList>("imports");       // "name>target" in order

    const QStringList none;
    QTest::newRow("deep selection below unselected parents")
        << QStringList{QStringLiteral("P/Posteingang/Kunden/Archiv 2025")} << qint64(10) << none << -1 << QString()
        << QStringList{QStringLiteral("Archiv 2025@10")} << QStringList{QStringLiteral("Archiv 2025>100")};
    QTest::newRow("selected store root: created, its own messages never imported")
        << QStringList{QStringLiteral("P"), QStringLiteral("P/Posteingang/Kunden")} << qint64(10) << none << -1
        << QString() << QStringList{QStringLiteral("Pers\u00f6nliche Ordner@10"), QStringLiteral("Kunden@100")}
        << QStringList{QStringLiteral("Kunden>101")};
    QTest::newRow("store root alone creates its folder, imports nothing")
        << QStringList{QStringLiteral("A")} << qint64(10) << none << -1 << QString()
        << QStringList{QStringLiteral("Archiv@10")} << none;
    QTest::newRow("selected below unselected below selected; children first")
        << QStringList{QStringLiteral("P/Posteingang"), QStringLiteral("P/Posteingang/Kunden/Archiv 2025"),
                       QStringLiteral("P/Gesendet")}
        << qint64(10) << none << -1 << QString()
        << QStringList{QStringLiteral("Posteingang@10"), QStringLiteral("Archiv 2025@100"),
                       QStringLiteral("Gesendet@10")}
        << QStringList{QStringLiteral("Archiv 2025>101"), QStringLiteral("Posteingang>100"),
                       QStringLiteral("Gesendet>102")};
    QTest::newRow("nested creation fails with -2: id 0 for it and below")
        << QStringList{QStringLiteral("P/Posteingang"), QStringLiteral("P/Posteingang/Kunden")} << qint64(10)
        << QStringList{QStringLiteral("Posteingang=-2")} << -1 << QString()
        << QStringList{QStringLiteral("Posteingang@10"), QStringLiteral("Kunden@0")}
        << QStringList{QStringLiteral("Kunden>100"), QStringLiteral("Posteingang>0")};
    QTest::newRow("nested creation answers 0")
        << QStringList{QStringLiteral("P/Gesendet")} << qint64(10) << QStringList{QStringLiteral("Gesendet=0")}
        << -1 << QString() << QStringList{QStringLiteral("Gesendet@10")} << QStringList{QStringLiteral("Gesendet>0")};
    QTest::newRow("store creation fails with -1: the inbox stands in")
        << QStringList{QStringLiteral("P"), QStringLiteral("P/Gesendet")} << qint64(10)
        << QStringList{QStringLiteral("Pers\u00f6nliche Ordner=-1")} << -1 << QString()
        << QStringList{QStringLiteral("Pers\u00f6nliche Ordner@10"), QStringLiteral("Gesendet@10")}
        << QStringList{QStringLiteral("Gesendet>100")};
    QTest::newRow("store creation answers 0: 0 is used")
        << QStringList{QStringLiteral("P"), QStringLiteral("P/Gesendet")} << qint64(10)
        << QStringList{QStringLiteral("Pers\u00f6nliche Ordner=0")} << -1 << QString()
        << QStringList{QStringLiteral("Pers\u00f6nliche Ordner@10"), QStringLiteral("Gesendet@0")}
        << QStringList{QStringLiteral("Gesendet>100")};
    QTest::newRow("no inbox: 0 stands in")
        << QStringList{QStringLiteral("P/Gesendet"), QStringLiteral("A/Alt/Tief")} << qint64(-2) << none << -1
        << QString() << QStringList{QStringLiteral("Gesendet@0"), QStringLiteral("Tief@0")}
        << QStringList{QStringLiteral("Gesendet>100"), QStringLiteral("Tief>101")};
    QTest::newRow("stop while creating: nothing further created or imported")
        << QStringList{QStringLiteral("P/Posteingang"), QStringLiteral("P/Posteingang/Kunden"),
                       QStringLiteral("P/Posteingang/Lieferanten"), QStringLiteral("P/Gesendet"),
                       QStringLiteral("A/Alt")}
        << qint64(10) << none << 2 << QString()
        << QStringList{QStringLiteral("Posteingang@10"), QStringLiteral("Kunden@100")} << none;
    QTest::newRow("stop while a folder's messages go: later folders skipped")
        << QStringList{QStringLiteral("P/Posteingang/Kunden"), QStringLiteral("P/Posteingang/Lieferanten"),
                       QStringLiteral("A/Alt")}
        << qint64(10) << none << -1 << QStringLiteral("Kunden") << QStringList{QStringLiteral("Kunden@10")}
        << QStringList{QStringLiteral("Kunden>100")};
}

void TestMailFolders::mapping()
{
    QFETCH(QStringList, selected);
    QFETCH(qint64, inbox);
    QFETCH(QStringList, answers);
    QFETCH(int, stopAfterCreations);
    QFETCH(QString, stopInImportOf);
    QFETCH(QStringList, creations);
    QFETCH(QStringList, imports);

    QSet<const ExFOLDER*> selection;
    for (QString path : selected) {
        if (path.startsWith(QLatin1Char('P')))
            path.replace(0, 1, QStringLiteral("Pers\u00f6nliche Ordner"));
        else
            path.replace(0, 1, QStringLiteral("Archiv"));
        QVERIFY2(m_byPath.contains(path), qPrintable(path));
        selection.insert(m_byPath.value(path));
    }

    bool stop = false;
    FakeCrm crm;
    crm.inbox = inbox;
    crm.stop = &stop;
    crm.stopAfterCreations = stopAfterCreations;
    for (const QString& a : answers)
        crm.answers.insert(a.section(QLatin1Char('='), 0, 0), a.section(QLatin1Char('='), 1).toLongLong());

    QStringList imported;
    QList<ExFOLDER*> importedFolders;
    MailFolderWalk walk;
    walk.isSelected = [&](const ExFOLDER* f) { return selection.contains(f); };
    walk.stopRequested = [&] { return stop; };
    walk.importFolderMails = [&](ExFOLDER* f, qint64 target) {
        QVERIFY(!f->isStoreRoot);
        imported << QStringLiteral("%1>%2").arg(f->name).arg(target);
        importedFolders << f;
        if (f->name == stopInImportOf)
            stop = true;
    };
    importMailFolders(m_outlook->stores(), crm, walk);

    QCOMPARE(crm.creations, creations);
    QCOMPARE(imported, imports);
    // The messages are read ahead in the order the walk imports them, known before any exchange;
    // a stop only cuts that order short.
    const QList<ExFOLDER*> order = mailFoldersInImportOrder(m_outlook->stores(), walk.isSelected);
    QCOMPARE(order.mid(0, importedFolders.size()), importedFolders);
    if (!stop)
        QCOMPARE(order, importedFolders);
}

QTEST_GUILESS_MAIN(TestMailFolders)
#include "TestMailFolders.moc"
