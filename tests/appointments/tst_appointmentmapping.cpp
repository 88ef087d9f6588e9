// Appointment field mapping on memory stores: the tag table of a folder and every step of reading
// a contents-table row.
#include "appointmentmapping.h"
#include "exfolder.h"
#include "itemfixture.h"

#include <QTest>
#include <QVariantMap>

using namespace itemtest;

namespace
{

QJsonObject appointment(const QJsonArray& named, const QJsonObject& props = {})
{
    QJsonObject p = props;
    p.insert(QStringLiteral("0x001A001F"), QStringLiteral("IPM.Appointment"));
    return QJsonObject{{QStringLiteral("props"), p}, {QStringLiteral("named"), named}};
}

QJsonObject subject(const QString& s)
{
    return QJsonObject{{QStringLiteral("0x0037001F"), s}};
}

QJsonObject startAt(const QDateTime& t)
{
    return named(appointmentSet, 0x820D, "PT_SYSTIME", iso(t));
}
QJsonObject endAt(const QDateTime& t)
{
    return named(appointmentSet, 0x820E, "PT_SYSTIME", iso(t));
}
QJsonObject signalAt(const QDateTime& t)
{
    return named(commonSet, 0x8560, "PT_SYSTIME", iso(t));
}
QJsonObject reminderSet(bool on)
{
    return named(commonSet, 0x8503, "PT_BOOLEAN", on);
}
QJsonObject allDayFlag(bool on)
{
    return named(appointmentSet, 0x8215, "PT_BOOLEAN", on);
}

// Every named property an appointment can carry, so the store knows all 12 names.
QJsonObject everyName()
{
    return appointment(
        {startAt(at("UTC", 2020, 1, 1)), endAt(at("UTC", 2020, 1, 1, 1)), signalAt(at("UTC", 2020, 1, 1)),
         named(appointmentSet, 0x8223, "PT_BOOLEAN", false), reminderSet(false),
         named(commonSet, 0x8506, "PT_BOOLEAN", false), keywords({QStringLiteral("k")}),
         named(appointmentSet, 0x8208, "PT_STRING8", QStringLiteral("l")), named(appointmentSet, 0x8205, "PT_LONG", 0),
         named(appointmentSet, 0x823B, "PT_STRING8", QStringLiteral("to")),
         named(appointmentSet, 0x823C, "PT_STRING8", QStringLiteral("cc")), allDayFlag(false)},
        subject(QStringLiteral("alle Namen")));
}

QByteArray calendar(const QJsonArray& items, const QJsonObject& storeExtra = {})
{
    return store({folder(QStringLiteral("Kalender"), QStringLiteral("IPF.Appointment"), items)}, storeExtra);
}

QVariantMap fieldsOf(const crmAppointmentItem& a)
{
    return QVariantMap{
        {QStringLiteral("start"), a.start},       {QStringLiteral("stop"), a.stop},
        {QStringLiteral("subject"), a.subject},   {QStringLiteral("body"), a.body},
        {QStringLiteral("day"), a.day},           {QStringLiteral("rem"), a.rem},
        {QStringLiteral("remember"), a.remember}, {QStringLiteral("privat"), a.privat},
        {QStringLiteral("category"), a.category}, {QStringLiteral("city"), a.city},
        {QStringLiteral("status"), a.status},     {QStringLiteral("confirmed"), a.confirmed},
        {QStringLiteral("pid"), a.pid},           {QStringLiteral("done"), a.done},
        {QStringLiteral("serie"), a.serie},
    };
}

// The rows of the folder's contents table with the folder's 13 columns.
std::vector<crmAppointmentItem> readAll(ExFOLDER& f)
{
    std::vector<crmAppointmentItem> out;
    xmapi::HResult hr = S_OK;
    const std::optional<CalendarTags> tags = GetPropIDS(*f.folder, hr);
    if (!tags)
        return out;
    std::unique_ptr<xmapi::Table> table;
    if (xmapi::failed(f.folder->GetContentsTable(MAPI_UNICODE, table)))
        return out;
    if (xmapi::failed(table->SetColumns(std::vector<xmapi::PropTag>(tags->begin(), tags->end()), 0)))
        return out;
    xmapi::RowSet rows;
    while (table->QueryRows(1, 0, rows) == S_OK && !rows.empty())
        out.push_back(ReadAppointmentRow(rows.front(), *tags));
    return out;
}

} // namespace

class TstAppointmentMapping : public QObject
{
    Q_OBJECT

private slots:
    void readsRow_data();
    void readsRow();
    void missingColumnsAreLogged();
    void tagTable();
    void unknownNamesNeverMatch();
    void tagTableFailures();
};

void TstAppointmentMapping::readsRow_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QJsonObject>("item");
    QTest::addColumn<QVariantMap>("expected");

    const QJsonObject subj = subject(QStringLiteral("Termin"));
    for (const QByteArray& zone : {QByteArray("Europe/Berlin"), QByteArray("UTC")}) {
        const QByteArray z = "/" + zone;
        auto t = [&](int mo, int d, int h = 0, int mi = 0, int s = 0) { return at(zone, 2026, mo, d, h, mi, s); };
        auto secs = [&](const QDateTime& dt) { return static_cast<int>(dt.toSecsSinceEpoch()); };

        QTest::newRow(("all day on 5 March" + z).constData())
            << zone << appointment({startAt(t(3, 5)), endAt(t(3, 6))}, subj)
            << QVariantMap{{QStringLiteral("start"), secs(t(3, 5))},
                           {QStringLiteral("stop"), secs(t(3, 5, 22))},
                           {QStringLiteral("day"), 1}};
        QTest::newRow(("three days" + z).constData())
            << zone << appointment({startAt(t(3, 5)), endAt(t(3, 8))}, subj)
            << QVariantMap{{QStringLiteral("stop"), secs(t(3, 7, 22))}, {QStringLiteral("day"), 1}};
        QTest::newRow(("23:59:59 is not all day" + z).constData())
            << zone << appointment({startAt(t(3, 5)), endAt(t(3, 5, 23, 59, 59))}, subj)
            << QVariantMap{{QStringLiteral("stop"), secs(t(3, 5, 23, 59, 59))}, {QStringLiteral("day"), -1}};
        QTest::newRow(("end before start" + z).constData())
            << zone << appointment({startAt(t(3, 5, 10)), endAt(t(3, 5, 9))}, subj)
            << QVariantMap{{QStringLiteral("start"), secs(t(3, 5, 10))},
                           {QStringLiteral("stop"), secs(t(3, 5, 7))},
                           {QStringLiteral("day"), 1}};
        QTest::newRow(("summer afternoon" + z).constData())
            << zone << appointment({startAt(t(7, 15, 14, 30)), endAt(t(7, 15, 15, 15))}, subj)
            << QVariantMap{{QStringLiteral("start"), secs(t(7, 15, 14, 30))},
                           {QStringLiteral("stop"), secs(t(7, 15, 15, 15))},
                           {QStringLiteral("day"), -1}};
        QTest::newRow(("reminder 15 minutes before" + z).constData())
            << zone
            << appointment({startAt(t(3, 5, 9)), endAt(t(3, 5, 10)), signalAt(t(3, 5, 8, 45)), reminderSet(true)}, subj)
            << QVariantMap{{QStringLiteral("rem"), 1}, {QStringLiteral("remember"), 900}};
        QTest::newRow(("reminder switched off" + z).constData())
            << zone
            << appointment({startAt(t(3, 5, 9)), endAt(t(3, 5, 10)), signalAt(t(3, 5, 8, 45)), reminderSet(false)},
                           subj)
            << QVariantMap{{QStringLiteral("rem"), 0}, {QStringLiteral("remember"), 0}};
        QTest::newRow(("signal time without the flag" + z).constData())
            << zone << appointment({startAt(t(3, 5, 9)), endAt(t(3, 5, 10)), signalAt(t(3, 5, 8))}, subj)
            << QVariantMap{{QStringLiteral("rem"), 0}, {QStringLiteral("remember"), 3600}};
    }

    const QByteArray zone("Europe/Berlin");
    auto t = [&](int mo, int d, int h = 0) { return at(zone, 2026, mo, d, h); };
    QTest::newRow("neither reminder column")
        << zone << appointment({startAt(t(3, 5, 9)), endAt(t(3, 5, 10))}, subj)
        << QVariantMap{{QStringLiteral("rem"), 0}, {QStringLiteral("remember"), -1}};
    QTest::newRow("signal time without a date")
        << zone
        << appointment({startAt(t(3, 5, 9)), endAt(t(3, 5, 10)),
                        named(commonSet, 0x8560, "PT_SYSTIME", QStringLiteral("4501-01-01T00:00:00Z"))},
                       subj)
        << QVariantMap{{QStringLiteral("rem"), 0}, {QStringLiteral("remember"), 0}};
    QTest::newRow("reminder switched on without a date")
        << zone
        << appointment({startAt(t(3, 5, 9)), endAt(t(3, 5, 10)), reminderSet(true),
                        named(commonSet, 0x8560, "PT_SYSTIME", QStringLiteral("4501-01-01T00:00:00Z"))},
                       subj)
        << QVariantMap{{QStringLiteral("rem"), 0}, {QStringLiteral("remember"), 0}};
    // Outlook's all-day flag decides wherever it is stored; the duration only where it is not.
    QTest::newRow("all day on the 23-hour day of the switch")
        << zone << appointment({startAt(t(3, 29)), endAt(t(3, 30)), allDayFlag(true)}, subj)
        << QVariantMap{{QStringLiteral("day"), 1},
                       {QStringLiteral("stop"), static_cast<int>(t(3, 30).toSecsSinceEpoch()) - 7200}};
    QTest::newRow("timed trade fair over three days")
        << zone << appointment({startAt(t(3, 5, 9)), endAt(t(3, 7, 18)), allDayFlag(false)}, subj)
        << QVariantMap{{QStringLiteral("day"), -1},
                       {QStringLiteral("stop"), static_cast<int>(t(3, 7, 18).toSecsSinceEpoch())}};
    QTest::newRow("no end lasts no time")
        << zone << appointment({startAt(t(3, 5, 9))}, subj)
        << QVariantMap{{QStringLiteral("stop"), static_cast<int>(t(3, 5, 9).toSecsSinceEpoch())},
                       {QStringLiteral("day"), -1}};
    QTest::newRow("blank subject is trimmed") << zone << appointment({}, subject(QStringLiteral("   ")))
                                              << QVariantMap{{QStringLiteral("subject"), QString()}};
    QTest::newRow("missing subject") << zone << appointment({})
                                     << QVariantMap{{QStringLiteral("subject"), QStringLiteral("No Subject")},
                                                    {QStringLiteral("start"), -1}};
    QTest::newRow("private") << zone << appointment({named(commonSet, 0x8506, "PT_BOOLEAN", true)}, subj)
                             << QVariantMap{{QStringLiteral("privat"), 1}};
    QTest::newRow("not private") << zone << appointment({named(commonSet, 0x8506, "PT_BOOLEAN", false)}, subj)
                                 << QVariantMap{{QStringLiteral("privat"), 0}};
    QTest::newRow("no private flag") << zone << appointment({}, subj) << QVariantMap{{QStringLiteral("privat"), -1}};
    QTest::newRow("categories trimmed one by one")
        << zone << appointment({keywords({QStringLiteral(" A"), QStringLiteral("B ")})}, subj)
        << QVariantMap{{QStringLiteral("category"), QStringLiteral("A; B;")}};
    QTest::newRow("categories keep every character")
        << zone
        << appointment(
               {keywords({QStringLiteral("B\u00fcro"), QStringLiteral("\u041f\u0440\u043e\u0435\u043a\u0442")})}, subj)
        << QVariantMap{
               {QStringLiteral("category"), QStringLiteral("B\u00fcro; \u041f\u0440\u043e\u0435\u043a\u0442;")}};
    QTest::newRow("location") << zone
                              << appointment(
                                     {named(appointmentSet, 0x8208, "PT_STRING8", QStringLiteral("  Raum 1  "))}, subj)
                              << QVariantMap{{QStringLiteral("city"), QStringLiteral("Raum 1")}};
    QTest::newRow("location in a code page")
        << zone
        << appointment({named(appointmentSet, 0x8208, "PT_STRING8",
                              QJsonObject{{QStringLiteral("hex"), QStringLiteral("4dfc6e6368656e")},
                                          {QStringLiteral("codepage"), 1252}})},
                       subj)
        << QVariantMap{{QStringLiteral("city"), QStringLiteral("M\u00fcnchen")}};
    QTest::newRow("busy status") << zone << appointment({named(appointmentSet, 0x8205, "PT_LONG", 2)}, subj)
                                 << QVariantMap{{QStringLiteral("status"), 2}};
    QTest::newRow("text keeps every character")
        << zone
        << appointment(
               {}, QJsonObject{{QStringLiteral("0x0037001F"),
                                QStringLiteral(" \u00dcbergabe \u2013 \u0412\u0441\u0442\u0440\u0435\u0447\u0430 ")},
                               {QStringLiteral("0x1000001F"),
                                QStringLiteral(
                                    "\n  Stra\u00dfe "
                                    "\u0417\u0434\u0440\u0430\u0432\u0441\u0442\u0432\u0443\u0439\u0442\u0435\n ")}})
        << QVariantMap{{QStringLiteral("subject"),
                        QStringLiteral("\u00dcbergabe \u2013 \u0412\u0441\u0442\u0440\u0435\u0447\u0430")},
                       {QStringLiteral("body"),
                        QStringLiteral(
                            "Stra\u00dfe \u0417\u0434\u0440\u0430\u0432\u0441\u0442\u0432\u0443\u0439\u0442\u0435")}};
    QTest::newRow("fields that are never filled")
        << zone << appointment({}, subj)
        << QVariantMap{{QStringLiteral("confirmed"), 1},    {QStringLiteral("pid"), -1},
                       {QStringLiteral("done"), -1},        {QStringLiteral("serie"), -1},
                       {QStringLiteral("status"), -1},      {QStringLiteral("day"), -1},
                       {QStringLiteral("body"), QString()}, {QStringLiteral("category"), QString()}};
}

void TstAppointmentMapping::readsRow()
{
    QFETCH(QByteArray, zone);
    QFETCH(QJsonObject, item);
    QFETCH(QVariantMap, expected);

    ZoneScope tz(zone);
    // A first item that carries every name, so all columns are resolvable in this store.
    ScannedStore store(calendar({everyName(), item}), ExScanProfile::appointments());
    QVERIFY(store.ok());
    QCOMPARE(store.folders().size(), 1);
    const std::vector<crmAppointmentItem> items = readAll(*store.folders().front());
    QCOMPARE(items.size(), std::size_t(2));
    const QVariantMap actual = fieldsOf(items[1]);
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QCOMPARE(actual.value(it.key()), it.value());
}

void TstAppointmentMapping::missingColumnsAreLogged()
{
    ScannedStore store(calendar({appointment({})}), ExScanProfile::appointments());
    LogLines log;
    const std::vector<crmAppointmentItem> items = readAll(*store.folders().front());
    QCOMPARE(items.size(), std::size_t(1));
    QCOMPARE(LogLines::count(QStringLiteral("Debug: PR_SUBJECT failed")), 1);
    QCOMPARE(LogLines::count(QStringLiteral("Debug: PR_BODY failed")), 1);
    QCOMPARE(LogLines::count(QStringLiteral("Debug: EX_TAG_COMMON_START  failed")), 2);
}

void TstAppointmentMapping::tagTable()
{
    ScannedStore store(calendar({everyName()}), ExScanProfile::appointments());
    LogLines log;
    xmapi::HResult hr = E_FAIL;
    const std::optional<CalendarTags> tags = GetPropIDS(*store.folders().front()->folder, hr);
    QVERIFY(tags);
    QCOMPARE(hr, S_OK);
    const xmapi::PropType types[] = {PT_SYSTIME,    PT_SYSTIME, PT_SYSTIME, PT_BOOLEAN, PT_BOOLEAN, PT_BOOLEAN,
                                     PT_MV_STRING8, PT_STRING8, PT_LONG,    PT_STRING8, PT_STRING8};
    for (int i = 0; i < 11; ++i) {
        QVERIFY(PROP_ID((*tags)[i]) >= 0x8000);
        QCOMPARE(PROP_TYPE((*tags)[i]), types[i]);
        QVERIFY(LogLines::contains(QStringLiteral("Debug: %1 -> GCPROP ID: %2").arg(i).arg((*tags)[i], 0, 16)));
    }
    QVERIFY(PROP_ID((*tags)[CalAllDay]) >= 0x8000);
    QCOMPARE(PROP_TYPE((*tags)[CalAllDay]), PT_BOOLEAN);
    QCOMPARE((*tags)[11], PR_SUBJECT_W);
    QCOMPARE((*tags)[12], PR_BODY_W);
    QVERIFY(LogLines::contains(QStringLiteral("Debug: 12 -> PROP ID: 1000001f")));
    QCOMPARE(LogLines::lines().last(), QStringLiteral("Debug: ExJob::GetPropIDS"));
}

void TstAppointmentMapping::unknownNamesNeverMatch()
{
    // Nothing is created: in a store without appointment properties the named columns stay empty
    // and a row still gives its subject.
    ScannedStore store(calendar({appointment({}, subject(QStringLiteral("nur Text")))}), ExScanProfile::appointments());
    CalendarTags tags{};
    const xmapi::HResult hr = GetCalenderProps(*store.folders().front()->folder, tags);
    QVERIFY(xmapi::succeeded(hr));
    for (int i = 0; i < 11; ++i)
        QCOMPARE(PROP_ID(tags[i]), 0u);
    const std::vector<crmAppointmentItem> items = readAll(*store.folders().front());
    QCOMPARE(items.size(), std::size_t(1));
    QCOMPARE(items[0].subject, QStringLiteral("nur Text"));
    QCOMPARE(items[0].start, -1);
    QCOMPARE(items[0].privat, -1);
}

void TstAppointmentMapping::tagTableFailures()
{
    {
        ScannedStore store(calendar({everyName()}, QJsonObject{{QStringLiteral("fail"), QStringLiteral("names")}}),
                           ExScanProfile::appointments());
        LogLines log;
        xmapi::HResult hr = S_OK;
        QVERIFY(!GetPropIDS(*store.folders().front()->folder, hr));
        QVERIFY(xmapi::failed(hr));
        QVERIFY(LogLines::contains(QStringLiteral("Critical: GetCalenderProps failed")));
    }
    {
        // The store hands back fewer tags than asked for: the rest never match, not even with the
        // tags of a folder read before.
        ScannedStore store(calendar({everyName()}, QJsonObject{{QStringLiteral("namesReturned"), 5}}),
                           ExScanProfile::appointments());
        LogLines log;
        CalendarTags tags;
        tags.fill(PROP_TAG(PT_LONG, 0x8123));
        QVERIFY(xmapi::succeeded(GetCalenderProps(*store.folders().front()->folder, tags)));
        QVERIFY(LogLines::contains(QStringLiteral("Debug: PROPS COUNT MISMATCH!\n")));
        QVERIFY(PROP_ID(tags[4]) != 0);
        for (int i = 5; i < 11; ++i)
            QCOMPARE(PROP_ID(tags[i]), 0u);
        QCOMPARE(tags[11], PR_SUBJECT_W);
    }
}

QTEST_GUILESS_MAIN(TstAppointmentMapping)
#include "tst_appointmentmapping.moc"
