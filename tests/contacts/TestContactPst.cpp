// Contacts import runs over real Outlook data files (.pst back-end) against the local test CRM. The
// expected values were read from the same files with pffexport.
#include "crmtransport.h"
#include "contactstable.h"
#include "crmsettings.h"
#include "exjob.h"
#include "exoutlook.h"
#include "jobsummary.h"
#include "testcrm.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

QString sample(const char* name)
{
    return qEnvironmentVariable("KELVOR_TESTDATA") + QStringLiteral("/contacts/") + QLatin1String(name);
}

QString field(const QJsonArray& items, int index, const char* name)
{
    const QJsonValue v = items.at(index).toObject().value(QLatin1String(name));
    return v.isDouble() ? QString::number(v.toInteger()) : v.toString();
}

// The stored item whose field `key` equals `value`, or -1.
int find(const QJsonArray& items, const char* key, const QString& value)
{
    for (int i = 0; i < items.size(); ++i)
        if (field(items, i, key) == value)
            return i;
    return -1;
}

} // namespace

class TestContactPst : public QObject {
    Q_OBJECT

private:
    ExImporterTable m_table = contactsTable();
    CrmMemoryTrustStore m_trust;
    CrmTransport m_transport{m_trust};

    std::unique_ptr<ExOutlook> open(const QString& file)
    {
        qunsetenv("KELVOR_STORE");
        qputenv("KELVOR_PST", file.toLocal8Bit());
        auto outlook = std::make_unique<ExOutlook>(0, ExScanProfile::contacts());
        if (outlook->status())
            outlook->ScanFolders();
        return outlook;
    }
    QString runAll(ExOutlook& outlook, bool personal)
    {
        ExJob job(m_table, m_transport, *outlook.folders(), *outlook.folders(), outlook.totalItems(), personal);
        JobSummary done(job);
        job.start();
        (void)QTest::qWaitFor([&] { return done.received; }, 60000);
        return done.received ? done.text : QStringLiteral("no summary");
    }

private slots:
    void initTestCase();
    void sampleContactsPersonal();
    void sampleContactsCompanies();
    void japaneseContact();
};

void TestContactPst::initTestCase()
{
    QVERIFY2(QFileInfo::exists(sample("SampleContacts1.pst")),
             "sample Outlook files missing: set KELVOR_TESTDATA to shared/testdata/pst");
}

void TestContactPst::sampleContactsPersonal()
{
    auto outlook = open(sample("SampleContacts1.pst"));
    QVERIFY(outlook->status());
    QCOMPARE(outlook->folders()->size(), 1);
    QCOMPARE(outlook->folders()->first()->name, QStringLiteral("Contacts"));
    QCOMPARE(outlook->totalItems(), 6);

    TestCrm crm(QStringLiteral("TestContactPst_personal"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    writeCrmSettings({crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword)});
    QCOMPARE(runAll(*outlook, true),
             QStringLiteral("<br><font color=\"green\"><b>6  Kontakte sind erfolgreich importiert.</b></font><br>"));

    const QJsonArray p = crm.stored().value(QLatin1String("pcontacts")).toArray();
    QCOMPARE(p.size(), 6);
    const char* names[] = {"Sebastian Wright", "Wichert Kroos", "Christoffer van de Meeberg", "Margaret J. Tolle",
                           "Matthew R. Wilcox", "Bertha A. Buell"};
    for (const char* name : names)
        QVERIFY2(find(p, "displayname", QLatin1String(name)) >= 0, name);

    int i = find(p, "displayname", QStringLiteral("Sebastian Wright"));
    QCOMPARE(field(p, i, "emailadr1"), QStringLiteral("SebastianWright@dayrep.com"));
    QVERIFY(field(p, i, "work_organisation").isEmpty());
    i = find(p, "displayname", QStringLiteral("Wichert Kroos"));
    QCOMPARE(field(p, i, "work_organisation"), QStringLiteral("Grade A Investment"));
    QCOMPARE(field(p, i, "emailadr1"), QStringLiteral("WichertKroos@teleworm.us"));
    i = find(p, "displayname", QStringLiteral("Margaret J. Tolle"));
    QCOMPARE(field(p, i, "firstname"), QStringLiteral("Margaret"));
    QCOMPARE(field(p, i, "lastname"), QStringLiteral("Tolle"));
    QCOMPARE(field(p, i, "phone_mobil"), QStringLiteral("(925)599-3355(925)599-3355"));
    QCOMPARE(field(p, i, "work_title"), QStringLiteral("Recording engineer"));
    QCOMPARE(field(p, i, "phone_work"), QStringLiteral("(08)9080-1183"));
    QCOMPARE(field(p, i, "work_organisation"), QStringLiteral("Adaptaz"));
    QCOMPARE(field(p, i, "emailadr1"), QStringLiteral("MargaretJTolle@dayrep.com"));
    i = find(p, "displayname", QStringLiteral("Matthew R. Wilcox"));
    QCOMPARE(field(p, i, "phone_home"), QStringLiteral("(661)387-5382(661)387-5382"));
    QCOMPARE(field(p, i, "work_title"), QStringLiteral("Psychiatric aide"));
}

void TestContactPst::sampleContactsCompanies()
{
    auto outlook = open(sample("SampleContacts1.pst"));
    QVERIFY(outlook->status());
    TestCrm crm(QStringLiteral("TestContactPst_companies"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    writeCrmSettings({crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword)});
    QCOMPARE(runAll(*outlook, false),
             QStringLiteral("<br><font color=\"green\"><b>6  Kontakte sind erfolgreich importiert.</b></font><br>"
                            "<br><font color=\"green\"><b>6  Personen sind erfolgreich importiert.</b></font><br>"));
    const QJsonObject stored = crm.stored();
    const QJsonArray companies = stored.value(QLatin1String("contacts")).toArray();
    const QJsonArray persons = stored.value(QLatin1String("persons")).toArray();
    QCOMPARE(companies.size(), 6);
    QCOMPARE(persons.size(), 6);
    const int adaptaz = find(companies, "company", QStringLiteral("Adaptaz"));
    QVERIFY(adaptaz >= 0);
    QCOMPARE(field(companies, adaptaz, "phone"), QStringLiteral("(08)9080-1183"));
    QCOMPARE(field(companies, adaptaz, "email"), QStringLiteral("MargaretJTolle@dayrep.com"));
    const int tolle = find(persons, "lastname", QStringLiteral("Tolle"));
    QVERIFY(tolle >= 0);
    QCOMPARE(field(persons, tolle, "cid"), field(companies, adaptaz, "id"));
    QCOMPARE(field(persons, tolle, "mobile"), QStringLiteral("(925)599-3355(925)599-3355"));
    QCOMPARE(field(persons, tolle, "position"), QStringLiteral("Recording engineer"));
    QVERIFY(find(companies, "company", QStringLiteral("Krauses Sofa Factory")) >= 0);
}

void TestContactPst::japaneseContact()
{
    auto outlook = open(sample("contacts.pst"));
    QVERIFY(outlook->status());
    QCOMPARE(outlook->totalItems(), 1);
    TestCrm crm(QStringLiteral("TestContactPst_japanese"));
    QVERIFY2(crm.isUp(), qPrintable(crm.errorString()));
    writeCrmSettings({crm.baseUrl(), QLatin1String(TestCrm::defaultLogin), QLatin1String(TestCrm::defaultPassword)});
    QCOMPARE(runAll(*outlook, true),
             QStringLiteral("<br><font color=\"green\"><b>1  Kontakte sind erfolgreich importiert.</b></font><br>"));
    const QJsonArray p = crm.stored().value(QLatin1String("pcontacts")).toArray();
    QCOMPARE(p.size(), 1);
    QCOMPARE(field(p, 0, "firstname"), QStringLiteral("\u30b3\u30e0"));                      // コム
    QCOMPARE(field(p, 0, "lastname"), QStringLiteral("\u30a4\u30b0\u30b6\u30f3\u30d7\u30eb"));  // イグザンプル
    QCOMPARE(field(p, 0, "work_country"), QStringLiteral("\u65e5\u672c"));                   // 日本
    QCOMPARE(field(p, 0, "work_city"), QStringLiteral("Osaka"));
    QCOMPARE(field(p, 0, "phone_home"), QStringLiteral("06-0001-0001"));
    QCOMPARE(field(p, 0, "phone_fax_work"), QStringLiteral("06-0001-0003"));
    QCOMPARE(field(p, 0, "work_department"), QStringLiteral("My division"));
    QCOMPARE(field(p, 0, "emailadr1"), QStringLiteral("test@example.com"));
}

QTEST_GUILESS_MAIN(TestContactPst)
#include "TestContactPst.moc"
