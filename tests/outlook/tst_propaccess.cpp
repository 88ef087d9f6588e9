// Property access on memory fixtures: named properties, value conversions, the time conversions
// of the importers in two zones.
#include "fixturefile.h"
#include "logcapture.h"
#include "propaccess.h"

#include <QDateTime>
#include <QTest>
#include <QTimeZone>

#include <ctime>

namespace {

const char* const kGuidAddress = "{00062004-0000-0000-C000-000000000046}";

// The first folder below the top of the first store of a fixture.
struct Opened {
    std::unique_ptr<xmapi::Session> session;
    std::unique_ptr<xmapi::MsgStore> store;
    std::unique_ptr<xmapi::Folder> folder;
};

Opened openFirstFolder(const QByteArray& json)
{
    Opened o;
    if (xmapi::failed(xmapi::logonMemoryFixtureText(json.toStdString(), o.session)))
        return o;
    std::unique_ptr<xmapi::Table> stores;
    if (xmapi::failed(o.session->GetMsgStoresTable(0, stores)))
        return o;
    xmapi::RowSet rows;
    if (xmapi::HrQueryAllRows(*stores, {PR_ENTRYID}, rows) != S_OK || rows.empty())
        return o;
    if (xmapi::failed(o.session->OpenMsgStore(0, rows[0][0].bin, MAPI_BEST_ACCESS, o.store)))
        return o;
    xmapi::PropValue top;
    if (xmapi::failed(xmapi::HrGetOneProp(*o.store, PR_IPM_SUBTREE_ENTRYID, top)))
        return o;
    std::uint32_t type = 0;
    std::unique_ptr<xmapi::MapiProp> obj;
    if (xmapi::failed(o.store->OpenEntry(top.bin, 0, type, obj)))
        return o;
    auto root = xmapi::objectCast<xmapi::Folder>(std::move(obj));
    std::unique_ptr<xmapi::Table> h;
    if (!root || xmapi::failed(root->GetHierarchyTable(0, h)) || xmapi::HrQueryAllRows(*h, {PR_ENTRYID}, rows) != S_OK ||
        rows.empty())
        return o;
    if (xmapi::failed(root->OpenEntry(rows[0][0].bin, 0, type, obj)))
        return o;
    o.folder = xmapi::objectCast<xmapi::Folder>(std::move(obj));
    return o;
}

xmapi::Row firstRow(xmapi::Folder& folder, const std::vector<xmapi::PropTag>& columns)
{
    std::unique_ptr<xmapi::Table> t;
    xmapi::RowSet rows;
    if (xmapi::failed(folder.GetContentsTable(MAPI_UNICODE, t)) || xmapi::failed(t->SetColumns(columns, 0)) ||
        t->QueryRows(1, 0, rows) != S_OK || rows.empty())
        return {};
    return rows[0];
}

void setZone(const char* zone)
{
    qputenv("TZ", zone);
    tzset();
}

qint64 localSecs(int y, int mo, int d, int h, int mi, int s)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime).toSecsSinceEpoch();
}

} // namespace

class TestPropAccess : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { setZone("UTC"); }

    void contactNamedProps();
    void unknownNameHasIdZero();
    void countMismatchIsLogged();
    void createGivesFreshStableIds();
    void resolutionFailure();
    void typeForcingAndPresence();
    void texts_data();
    void texts();
    void joinedMultiValues_data();
    void joinedMultiValues();
    void holderLogsAndOwns();
    void times_data();
    void times();
    void taskFixture();
};

void TestPropAccess::contactNamedProps()
{
    // The fixture's items carry e-mail 1 and 3 and the IM address; each resolves to its own id.
    Opened o = openFirstFolder(QByteArray(R"({"stores":[{"name":"S","folders":[{"name":"K","class":"IPF.Contact","items":[
        {"props":{"0x3001001F":"Max"},"named":[
          {"guid":")") + kGuidAddress + R"(","id":"0x8083","type":"PT_STRING8","value":"max@example.com"},
          {"guid":")" + kGuidAddress + R"(","id":"0x80A3","type":"PT_UNICODE","value":"m3@example.com"},
          {"guid":")" + kGuidAddress + R"(","id":"0x8093","type":"PT_STRING8","value":"m2@example.com"},
          {"guid":")" + kGuidAddress + R"(","id":"0x8062","type":"PT_STRING8","value":"max.im"}]}]}]}]})");
    QVERIFY(o.folder);
    LogCapture log;
    std::vector<xmapi::PropTag> tags;
    QCOMPARE(GetContactsProps(*o.folder, tags), S_OK);
    QCOMPARE(tags.size(), std::size_t(4));
    for (auto t : tags) {
        QCOMPARE(PROP_TYPE(t), xmapi::PropType(PT_STRING8));
        QVERIFY(PROP_ID(t) >= 0x8000);
    }
    QCOMPARE(log.lines().at(0), QStringLiteral("Debug: GetContactsProps HRESULT: 0"));
    QCOMPARE(log.lines().at(1), QStringLiteral("Debug: 0 -> GCPROP ID: ") + QString::number(tags[0], 16));

    const auto columns = ContactColumns(tags);
    QCOMPARE(columns.size(), std::size_t(48));
    const xmapi::Row row = firstRow(*o.folder, columns);
    QCOMPARE(row.size(), std::size_t(48));
    QVERIFY(HasColumn(row, 3, PR_DISPLAY_NAME_W));
    QVERIFY(!HasColumn(row, 0, 0x3A06001F)); // no given name: error type comes back
    QCOMPARE(PROP_TYPE(row[0].tag), xmapi::PropType(PT_ERROR));
    QCOMPARE(PROP_ID(row[0].tag), 0x3A06u);
    QVERIFY(HasColumn(row, 9, tags[0]));
    QCOMPARE(TextOf(row[9]), QStringLiteral("max@example.com"));
    QCOMPARE(TextOf(row[10]), QStringLiteral("m2@example.com"));
    // Stored as Unicode, asked for as 8-bit: converted, not lost.
    QVERIFY(HasColumn(row, 11, tags[2]));
    QCOMPARE(TextOf(row[11]), QStringLiteral("m3@example.com"));
    QCOMPARE(TextOf(row[12]), QStringLiteral("max.im"));
}

void TestPropAccess::unknownNameHasIdZero()
{
    // Only e-mail 1 and 2 are known to this store: 3 and IM come back with id 0 and never match.
    Opened o = openFirstFolder(QByteArray(R"({"stores":[{"name":"S","names":[{"guid":")") + kGuidAddress +
                               R"(","id":"0x8083"},{"guid":")" + kGuidAddress + R"(","id":"0x8093"}],
        "folders":[{"name":"K","items":[{"named":[{"guid":")" + kGuidAddress +
                               R"(","id":"0x8083","type":"PT_STRING8","value":"a@b.c"}]}]}]}]})");
    QVERIFY(o.folder);
    std::vector<xmapi::PropTag> tags;
    const xmapi::HResult hr = GetContactsProps(*o.folder, tags);
    QCOMPARE(hr, MAPI_W_ERRORS_RETURNED);
    QVERIFY(xmapi::succeeded(hr));
    QCOMPARE(tags.size(), std::size_t(4));
    QCOMPARE(tags[2], xmapi::PropTag(PT_STRING8));
    QCOMPARE(tags[3], xmapi::PropTag(PT_STRING8));
    const xmapi::Row row = firstRow(*o.folder, ContactColumns(tags));
    QCOMPARE(TextOf(row[9]), QStringLiteral("a@b.c"));
    QVERIFY(!HasColumn(row, 10, tags[1])); // known name, but this item has no value
    QVERIFY(!HasColumn(row, 11, tags[2]));
    QVERIFY(!HasColumn(row, 12, tags[3]));
}

void TestPropAccess::countMismatchIsLogged()
{
    Opened o = openFirstFolder(R"({"stores":[{"name":"S","namesReturned":3,"folders":[{"name":"K"}]}]})");
    QVERIFY(o.folder);
    LogCapture log;
    std::vector<xmapi::PropTag> tags;
    QVERIFY(xmapi::succeeded(GetContactsProps(*o.folder, tags)));
    QCOMPARE(tags.size(), std::size_t(3));
    QVERIFY(log.lines().contains(QStringLiteral("Debug: PROPS COUNT MISMATCH!\n")));
    QCOMPARE(log.lines().filter(QStringLiteral("GCPROP ID")).size(), 3);
    // The columns still number 48; the missing named tag is id 0.
    QCOMPARE(ContactColumns(tags).size(), std::size_t(48));
    QCOMPARE(ContactColumns(tags)[12], xmapi::PropTag(PT_STRING8));
}

void TestPropAccess::createGivesFreshStableIds()
{
    Opened o = openFirstFolder(QByteArray(R"({"stores":[{"name":"S","folders":[{"name":"K","items":[{"named":[
        {"guid":"{00062003-0000-0000-C000-000000000046}","id":"0x8101","type":"PT_LONG","value":1}]}]}]}]})"));
    QVERIFY(o.folder);
    const xmapi::Guid task = xmapi::PSETID_Task();
    const std::vector<xmapi::NamedProp> names = {xmapi::NamedProp::byId(task, 0x8101),
                                                 xmapi::NamedProp::byId(task, 0x8102),
                                                 xmapi::NamedProp::byName(xmapi::PS_PUBLIC_STRINGS(), "Keywords")};
    std::vector<xmapi::PropTag> created;
    QCOMPARE(o.folder->GetIDsFromNames(names, MAPI_CREATE, created), S_OK);
    QCOMPARE(created.size(), std::size_t(3));
    QCOMPARE(PROP_ID(created[0]), 0x8000u); // the name the item carries
    QVERIFY(PROP_ID(created[1]) > 0x8000 && PROP_ID(created[2]) > 0x8000);
    QVERIFY(created[1] != created[2]);
    // Asked again, on another object of the same store, without MAPI_CREATE: the same ids.
    std::vector<xmapi::PropTag> again;
    QCOMPARE(o.store->GetIDsFromNames(names, 0, again), S_OK);
    QCOMPARE(again, created);
    // No item carries a created id.
    const xmapi::Row row = firstRow(*o.folder, {CHANGE_PROP_TYPE(created[1], PT_DOUBLE), CHANGE_PROP_TYPE(created[0], PT_LONG)});
    QVERIFY(row[0].isError());
    QCOMPARE(row[1].l, 1);
}

void TestPropAccess::resolutionFailure()
{
    Opened o = openFirstFolder(R"({"stores":[{"name":"S","fail":"names","failCode":"0x80040102","folders":[{"name":"K"}]}]})");
    QVERIFY(o.folder);
    LogCapture log;
    std::vector<xmapi::PropTag> tags = {1, 2};
    QCOMPARE(GetContactsProps(*o.folder, tags), MAPI_E_NO_SUPPORT);
    QCOMPARE(tags, (std::vector<xmapi::PropTag>{1, 2})); // left unchanged
    QCOMPARE(log.lines(), QStringList{QStringLiteral("Debug: GetContactsProps HRESULT: 80040102")});
}

void TestPropAccess::typeForcingAndPresence()
{
    Opened o = openFirstFolder(R"({"stores":[{"name":"S","folders":[{"name":"K","items":[{"props":{
        "0x0037001F":"Betreff","0x3A58101F":["a","b"],"0x0E080003":42,"0x3A420040":"1980-05-04T22:00:00Z",
        "0x1000001F":"x","0x0017000A":"0x8007000E"}}]}]}]})");
    QVERIFY(o.folder);
    const xmapi::Row row = firstRow(*o.folder, {0x0037001E, 0x3A58101E, 0x0E08001F, 0x3A420000, 0x00170003, 0x0E060040});
    QVERIFY(HasColumn(row, 0, 0x0037001E)); // 8-bit requested from a Unicode value: converted
    QCOMPARE(TextOf(row[0]), QStringLiteral("Betreff"));
    QVERIFY(HasColumn(row, 1, 0x3A58101E));
    QCOMPARE(row[2].tag, xmapi::PropTag(0x0E08000A)); // long asked as string: absent
    QCOMPARE(row[2].l, MAPI_E_NOT_FOUND);
    QCOMPARE(row[3].tag, xmapi::PropTag(0x3A420040)); // PT_UNSPECIFIED: stored type
    QCOMPARE(row[4].tag, xmapi::PropTag(0x0017000A)); // stored error value
    QCOMPARE(row[4].l, MAPI_E_NOT_ENOUGH_MEMORY);
    QVERIFY(!HasColumn(row, 5, 0x0E060040));
    QVERIFY(!HasColumn(row, 9, 0x0E060040)); // beyond the row
    xmapi::PropValue v;
    QCOMPARE(xmapi::HrGetOneProp(*o.folder, PR_SUBJECT_W, v), MAPI_E_NOT_FOUND);
}

void TestPropAccess::texts_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<xmapi::PropTag>("tag");
    QTest::addColumn<QString>("text");
    QTest::newRow("cyrillic unicode") << QByteArray(R"("  Пётр Чайковский ")") << xmapi::PropTag(0x3001001F)
                                      << QStringLiteral("Пётр Чайковский");
    QTest::newRow("euro in 1252") << QByteArray(R"({"hex":"3130308020","codepage":1252})") << xmapi::PropTag(0x3001001E)
                                  << QStringLiteral("100€");
    QTest::newRow("cyrillic in 1251") << QByteArray(R"({"hex":"CFB8F2F0","codepage":1251})")
                                      << xmapi::PropTag(0x3001001E) << QStringLiteral("Пётр");
    QTest::newRow("shift-jis") << QByteArray(R"({"hex":"93FA967B","codepage":932})") << xmapi::PropTag(0x3001001E)
                               << QStringLiteral("日本");
    QTest::newRow("umlaut latin-1 range") << QByteArray(R"("Jürgen Weiß")") << xmapi::PropTag(0x3001001E)
                                          << QStringLiteral("Jürgen Weiß");
    QTest::newRow("cut at NUL") << QByteArray(R"({"hex":"61620063","codepage":1252})") << xmapi::PropTag(0x3001001E)
                                << QStringLiteral("ab");
    QTest::newRow("not a string") << QByteArray("5") << xmapi::PropTag(0x30010003) << QString();
}

void TestPropAccess::texts()
{
    QFETCH(QByteArray, value);
    QFETCH(xmapi::PropTag, tag);
    QFETCH(QString, text);
    Opened o = openFirstFolder(R"({"stores":[{"name":"S","folders":[{"name":"K","items":[{"props":{")" +
                               QByteArray::number(tag, 16).prepend("0x") + R"(":)" + value + "}}]}]}]}");
    QVERIFY(o.folder);
    const xmapi::Row row = firstRow(*o.folder, {tag, CHANGE_PROP_TYPE(tag, PT_UNICODE)});
    QVERIFY(HasColumn(row, 0, tag));
    QCOMPARE(TextOf(row[0]), text);
    if (PROP_TYPE(tag) == PT_STRING8)
        QCOMPARE(TextOf(row[1]), text); // the same text whichever string type is asked for
}

void TestPropAccess::joinedMultiValues_data()
{
    QTest::addColumn<QByteArray>("values");
    QTest::addColumn<QString>("joined");
    QTest::newRow("two, second padded") << QByteArray(R"(["Anna","  Ben  "])") << QStringLiteral("Anna; Ben;");
    QTest::newRow("one") << QByteArray(R"(["a"])") << QStringLiteral("a;");
    QTest::newRow("none") << QByteArray("[]") << QString();
    QTest::newRow("blank entries") << QByteArray(R"([" ","b"])") << QStringLiteral("; b;");
    QTest::newRow("non-latin") << QByteArray(R"(["Иван","José"])") << QStringLiteral("Иван; José;");
}

void TestPropAccess::joinedMultiValues()
{
    QFETCH(QByteArray, values);
    QFETCH(QString, joined);
    Opened o = openFirstFolder(R"({"stores":[{"name":"S","folders":[{"name":"K","items":[{"props":{"0x3A58101F":)" +
                               values + R"(},"named":[{"guid":"{00020329-0000-0000-C000-000000000046}","name":"Keywords",
                               "type":"PT_MV_STRING8","value":)" + values + "}]}]}]}]}");
    QVERIFY(o.folder);
    std::vector<xmapi::PropTag> kw;
    QCOMPARE(o.folder->GetIDsFromNames({xmapi::NamedProp::byName(xmapi::PS_PUBLIC_STRINGS(), "Keywords")}, 0, kw), S_OK);
    const xmapi::Row row = firstRow(*o.folder, {0x3A58101F, CHANGE_PROP_TYPE(kw[0], PT_MV_STRING8)});
    QCOMPARE(JoinedText(row[0]), joined);
    QCOMPARE(JoinedText(row[1]), joined);
}

void TestPropAccess::holderLogsAndOwns()
{
    Opened o = openFirstFolder(R"({"stores":[{"name":"S","folders":[{"name":"Kontakte"}]}]})");
    QVERIFY(o.folder);
    LogCapture log;
    {
        __LPSPropValue holder;
        QCOMPARE(HrGetOneProp(*o.folder, PR_DISPLAY_NAME_W, holder), S_OK);
        QVERIFY(holder);
        QCOMPARE(QString::fromStdString(holder->str), QStringLiteral("Kontakte"));
    }
    {
        __LPSPropValue empty;
        QCOMPARE(HrGetOneProp(*o.folder, PR_SUBJECT_W, empty), MAPI_E_NOT_FOUND);
        QVERIFY(!empty);
    }
    QCOMPARE(log.lines(), QStringList({QStringLiteral("Debug: __LPSPropValue::~__LPSPropValue"),
                                       QStringLiteral("Debug: __LPSPropValue::~__LPSPropValue")}));
}

void TestPropAccess::times_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QByteArray>("utc");
    QTest::addColumn<qint64>("crm");       // CrmTime
    QTest::addColumn<qint64>("unix");      // ToUnixTime with offset 0
    QTest::addColumn<qint64>("unixPlus2"); // ToUnixTime with offset 2
    QTest::addColumn<qint64>("local");     // ToLocalUnixTime
    const qint64 none = NoTime;

    // A birthday stored as 22:00 UTC the evening before: the wall-clock fields read as local time.
    setZone("Europe/Berlin");
    QTest::newRow("Berlin summer birthday") << QByteArray("Europe/Berlin") << QByteArray("1980-05-04T22:00:00Z")
                                            << localSecs(1980, 5, 4, 22, 0, 0) + 7200
                                            << localSecs(1980, 5, 4, 22, 0, 0)
                                            << localSecs(1980, 5, 4, 22, 0, 0) + 7200 << qint64(326325600);
    QTest::newRow("Berlin winter") << QByteArray("Europe/Berlin") << QByteArray("2013-03-04T12:30:05Z")
                                   << qint64(1362396605 + 7200) << qint64(1362396605)
                                   << qint64(1362396605 + 7200) << qint64(1362400205);
    QTest::newRow("UTC") << QByteArray("UTC") << QByteArray("2013-03-04T12:30:05Z") << qint64(1362400205 + 7200)
                         << qint64(1362400205) << qint64(1362400205 + 7200) << qint64(1362400205);
    QTest::newRow("UTC before 1970") << QByteArray("UTC") << QByteArray("1965-07-01T00:00:00Z") << none << none << none
                                     << none;
    QTest::newRow("Berlin before 1970") << QByteArray("Europe/Berlin") << QByteArray("1969-12-31T21:30:00Z") << none
                                        << none << none << none;
    // 23:30 read as Berlin time is 22:30 UTC, 1969; two hours later it is 1970.
    QTest::newRow("Berlin late 1969") << QByteArray("Europe/Berlin") << QByteArray("1969-12-31T23:30:00Z")
                                      << qint64(1800) << none << none << none;
    // 00:30 read as Berlin time lies before 1970; two hours later it does not.
    QTest::newRow("Berlin shortly after epoch") << QByteArray("Europe/Berlin") << QByteArray("1970-01-01T00:30:00Z")
                                                << qint64(5400) << none << none << qint64(1800);
    QTest::newRow("UTC 4501 no date") << QByteArray("UTC") << QByteArray("4501-01-01T00:00:00Z") << none << none << none
                                      << none;
    QTest::newRow("Berlin 4501 no date") << QByteArray("Europe/Berlin") << QByteArray("4501-01-01T00:00:00Z") << none
                                         << none << none << none;
    // A local time the clocks skip is the moment of the switch, never "no time": 02:30 on the
    // last Sunday of March in Berlin, and midnight where the clocks go forward at midnight.
    QTest::newRow("Berlin skipped hour") << QByteArray("Europe/Berlin") << QByteArray("2026-03-29T02:30:00Z")
                                         << qint64(1774746000 + 7200) << qint64(1774746000)
                                         << qint64(1774746000 + 7200) << qint64(1774751400);
    QTest::newRow("Santiago skipped midnight") << QByteArray("America/Santiago") << QByteArray("2026-09-06T00:00:00Z")
                                               << qint64(1788667200 + 7200) << qint64(1788667200)
                                               << qint64(1788667200 + 7200) << qint64(1788652800);
    QTest::newRow("UTC last second") << QByteArray("UTC") << QByteArray("2106-02-07T06:28:14Z") << none
                                     << qint64(4294967294LL) << qint64(4294967294LL + 7200 - 4294967296LL)
                                     << qint64(4294967294LL);
    setZone("UTC");
}

void TestPropAccess::times()
{
    QFETCH(QByteArray, zone);
    QFETCH(QByteArray, utc);
    QFETCH(qint64, crm);
    QFETCH(qint64, unix);
    QFETCH(qint64, unixPlus2);
    QFETCH(qint64, local);
    setZone(zone.constData());
    // The fixture format's own time parsing feeds the same conversion.
    Opened o = openFirstFolder(R"({"stores":[{"name":"S","folders":[{"name":"K","items":[{"props":{"0x3A420040":")" +
                               utc + R"("}}]}]}]})");
    QVERIFY(o.folder);
    const xmapi::Row row = firstRow(*o.folder, {0x3A420040});
    QVERIFY(HasColumn(row, 0, 0x3A420040));
    const xmapi::FileTime t = row[0].ft;
    QCOMPARE(qint64(CrmTime(t)), crm);
    QCOMPARE(qint64(ToUnixTime(t, 0)), unix);
    QCOMPARE(qint64(ToUnixTime(t, 2)), unixPlus2);
    QCOMPARE(qint64(ToLocalUnixTime(t)), local);
    // Out of range reads as -1 in the signed fields of the request records.
    if (crm == NoTime)
        QCOMPARE(qint32(CrmTime(t)), -1);
}

void TestPropAccess::taskFixture()
{
    // Task properties come from fixtures only (no sample file holds a task).
    const char* common = "{00062008-0000-0000-C000-000000000046}";
    const char* task = "{00062003-0000-0000-C000-000000000046}";
    Opened o = openFirstFolder(QByteArray(R"({"stores":[{"name":"S","folders":[{"name":"Aufgaben","class":"IPF.Task","items":[
        {"props":{"0x0037001F":"Angebot","0x00260003":1},"named":[
          {"guid":")") + task + R"(","id":"0x8102","type":"PT_DOUBLE","value":0.755},
          {"guid":")" + task + R"(","id":"0x811C","type":"PT_BOOLEAN","value":true},
          {"guid":")" + task + R"(","id":"0x8110","type":"PT_LONG","value":90},
          {"guid":")" + task + R"(","id":"0x8105","type":"PT_SYSTIME","value":"2024-03-05T00:00:00Z"},
          {"guid":")" + common + R"(","id":"0x853A","type":"PT_MV_UNICODE","value":[" Anna  Berg ","A B C"]}]}]}]}]})");
    QVERIFY(o.folder);
    const xmapi::Guid t = xmapi::PSETID_Task();
    std::vector<xmapi::PropTag> tags;
    QCOMPARE(ResolveNamedTags(*o.folder,
                              {xmapi::NamedProp::byId(t, 0x8102), xmapi::NamedProp::byId(t, 0x811C),
                               xmapi::NamedProp::byId(t, 0x8110), xmapi::NamedProp::byId(t, 0x8105),
                               xmapi::NamedProp::byId(xmapi::PSETID_Common(), 0x853A),
                               xmapi::NamedProp::byId(t, 0x8111)},
                              {PT_DOUBLE, PT_BOOLEAN, PT_LONG, PT_SYSTIME, PT_MV_UNICODE, PT_LONG}, MAPI_CREATE, tags,
                              false),
             S_OK);
    std::vector<xmapi::PropTag> columns = {PR_SUBJECT_W, PR_PRIORITY};
    columns.insert(columns.end(), tags.begin(), tags.end());
    const xmapi::Row row = firstRow(*o.folder, columns);
    QCOMPARE(TextOf(row[0]), QStringLiteral("Angebot"));
    QCOMPARE(LongOf(row[1]), 1);
    QVERIFY(HasColumn(row, 2, tags[0]));
    QCOMPARE(DoubleOf(row[2]), 0.755);
    QVERIFY(BoolOf(row[3]));
    QCOMPARE(LongOf(row[4]), 90);
    setZone("Europe/Berlin");
    QCOMPARE(qint64(ToUnixTime(row[5].ft, 0)), localSecs(2024, 3, 5, 0, 0, 0));
    QCOMPARE(row[6].mvStr.size(), std::size_t(2));
    QCOMPARE(QString::fromStdString(row[6].mvStr[0]), QStringLiteral(" Anna  Berg "));
    QVERIFY(!HasColumn(row, 7, tags[5])); // created name: no item has it
}

QTEST_GUILESS_MAIN(TestPropAccess)
#include "tst_propaccess.moc"
