// Task field mapping on memory stores: every step of reading a task row, and the folder-level
// failures of collecting a folder.
#include "exfolder.h"
#include "itemfixture.h"
#include "taskmapping.h"

#include <QTest>
#include <QVariantMap>

using namespace itemtest;

namespace
{

QJsonObject task(const QString& subject, const QJsonArray& named, const QJsonObject& moreProps = {})
{
    QJsonObject props = moreProps;
    props.insert(QStringLiteral("0x0037001F"), subject);
    props.insert(QStringLiteral("0x001A001F"), QStringLiteral("IPM.Task"));
    return QJsonObject{{QStringLiteral("props"), props}, {QStringLiteral("named"), named}};
}

// Outlook keeps task dates as midnight of the chosen day without a zone: wall-clock fields in UTC.
QJsonValue day(int y, int mo, int d, int h = 0, int mi = 0)
{
    return QStringLiteral("%1-%2-%3T%4:%5:00Z")
        .arg(y, 4, 10, QLatin1Char('0'))
        .arg(mo, 2, 10, QLatin1Char('0'))
        .arg(d, 2, 10, QLatin1Char('0'))
        .arg(h, 2, 10, QLatin1Char('0'))
        .arg(mi, 2, 10, QLatin1Char('0'));
}

QVariantMap fieldsOf(const crmTaskItem& t)
{
    QStringList contacts;
    for (const crmTaskItemContact& c : t.contacts)
        contacts << c.firstname + QLatin1Char('|') + c.lastname;
    return QVariantMap{
        {QStringLiteral("start"), t.start},         {QStringLiteral("stop"), t.stop},
        {QStringLiteral("subject"), t.subject},     {QStringLiteral("body"), t.body},
        {QStringLiteral("privat"), t.privat},       {QStringLiteral("priority"), t.priority},
        {QStringLiteral("done"), t.done},           {QStringLiteral("status"), t.status},
        {QStringLiteral("confirmed"), t.confirmed}, {QStringLiteral("achieved"), t.achieved},
        {QStringLiteral("planned"), t.planned},     {QStringLiteral("rem"), t.rem},
        {QStringLiteral("remember"), t.remember},   {QStringLiteral("category"), t.category},
        {QStringLiteral("contacts"), contacts},     {QStringLiteral("serie"), t.serie},
    };
}

QByteArray oneFolder(const QJsonArray& items, const QJsonObject& storeExtra = {}, const QJsonObject& folderExtra = {})
{
    QJsonObject f = folder(QStringLiteral("Aufgaben"), QStringLiteral("IPF.Task"), items);
    for (auto it = folderExtra.begin(); it != folderExtra.end(); ++it)
        f.insert(it.key(), it.value());
    return store({f}, storeExtra);
}

// Collects the only task folder of a one-folder store.
std::vector<std::unique_ptr<TaskEntry>> collect(ScannedStore& store, int hourOffset = 0, bool* ok = nullptr)
{
    TaskFolderBatch batch;
    batch.url = QStringLiteral("http://crm.example/");
    batch.sessionId = QString(32, QLatin1Char('s'));
    batch.source = store.folders().value(0);
    batch.hourOffset = hourOffset;
    const bool collected = CollectTasks(batch);
    if (ok)
        *ok = collected;
    return std::move(batch.entries);
}

} // namespace

class TstTaskMapping : public QObject
{
    Q_OBJECT

private slots:
    void readsRow_data();
    void readsRow();
    void freshEntryStartsAtZero();
    void entryCopiesBatchValues();
    void taskThatCannotBeOpenedIsLeftOut();
    void categoriesNeedAKnownName();
    void contactsAreLogged();
    void folderFailures_data();
    void folderFailures();
    void namedPropertiesAreCreated();
};

void TstTaskMapping::readsRow_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<int>("hourOffset");
    QTest::addColumn<QJsonObject>("item");
    QTest::addColumn<QVariantMap>("expected");

    const QString s = QStringLiteral("Aufgabe");
    for (const QByteArray& zone : {QByteArray("Europe/Berlin"), QByteArray("UTC")}) {
        auto midnight = [&](int mo, int d) { return static_cast<int>(at(zone, 2026, mo, d).toSecsSinceEpoch()); };
        const QByteArray z = "/" + zone;

        QTest::newRow(("task start read after common start" + z).constData())
            << zone << 0
            << task(s, {named(commonSet, 0x8516, "PT_SYSTIME", day(2026, 3, 1)),
                        named(taskSet, 0x8104, "PT_SYSTIME", day(2026, 3, 2)),
                        named(commonSet, 0x8517, "PT_SYSTIME", day(2026, 3, 8)),
                        named(taskSet, 0x8105, "PT_SYSTIME", day(2026, 3, 10))})
            << QVariantMap{{QStringLiteral("start"), midnight(3, 2)}, {QStringLiteral("stop"), midnight(3, 10)}};
        QTest::newRow(("common dates alone" + z).constData())
            << zone << 0
            << task(s, {named(commonSet, 0x8516, "PT_SYSTIME", day(2026, 3, 1)),
                        named(commonSet, 0x8517, "PT_SYSTIME", day(2026, 3, 5))})
            << QVariantMap{{QStringLiteral("start"), midnight(3, 1)}, {QStringLiteral("stop"), midnight(3, 5)}};
        QTest::newRow(("summer date" + z).constData())
            << zone << 0 << task(s, {named(taskSet, 0x8105, "PT_SYSTIME", day(2026, 7, 15))})
            << QVariantMap{{QStringLiteral("stop"), midnight(7, 15)}, {QStringLiteral("start"), 0}};
        QTest::newRow(("hour offset of the batch" + z).constData())
            << zone << 2 << task(s, {named(taskSet, 0x8105, "PT_SYSTIME", day(2026, 3, 5))})
            << QVariantMap{{QStringLiteral("stop"), midnight(3, 5) + 7200}};
        QTest::newRow(("year 4501 means no date" + z).constData())
            << zone << 0
            << task(s, {named(taskSet, 0x8104, "PT_SYSTIME", QStringLiteral("4501-01-01T00:00:00Z")),
                        named(taskSet, 0x8105, "PT_SYSTIME", QStringLiteral("4501-01-01T00:00:00Z"))})
            << QVariantMap{{QStringLiteral("start"), -1}, {QStringLiteral("stop"), -1}};
        // The due moment is midnight; a reminder at 08:00 that day lies after it.
        QTest::newRow(("reminder on the due day" + z).constData())
            << zone << 0
            << task(s, {named(taskSet, 0x8105, "PT_SYSTIME", day(2026, 3, 5)),
                        named(commonSet, 0x8503, "PT_BOOLEAN", true),
                        named(commonSet, 0x8502, "PT_SYSTIME", day(2026, 3, 5, 8))})
            << QVariantMap{{QStringLiteral("rem"), 1}, {QStringLiteral("remember"), -28800}};
        QTest::newRow(("reminder the afternoon before" + z).constData())
            << zone << 0
            << task(s, {named(taskSet, 0x8105, "PT_SYSTIME", day(2026, 3, 5)),
                        named(commonSet, 0x8503, "PT_BOOLEAN", true),
                        named(commonSet, 0x8502, "PT_SYSTIME", day(2026, 3, 4, 16))})
            << QVariantMap{{QStringLiteral("rem"), 1}, {QStringLiteral("remember"), 28800}};
    }

    // Times the clocks skip become the moment of the switch instead of being dropped.
    QTest::newRow("reminder in the skipped hour")
        << QByteArray("Europe/Berlin") << 0
        << task(s, {named(taskSet, 0x8105, "PT_SYSTIME", day(2026, 3, 29)), named(commonSet, 0x8503, "PT_BOOLEAN", true),
                    named(commonSet, 0x8502, "PT_SYSTIME", day(2026, 3, 29, 2, 30))})
        << QVariantMap{{QStringLiteral("rem"), 1}, {QStringLiteral("remember"), 1774738800 - 1774746000}};
    QTest::newRow("due at a skipped midnight")
        << QByteArray("America/Santiago") << 0 << task(s, {named(taskSet, 0x8105, "PT_SYSTIME", day(2026, 9, 6))})
        << QVariantMap{{QStringLiteral("stop"), 1788667200}};

    const QByteArray zone("UTC");
    QTest::newRow("reminder time without a date")
        << zone << 0
        << task(s,
                {named(taskSet, 0x8105, "PT_SYSTIME", day(2026, 3, 5)), named(commonSet, 0x8503, "PT_BOOLEAN", false),
                 named(commonSet, 0x8502, "PT_SYSTIME", QStringLiteral("4501-01-01T00:00:00Z"))})
        << QVariantMap{{QStringLiteral("rem"), 0}, {QStringLiteral("remember"), 0}};
    QTest::newRow("percent is truncated") << zone << 0 << task(s, {named(taskSet, 0x8102, "PT_DOUBLE", 0.755)})
                                          << QVariantMap{{QStringLiteral("done"), 75}};
    QTest::newRow("complete wins over the percentage")
        << zone << 0 << task(s, {named(taskSet, 0x8102, "PT_DOUBLE", 0.3), named(taskSet, 0x811C, "PT_BOOLEAN", true)})
        << QVariantMap{{QStringLiteral("done"), 100}};
    QTest::newRow("not complete keeps the percentage")
        << zone << 0 << task(s, {named(taskSet, 0x8102, "PT_DOUBLE", 0.5), named(taskSet, 0x811C, "PT_BOOLEAN", false)})
        << QVariantMap{{QStringLiteral("done"), 50}};
    QTest::newRow("effort in hours")
        << zone << 0 << task(s, {named(taskSet, 0x8110, "PT_LONG", 90), named(taskSet, 0x8111, "PT_LONG", 135)})
        << QVariantMap{{QStringLiteral("achieved"), 1.5}, {QStringLiteral("planned"), 2.25}};
    QTest::newRow("status counts from 1")
        << zone << 0 << task(s, {named(taskSet, 0x8101, "PT_LONG", 2)}) << QVariantMap{{QStringLiteral("status"), 3}};
    QTest::newRow("status not started") << zone << 0 << task(s, {named(taskSet, 0x8101, "PT_LONG", 0)})
                                        << QVariantMap{{QStringLiteral("status"), 1}};
    QTest::newRow("low priority, private sensitivity")
        << zone << 0 << task(s, {}, QJsonObject{{QStringLiteral("0x00260003"), -1}, {QStringLiteral("0x00360003"), 2}})
        << QVariantMap{{QStringLiteral("priority"), -1}, {QStringLiteral("privat"), 1}};
    QTest::newRow("private flag read after sensitivity")
        << zone << 0
        << task(s, {named(commonSet, 0x8506, "PT_BOOLEAN", false)}, QJsonObject{{QStringLiteral("0x00360003"), 2}})
        << QVariantMap{{QStringLiteral("privat"), 0}};
    QTest::newRow("task mode asks for confirmation") << zone << 0 << task(s, {named(commonSet, 0x8518, "PT_LONG", 1)})
                                                     << QVariantMap{{QStringLiteral("confirmed"), 1}};
    QTest::newRow("task mode 3 needs none") << zone << 0 << task(s, {named(commonSet, 0x8518, "PT_LONG", 3)})
                                            << QVariantMap{{QStringLiteral("confirmed"), 0}};
    QTest::newRow("acceptance state 2") << zone << 0 << task(s, {named(taskSet, 0x812A, "PT_LONG", 2)})
                                        << QVariantMap{{QStringLiteral("confirmed"), 1}};
    QTest::newRow("accepted flag is read last")
        << zone << 0 << task(s, {named(commonSet, 0x8518, "PT_LONG", 1), named(taskSet, 0x8108, "PT_BOOLEAN", false)})
        << QVariantMap{{QStringLiteral("confirmed"), 0}};
    QTest::newRow("contacts: two words only")
        << zone << 0
        << task(s, {named(commonSet, 0x853A, "PT_MV_UNICODE",
                          QJsonArray{QStringLiteral("Anna Schmidt"), QStringLiteral("Hans Peter M\u00fcller"),
                                     QStringLiteral("  J\u00fcrgen   Wei\u00df  "), QStringLiteral("Solo"), QString(),
                                     QStringLiteral("\u0418\u0432\u0430\u043d \u041f\u0435\u0442\u0440\u043e\u0432")})})
        << QVariantMap{{QStringLiteral("contacts"),
                        QStringList{QStringLiteral("Anna|Schmidt"), QStringLiteral("J\u00fcrgen|Wei\u00df"),
                                    QStringLiteral("\u0418\u0432\u0430\u043d|\u041f\u0435\u0442\u0440\u043e\u0432")}}};
    QTest::newRow("categories keep every character")
        << zone << 0
        << task(s, {keywords({QStringLiteral("B\u00fcro"), QStringLiteral("\u041f\u0440\u043e\u0435\u043a\u0442")})})
        << QVariantMap{
               {QStringLiteral("category"), QStringLiteral("B\u00fcro; \u041f\u0440\u043e\u0435\u043a\u0442;")}};
    QTest::newRow("text keeps every character")
        << zone << 0
        << task(QStringLiteral("  Gr\u00fc\u00dfe \u2013 \u041f\u0440\u0438\u0432\u0435\u0442 & <b>  "), {},
                QJsonObject{
                    {QStringLiteral("0x1000001F"),
                     QStringLiteral(
                         "\n Zeile \u00e4\n\u0417\u0434\u0440\u0430\u0432\u0441\u0442\u0432\u0443\u0439\u0442\u0435 "
                         "\n")}})
        << QVariantMap{
               {QStringLiteral("subject"),
                QStringLiteral("Gr\u00fc\u00dfe \u2013 \u041f\u0440\u0438\u0432\u0435\u0442 & <b>")},
               {QStringLiteral("body"),
                QStringLiteral(
                    "\n Zeile \u00e4\n\u0417\u0434\u0440\u0430\u0432\u0441\u0442\u0432\u0443\u0439\u0442\u0435 \n")}};
    QTest::newRow("nothing but a subject") << zone << 0 << task(s, {})
                                           << QVariantMap{{QStringLiteral("start"), 0},
                                                          {QStringLiteral("stop"), 0},
                                                          {QStringLiteral("privat"), 0},
                                                          {QStringLiteral("priority"), 0},
                                                          {QStringLiteral("done"), 0},
                                                          {QStringLiteral("status"), 0},
                                                          {QStringLiteral("confirmed"), 0},
                                                          {QStringLiteral("rem"), 0},
                                                          {QStringLiteral("remember"), 0},
                                                          {QStringLiteral("achieved"), 0.0},
                                                          {QStringLiteral("planned"), 0.0},
                                                          {QStringLiteral("category"), QString()},
                                                          {QStringLiteral("contacts"), QStringList()},
                                                          {QStringLiteral("body"), QString()},
                                                          {QStringLiteral("serie"), 0}};
}

void TstTaskMapping::readsRow()
{
    QFETCH(QByteArray, zone);
    QFETCH(int, hourOffset);
    QFETCH(QJsonObject, item);
    QFETCH(QVariantMap, expected);

    ZoneScope tz(zone);
    ScannedStore store(oneFolder({item}), ExScanProfile::tasks());
    QVERIFY(store.ok());
    bool ok = false;
    const auto entries = collect(store, hourOffset, &ok);
    QVERIFY(ok);
    QCOMPARE(entries.size(), std::size_t(1));
    QVERIFY(entries.front()->message);
    const QVariantMap actual = fieldsOf(entries.front()->item);
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QCOMPARE(actual.value(it.key()), it.value());
}

void TstTaskMapping::freshEntryStartsAtZero()
{
    const TaskEntry entry;
    QCOMPARE(fieldsOf(entry.item).value(QStringLiteral("remember")), QVariant(0));
    QCOMPARE(entry.item.privat, 0);
    QCOMPARE(entry.item.priority, 0);
    QCOMPARE(entry.item.confirmed, 0);
    QCOMPARE(entry.item.rem, 0);
    QCOMPARE(entry.item.intrval, 0);
    QCOMPARE(entry.item.serieend, 0);
    QCOMPARE(entry.item.achieved, 0.0);
    QCOMPARE(entry.item.planned, 0.0);
    QVERIFY(!entry.message);
}

void TstTaskMapping::entryCopiesBatchValues()
{
    ScannedStore store(oneFolder({task(QStringLiteral("A"), {}), task(QStringLiteral("B"), {})}),
                       ExScanProfile::tasks());
    QVERIFY(store.ok());
    const auto entries = collect(store, 3);
    QCOMPARE(entries.size(), std::size_t(2));
    QCOMPARE(entries[0]->item.subject, QStringLiteral("A"));
    QCOMPARE(entries[1]->item.subject, QStringLiteral("B"));
    for (const auto& e : entries) {
        QCOMPARE(e->url, QStringLiteral("http://crm.example/"));
        QCOMPARE(e->sessionId, QString(32, QLatin1Char('s')));
        QCOMPARE(e->hourOffset, 3);
    }
}

void TstTaskMapping::taskThatCannotBeOpenedIsLeftOut()
{
    QJsonObject broken = task(QStringLiteral("kaputt"), {named(taskSet, 0x8101, "PT_LONG", 1)});
    broken.insert(QStringLiteral("fail"), QStringLiteral("open"));
    ScannedStore store(oneFolder({task(QStringLiteral("eins"), {}), broken, task(QStringLiteral("drei"), {})}),
                       ExScanProfile::tasks());
    QVERIFY(store.ok());
    LogLines log;
    bool ok = false;
    const auto entries = collect(store, 0, &ok);
    QVERIFY(ok);
    QCOMPARE(entries.size(), std::size_t(2));
    QCOMPARE(entries[0]->item.subject, QStringLiteral("eins"));
    QCOMPARE(entries[1]->item.subject, QStringLiteral("drei"));
    QCOMPARE(LogLines::count(QStringLiteral("Critical: Can't open task object")), 1);
}

void TstTaskMapping::categoriesNeedAKnownName()
{
    const QString holder = QStringLiteral("Debug: __LPSPropValue::~__LPSPropValue");
    const QString warning = QStringLiteral("Warning: Can't get categories property id");
    {
        // No item of the store ever had a category: the name cannot be resolved.
        ScannedStore store(oneFolder({task(QStringLiteral("A"), {})}), ExScanProfile::tasks());
        LogLines log;
        const auto entries = collect(store);
        QCOMPARE(entries.size(), std::size_t(1));
        QCOMPARE(entries[0]->item.category, QString());
        QVERIFY(LogLines::contains(warning));
    }
    {
        // The store knows the name, this task has no categories: only the holder line.
        ScannedStore store(
            oneFolder({task(QStringLiteral("A"), {}), task(QStringLiteral("B"), {keywords({QStringLiteral("X")})})}),
            ExScanProfile::tasks());
        LogLines log;
        const auto entries = collect(store);
        QCOMPARE(entries.size(), std::size_t(2));
        QCOMPARE(entries[0]->item.category, QString());
        QCOMPARE(entries[1]->item.category, QStringLiteral("X;"));
        QVERIFY(!LogLines::contains(warning));
        QCOMPARE(LogLines::count(QStringLiteral("Debug: TASK CATEGORY:  \"X;\"")), 1);
        QCOMPARE(LogLines::count(holder), 2);
    }
    {
        // A writer that stored "Keywords" as a number: no categories, nothing broken.
        QJsonObject odd = task(QStringLiteral("A"), {});
        QJsonObject kw = keywords({});
        kw.insert(QStringLiteral("type"), QStringLiteral("PT_LONG"));
        kw.insert(QStringLiteral("value"), 7);
        odd.insert(QStringLiteral("named"), QJsonArray{kw});
        ScannedStore store(oneFolder({odd}), ExScanProfile::tasks());
        const auto entries = collect(store);
        QCOMPARE(entries.size(), std::size_t(1));
        QCOMPARE(entries[0]->item.category, QString());
    }
}

void TstTaskMapping::contactsAreLogged()
{
    ScannedStore store(oneFolder({task(QStringLiteral("Treffen"),
                                       {named(commonSet, 0x853A, "PT_MV_UNICODE",
                                              QJsonArray{QStringLiteral("Anna Schmidt"), QStringLiteral("a b c")})})}),
                       ExScanProfile::tasks());
    LogLines log;
    const auto entries = collect(store);
    QCOMPARE(entries.size(), std::size_t(1));
    QCOMPARE(LogLines::count(QStringLiteral("Debug: TASK  \"Treffen\"  Contacts:  \"Anna\"   \"Schmidt\"")), 1);
    QCOMPARE(entries[0]->item.contacts.size(), 1);
}

void TstTaskMapping::folderFailures_data()
{
    QTest::addColumn<QJsonObject>("storeExtra");
    QTest::addColumn<QJsonObject>("folderExtra");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("names") << QJsonObject{{QStringLiteral("fail"), QStringLiteral("names")}} << QJsonObject()
                           << QStringLiteral("Critical: CAN'T get NAMED Properties for tasks. aborting");
    QTest::newRow("contents table") << QJsonObject()
                                    << QJsonObject{{QStringLiteral("fail"), QStringLiteral("contents")}}
                                    << QStringLiteral("Critical: CAN'T get task contents table. aborting");
    QTest::newRow("columns") << QJsonObject()
                             << QJsonObject{{QStringLiteral("fail"), QStringLiteral("contentsSetColumns")},
                                            {QStringLiteral("failCode"), QStringLiteral("0x80040102")}}
                             << QStringLiteral("Critical: SetColumns Failed: 80040102");
}

void TstTaskMapping::folderFailures()
{
    QFETCH(QJsonObject, storeExtra);
    QFETCH(QJsonObject, folderExtra);
    QFETCH(QString, logLine);

    ScannedStore store(oneFolder({task(QStringLiteral("A"), {})}, storeExtra, folderExtra), ExScanProfile::tasks());
    QVERIFY(store.ok());
    LogLines log;
    bool ok = true;
    const auto entries = collect(store, 0, &ok);
    QVERIFY(!ok);
    QVERIFY(entries.empty());
    QVERIFY2(LogLines::contains(logLine), qPrintable(LogLines::lines().join(QLatin1Char('\n'))));

    TaskFolderBatch none;
    QVERIFY(!CollectTasks(none));
}

void TstTaskMapping::namedPropertiesAreCreated()
{
    // A store that has never seen a task property still gets ids for all of them.
    ScannedStore store(oneFolder({task(QStringLiteral("A"), {})}), ExScanProfile::tasks());
    TaskFolderBatch batch;
    batch.source = store.folders().value(0);
    QVERIFY(CollectTasks(batch));
    QCOMPARE(batch.namedTags.size(), std::size_t(24));
    for (std::size_t i = 0; i < batch.namedTags.size(); ++i) {
        QVERIFY(PROP_ID(batch.namedTags[i]) >= 0x8000);
        QCOMPARE(PROP_TYPE(batch.namedTags[i]), TaskNamedTypes()[i]);
    }
    const std::vector<xmapi::PropTag> columns = TaskColumns(batch.namedTags);
    QCOMPARE(columns.size(), std::size_t(27));
    QCOMPARE(columns[0], PR_SUBJECT_W);
    QCOMPARE(columns[6], batch.namedTags[0]);  // task mode
    QCOMPARE(columns[11], batch.namedTags[3]); // reminder time after private
    QCOMPARE(columns[25], batch.namedTags[6]); // contacts
    QCOMPARE(columns[26], batch.namedTags[7]); // contact link
}

QTEST_GUILESS_MAIN(TstTaskMapping)
#include "tst_taskmapping.moc"
