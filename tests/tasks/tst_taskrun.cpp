// Task import runs end to end: memory store, the program's run body, the local test CRM.
#include "exmessagelog.h"
#include "itemfixture.h"
#include "taskstable.h"
#include "testcrm.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonValue>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>

using namespace itemtest;

namespace
{

QJsonObject task(const QString& subject, const QJsonArray& named = {}, const QJsonObject& moreProps = {})
{
    QJsonObject props = moreProps;
    props.insert(QStringLiteral("0x0037001F"), subject);
    props.insert(QStringLiteral("0x001A001F"), QStringLiteral("IPM.Task"));
    return QJsonObject{{QStringLiteral("props"), props}, {QStringLiteral("named"), named}};
}

QJsonObject due(int d)
{
    return named(taskSet, 0x8105, "PT_SYSTIME", QStringLiteral("2026-03-%1T00:00:00Z").arg(d, 2, 10, QLatin1Char('0')));
}

const QString fullSubject = QStringLiteral(
    "Angebot f\u00fcr \u041e\u041e\u041e \u00ab\u0420\u043e\u043c\u0430\u0448\u043a\u0430\u00bb & Co <2026>");

// A task with every field the importer reads; its body holds control characters that XML forbids
// (and a vertical tab, Outlook's soft line break).
QJsonObject fullTask()
{
    return task(
        fullSubject,
        {named(taskSet, 0x8104, "PT_SYSTIME", QStringLiteral("2026-03-02T00:00:00Z")), due(5),
         named(taskSet, 0x8101, "PT_LONG", 1), named(taskSet, 0x8102, "PT_DOUBLE", 0.25),
         named(taskSet, 0x8110, "PT_LONG", 90), named(taskSet, 0x8111, "PT_LONG", 120),
         named(commonSet, 0x8503, "PT_BOOLEAN", true),
         named(commonSet, 0x8502, "PT_SYSTIME", QStringLiteral("2026-03-04T16:00:00Z")),
         named(commonSet, 0x8506, "PT_BOOLEAN", false), named(taskSet, 0x8108, "PT_BOOLEAN", true),
         named(commonSet, 0x853A, "PT_MV_UNICODE", QJsonArray{QStringLiteral("Anna Schmidt"), QStringLiteral("x y z")}),
         keywords({QStringLiteral("B\u00fcro"), QStringLiteral("\u041f\u0440\u043e\u0435\u043a\u0442")})},
        QJsonObject{
            {QStringLiteral("0x00260003"), 1},
            {QStringLiteral("0x1000001F"), QStringLiteral("Gr\u00fc\u00dfe\u0001\u000b\u0417\u0434\u0440\u0430\u0432"
                                                          "\u0441\u0442\u0432\u0443\u0439\u0442\u0435 & <tag>")}});
}

// Outlook's "no date" in both dates: nothing about dates is sent.
QJsonObject bareTask()
{
    return task(QStringLiteral("Nur Betreff"),
                {named(taskSet, 0x8104, "PT_SYSTIME", QStringLiteral("4501-01-01T00:00:00Z")),
                 named(taskSet, 0x8105, "PT_SYSTIME", QStringLiteral("4501-01-01T00:00:00Z"))});
}

// Only a due date, and a reminder at 08:00 on that day, which lies after the due moment.
QJsonObject dueOnlyTask()
{
    return task(QStringLiteral("Nur f\u00e4llig"),
                {due(9), named(commonSet, 0x8503, "PT_BOOLEAN", true),
                 named(commonSet, 0x8502, "PT_SYSTIME", QStringLiteral("2026-03-09T08:00:00Z"))});
}

// "Privat" (not selected) before "Aufgaben" (3 tasks) and "Projekte" (2 tasks).
QByteArray twoFolders()
{
    return store(
        {folder(QStringLiteral("Privat"), QStringLiteral("IPF.Task"), {task(QStringLiteral("privat"), {due(1)})}),
         folder(QStringLiteral("Aufgaben"), QStringLiteral("IPF.Task"), {fullTask(), bareTask(), dueOnlyTask()}),
         folder(QStringLiteral("Projekte"), QStringLiteral("IPF.Task"),
                {task(QStringLiteral("P1"), {due(10)}), task(QStringLiteral("P2"), {due(11)})})});
}

QJsonArray storedTasks(const TestCrm& crm)
{
    return crm.stored().value(QStringLiteral("tasks")).toArray();
}

int midnight(int d)
{
    return static_cast<int>(at("Europe/Berlin", 2026, 3, d).toSecsSinceEpoch());
}

} // namespace

class TstTaskRun : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_zone = std::make_unique<ZoneScope>("Europe/Berlin"); }
    void cleanup() { m_zone.reset(); }

    void twoFoldersReachTheCrm();
    void answers_data();
    void answers();
    void unreadableFolderIsSkipped();
    void progressCountsTasksThatCouldBeOpened();
    void stopDuringSecondTask();
    void logonFailure_data();
    void logonFailure();
    void secondRunReadsTheFoldersAgain();
    void journalSendsOnlyWhatChanged_data();
    void journalSendsOnlyWhatChanged();
    void passwordStaysOutOfTheLogs();
    void stopDuringPendingExchange();
    void connectionLostEndsTheRun();
    void inflightCounts_data();
    void inflightCounts();

private:
    std::unique_ptr<ZoneScope> m_zone;
};

void TstTaskRun::twoFoldersReachTheCrm()
{
    TestCrm crm(QStringLiteral("TstTaskRun_twoFolders"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    ScannedStore store(twoFolders(), ExScanProfile::tasks());
    QVERIFY(store.ok());
    QCOMPARE(store.folders().size(), 3);

    const ExImporterTable table = tasksTable();
    const RunRecord r = runImport(table, store.folders(),
                                  {store.folder(QStringLiteral("Aufgaben")), store.folder(QStringLiteral("Projekte"))});

    QCOMPARE(r.summary, greenLine(5, "Aufgaben"));
    QCOMPARE(r.texts(1), (QStringList{QStringLiteral("Verbunden"), QStringLiteral("Importiere Aufgabe:"),
                                      QStringLiteral("Importiere Aufgabe:")}));
    QCOMPARE(r.texts(2), (QStringList{QStringLiteral("0 von 3"), QStringLiteral("1 von 3"), QStringLiteral("2 von 3"),
                                      QStringLiteral("0 von 2"), QStringLiteral("1 von 2")}));
    // The bar goes on over the second folder instead of starting again.
    QCOMPARE(r.texts(3), (QStringList{QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2"),
                                      QStringLiteral("3"), QStringLiteral("4")}));

    const QJsonArray tasks = storedTasks(crm);
    QCOMPARE(tasks.size(), 5);
    QStringList subjects;
    for (const QJsonValue& t : tasks)
        subjects << t.toObject().value(QStringLiteral("subject")).toString();
    QCOMPARE(subjects, (QStringList{fullSubject, QStringLiteral("Nur Betreff"), QStringLiteral("Nur f\u00e4llig"),
                                    QStringLiteral("P1"), QStringLiteral("P2")}));

    const QJsonObject full = tasks.at(0).toObject();
    QCOMPARE(full.value(QStringLiteral("start")).toInt(), midnight(2));
    QCOMPARE(full.value(QStringLiteral("stop")).toInt(), midnight(5));
    QCOMPARE(full.value(QStringLiteral("body")).toString(),
             QStringLiteral(
                 "Gr\u00fc\u00dfe\n\u0417\u0434\u0440\u0430\u0432\u0441\u0442\u0432\u0443\u0439\u0442\u0435 & <tag>"));
    QCOMPARE(full.value(QStringLiteral("rem")).toInt(), 1);
    QCOMPARE(full.value(QStringLiteral("remember")).toInt(), 8 * 3600);
    QCOMPARE(full.value(QStringLiteral("privat")).toInt(), 0);
    QCOMPARE(full.value(QStringLiteral("priority")).toInt(), 1);
    QCOMPARE(full.value(QStringLiteral("done")).toInt(), 25);
    QCOMPARE(full.value(QStringLiteral("status")).toInt(), 2);
    QCOMPARE(full.value(QStringLiteral("achieved")).toDouble(), 1.5);
    QCOMPARE(full.value(QStringLiteral("planned")).toDouble(), 2.0);
    QCOMPARE(full.value(QStringLiteral("confirmed")).toInt(), 1);
    QCOMPARE(full.value(QStringLiteral("category")).toString(),
             QStringLiteral("B\u00fcro; \u041f\u0440\u043e\u0435\u043a\u0442;"));
    const QJsonArray contacts = full.value(QStringLiteral("crmTaskItemContacts")).toArray();
    QCOMPARE(contacts.size(), 1);
    QCOMPARE(contacts.at(0).toObject().value(QStringLiteral("firstname")).toString(), QStringLiteral("Anna"));
    QCOMPARE(contacts.at(0).toObject().value(QStringLiteral("lastname")).toString(), QStringLiteral("Schmidt"));
    QVERIFY(!full.contains(QStringLiteral("serie")));

    // A task without anything but its subject and "no date" dates: zeros are sent, dates and the
    // reminder offset are not.
    const QJsonObject bare = tasks.at(1).toObject();
    QVERIFY(!bare.contains(QStringLiteral("start")));
    QVERIFY(!bare.contains(QStringLiteral("stop")));
    QVERIFY(!bare.contains(QStringLiteral("remember")));
    QVERIFY(!bare.contains(QStringLiteral("body")));
    QVERIFY(!bare.contains(QStringLiteral("category")));
    QVERIFY(!bare.contains(QStringLiteral("crmTaskItemContacts")));
    for (const char* zero : {"rem", "privat", "priority", "done", "status", "confirmed"})
        QCOMPARE(bare.value(QLatin1String(zero)).toInt(-99), 0);
    QCOMPARE(bare.value(QStringLiteral("achieved")).toDouble(-1), 0.0);

    // Only a due date: the CRM gets it as start too.
    const QJsonObject dueOnly = tasks.at(2).toObject();
    QCOMPARE(dueOnly.value(QStringLiteral("start")).toInt(), midnight(9));
    QCOMPARE(dueOnly.value(QStringLiteral("stop")).toInt(), midnight(9));
    QCOMPARE(dueOnly.value(QStringLiteral("rem")).toInt(), 1);
    QVERIFY(!dueOnly.contains(QStringLiteral("remember")));

    const QJsonArray requests = crm.requests();
    QCOMPARE(requests.size(), 6);
    QCOMPARE(requests.at(0).toObject().value(QStringLiteral("op")).toString(), QStringLiteral("logon"));
    for (int i = 1; i < requests.size(); ++i) {
        QCOMPARE(requests.at(i).toObject().value(QStringLiteral("op")).toString(), QStringLiteral("tasks"));
        QCOMPARE(requests.at(i).toObject().value(QStringLiteral("soapaction")).toString(),
                 QStringLiteral("urn:crmtasksAction"));
    }
}

void TstTaskRun::answers_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("summary");

    const QString subjects[] = {QStringLiteral("Eins"), QStringLiteral("&lt;b&gt;Zwei &amp; drei&lt;/b&gt;"),
                                QStringLiteral("Vier")};
    QString blue, red;
    for (const QString& s : subjects) {
        blue += QStringLiteral("<font color=\"blue\">Aufgabe <i>%1</i> existiert bereits</font><br>").arg(s);
        red += QStringLiteral("<font color=\"red\">Aufgabe <i>%1</i> k\u00f6nnte nicht importiert werden</font><br>")
                   .arg(s);
    }
    QTest::newRow("-1 already there")
        << QStringLiteral("-1")
        << blue + QStringLiteral("<font color=\"blue\"><i>3</i> Aufgaben existieren bereits</font><br>") +
               greenLine(0, "Aufgaben");
    const QString failed =
        red + QStringLiteral("<font color=\"red\"><i>3</i> Aufgaben k\u00f6nnten nicht importiert werden</font><br>") +
        greenLine(0, "Aufgaben");
    QTest::newRow("0 not stored") << QStringLiteral("0") << failed;
    QTest::newRow("-2 no usable answer") << QStringLiteral("-2") << failed;
    QTest::newRow("new ids") << QStringLiteral("4711") << greenLine(3, "Aufgaben");
}

void TstTaskRun::answers()
{
    QFETCH(QString, answer);
    QFETCH(QString, summary);

    TestCrm crm(tenantName("TstTaskRun_answers_", QTest::currentDataTag()));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(QStringLiteral("answer:crmaddTask=") + answer);
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    ScannedStore store(
        itemtest::store({folder(
            QStringLiteral("Aufgaben"), QStringLiteral("IPF.Task"),
            {task(QStringLiteral("Eins")), task(QStringLiteral("<b>Zwei & drei</b>")), task(QStringLiteral("Vier"))})}),
        ExScanProfile::tasks());
    const RunRecord r = runImport(tasksTable(), store.folders(), store.folders());
    QCOMPARE(r.summary, summary);
    QCOMPARE(crm.requests().size(), 4);
}

void TstTaskRun::unreadableFolderIsSkipped()
{
    TestCrm crm(QStringLiteral("TstTaskRun_unreadableFolder"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    QJsonObject broken = folder(QStringLiteral("Kaputt"), QStringLiteral("IPF.Task"),
                                {task(QStringLiteral("K1")), task(QStringLiteral("K2"))});
    broken.insert(QStringLiteral("fail"), QStringLiteral("contents"));
    ScannedStore store(itemtest::store({broken, folder(QStringLiteral("Gut"), QStringLiteral("IPF.Task"),
                                                       {task(QStringLiteral("G1"))})}),
                       ExScanProfile::tasks());
    LogLines log;
    const RunRecord r = runImport(tasksTable(), store.folders(), store.folders());
    QCOMPARE(r.summary, greenLine(1, "Aufgaben"));
    QCOMPARE(r.texts(2), QStringList{QStringLiteral("0 von 1")});
    QVERIFY(LogLines::contains(QStringLiteral("Critical: CAN'T get task contents table. aborting")));
    QVERIFY(LogLines::contains(QStringLiteral("Critical: Can't collect folders")));
    QCOMPARE(storedTasks(crm).size(), 1);
    QCOMPARE(storedTasks(crm).at(0).toObject().value(QStringLiteral("subject")).toString(), QStringLiteral("G1"));
}

void TstTaskRun::progressCountsTasksThatCouldBeOpened()
{
    TestCrm crm(QStringLiteral("TstTaskRun_progressOpened"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    QJsonObject unopenable = task(QStringLiteral("zu"));
    unopenable.insert(QStringLiteral("fail"), QStringLiteral("open"));
    ScannedStore store(itemtest::store({folder(QStringLiteral("Aufgaben"), QStringLiteral("IPF.Task"),
                                               {task(QStringLiteral("a")), unopenable, task(QStringLiteral("b"))})}),
                       ExScanProfile::tasks());
    QCOMPARE(store.folders().front()->itemCount, 3);
    const RunRecord r = runImport(tasksTable(), store.folders(), store.folders());
    QCOMPARE(r.texts(2), (QStringList{QStringLiteral("0 von 2"), QStringLiteral("1 von 2")}));
    QCOMPARE(r.summary, greenLine(2, "Aufgaben"));
}

void TstTaskRun::stopDuringSecondTask()
{
    TestCrm crm(QStringLiteral("TstTaskRun_stop"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    ScannedStore store(twoFolders(), ExScanProfile::tasks());
    const QList<ExFOLDER*> selected{store.folder(QStringLiteral("Aufgaben")), store.folder(QStringLiteral("Projekte"))};
    // "Abbrechen" right before the second task is sent: it is not sent, nothing follows.
    const RunRecord r =
        runImport(tasksTable(), store.folders(), selected, [](ExRun& run, int code, const QString& text) {
            if (code == 2 && text == QLatin1String("1 von 3"))
                run.requestStop();
        });
    QCOMPARE(r.summary, ExSummary::interruptNote() + greenLine(1, "Aufgaben"));
    QCOMPARE(storedTasks(crm).size(), 1);
    QCOMPARE(r.texts(2).last(), QStringLiteral("1 von 3"));
}

void TstTaskRun::logonFailure_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("requests");

    QTest::newRow("refused") << QStringLiteral("login_refused") << QString() << 1;
    QTest::newRow("31 characters") << QStringLiteral("answer:crmLogin=") + QString(31, QLatin1Char('a')) << QString()
                                   << 1;
    QTest::newRow("33 characters") << QStringLiteral("answer:crmLogin=") + QString(33, QLatin1Char('a')) << QString()
                                   << 1;
    QTest::newRow("address too short") << QString() << QStringLiteral("http:/") << 0;
}

void TstTaskRun::logonFailure()
{
    QFETCH(QString, fault);
    QFETCH(QString, url);
    QFETCH(int, requests);

    TestCrm crm(tenantName("TstTaskRun_logon_", QTest::currentDataTag()));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(fault);
    storeSettings(url.isEmpty() ? crm.baseUrl() : url, QLatin1String(TestCrm::defaultLogin),
                  QLatin1String(TestCrm::defaultPassword));
    ScannedStore store(twoFolders(), ExScanProfile::tasks());
    const RunRecord r = runImport(tasksTable(), store.folders(), store.folders());
    // The CRM's "error" is a refusal; an id of another length is no valid answer.
    const CrmLogonFailure cause = fault == QLatin1String("login_refused") ? CrmLogonFailure::WrongCredentials
                                  : fault.isEmpty()                        ? CrmLogonFailure::Incomplete
                                                                           : CrmLogonFailure::NoValidAnswer;
    QCOMPARE(r.summary, ExRun::logonFailedText(cause) + greenLine(0, "Aufgaben"));
    QVERIFY(r.texts(1).isEmpty());
    QCOMPARE(crm.requests().size(), requests);
    QCOMPARE(storedTasks(crm).size(), 0);
}

void TstTaskRun::secondRunReadsTheFoldersAgain()
{
    TestCrm crm(QStringLiteral("TstTaskRun_secondRun"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    ScannedStore store(
        itemtest::store({folder(QStringLiteral("Aufgaben"), QStringLiteral("IPF.Task"),
                                {task(QStringLiteral("a"), {due(1)}), task(QStringLiteral("b"), {due(2)})})}),
        ExScanProfile::tasks());
    const ExImporterTable table = tasksTable();
    QCOMPARE(runImport(table, store.folders(), store.folders()).summary, greenLine(2, "Aufgaben"));
    QVERIFY(store.folders().front()->folder);

    // The same folders once more: every task is read and sent again, and the CRM knows them.
    const RunRecord again = runImport(table, store.folders(), store.folders());
    QCOMPARE(again.texts(2), (QStringList{QStringLiteral("0 von 2"), QStringLiteral("1 von 2")}));
    QCOMPARE(again.summary, QStringLiteral("<font color=\"blue\">Aufgabe <i>a</i> existiert bereits</font><br>"
                                           "<font color=\"blue\">Aufgabe <i>b</i> existiert bereits</font><br>"
                                           "<font color=\"blue\"><i>2</i> Aufgaben existieren bereits</font><br>") +
                                greenLine(0, "Aufgaben"));
    QCOMPARE(storedTasks(crm).size(), 2);
}

void TstTaskRun::journalSendsOnlyWhatChanged_data()
{
    QTest::addColumn<bool>("damaged");
    QTest::addColumn<QStringList>("secondRunSends");
    QTest::newRow("journal") << false << QStringList{QStringLiteral("c")};
    // The damaged journal is put aside; the first run could record nothing, so the second sends all.
    QTest::newRow("damaged journal") << true << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
}

void TstTaskRun::journalSendsOnlyWhatChanged()
{
    QFETCH(bool, damaged);
    QFETCH(QStringList, secondRunSends);
    TestCrm crm(tenantName("TstTaskRun_journal", QTest::currentDataTag()));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    QTemporaryDir data;
    ExImporterTable table = tasksTable();
    table.journalPath = data.filePath(QStringLiteral("imports.sqlite"));
    if (damaged) {
        QFile file(table.journalPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (int i = 0; i < 4096; ++i)
            file.putChar(static_cast<char>((i * 7919 + 13) % 251));
    }
    // "c" carries no modification time: without one a change cannot be seen, so it always goes.
    const auto fixture = [](const char* modifiedB) {
        const auto modified = [](const char* when) {
            return QJsonObject{{QStringLiteral("0x30080040"), QString::fromLatin1(when)}};
        };
        return itemtest::store({folder(QStringLiteral("Aufgaben"), QStringLiteral("IPF.Task"),
                                       {task(QStringLiteral("a"), {due(1)}, modified("2026-01-02T10:00:00Z")),
                                        task(QStringLiteral("b"), {due(2)}, modified(modifiedB)),
                                        task(QStringLiteral("c"), {due(3)})})});
    };
    int seen = 0;
    const auto sentSinceLastLook = [&crm, &seen] {
        QStringList subjects;
        for (const QJsonValue& r : crm.requests()) {
            const QString body = r.toObject().value(QStringLiteral("body")).toString();
            if (r.toObject().value(QStringLiteral("operation")).toString() == QLatin1String("crmaddTask"))
                subjects << body.section(QStringLiteral("<subject xsi:type=\"xsd:string\">"), 1)
                                .section(QLatin1Char('<'), 0, 0);
        }
        const QStringList fresh = subjects.mid(seen);
        seen = subjects.size();
        return fresh;
    };
    {
        ScannedStore store(fixture("2026-01-03T10:00:00Z"), ExScanProfile::tasks());
        const RunRecord first = runImport(table, store.folders(), store.folders());
        QCOMPARE(sentSinceLastLook(), (QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}));
        // One line says that the journal was of no use; everything else is as without one.
        const QString problemLine = QStringLiteral("<font color=\"red\">Der Importverlauf ist besch\u00e4digt");
        QCOMPARE(first.summary.startsWith(problemLine), damaged);
        QVERIFY2(first.summary.endsWith(greenLine(3, "Aufgaben")), qPrintable(first.summary));
        QCOMPARE(first.summary.count(QStringLiteral("<br>")), damaged ? 3 : 2);

        // The same data once more, as in a later program start.
        const RunRecord again = runImport(table, store.folders(), store.folders());
        QCOMPARE(again.texts(2).size(), 3);
        QCOMPARE(sentSinceLastLook(), secondRunSends);
        QString expected;
        if (secondRunSends.size() < 3)
            expected += ExRun::unchangedLine(3 - static_cast<int>(secondRunSends.size()));
        for (const QString& subject : secondRunSends)
            expected += QStringLiteral("<font color=\"blue\">Aufgabe <i>%1</i> existiert bereits</font><br>").arg(subject);
        expected += QStringLiteral("<font color=\"blue\"><i>%1</i> Aufgaben existieren bereits</font><br>")
                        .arg(secondRunSends.size());
        QCOMPARE(again.summary, expected + greenLine(0, "Aufgaben"));
    }
    // "b" was changed in Outlook: of the tasks with a time, it alone is sent again.
    ScannedStore changed(fixture("2026-02-01T09:00:00Z"), ExScanProfile::tasks());
    const RunRecord third = runImport(table, changed.folders(), changed.folders());
    QCOMPARE(sentSinceLastLook(), (QStringList{QStringLiteral("b"), QStringLiteral("c")}));
    QVERIFY2(third.summary.startsWith(ExRun::unchangedLine(1)), qPrintable(third.summary));
    QCOMPARE(storedTasks(crm).size(), 3);
}

void TstTaskRun::passwordStaysOutOfTheLogs()
{
    TestCrm crm(QStringLiteral("TstTaskRun_password"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    const QString password = QStringLiteral("Geheim&P\u00e4sswort<1>");
    crm.addUser(QStringLiteral("m\u00fcller"), password);
    storeSettings(crm.baseUrl(), QStringLiteral("m\u00fcller"), password);
    ScannedStore store(
        itemtest::store({folder(QStringLiteral("Aufgaben"), QStringLiteral("IPF.Task"), {task(QStringLiteral("a"))})}),
        ExScanProfile::tasks());
    const ExImporterTable table = tasksTable();
    QFile::remove(table.messageLog);
    installMessageLog(table.messageLog);
    const RunRecord r = runImport(table, store.folders(), store.folders());
    uninstallMessageLog();
    QCOMPARE(r.summary, greenLine(1, "Aufgaben"));

    QFile messages(table.messageLog);
    QVERIFY(messages.open(QIODevice::ReadOnly));
    const QByteArray log = messages.readAll();
    QVERIFY(log.contains("LOGON XML"));
    QVERIFY(log.contains("crmaddTask"));
    QFile http(table.logonHttpLog);
    QVERIFY(http.open(QIODevice::ReadOnly));
    const QByteArray httpLog = http.readAll();
    QVERIFY(httpLog.contains("op=tasks"));
    for (const QByteArray& secret : {QByteArrayLiteral("Geheim"), QByteArrayLiteral("sswort")}) {
        QVERIFY(!log.contains(secret));
        QVERIFY(!httpLog.contains(secret));
    }
}

namespace
{

QString redTaskLine(const QString& subject)
{
    return QStringLiteral("<font color=\"red\">Aufgabe <i>%1</i> k\u00f6nnte nicht importiert werden</font><br>").arg(subject);
}

QString failedTasksLine(int n)
{
    return QStringLiteral("<font color=\"red\"><i>%1</i> Aufgaben k\u00f6nnten nicht importiert werden</font><br>").arg(n);
}

QJsonArray numberedTasks(const QString& prefix, int count)
{
    QJsonArray tasks;
    for (int i = 1; i <= count; ++i)
        tasks.append(task(prefix + QString::number(i), {due(1 + i % 28)}));
    return tasks;
}

} // namespace

void TstTaskRun::stopDuringPendingExchange()
{
    TestCrm crm(QStringLiteral("TstTaskRun_stopPending"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(QStringLiteral("slow:crmaddTask")); // every task answer takes 2 s
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    ScannedStore store(itemtest::store({folder(QStringLiteral("Aufgaben"), QStringLiteral("IPF.Task"),
                                               numberedTasks(QStringLiteral("Langsam "), 3))}),
                       ExScanProfile::tasks());

    // "Abbrechen" while the first task's answer is awaited.
    QElapsedTimer clock;
    clock.start();
    std::atomic<qint64> stoppedAt{-1};
    std::thread user;
    const RunRecord r = runImport(tasksTable(), store.folders(), store.folders(), [&](ExRun& run, int code, const QString& text) {
        if (code == 2 && text == QLatin1String("0 von 3"))
            user = std::thread([&run, &clock, &stoppedAt] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                stoppedAt = clock.elapsed();
                run.requestStop();
            });
    });
    const qint64 endedAt = clock.elapsed();
    user.join();
    QVERIFY(stoppedAt >= 0);
    QVERIFY2(endedAt - stoppedAt < 1000, qPrintable(QString::number(endedAt - stoppedAt)));

    // The request had left: failed, never imported, with the note that the CRM may hold it.
    QCOMPARE(r.summary, ExSummary::interruptNote() + redTaskLine(QStringLiteral("Langsam 1")) + failedTasksLine(1) +
                            ExRun::mayBeStoredLine(1, QStringLiteral("Aufgaben")) + greenLine(0, "Aufgaben"));
    // And indeed the server finishes it after its delay; nothing else was sent.
    QTRY_COMPARE_WITH_TIMEOUT(storedTasks(crm).size(), 1, 10000);
    QCOMPARE(crm.requests().size(), 2);
}

void TstTaskRun::connectionLostEndsTheRun()
{
    TestCrm crm(QStringLiteral("TstTaskRun_connectionLost"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    ScannedStore store(itemtest::store({folder(QStringLiteral("Eins"), QStringLiteral("IPF.Task"),
                                               numberedTasks(QStringLiteral("A"), 4)),
                                        folder(QStringLiteral("Zwei"), QStringLiteral("IPF.Task"),
                                               numberedTasks(QStringLiteral("B"), 3)),
                                        folder(QStringLiteral("Drei"), QStringLiteral("IPF.Task"),
                                               numberedTasks(QStringLiteral("C"), 2))}),
                       ExScanProfile::tasks());
    // The CRM goes away right after the logon: every later connection is refused.
    ExImporterTable table = tasksTable();
    table.logon = [](CrmTransport& transport, const QString& httpLog) {
        CrmLogonOutcome outcome = exStoredSettingsLogon(transport, httpLog);
        outcome.baseUrl = QStringLiteral("http://127.0.0.1:9/");
        return outcome;
    };
    const RunRecord r = runImport(table, store.folders(), store.folders());

    // Five failures in a row, then the rest is not tried: 5 + 4 = 9 items read.
    QString lines;
    for (const char* s : {"A1", "A2", "A3", "A4", "B1"})
        lines += redTaskLine(QLatin1String(s));
    QCOMPARE(r.summary, ExRun::connectionLostText() + lines + failedTasksLine(5) +
                            ExRun::notTriedLine(4, QStringLiteral("Aufgaben")) + greenLine(0, "Aufgaben"));
    QCOMPARE(crm.requests().size(), 1);
}

void TstTaskRun::inflightCounts_data()
{
    QTest::addColumn<int>("inflight");
    QTest::newRow("one after another") << 1;
    QTest::newRow("four at once") << 4;
}

void TstTaskRun::inflightCounts()
{
    QFETCH(int, inflight);
    TestCrm crm(tenantName("TstTaskRun_inflight_", QTest::currentDataTag()));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    crm.setFault(QStringLiteral("reject:Kaputt"));
    storeSettings(crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword));
    QSettings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer"))
        .setValue(QStringLiteral("CRM_INFLIGHT"), inflight);

    QJsonArray first = numberedTasks(QStringLiteral("Eins "), 17);
    first.insert(11, task(QStringLiteral("Kaputt"), {due(12)}));
    ScannedStore store(itemtest::store({folder(QStringLiteral("Eins"), QStringLiteral("IPF.Task"), first),
                                        folder(QStringLiteral("Zwei"), QStringLiteral("IPF.Task"),
                                               numberedTasks(QStringLiteral("Zwei "), 12))}),
                       ExScanProfile::tasks());
    const RunRecord r = runImport(tasksTable(), store.folders(), store.folders());
    QSettings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer")).remove(QStringLiteral("CRM_INFLIGHT"));

    QCOMPARE(r.summary, redTaskLine(QStringLiteral("Kaputt")) + failedTasksLine(1) + greenLine(29, "Aufgaben"));
    QCOMPARE(r.texts(2).size(), 30);
    QCOMPARE(r.texts(2).last(), QStringLiteral("11 von 12"));
    QStringList expected;
    for (const QJsonArray& tasks : {first, numberedTasks(QStringLiteral("Zwei "), 12)})
        for (const QJsonValue& t : tasks)
            expected << t.toObject().value(QStringLiteral("props")).toObject().value(QStringLiteral("0x0037001F")).toString();
    expected.removeAll(QStringLiteral("Kaputt"));
    QStringList stored;
    for (const QJsonValue& t : storedTasks(crm))
        stored << t.toObject().value(QStringLiteral("subject")).toString();
    // Several at once may arrive in another order; each exactly once.
    if (inflight == 1)
        QCOMPARE(stored, expected);
    stored.sort();
    expected.sort();
    QCOMPARE(stored, expected);
    QCOMPARE(crm.requests().size(), 31);
}

QTEST_GUILESS_MAIN(TstTaskRun)
#include "tst_taskrun.moc"
