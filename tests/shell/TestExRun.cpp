// The run frame without widgets: logon rule, body or failure text, folder walk over a copy, progress texts,
// and the order of the interrupt note against the counter lines under concurrent stop requests.
#include "exfolder.h"
#include "exrun.h"

#include <QThread>
#include <QtTest>

#include <atomic>

namespace {

const QString note = QStringLiteral("<font color=\"red\"><b>Durchf\u00fchrung unterbrochen</b></font>");
const QString failed = QStringLiteral("<font size=\"12\" color=\"red\"><b>Login Fehlgeschlagen!</b></font><br>");

ExLogonFunction answering(const QString& sessionId)
{
    return [sessionId](const QString&, QString* url) {
        *url = QStringLiteral("http://crm.example/");
        return sessionId;
    };
}

} // namespace

class TestExRun : public QObject {
    Q_OBJECT

private slots:
    void sessionIdMustHave32Characters_data();
    void sessionIdMustHave32Characters();
    void walkRunsOverTheSelectionOnly();
    void progressTexts();
    void stopNoteComesFirst();
    void stopAfterTheRunAddsNothing();
    void concurrentStopNeverFollowsTheLines();
};

void TestExRun::sessionIdMustHave32Characters_data()
{
    QTest::addColumn<QString>("sessionId");
    QTest::addColumn<bool>("bodyRuns");
    QTest::newRow("32") << QString(32, QLatin1Char('a')) << true;
    QTest::newRow("31") << QString(31, QLatin1Char('a')) << false;
    QTest::newRow("33") << QString(33, QLatin1Char('a')) << false;
    QTest::newRow("error") << QStringLiteral("error") << false;
    QTest::newRow("empty") << QString() << false;
}

void TestExRun::sessionIdMustHave32Characters()
{
    QFETCH(QString, sessionId);
    QFETCH(bool, bodyRuns);
    ExRun run({}, {}, 0, false, {});
    bool ran = false;
    QString seenUrl;
    const QString summary = run.execute(
        answering(sessionId), QStringLiteral("log"),
        [&](ExRun& r) {
            ran = true;
            seenUrl = r.baseUrl();
            r.appendSummary(QStringLiteral("body"));
        },
        [](ExRun& r) { r.appendSummary(QStringLiteral("+0")); });
    QCOMPARE(ran, bodyRuns);
    QCOMPARE(summary, bodyRuns ? QStringLiteral("body") : failed + QStringLiteral("+0"));
    if (bodyRuns)
        QCOMPARE(seenUrl, QStringLiteral("http://crm.example/"));
}

void TestExRun::walkRunsOverTheSelectionOnly()
{
    ExFOLDER a, b, c;
    QList<ExFOLDER*> all{&a, &b, &c};
    ExRun run(all, {&a, &c}, 0, false, {});
    QCOMPARE(run.nextSelectedFolder(), &a);
    QCOMPARE(run.nextSelectedFolder(), &c);
    QCOMPARE(run.nextSelectedFolder(), nullptr);
    QCOMPARE(run.nextSelectedFolder(), nullptr);
    QCOMPARE(run.allFolders(), all);
}

void TestExRun::progressTexts()
{
    QList<QPair<int, QString>> seen;
    ExRun run({}, {}, 17, true, [&](int code, const QString& text) { seen.append({code, text}); });
    QVERIFY(run.mode());
    run.status(1, QStringLiteral("Verbunden"));
    run.itemDone(4);
    const QList<QPair<int, QString>> expected{
        {1, QStringLiteral("Verbunden")}, {2, QStringLiteral("4 von 17")}, {3, QStringLiteral("4")}};
    QCOMPARE(seen, expected);
}

void TestExRun::stopNoteComesFirst()
{
    ExRun run({}, {}, 0, false, {});
    const QString summary = run.execute(answering(QString(32, QLatin1Char('x'))), QString(), [](ExRun& r) {
        r.appendSummary(QStringLiteral("line1"));
        r.requestStop();  // "Abbrechen" while the body works
        r.requestStop();  // pressed twice: one note
        QVERIFY(r.stopRequested());
        r.appendSummary(QStringLiteral("line2"));
    }, {});
    QCOMPARE(summary, note + QStringLiteral("line1line2"));
}

void TestExRun::stopAfterTheRunAddsNothing()
{
    ExRun run({}, {}, 0, false, {});
    const QString summary = run.execute(answering(QString()), QString(), {}, {});
    run.requestStop();
    QCOMPARE(summary, failed);
    QCOMPARE(run.summary(), failed);
}

void TestExRun::concurrentStopNeverFollowsTheLines()
{
    // A stop from another thread races with the end of the run: the note is either first or absent.
    for (int round = 0; round < 300; ++round) {
        ExRun run({}, {}, 0, false, {});
        std::atomic<bool> go{false};
        std::unique_ptr<QThread> stopper(QThread::create([&] {
            while (!go.load())
                ;
            run.requestStop();
        }));
        stopper->start();
        const QString summary = run.execute(answering(QString(32, QLatin1Char('x'))), QString(), [&](ExRun& r) {
            go.store(true);
            for (int i = 0; i < round % 7; ++i)
                r.appendSummary(QStringLiteral("L"));
        }, {});
        stopper->wait();
        QVERIFY2(!summary.contains(note) || summary.startsWith(note), qPrintable(summary));
        QCOMPARE(summary.count(note), run.summary().count(note));
    }
}

QTEST_GUILESS_MAIN(TestExRun)
#include "TestExRun.moc"
