// Folder scan on memory fixtures: which folders are found, in which order, with which log lines.
#include "exoutlook.h"
#include "fixturefile.h"
#include "logcapture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

namespace {

QStringList L(std::initializer_list<const char*> items)
{
    QStringList out;
    for (const char* i : items)
        out << QString::fromUtf8(i);
    return out;
}

QStringList names(const QList<ExFOLDER*>& list)
{
    QStringList out;
    for (const ExFOLDER* f : list)
        out << f->name;
    return out;
}

// Folder tree as indented text: "store/child/grandchild" paths of every record.
void paths(const ExFOLDER* f, const QString& prefix, QStringList& out)
{
    const QString p = prefix.isEmpty() ? f->name : prefix + QLatin1Char('/') + f->name;
    out << p;
    for (const auto& c : f->subFolders)
        paths(c.get(), p, out);
}

QStringList tree(const ExOutlook& o)
{
    QStringList out;
    for (const ExFOLDER* s : o.stores())
        paths(s, QString(), out);
    return out;
}

} // namespace

class TestScan : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { qunsetenv("KELVOR_PST"); }

    void classMatching_data();
    void classMatching();
    void orderAndTotals();
    void totalBeyond32Bits();
    void failures_data();
    void failures();
    void twoStoresSameNames();
    void protectedStore_data();
    void protectedStore();
    void cancelledLogon();
    void brokenFixtureIsFailedLogon();
    void mailVariantTree();
    void logLines();
    void handlesSurviveForSecondRead();
};

void TestScan::classMatching_data()
{
    QTest::addColumn<QString>("klass");
    QTest::addColumn<bool>("matches");
    QTest::newRow("exact") << "IPF.Contact" << true;
    QTest::newRow("trailing blank") << "IPF.Contact " << true;
    QTest::newRow("surrounding white space") << "\tIPF.Contact\n" << true;
    QTest::newRow("dotted sub-class") << "IPF.Contact.MOC.QuickContacts" << false;
    QTest::newRow("lower case") << "ipf.contact" << false;
    QTest::newRow("other class") << "IPF.Note" << false;
    QTest::newRow("prefix only") << "IPF.Contac" << false;
}

void TestScan::classMatching()
{
    QFETCH(QString, klass);
    QFETCH(bool, matches);
    // Build the fixture with QJsonDocument so that any class text is escaped properly.
    QJsonObject folder{{QStringLiteral("name"), QStringLiteral("F")}, {QStringLiteral("class"), klass}};
    QJsonObject store{{QStringLiteral("name"), QStringLiteral("S")},
                      {QStringLiteral("folders"), QJsonArray{folder}}};
    FixtureFile fx(QJsonDocument(QJsonObject{{QStringLiteral("stores"), QJsonArray{store}}}).toJson());
    ExOutlook o(0, ExScanProfile::contacts());
    QVERIFY(o.status());
    o.ScanFolders();
    QCOMPARE(o.folderList().size(), matches ? 1 : 0);
    // Matching or not, the folder stays in the tree.
    QCOMPARE(tree(o), L({"S", "S/F"}));
}

void TestScan::orderAndTotals()
{
    FixtureFile fx(R"({"stores":[{"name":"S","folders":[
        {"name":"A","class":"IPF.Contact","count":3,"folders":[
            {"name":"A1","class":"IPF.Contact","count":4},
            {"name":"A2","class":"IPF.Note","folders":[{"name":"A2x","class":"IPF.Contact","count":5}]}]},
        {"name":"NoClass","folders":[{"name":"Deep","class":"IPF.Contact","count":7}]},
        {"name":"B","class":"IPF.Contact","count":null},
        {"name":"T","class":"IPF.Task","count":9}]}]})");
    ExOutlook o(0, ExScanProfile::contacts());
    QSignalSpy ready(&o, &ExOutlook::Ready);
    o.ScanFolders();
    QCOMPARE(ready.count(), 1);
    QCOMPARE(ready.at(0).at(0).value<QList<ExFOLDER*>*>(), o.folders());
    // Matching direct children first, then below each child in turn.
    QCOMPARE(names(o.folderList()), L({"A", "B", "A1", "A2x", "Deep"}));
    QCOMPARE(o.totalItems(), 3 + 0 + 4 + 5 + 7);
    const ExFOLDER* a2x = o.folderList().at(3);
    QCOMPARE(a2x->parent->name, QStringLiteral("A2"));
    QCOMPARE(a2x->parent->parent->name, QStringLiteral("A"));
    QVERIFY(a2x->parent->parent->parent->isStoreRoot);
    QVERIFY(a2x->folder);

    ExOutlook t(0, ExScanProfile::tasks());
    t.ScanFolders();
    QCOMPARE(names(t.folderList()), L({"T"}));
    QCOMPARE(t.totalItems(), 9);
}

void TestScan::totalBeyond32Bits()
{
    FixtureFile fx(R"({"stores":[{"name":"S","folders":[
        {"name":"A","class":"IPF.Contact","count":2147483647},
        {"name":"B","class":"IPF.Contact","count":2147483647},
        {"name":"C","class":"IPF.Contact","count":3}]}]})");
    ExOutlook o(0, ExScanProfile::contacts());
    o.ScanFolders();
    QCOMPARE(o.totalItems(), Q_INT64_C(4294967297));
}

void TestScan::failures_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QStringList>("found");
    QTest::addColumn<QString>("logLine");

    const QByteArray good = R"({"name":"Good","folders":[{"name":"K2","class":"IPF.Contact"}]})";
    auto two = [&](const QByteArray& bad) { return R"({"stores":[)" + bad + "," + good + "]}"; };
    QTest::newRow("store cannot be opened")
        << two(R"({"name":"Bad","fail":"open","folders":[{"name":"K1","class":"IPF.Contact"}]})")
        << L({"K2"}) << QStringLiteral("Critical: Can't open MAPI Store.");
    QTest::newRow("no top-folder id")
        << two(R"({"name":"Bad","fail":"subtreeId","folders":[{"name":"K1","class":"IPF.Contact"}]})")
        << L({"K2"}) << QStringLiteral("Critical: Can't open SUBTREE folder ID");
    QTest::newRow("top folder cannot be opened")
        << two(R"({"name":"Bad","fail":"subtree","folders":[{"name":"K1","class":"IPF.Contact"}]})")
        << L({"K2"}) << QStringLiteral("Critical: Can't open SUBTREE folder");
    QTest::newRow("top entry is no folder")
        << two(R"({"name":"Bad","fail":"subtreeNotFolder","folders":[{"name":"K1","class":"IPF.Contact","items":[{}]}]})")
        << L({"K2"}) << QStringLiteral("Debug: Enum store: Good");
    QTest::newRow("hierarchy table fails")
        << two(R"({"name":"Bad","folders":[{"name":"K1","class":"IPF.Contact","fail":"hierarchy","failCode":"0x80040102",
                   "folders":[{"name":"Below","class":"IPF.Contact"}]}]})")
        << L({"K1", "K2"}) << QStringLiteral("Critical: GetHierarchyTable: 80040102");
    QTest::newRow("columns cannot be set")
        << two(R"({"name":"Bad","folders":[{"name":"K1","class":"IPF.Contact","fail":"setColumns",
                   "folders":[{"name":"Below","class":"IPF.Contact"}]}]})")
        << L({"K1", "K2"}) << QStringLiteral("Critical: SetColumns Failed: 80004005");
    QTest::newRow("child cannot be opened")
        << two(R"({"name":"Bad","folders":[{"name":"K1","class":"IPF.Contact","fail":"open",
                   "folders":[{"name":"Below","class":"IPF.Contact"}]},{"name":"K3","class":"IPF.Contact"}]})")
        << L({"K3", "K2"}) << QStringLiteral("Critical: 80004005");
    QTest::newRow("stores table fails") << QByteArray(R"({"fail":"storesTable","stores":[)" + good + "]}")
                                        << QStringList() << QStringLiteral("Critical: Can't get Message store. stop. hr = 80004005");
    QTest::newRow("stores rows fail") << QByteArray(R"({"fail":"storesRows","stores":[)" + good + "]}")
                                      << QStringList() << QStringLiteral("Debug: Contacts Folders in Account: 0");
}

void TestScan::failures()
{
    QFETCH(QByteArray, json);
    QFETCH(QStringList, found);
    QFETCH(QString, logLine);
    FixtureFile fx(json);
    LogCapture log;
    ExOutlook o(0, ExScanProfile::contacts());
    QVERIFY(o.status());
    o.ScanFolders();
    QCOMPARE(names(o.folderList()), found);
    QVERIFY2(log.lines().contains(logLine), qPrintable(log.lines().join(QLatin1Char('\n'))));
}

void TestScan::twoStoresSameNames()
{
    FixtureFile fx(R"({"stores":[
        {"name":"Persönliche Ordner","folders":[{"name":"Kontakte","class":"IPF.Contact","count":2}]},
        {"name":"Archiv","folders":[{"name":"Kontakte","class":"IPF.Contact","count":5}]}]})");
    ExOutlook o(0, ExScanProfile::contacts());
    o.ScanFolders();
    QCOMPARE(o.folderList().size(), 2);
    QVERIFY(o.folderList().at(0) != o.folderList().at(1));
    QCOMPARE(o.folderList().at(0)->parent->name, QStringLiteral("Persönliche Ordner"));
    QCOMPARE(o.folderList().at(1)->parent->name, QStringLiteral("Archiv"));
    QCOMPARE(o.totalItems(), 7);
    QCOMPARE(o.stores().size(), 2);
}

void TestScan::protectedStore_data()
{
    // The answers the user gives, one per prompt; "<cancel>" presses cancel.
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<bool>("reported"); // the user is told that the file stays closed
    QTest::newRow("right at once") << QStringList{QStringLiteral("qwerty12345")} << true << false;
    QTest::newRow("right at the third try")
        << QStringList{QStringLiteral("qwerty"), QStringLiteral("Qwerty12345"), QStringLiteral("qwerty12345")} << true
        << false;
    QTest::newRow("three wrong") << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}
                                 << false << true;
    QTest::newRow("cancel") << QStringList{QStringLiteral("<cancel>")} << false << false;
    QTest::newRow("wrong, then cancel") << QStringList{QStringLiteral("x"), QStringLiteral("<cancel>")} << false
                                        << false;
}

void TestScan::protectedStore()
{
    QFETCH(QStringList, answers);
    QFETCH(bool, opens);
    QFETCH(bool, reported);
    // The checksum a protected file keeps of "qwerty12345".
    QCOMPARE(xmapi::PasswordCrc("qwerty12345"), 0xEA6524E4u);
    FixtureFile fx(R"({"stores":[
        {"name":"Archiv","props":{"0x67FF0003":"0xEA6524E4","0x6700001F":"/home/anna/archiv.pst"},
         "folders":[{"name":"Kontakte","class":"IPF.Contact","count":3}]},
        {"name":"Offen","folders":[{"name":"Kontakte","class":"IPF.Contact","count":2}]}]})");
    QStringList asked;
    xmapi::setPasswordPrompt([&](const std::string& file, int attempt, std::string& password) {
        asked << QStringLiteral("%1 #%2").arg(QString::fromStdString(file)).arg(attempt);
        const QString answer = answers.value(attempt - 1, QStringLiteral("<cancel>"));
        password = answer.toStdString();
        return answer != QLatin1String("<cancel>");
    });
    std::vector<xmapi::StoreProblem> problems;
    xmapi::setStoreProblemReport(
        [&](const std::vector<xmapi::StoreProblem>& p, bool) { problems.insert(problems.end(), p.begin(), p.end()); });
    {
        ExOutlook o(0, ExScanProfile::contacts());
        QVERIFY(o.status());
        o.ScanFolders();
        // Never asked more than three times; every prompt names the file.
        QCOMPARE(asked.size(), std::min<qsizetype>(answers.size(), xmapi::PasswordAttempts));
        for (int i = 0; i < asked.size(); ++i)
            QCOMPARE(asked[i], QStringLiteral("/home/anna/archiv.pst #%1").arg(i + 1));
        // The unprotected store opens in any case.
        QCOMPARE(o.stores().size(), opens ? 2 : 1);
        QCOMPARE(o.totalItems(), opens ? 5 : 2);
        if (opens)
            QCOMPARE(o.stores().front()->storeFile, QStringLiteral("/home/anna/archiv.pst"));
    }
    xmapi::setPasswordPrompt({});
    xmapi::setStoreProblemReport({});
    QCOMPARE(problems.size(), reported ? std::size_t(1) : std::size_t(0));
    if (reported) {
        QCOMPARE(problems[0].kind, xmapi::StoreProblem::Kind::WrongPassword);
        QCOMPARE(problems[0].file, std::string("/home/anna/archiv.pst"));
    }
}

void TestScan::cancelledLogon()
{
    qunsetenv("KELVOR_STORE");
    int asked = 0;
    xmapi::setProfileDialog([&asked] {
        ++asked;
        return std::vector<std::string>{};
    });
    LogCapture log;
    {
        ExOutlook o(0, ExScanProfile::contacts());
        QVERIFY(!o.status());
        QCOMPARE(asked, 1);
        o.ScanFolders(); // harmless without a session
        QVERIFY(o.folderList().isEmpty());
    }
    xmapi::setProfileDialog({});
    const QStringList lines = log.lines();
    QCOMPARE(lines.at(0), QStringLiteral("Critical: Error logging on. hRes = 80040113"));
    QCOMPARE(lines.at(1), QStringLiteral("Critical: Can't open MAPI Profile! stop"));
    QCOMPARE(lines.at(2), QStringLiteral("Debug: Status: false"));

    FixtureFile fx(R"({"fail":"logon","stores":[]})");
    ExOutlook refused(0, ExScanProfile::contacts());
    QVERIFY(!refused.status());
}

void TestScan::brokenFixtureIsFailedLogon()
{
    FixtureFile fx("{ not json");
    LogCapture log;
    ExOutlook o(0, ExScanProfile::contacts());
    QVERIFY(!o.status());
    QVERIFY(log.lines().filter(QStringLiteral("cannot be used")).size() == 1);
}

void TestScan::mailVariantTree()
{
    FixtureFile fx(R"({"stores":[{"name":"S","folders":[
        {"name":"Posteingang","folders":[{"name":"Unter","class":"IPF.Note","folders":[{"name":"Tief"}]}]},
        {"name":"IMAP","class":"IPF.Imap "},
        {"name":"Kontakte","class":"IPF.Contact","folders":[{"name":"Mail below contacts","class":"IPF.Note"}]},
        {"name":"Notizen","class":"IPF.Note.Special"},
        {"name":"lower","class":"ipf.note"},
        {"name":"Gesendet","class":"IPF.Note","fail":"hierarchy","folders":[{"name":"Never"}]}]}]})");
    LogCapture log;
    ExOutlook o(0, ExScanProfile::email());
    o.ScanFolders();
    QVERIFY(o.folderList().isEmpty());
    QCOMPARE(tree(o), L({"S", "S/Posteingang", "S/Posteingang/Unter", "S/Posteingang/Unter/Tief", "S/IMAP",
                                   "S/Gesendet"}));
    const QStringList lines = log.lines();
    QVERIFY(lines.contains(QStringLiteral("Debug: 245 Enum Folder: Posteingang")));
    QVERIFY(lines.contains(QStringLiteral("Critical: GetHierarchyTable failed: 80004005")));
    QVERIFY(lines.contains(QStringLiteral("Debug: SubFolders: S 3\n")));
    // No per-child class line and no summary in this variant.
    QVERIFY(lines.filter(QStringLiteral("  IPF.")).isEmpty());
    QVERIFY(lines.filter(QStringLiteral("Folders in Account")).isEmpty());
}

void TestScan::logLines()
{
    FixtureFile fx(R"({"fail":"logoff","failCode":"0x80040111","stores":[{"name":"Persönlich","folders":[
        {"name":"Kontakte","class":"IPF.Contact ","count":2,"folders":[{"name":"Sub","class":"IPF.Contact","count":1}]},
        {"name":"Ohne"}]}]})");
    LogCapture log;
    {
        ExOutlook o(0, ExScanProfile::contacts());
        o.ScanFolders();
    }
    const QStringList expected = L({
        "Debug: Status: true",
        "Debug: Persönlich",
        "Debug: Enum store: Persönlich",
        "Debug: 153 Enum Folder: Persönlich",
        "Debug: Kontakte  IPF.Contact ",
        "Debug: Kontakte",
        "Debug: SubFolders: Persönlich 2\n",
        "Debug: 153 Enum Folder: Kontakte",
        "Debug: Sub  IPF.Contact",
        "Debug: Sub",
        "Debug: SubFolders: Kontakte 1\n",
        "Debug: 153 Enum Folder: Sub",
        "Debug: SubFolders: Sub 0\n",
        "Debug: 153 Enum Folder: Ohne",
        "Debug: SubFolders: Ohne 0\n",
        "Debug: __LPSPropValue::~__LPSPropValue",
        "Debug: Contacts Folders in Account: 2",
        "Debug: 1 Kontakte 2",
        "Debug: 2 Sub 1",
        "Critical: Error logging off. hRes = 80040111",
    });
    QCOMPARE(log.lines(), expected);
}

void TestScan::handlesSurviveForSecondRead()
{
    FixtureFile fx(R"({"stores":[{"name":"S","folders":[{"name":"K","class":"IPF.Contact","items":[
        {"props":{"0x3001001F":"Anna"}},{"props":{"0x3001001F":"Bernd"}}]}]}]})");
    ExOutlook o(0, ExScanProfile::contacts());
    o.ScanFolders();
    QCOMPARE(o.folderList().size(), 1);
    for (int run = 0; run < 2; ++run) {
        std::unique_ptr<xmapi::Table> table;
        QCOMPARE(o.folderList().at(0)->folder->GetContentsTable(MAPI_UNICODE, table), S_OK);
        QCOMPARE(table->SetColumns({PR_DISPLAY_NAME_W}, 0), S_OK);
        QStringList got;
        for (;;) {
            xmapi::RowSet rows;
            QCOMPARE(table->QueryRows(1, 0, rows), S_OK);
            if (rows.empty())
                break;
            got << QString::fromStdString(rows[0][0].str);
        }
        QCOMPARE(got, L({"Anna", "Bernd"}));
    }
}

QTEST_GUILESS_MAIN(TestScan)
#include "tst_scan.moc"
