// The same interface semantics from both back-ends: a fixture and a sample file of the same shape
// (a store with "Deleted Items" and a contacts folder).
#include "storewalk.h"

#include <QDir>
#include <QTest>

namespace {

const char* const kFixture = R"({"stores":[{"name":"Personal folders","folders":[
    {"name":"Deleted Items"},
    {"name":"Contacts","class":"IPF.Contact","items":[
        {"props":{"0x3001001F":"Sebastian Wright","0x0037001F":"Sebastian Wright","0x001A001F":"IPM.Contact"},
         "named":[{"guid":"{00062004-0000-0000-C000-000000000046}","id":"0x8083","type":"PT_UNICODE",
                   "value":"SebastianWright@dayrep.com"}]},
        {"props":{"0x3001001F":"Wichert Kroos","0x0037001F":"Wichert Kroos","0x001A001F":"IPM.Contact"}}]}]}]})";

std::unique_ptr<xmapi::Session> logon(const QString& backend)
{
    std::unique_ptr<xmapi::Session> s;
    xmapi::HResult hr = 0;
    if (backend == QLatin1String("memory"))
        hr = xmapi::logonMemoryFixtureText(kFixture, s);
    else
        hr = xmapi::logonPstFiles(
            {QDir(qEnvironmentVariable("KELVOR_TESTDATA")).filePath(QStringLiteral("contacts/SampleContacts1.pst")).toStdString()},
            s);
    return xmapi::succeeded(hr) ? std::move(s) : nullptr;
}

} // namespace

class TestBackends : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void semantics_data();
    void semantics();
    void namedProperties_data() { semantics_data(); }
    void namedProperties();
    void entryIds_data() { semantics_data(); }
    void entryIds();
};

void TestBackends::semantics_data()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("memory") << QStringLiteral("memory");
    QTest::newRow("pst") << QStringLiteral("pst");
}

void TestBackends::semantics()
{
    QFETCH(QString, backend);
    auto session = logon(backend);
    QVERIFY(session);

    // Stores table: one row, display name and entry id in the order asked for.
    std::unique_ptr<xmapi::Table> storesTable;
    QCOMPARE(session->GetMsgStoresTable(0, storesTable), S_OK);
    xmapi::RowSet storeRows;
    QCOMPARE(xmapi::HrQueryAllRows(*storesTable, {PR_ENTRYID, PR_DISPLAY_NAME_W, 0x66660003}, storeRows), S_OK);
    QCOMPARE(storeRows.size(), std::size_t(1));
    QCOMPARE(storeRows[0][0].tag, xmapi::PropTag(PR_ENTRYID));
    QCOMPARE(qs(storeRows[0][1].str), QStringLiteral("Personal folders"));
    QCOMPARE(storeRows[0][2].tag, xmapi::PropTag(0x6666000A)); // absent: same id, error type
    std::unique_ptr<xmapi::MsgStore> store;
    QVERIFY(xmapi::failed(session->OpenMsgStore(0, xmapi::EntryId{1, 2, 3}, MAPI_BEST_ACCESS, store)));
    QVERIFY(!store);

    auto stores = openStores(*session);
    QCOMPARE(stores.size(), std::size_t(1));
    xmapi::Folder& top = *stores[0].top;
    QCOMPARE(top.objectType(), xmapi::PropType(MAPI_FOLDER));

    // Hierarchy table: default columns, then the scan's four; one row per call, then empty sets.
    std::unique_ptr<xmapi::Table> h;
    QCOMPARE(top.GetHierarchyTable(MAPI_UNICODE, h), S_OK);
    std::uint32_t count = 0;
    QCOMPARE(h->GetRowCount(0, count), S_OK);
    QCOMPARE(count, 2u);
    xmapi::RowSet rows;
    QCOMPARE(h->QueryRows(1, 0, rows), S_OK);
    QCOMPARE(rows.size(), std::size_t(1));
    QCOMPARE(rows[0][0].tag, xmapi::PropTag(PR_DISPLAY_NAME_W));
    QCOMPARE(qs(rows[0][0].str), QStringLiteral("Deleted Items"));
    QCOMPARE(h->SetColumns({PR_DISPLAY_NAME_W, PR_ENTRYID, PR_CONTAINER_CLASS_W, PR_CONTENT_COUNT}, 0), S_OK);
    QCOMPARE(h->QueryRows(1, 0, rows), S_OK);
    QCOMPARE(rows.size(), std::size_t(1));
    QCOMPARE(qs(rows[0][0].str), QStringLiteral("Contacts"));
    QCOMPARE(qs(rows[0][2].str), QStringLiteral("IPF.Contact"));
    QCOMPARE(rows[0][3].tag, xmapi::PropTag(PR_CONTENT_COUNT));
    const xmapi::EntryId contactsId = rows[0][1].bin;
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(h->QueryRows(1, 0, rows), S_OK);
        QVERIFY(rows.empty());
    }
    QCOMPARE(h->SeekToBeginning(), S_OK);
    QCOMPARE(h->QueryRows(5, 0, rows), S_OK);
    QCOMPARE(rows.size(), std::size_t(2));
    QCOMPARE(rows[0][3].tag, xmapi::PropTag(PR_CONTENT_COUNT));
    QCOMPARE(rows[0][3].l, 0);
    QCOMPARE(rows[1][1].bin, contactsId); // entry ids are stable
    QCOMPARE(rows[1][3].l, static_cast<std::int32_t>(allRows(*openFolder(top, contactsId), {PR_ENTRYID}).size()));
}

void TestBackends::namedProperties()
{
    QFETCH(QString, backend);
    auto session = logon(backend);
    QVERIFY(session);
    auto stores = openStores(*session);
    QCOMPARE(stores.size(), std::size_t(1));
    auto contacts = childNamed(*stores[0].top, QStringLiteral("Contacts"));
    QVERIFY(contacts);
    const xmapi::Guid address = xmapi::PSETID_Address();
    const std::vector<xmapi::NamedProp> names = {xmapi::NamedProp::byId(address, 0x8083),
                                                 xmapi::NamedProp::byId(address, 0x8093),
                                                 xmapi::NamedProp::byName(xmapi::PS_PUBLIC_STRINGS(), "Kelvor")};
    std::vector<xmapi::PropTag> tags;
    QCOMPARE(contacts->GetIDsFromNames(names, 0, tags), MAPI_W_ERRORS_RETURNED);
    QCOMPARE(tags.size(), std::size_t(3));
    QVERIFY(PROP_ID(tags[0]) >= 0x8000);
    QCOMPARE(PROP_TYPE(tags[0]), xmapi::PropType(PT_UNSPECIFIED));
    QCOMPARE(tags[1], xmapi::PropTag(PT_ERROR)); // id 0, error type
    QCOMPARE(tags[2], xmapi::PropTag(PT_ERROR));

    std::vector<xmapi::PropTag> created;
    QCOMPARE(contacts->GetIDsFromNames(names, MAPI_CREATE, created), S_OK);
    QCOMPARE(created[0], tags[0]);
    QVERIFY(PROP_ID(created[1]) > 0x8000 && PROP_ID(created[2]) > 0x8000 && created[1] != created[2]);
    std::vector<xmapi::PropTag> again;
    QCOMPARE(stores[0].store->GetIDsFromNames(names, 0, again), S_OK); // store-wide, and kept
    QCOMPARE(again, created);

    // Values: the known name by any string type; a created one on no item.
    const auto rows = allRows(*contacts, {PR_DISPLAY_NAME_W, CHANGE_PROP_TYPE(tags[0], PT_STRING8),
                                          CHANGE_PROP_TYPE(created[1], PT_STRING8)});
    QVERIFY(rows.size() >= 2);
    QCOMPARE(qs(rows[0][0].str), QStringLiteral("Sebastian Wright"));
    QCOMPARE(rows[0][1].tag, CHANGE_PROP_TYPE(tags[0], PT_STRING8));
    QCOMPARE(qs(rows[0][1].str), QStringLiteral("SebastianWright@dayrep.com"));
    QVERIFY(rows[0][2].isError());
    QVERIFY(rows[1][2].isError());
}

void TestBackends::entryIds()
{
    QFETCH(QString, backend);
    auto session = logon(backend);
    QVERIFY(session);
    auto stores = openStores(*session);
    auto contacts = childNamed(*stores[0].top, QStringLiteral("Contacts"));
    QVERIFY(contacts);

    // Two contents tables of one folder read independently.
    std::unique_ptr<xmapi::Table> a, b;
    QCOMPARE(contacts->GetContentsTable(MAPI_UNICODE, a), S_OK);
    QCOMPARE(contacts->GetContentsTable(MAPI_UNICODE, b), S_OK);
    QCOMPARE(a->SetColumns({PR_ENTRYID, PR_SUBJECT_W, PR_MESSAGE_CLASS_W}, 0), S_OK);
    QCOMPARE(b->SetColumns({PR_SUBJECT_W}, 0), S_OK);
    xmapi::RowSet ra, rb;
    QCOMPARE(a->QueryRows(1, 0, ra), S_OK);
    QCOMPARE(b->QueryRows(10, 0, rb), S_OK);
    QVERIFY(rb.size() >= 2);
    QCOMPARE(ra.size(), std::size_t(1));
    QCOMPARE(ra[0][1].str, rb[0][0].str);
    QCOMPARE(qs(ra[0][2].str), QStringLiteral("IPM.Contact"));

    // A message's entry id opens it, from its folder and from the store, as often as asked.
    for (int i = 0; i < 2; ++i) {
        std::uint32_t type = 0;
        std::unique_ptr<xmapi::MapiProp> obj;
        QCOMPARE(i == 0 ? contacts->OpenEntry(ra[0][0].bin, 0, type, obj)
                        : stores[0].store->OpenEntry(ra[0][0].bin, 0, type, obj),
                 S_OK);
        QCOMPARE(type, xmapi::PropType(MAPI_MESSAGE));
        QVERIFY(!xmapi::objectCast<xmapi::Folder>(std::move(obj))); // not a folder (and released)
    }
    std::uint32_t type = 0;
    std::unique_ptr<xmapi::MapiProp> obj;
    QCOMPARE(contacts->OpenEntry(ra[0][0].bin, 0, type, obj), S_OK);
    auto message = xmapi::objectCast<xmapi::Message>(std::move(obj));
    QVERIFY(message);
    xmapi::PropValue subject;
    QCOMPARE(xmapi::HrGetOneProp(*message, PR_SUBJECT_W, subject), S_OK);
    QCOMPARE(subject.str, ra[0][1].str);
    xmapi::PropValue none;
    QCOMPARE(xmapi::HrGetOneProp(*message, 0x6667001F, none), MAPI_E_NOT_FOUND);

    // A folder's own entry id reopens it with the same contents.
    xmapi::PropValue id;
    QCOMPARE(xmapi::HrGetOneProp(*contacts, PR_ENTRYID, id), S_OK);
    auto reopened = openFolder(*stores[0].top, id.bin);
    QVERIFY(reopened);
    QCOMPARE(allRows(*reopened, {PR_SUBJECT_W}).size(), allRows(*contacts, {PR_SUBJECT_W}).size());

    // Ids that are not of this store fail and hand out nothing.
    xmapi::EntryId bad = id.bin;
    bad[5] ^= 0xFF;
    QVERIFY(xmapi::failed(contacts->OpenEntry(bad, 0, type, obj)));
    QVERIFY(!obj);
    QVERIFY(xmapi::failed(contacts->OpenEntry(xmapi::EntryId{}, 0, type, obj)));
    QVERIFY(xmapi::failed(contacts->OpenEntry(xmapi::EntryId(24, 0xEE), 0, type, obj)));
}

QTEST_GUILESS_MAIN(TestBackends)
#include "tst_backends.moc"
