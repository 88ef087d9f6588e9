// Column-to-field mapping of the contacts importer: every column lands in its element, absent columns log
// their failure texts, times in two time zones, text outside Latin-1 kept in every record.
#include "contactmapping.h"
#include "propaccess.h"

#include <QDateTime>
#include <QTimeZone>
#include <QtTest>

#include <cstdlib>
#include <ctime>
#include <functional>

namespace {

const std::vector<xmapi::PropTag> namedTags = {0x8001001Eu, 0x8002001Eu, 0x8003001Eu, 0x8004001Eu};

xmapi::Row emptyRow(const ContactMapping& m)
{
    xmapi::Row row;
    for (xmapi::PropTag tag : m.columns())
        row.push_back(xmapi::PropValue::error(tag, MAPI_E_NOT_FOUND));
    return row;
}

void setText(xmapi::Row& row, const ContactMapping& m, int column, const QString& text)
{
    xmapi::PropValue v;
    v.tag = m.columns()[static_cast<std::size_t>(column)];
    v.str = text.toStdString();
    row[static_cast<std::size_t>(column)] = v;
}

void setTime(xmapi::Row& row, const ContactMapping& m, int column, qint64 unixSeconds)
{
    xmapi::PropValue v;
    v.tag = m.columns()[static_cast<std::size_t>(column)];
    v.ft = FileTimeFromUnix(unixSeconds);
    row[static_cast<std::size_t>(column)] = v;
}

struct Records {
    PContactItem p;
    crmContactItem c;
    crmPersonItem person;
};
using Getter = std::function<QString(const Records&)>;

// (column 0-based, getter) rows; which record a getter reads decides the mode it checks.
struct Case {
    const char* name;
    int column;
    Getter get;
};

const Case cases[] = {
    {"P firstname", 0, [](const Records& r) { return r.p.firstname; }},
    {"P middle name", 1, [](const Records& r) { return r.p.middle_name; }},
    {"P lastname", 2, [](const Records& r) { return r.p.lastname; }},
    {"P displayname", 3, [](const Records& r) { return r.p.displayname; }},
    {"P nickname", 4, [](const Records& r) { return r.p.nickname; }},
    {"P spousename", 5, [](const Records& r) { return r.p.spousename; }},
    {"P email1", 9, [](const Records& r) { return r.p.emailadr1; }},
    {"P email2", 10, [](const Records& r) { return r.p.emailadr2; }},
    {"P email3", 11, [](const Records& r) { return r.p.emailadr3; }},
    {"P screen_name", 12, [](const Records& r) { return r.p.screen_name; }},
    {"P phone_work", 13, [](const Records& r) { return r.p.phone_work; }},
    {"P phone_work2", 14, [](const Records& r) { return r.p.phone_work2; }},
    {"P phone_home", 15, [](const Records& r) { return r.p.phone_home; }},
    {"P phone_home2", 16, [](const Records& r) { return r.p.phone_home2; }},
    {"P phone_fax", 17, [](const Records& r) { return r.p.phone_fax; }},
    {"P phone_fax_work", 18, [](const Records& r) { return r.p.phone_fax_work; }},
    {"P phone_pager", 19, [](const Records& r) { return r.p.phone_pager; }},
    {"P phone_mobil", 20, [](const Records& r) { return r.p.phone_mobil; }},
    {"P car phone", 21, [](const Records& r) { return r.p.phone_car; }},
    {"P radio phone", 22, [](const Records& r) { return r.p.phone_radio; }},
    {"P company phone", 23, [](const Records& r) { return r.p.phone_company; }},
    {"P assistant phone", 24, [](const Records& r) { return r.p.phone_assistant; }},
    {"P home_address1", 25, [](const Records& r) { return r.p.home_address1; }},
    {"P home_city", 26, [](const Records& r) { return r.p.home_city; }},
    {"P home_region", 27, [](const Records& r) { return r.p.home_region; }},
    {"P home_postcode", 28, [](const Records& r) { return r.p.home_postcode; }},
    {"P home_country", 29, [](const Records& r) { return r.p.home_country; }},
    {"P home page", 30, [](const Records& r) { return r.p.home_page; }},
    {"P work_title", 31, [](const Records& r) { return r.p.work_title; }},
    {"P work_department", 32, [](const Records& r) { return r.p.work_department; }},
    {"P work_organisation", 33, [](const Records& r) { return r.p.work_organisation; }},
    {"P work_address1", 34, [](const Records& r) { return r.p.work_address1; }},
    {"P work_city", 35, [](const Records& r) { return r.p.work_city; }},
    {"P work_region", 36, [](const Records& r) { return r.p.work_region; }},
    {"P work_postcode", 37, [](const Records& r) { return r.p.work_postcode; }},
    {"P work_country", 38, [](const Records& r) { return r.p.work_country; }},
    {"P work_website", 39, [](const Records& r) { return r.p.work_website; }},
    {"P work_location", 40, [](const Records& r) { return r.p.work_location; }},
    {"P other_address1", 41, [](const Records& r) { return r.p.other_address1; }},
    {"P other_city", 42, [](const Records& r) { return r.p.other_city; }},
    {"P other_region", 43, [](const Records& r) { return r.p.other_region; }},
    {"P other_postcode", 44, [](const Records& r) { return r.p.other_postcode; }},
    {"P other_country", 45, [](const Records& r) { return r.p.other_country; }},
    {"P assistantname", 46, [](const Records& r) { return r.p.assistantname; }},
    {"P notes", 47, [](const Records& r) { return r.p.notes; }},
    {"C company", 33, [](const Records& r) { return r.c.company; }},
    {"C department", 32, [](const Records& r) { return r.c.department; }},
    {"C street", 34, [](const Records& r) { return r.c.street; }},
    {"C postcode", 37, [](const Records& r) { return r.c.postcode; }},
    {"C city", 35, [](const Records& r) { return r.c.city; }},
    {"C email", 9, [](const Records& r) { return r.c.email; }},
    {"C phone", 13, [](const Records& r) { return r.c.phone; }},
    {"C fax", 18, [](const Records& r) { return r.c.fax; }},
    {"C region", 36, [](const Records& r) { return r.c.region; }},
    {"C country", 38, [](const Records& r) { return r.c.country; }},
    {"C notes", 47, [](const Records& r) { return r.c.notes; }},
    {"C website", 39, [](const Records& r) { return r.c.website; }},
    {"Per firstname", 0, [](const Records& r) { return r.person.firstname; }},
    {"Per lastname", 2, [](const Records& r) { return r.person.lastname; }},
    {"Per city", 26, [](const Records& r) { return r.person.city; }},
    {"Per country", 29, [](const Records& r) { return r.person.country; }},
    {"Per email", 9, [](const Records& r) { return r.person.email; }},
    {"Per fax", 17, [](const Records& r) { return r.person.fax; }},
    {"Per mobile", 20, [](const Records& r) { return r.person.mobile; }},
    {"Per notes", 47, [](const Records& r) { return r.person.notes; }},
    {"Per phone", 15, [](const Records& r) { return r.person.phone; }},
    {"Per position", 31, [](const Records& r) { return r.person.position; }},
    {"Per postcode", 28, [](const Records& r) { return r.person.postcode; }},
    {"Per region", 27, [](const Records& r) { return r.person.region; }},
    {"Per street", 25, [](const Records& r) { return r.person.street; }},
};

QStringList g_messages;
void capture(QtMsgType, const QMessageLogContext&, const QString& text)
{
    g_messages.append(text);
}

void setZone(const char* zone)
{
    qputenv("TZ", zone);
    tzset();
}

} // namespace

class TestContactMapping : public QObject {
    Q_OBJECT

private slots:
    void eachColumnReachesItsElement_data();
    void eachColumnReachesItsElement();
    void otherRecordsStayEmpty();
    void childrenAreJoined();
    void absentColumnsLogTheirFailureTexts();
    void presentColumnsLogLabelAndValue();
    void times_data();
    void times();
    void nonLatin1TextIsKeptInEveryRecord();
    void companyNameIsTrimmed();
    void personHasNoCompanyId();
};

void TestContactMapping::eachColumnReachesItsElement_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < int(std::size(cases)); ++i)
        QTest::newRow(cases[i].name) << i;
}

void TestContactMapping::eachColumnReachesItsElement()
{
    QFETCH(int, index);
    const Case& c = cases[index];
    const ContactMapping m(namedTags);
    xmapi::Row row = emptyRow(m);
    const QString value = QStringLiteral("  Wert-%1 \u00e4  ").arg(c.column);
    setText(row, m, c.column, value);
    const Records r{m.personalContact(row), m.company(row), m.person(row)};
    QCOMPARE(c.get(r), value.trimmed());
}

void TestContactMapping::otherRecordsStayEmpty()
{
    // A column feeds its own element only: with one column set, exactly one getter per record type sees it.
    const ContactMapping m(namedTags);
    for (int column = 0; column < 48; ++column) {
        if (column == 6 || column == 7 || column == 8)
            continue;
        xmapi::Row row = emptyRow(m);
        setText(row, m, column, QStringLiteral("X"));
        const Records r{m.personalContact(row), m.company(row), m.person(row)};
        int hits = 0;
        for (const Case& c : cases)
            hits += c.get(r) == QLatin1String("X") ? 1 : 0;
        int expected = 0;
        for (const Case& c : cases)
            expected += c.column == column ? 1 : 0;
        QVERIFY2(hits == expected, qPrintable(QStringLiteral("column %1: %2 hits, %3 expected")
                                                  .arg(column + 1).arg(hits).arg(expected)));
    }
}

void TestContactMapping::childrenAreJoined()
{
    const ContactMapping m(namedTags);
    xmapi::Row row = emptyRow(m);
    xmapi::PropValue v;
    v.tag = m.columns()[6];
    v.mvStr = {"Anna", "  Ben  "};
    row[6] = v;
    QCOMPARE(m.personalContact(row).childrens, QStringLiteral("Anna; Ben;"));
}

void TestContactMapping::absentColumnsLogTheirFailureTexts()
{
    const ContactMapping m(namedTags);
    const xmapi::Row row = emptyRow(m);
    g_messages.clear();
    const QtMessageHandler old = qInstallMessageHandler(capture);
    const PContactItem p = m.personalContact(row);
    const QStringList personal = g_messages;
    g_messages.clear();
    const crmContactItem c = m.company(row);
    const QStringList company = g_messages;
    g_messages.clear();
    const crmPersonItem person = m.person(row);
    const QStringList personLines = g_messages;
    qInstallMessageHandler(old);

    QCOMPARE(personal.size(), 49);  // "MAKE P CONTACT" and one line per column
    QCOMPARE(personal.at(0), QStringLiteral("MAKE P CONTACT"));
    const QStringList personalFirst = {
        QStringLiteral("EX_VORNAME failed"), QStringLiteral("EX_MNAME failed"), QStringLiteral("EX_LNAME failed"),
        QStringLiteral("EX_DNAME failed"), QStringLiteral("EX_NICK failed"), QStringLiteral("EX_SPOSE failed"),
        QStringLiteral("EX_CHILDRENS failed"), QStringLiteral("EX_BIRTHDAY  failed"),
        QStringLiteral("EX_ANNIVER  failed"), QStringLiteral("EX_EMAIL1 failed"), QStringLiteral("EX_EMAIL2 failed"),
        QStringLiteral("EX_EMAIL3 failed"), QStringLiteral("EX_IM failed"), QStringLiteral("WT failed"),
        QStringLiteral("WT2 failed"), QStringLiteral("HT failed"), QStringLiteral("HT2 failed"),
        QStringLiteral("fax failed"), QStringLiteral("fax  w failed"), QStringLiteral("pager failed"),
        QStringLiteral("mobile failed"), QStringLiteral("car failed"), QStringLiteral("radio failed"),
        QStringLiteral("compt failed"), QStringLiteral("asstel failed")};
    QCOMPARE(personal.mid(1, personalFirst.size()), personalFirst);

    const QStringList companyTexts = {
        QStringLiteral("EX_COMPANY_NAME failed"), QStringLiteral("EX_DEPARTMENT failed"),
        QStringLiteral("EX_WORK_STREET failed"), QStringLiteral("EX_WORK_PLZ failed"),
        QStringLiteral(" EX_WORK_CITY failed"), QStringLiteral("EX_EMAIL1 failed"),
        QStringLiteral("EX_WORK_TEL failed"), QStringLiteral("EX_WORK_FAX failed"),
        QStringLiteral("EX_WORK_STATE failed"), QStringLiteral("EX_WORK_COUNTRY failed"),
        QStringLiteral("EX_BODY failed"), QStringLiteral("EX_WORK_WWW failed")};
    QCOMPARE(company, companyTexts);

    const QStringList personTexts = {
        QStringLiteral("EX_VORNAME failed"), QStringLiteral("EX_LNAME failed"), QStringLiteral("EX_BIRTHDAY  failed"),
        QStringLiteral("EX_HOME_CITY failed"), QStringLiteral("EX_HOME_COUNTRY failed"),
        QStringLiteral("EX_EMAIL1 failed"), QStringLiteral("fax failed"), QStringLiteral("mobile failed"),
        QStringLiteral("EX_BODY failed"), QStringLiteral("HT failed"), QStringLiteral("EX_TITLE failed"),
        QStringLiteral("PLZ failed"), QStringLiteral("EX_HOME_STATE failed"), QStringLiteral("EX_HOME_STREET failed")};
    QCOMPARE(personLines, personTexts);

    // Nothing was set.
    QVERIFY(p.firstname.isEmpty() && p.notes.isEmpty() && p.birthday == 0 && p.anniversary == 0);
    QVERIFY(c.company.isEmpty() && person.lastname.isEmpty() && person.birthday == 0);
}

void TestContactMapping::presentColumnsLogLabelAndValue()
{
    const ContactMapping m(namedTags);
    xmapi::Row row = emptyRow(m);
    setText(row, m, 0, QStringLiteral("Jan"));
    setText(row, m, 35, QStringLiteral("Bonn"));
    setTime(row, m, 7, QDateTime(QDate(1980, 5, 4), QTime(22, 0), Qt::UTC).toSecsSinceEpoch());
    g_messages.clear();
    const QtMessageHandler old = qInstallMessageHandler(capture);
    (void)m.personalContact(row);
    (void)m.company(row);
    (void)m.person(row);
    qInstallMessageHandler(old);
    QVERIFY2(g_messages.contains(QStringLiteral("FNAME:  \"Jan\"")), qPrintable(g_messages.join(QLatin1Char('|'))));
    QVERIFY(g_messages.contains(QStringLiteral("EX_WORK_CITY:  \"Bonn\"")));
    // Both records show the birthday the same way: as a quoted date-time, not as the raw number.
    const QStringList birthdays = g_messages.filter(QStringLiteral("BIRTHDAY: "));
    QCOMPARE(birthdays.size(), 2);
    QCOMPARE(birthdays.at(1), birthdays.at(0));
    QVERIFY2(birthdays.at(0).startsWith(QStringLiteral("BIRTHDAY:  \"1980-05-0")), qPrintable(birthdays.at(0)));
}

void TestContactMapping::times_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<qint64>("stored");     // Outlook time, seconds since 1970 UTC
    QTest::addColumn<qint32>("birthday");   // as sent
    QTest::addColumn<qint32>("anniversary");

    // The stored UTC fields are read as local time, then 7200 s are added; a birthday gets 3600 s more.
    const qint64 may1980 = QDateTime(QDate(1980, 5, 4), QTime(22, 0), Qt::UTC).toSecsSinceEpoch();
    const qint64 jan2001 = QDateTime(QDate(2001, 1, 15), QTime(12, 0), Qt::UTC).toSecsSinceEpoch();
    QTest::newRow("UTC summer") << QByteArray("UTC") << may1980 << qint32(may1980 + 7200 + 3600)
                                << qint32(may1980 + 7200);
    QTest::newRow("Berlin summer") << QByteArray("Europe/Berlin") << may1980 << qint32(may1980 + 3600)
                                   << qint32(may1980);
    QTest::newRow("UTC winter") << QByteArray("UTC") << jan2001 << qint32(jan2001 + 7200 + 3600)
                                << qint32(jan2001 + 7200);
    QTest::newRow("Berlin winter") << QByteArray("Europe/Berlin") << jan2001 << qint32(jan2001 + 3600 + 3600)
                                   << qint32(jan2001 + 3600);
    // Before 1970: out of range, neither is sent (0 and -1 are never sent).
    const qint64 y1960 = QDateTime(QDate(1960, 3, 1), QTime(0, 0), Qt::UTC).toSecsSinceEpoch();
    QTest::newRow("UTC before 1970") << QByteArray("UTC") << y1960 << qint32(0) << qint32(-1);
    QTest::newRow("Berlin before 1970") << QByteArray("Europe/Berlin") << y1960 << qint32(0) << qint32(-1);
}

void TestContactMapping::times()
{
    QFETCH(QByteArray, zone);
    QFETCH(qint64, stored);
    QFETCH(qint32, birthday);
    QFETCH(qint32, anniversary);
    const QByteArray oldZone = qgetenv("TZ");
    setZone(zone.constData());

    const ContactMapping m(namedTags);
    xmapi::Row row = emptyRow(m);
    setTime(row, m, 7, stored);
    setTime(row, m, 8, stored);
    const PContactItem p = m.personalContact(row);
    const crmPersonItem person = m.person(row);
    setZone(oldZone.isEmpty() ? "UTC" : oldZone.constData());

    QCOMPARE(p.birthday, birthday);
    QCOMPARE(p.anniversary, anniversary);
    QCOMPARE(person.birthday, birthday);
}

void TestContactMapping::nonLatin1TextIsKeptInEveryRecord()
{
    const ContactMapping m(namedTags);
    xmapi::Row row = emptyRow(m);
    const QString first = QStringLiteral("\u0418\u0432\u0430\u043d");            // Иван
    const QString last = QStringLiteral("\u03a0\u03b1\u03c0\u03b1\u03b4\u03ac\u03ba\u03b7\u03c2");  // Παπαδάκης
    const QString company = QStringLiteral("\u041e\u041e\u041e \u00abTest\u00bb \u20ac");
    setText(row, m, 0, first);
    setText(row, m, 2, last);
    setText(row, m, 33, company);
    const PContactItem p = m.personalContact(row);
    QCOMPARE(p.firstname, first);
    QCOMPARE(p.lastname, last);
    QCOMPARE(p.work_organisation, company);
    QCOMPARE(m.company(row).company, company);
    QCOMPARE(m.person(row).firstname, first);
    QCOMPARE(m.person(row).lastname, last);
}

void TestContactMapping::companyNameIsTrimmed()
{
    const ContactMapping m(namedTags);
    xmapi::Row row = emptyRow(m);
    QCOMPARE(m.companyName(row), QString());
    setText(row, m, 33, QStringLiteral("  ACME GmbH \t"));
    QCOMPARE(m.companyName(row), QStringLiteral("ACME GmbH"));
}

void TestContactMapping::personHasNoCompanyId()
{
    const ContactMapping m(namedTags);
    xmapi::Row row = emptyRow(m);
    setText(row, m, 33, QStringLiteral("ACME"));
    QCOMPARE(m.person(row).cid, 0);
}

QTEST_GUILESS_MAIN(TestContactMapping)
#include "TestContactMapping.moc"
