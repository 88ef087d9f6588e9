// The run frame without widgets: logon rule, body or failure text, folder walk over a copy, progress texts,
// and the order of the interrupt note against the counter lines under concurrent stop requests.
#include "crmtransport.h"
#include "exestimate.h"
#include "exfolder.h"
#include "exinflight.h"
#include "exrun.h"

#include <QThread>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

const QString note = QStringLiteral("<font color=\"red\"><b>Durchf\u00fchrung unterbrochen</b></font><br>");
const QString failed = QStringLiteral("<font size=\"12\" color=\"red\"><b>Login Fehlgeschlagen!</b></font><br>");

ExLogonFunction answering(const QString& sessionId)
{
    return [sessionId](CrmTransport&, const QString&) {
        CrmLogonOutcome outcome;
        outcome.baseUrl = QStringLiteral("http://crm.example/");
        outcome.sessionId = sessionId;
        return outcome;
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
    void ownKind_data();
    void ownKind();
    void throttleHoldsBackButKeepsTheLastFigures();
    void fiveTransportFailuresInARowEndTheRun();
    void itemTriedReadsTheTransport_data();
    void itemTriedReadsTheTransport();
    void inflightKeepsOrderAndLimit_data();
    void inflightKeepsOrderAndLimit();
    void estimateFromTheWholeRun_data();
    void estimateFromTheWholeRun();

private:
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};
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
    const QString summary = run.execute(m_transport, answering(sessionId), QStringLiteral("log"),
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
    const QString summary = run.execute(m_transport, answering(QString(32, QLatin1Char('x'))), QString(), [](ExRun& r) {
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
    const QString summary = run.execute(m_transport, answering(QString()), QString(), {}, {});
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
        const QString summary = run.execute(m_transport, answering(QString(32, QLatin1Char('x'))), QString(), [&](ExRun& r) {
            go.store(true);
            for (int i = 0; i < round % 7; ++i)
                r.appendSummary(QStringLiteral("L"));
        }, {});
        stopper->wait();
        QVERIFY2(!summary.contains(note) || summary.startsWith(note), qPrintable(summary));
        QCOMPARE(summary.count(note), run.summary().count(note));
    }
}

void TestExRun::ownKind_data()
{
    QTest::addColumn<QString>("messageClass");
    QTest::addColumn<bool>("own");
    QTest::newRow("exact") << QStringLiteral("IPM.Contact") << true;
    QTest::newRow("other case") << QStringLiteral("ipm.CONTACT") << true;
    QTest::newRow("derived") << QStringLiteral("IPM.Contact.Lieferant") << true;
    QTest::newRow("distribution list") << QStringLiteral("IPM.DistList") << false;
    QTest::newRow("longer name") << QStringLiteral("IPM.ContactX") << false;
    QTest::newRow("trailing dot only") << QStringLiteral("IPM.Contact.") << false;
    QTest::newRow("prefix of the kind") << QStringLiteral("IPM.Cont") << false;
    QTest::newRow("no class") << QString() << false;
    QTest::newRow("mail") << QStringLiteral("IPM.Note") << false;
}

void TestExRun::ownKind()
{
    QFETCH(QString, messageClass);
    QFETCH(bool, own);
    QCOMPARE(exIsOwnKind(messageClass, QStringLiteral("IPM.Contact")), own);
}

void TestExRun::throttleHoldsBackButKeepsTheLastFigures()
{
    QList<QPair<int, QString>> seen;
    const auto sink = [&](int code, const QString& text) { seen.append({code, text}); };

    // A long interval: the first figures go out, the burst after them is held back, and what is
    // pending goes out before a code outside 1..3 and at the end, in code order.
    ExStatusThrottle slow(sink, 60000);
    slow.post(1, QStringLiteral("Verbunden"));
    for (int i = 1; i <= 1000; ++i) {
        slow.post(2, QString::asprintf("%d von 1000", i));
        slow.post(3, QString::number(i));
    }
    slow.post(1, QStringLiteral("Importiere Kontakte:"));
    QCOMPARE(seen, (QList<QPair<int, QString>>{{1, QStringLiteral("Verbunden")}}));
    slow.post(4, QStringLiteral("7"));
    slow.post(3, QStringLiteral("1001"));
    slow.flush();
    slow.flush();
    const QList<QPair<int, QString>> expected{{1, QStringLiteral("Verbunden")},
                                              {1, QStringLiteral("Importiere Kontakte:")},
                                              {2, QStringLiteral("1000 von 1000")},
                                              {3, QStringLiteral("1000")},
                                              {4, QStringLiteral("7")},
                                              {3, QStringLiteral("1001")}};
    QCOMPARE(seen, expected);

    // Held-back figures go out by poll() once the interval has passed.
    seen.clear();
    ExStatusThrottle shortInterval(sink, 20);
    shortInterval.post(3, QStringLiteral("1"));
    shortInterval.post(3, QStringLiteral("2"));
    QCOMPARE(seen.size(), 1);
    QTRY_VERIFY((shortInterval.poll(), seen.size() == 2));
    QCOMPARE(seen.last(), qMakePair(3, QStringLiteral("2")));

    // Interval 0: every code as it comes.
    seen.clear();
    ExStatusThrottle each(sink, 0);
    for (int i = 0; i < 5; ++i)
        each.post(3, QString::number(i));
    QCOMPARE(seen.size(), 5);
}

void TestExRun::fiveTransportFailuresInARowEndTheRun()
{
    using T = ExRun::Transport;
    ExRun run({}, {}, 0, false, {});
    const QString summary = run.execute(m_transport, answering(QString(32, QLatin1Char('x'))), QString(), [](ExRun& r) {
        r.appendSummary(QStringLiteral("counters"));
        // An answer in between and aborted exchanges do not make a row of failures.
        for (T t : {T::Failed, T::Failed, T::Failed, T::Failed, T::Ok, T::Failed, T::Aborted, T::Failed, T::Failed,
                    T::Failed})
            r.exchangeDone(t);
        QVERIFY(!r.stopRequested());
        QVERIFY(!r.connectionLost());
        r.exchangeDone(T::Failed);
        QVERIFY(r.stopRequested());
        QVERIFY(r.connectionLost());
    }, {});
    // Given up, not interrupted: the reason leads the counter lines, no interrupt note.
    QCOMPARE(summary, ExRun::connectionLostText() + QStringLiteral("counters"));
    QVERIFY(summary.contains(QStringLiteral("Verbindung zum CRM verloren")));
}

void TestExRun::itemTriedReadsTheTransport_data()
{
    QTest::addColumn<int>("failure");
    QTest::addColumn<bool>("arrived");
    QTest::addColumn<bool>("tried");
    QTest::addColumn<int>("mayBeStored");
    QTest::addColumn<bool>("countsAsFailure");
    using F = CrmTransportFailure;
    QTest::newRow("answered") << int(F::None) << true << true << 0 << false;
    QTest::newRow("refused connection") << int(F::Connect) << false << true << 0 << true;
    QTest::newRow("timed out after sending") << int(F::Timeout) << true << true << 1 << true;
    QTest::newRow("aborted before sending") << int(F::Aborted) << false << false << 0 << false;
    QTest::newRow("aborted after sending") << int(F::Aborted) << true << true << 1 << false;
}

void TestExRun::itemTriedReadsTheTransport()
{
    QFETCH(int, failure);
    QFETCH(bool, arrived);
    QFETCH(bool, tried);
    QFETCH(int, mayBeStored);
    QFETCH(bool, countsAsFailure);
    ExRun run({}, {}, 0, false, {});
    CrmItemTransport transport;
    transport.failure = CrmTransportFailure(failure);
    transport.requestMayHaveArrived = arrived;
    for (int i = 0; i < ExRun::lostConnectionLimit; ++i) {
        QCOMPARE(run.itemTried(transport), tried);
        QCOMPARE(run.mayBeStored(), mayBeStored * (i + 1));
    }
    QCOMPARE(run.connectionLost(), countsAsFailure);
}

void TestExRun::inflightKeepsOrderAndLimit_data()
{
    QTest::addColumn<int>("limit");
    QTest::newRow("one after another") << 1;
    QTest::newRow("four at once") << 4;
}

void TestExRun::inflightKeepsOrderAndLimit()
{
    QFETCH(int, limit);
    const auto caller = std::this_thread::get_id();
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    std::atomic<bool> inCaller{false};
    QList<int> finished;
    {
        ExInflight inflight(limit, [] { return true; });
        for (int i = 0; i < 40; ++i) {
            if (i % 10 == 3) {
                // An item that is not sent keeps its place.
                inflight.submit({}, [&finished, i](const ExItemResult& r) { finished.append(i * 1000 + r.value); });
                continue;
            }
            inflight.submit(
                [&, i] {
                    if (std::this_thread::get_id() == caller)
                        inCaller = true;
                    const int now = ++running;
                    int seen = most.load();
                    while (now > seen && !most.compare_exchange_weak(seen, now))
                        ;
                    // Later items answer sooner, so that answers arrive out of order.
                    std::this_thread::sleep_for(std::chrono::milliseconds(1 + (i % 4 == 0 ? 6 : 0)));
                    --running;
                    ExItemResult r;
                    r.value = i;
                    return r;
                },
                [&finished, &caller](const ExItemResult& r) {
                    QVERIFY(std::this_thread::get_id() == caller);
                    finished.append(r.value);
                });
        }
        inflight.drain();
        QCOMPARE(finished.size(), 40);
    }
    QList<int> expected;
    for (int i = 0; i < 40; ++i)
        expected.append(i % 10 == 3 ? i * 1000 - 2 : i);
    QCOMPARE(finished, expected);
    QCOMPARE(inCaller.load(), limit == 1);
    if (limit == 1)
        QCOMPARE(most.load(), 1);
    else
        QVERIFY2(most.load() > 1 && most.load() <= limit, qPrintable(QString::number(most.load())));
}

void TestExRun::estimateFromTheWholeRun_data()
{
    QTest::addColumn<qint64>("beganAt");
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<QString>("text");

    // The rate counts from the moment the items began, not from the run's start (the logon).
    QTest::newRow("rate of the whole run") << qint64(30000) << qint64(10) << qint64(100) << qint64(50000)
                                          << QStringLiteral("noch ca. 3 Min.");
    QTest::newRow("rounded to the nearest minute") << qint64(0) << qint64(100) << qint64(250) << qint64(60000)
                                                   << QStringLiteral("noch ca. 2 Min.");
    QTest::newRow("quiet in the first seconds") << qint64(0) << qint64(50) << qint64(100)
                                                << ExRunEstimate::quietMs - 1 << QString();
    QTest::newRow("nothing done yet") << qint64(0) << qint64(0) << qint64(100) << qint64(60000) << QString();
    QTest::newRow("no total (empty folders)") << qint64(0) << qint64(3) << qint64(0) << qint64(60000) << QString();
    QTest::newRow("under a minute") << qint64(0) << qint64(90) << qint64(100) << qint64(60000)
                                    << QStringLiteral("noch unter 1 Min.");
    // More items than the folders' counts announced: no negative time.
    QTest::newRow("past the total") << qint64(0) << qint64(120) << qint64(100) << qint64(60000)
                                    << QStringLiteral("noch unter 1 Min.");
    // Large runs: many items over hours must not overflow.
    QTest::newRow("large run") << qint64(0) << qint64(1000000) << qint64(2000000000) << qint64(3600000)
                               << QStringLiteral("noch ca. 119940 Min.");
}

void TestExRun::estimateFromTheWholeRun()
{
    QFETCH(qint64, beganAt);
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(qint64, now);
    QFETCH(QString, text);
    ExRunEstimate estimate;
    QCOMPARE(ExRunEstimate::text(estimate.remainingMs(done, total, now)), QString());
    estimate.begin(beganAt);
    QCOMPARE(ExRunEstimate::text(estimate.remainingMs(done, total, now)), text);
    estimate.reset();
    QCOMPARE(estimate.remainingMs(done, total, now), qint64(-1));
}

QTEST_GUILESS_MAIN(TestExRun)
#include "TestExRun.moc"
