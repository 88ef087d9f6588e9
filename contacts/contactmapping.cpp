#include "contactmapping.h"

#include "propaccess.h"

#include <QDateTime>
#include <QDebug>

#include <utility>

namespace {

// Column positions (0-based) in the row.
enum Column {
    GivenName = 0, MiddleName, Surname, DisplayName, Nickname, SpouseName, ChildrensNames, Birthday,
    WeddingAnniversary, Email1, Email2, Email3, InstantMessaging, BusinessPhone, Business2Phone, HomePhone,
    Home2Phone, HomeFax, BusinessFax, Pager, Mobile, CarPhone, RadioPhone, CompanyMainPhone, AssistantPhone,
    HomeStreet, HomeCity, HomeState, HomePostalCode, HomeCountry, PersonalHomePage, Title, Department,
    CompanyName, BusinessStreet, BusinessCity, BusinessState, BusinessPostalCode, BusinessCountry,
    BusinessHomePage, OfficeLocation, OtherStreet, OtherCity, OtherState, OtherPostalCode, OtherCountry,
    Assistant, Body, ColumnCount
};

enum class Kind { Text, Joined };

template <typename Record>
struct TextField {
    int column;
    QString Record::*field;
    const char* label;
    const char* failure;
    Kind kind = Kind::Text;
};

using PField = TextField<PContactItem>;
using CField = TextField<crmContactItem>;
using PerField = TextField<crmPersonItem>;

// Personal address-book entry, in log order. The two dates are handled apart, between the children and
// the e-mail addresses.
const PField personalBefore[] = {
    {GivenName, &PContactItem::firstname, "FNAME: ", "EX_VORNAME failed"},
    {MiddleName, &PContactItem::middle_name, "MNAME: ", "EX_MNAME failed"},
    {Surname, &PContactItem::lastname, "LNAME: ", "EX_LNAME failed"},
    {DisplayName, &PContactItem::displayname, "DNAME: ", "EX_DNAME failed"},
    {Nickname, &PContactItem::nickname, "NICK: ", "EX_NICK failed"},
    {SpouseName, &PContactItem::spousename, "SPOUSE: ", "EX_SPOSE failed"},
    {ChildrensNames, &PContactItem::childrens, "CHILDRENS: ", "EX_CHILDRENS failed", Kind::Joined},
};

const PField personalAfter[] = {
    {Email1, &PContactItem::emailadr1, "EMAIL1: ", "EX_EMAIL1 failed"},
    {Email2, &PContactItem::emailadr2, "EMAIL2: ", "EX_EMAIL2 failed"},
    {Email3, &PContactItem::emailadr3, "EMAIL3: ", "EX_EMAIL3 failed"},
    {InstantMessaging, &PContactItem::screen_name, "IM: ", "EX_IM failed"},
    {BusinessPhone, &PContactItem::phone_work, "WT: ", "WT failed"},
    {Business2Phone, &PContactItem::phone_work2, "WT2: ", "WT2 failed"},
    {HomePhone, &PContactItem::phone_home, "HT: ", "HT failed"},
    {Home2Phone, &PContactItem::phone_home2, "HT2: ", "HT2 failed"},
    {HomeFax, &PContactItem::phone_fax, "fax: ", "fax failed"},
    {BusinessFax, &PContactItem::phone_fax_work, "fax w: ", "fax  w failed"},
    {Pager, &PContactItem::phone_pager, "pager: ", "pager failed"},
    {Mobile, &PContactItem::phone_mobil, "mobile: ", "mobile failed"},
    {CarPhone, &PContactItem::phone_car, "car: ", "car failed"},
    {RadioPhone, &PContactItem::phone_radio, "radio: ", "radio failed"},
    {CompanyMainPhone, &PContactItem::phone_company, "compt: ", "compt failed"},
    {AssistantPhone, &PContactItem::phone_assistant, "asstel: ", "asstel failed"},
    {HomeStreet, &PContactItem::home_address1, "EX_HOME_STREET: ", "EX_HOME_STREET failed"},
    {HomeCity, &PContactItem::home_city, "EX_HOME_CITY: ", "EX_HOME_CITY failed"},
    {HomeState, &PContactItem::home_region, "EX_HOME_STATE: ", "EX_HOME_STATE failed"},
    {HomePostalCode, &PContactItem::home_postcode, "EX_HOME_PLZ: ", "EX_HOME_PLZ failed"},
    {HomeCountry, &PContactItem::home_country, "EX_HOME_COUNTRY: ", "EX_HOME_COUNTRY failed"},
    {PersonalHomePage, &PContactItem::home_page, "EX_HOME_WWW: ", "EX_HOME_WWW failed"},
    {Title, &PContactItem::work_title, "EX_TITLE: ", "EX_TITLE failed"},
    {Department, &PContactItem::work_department, "DEPARTMENT: ", "EX_DEPARTMENT failed"},
    {CompanyName, &PContactItem::work_organisation, "COMPANY: ", "EX_COMPANY_NAME failed"},
    {BusinessStreet, &PContactItem::work_address1, "STREET: ", "EX_WORK_STREET failed"},
    {BusinessCity, &PContactItem::work_city, "EX_WORK_CITY: ", "EX_WORK_CITY failed"},
    {BusinessState, &PContactItem::work_region, "EX_WORK_STATE: ", "EX_WORK_STATE failed"},
    {BusinessPostalCode, &PContactItem::work_postcode, "EX_WORK_PLZ: ", "EX_WORK_PLZ failed"},
    {BusinessCountry, &PContactItem::work_country, "EX_WORK_COUNTRY: ", "EX_WORK_COUNTRY failed"},
    {BusinessHomePage, &PContactItem::work_website, "EX_WORK_WWW: ", "EX_WORK_WWW failed"},
    {OfficeLocation, &PContactItem::work_location, "EX_OFFICE: ", "EX_OFFICE failed"},
    {OtherStreet, &PContactItem::other_address1, "EX_OTHER_STREET: ", "EX_OTHER_STREET failed"},
    {OtherCity, &PContactItem::other_city, "EX_OTHER_CITY: ", "EX_OTHER_CITY failed"},
    {OtherState, &PContactItem::other_region, "EX_OTHER_STATE: ", "EX_OTHER_STATE failed"},
    {OtherPostalCode, &PContactItem::other_postcode, "EX_OTHER_PLZ: ", "EX_OTHER_PLZ failed"},
    {OtherCountry, &PContactItem::other_country, "EX_OTHER_COUNTRY: ", "EX_OTHER_COUNTRY failed"},
    {Assistant, &PContactItem::assistantname, "EX_ASSISTANT: ", "EX_ASSISTANT failed"},
    {Body, &PContactItem::notes, "EX_BODY: ", "EX_BODY failed"},
};

const CField companyFields[] = {
    {CompanyName, &crmContactItem::company, "COMPANY: ", "EX_COMPANY_NAME failed"},
    {Department, &crmContactItem::department, "DEPARTMENT: ", "EX_DEPARTMENT failed"},
    {BusinessStreet, &crmContactItem::street, "STREET: ", "EX_WORK_STREET failed"},
    {BusinessPostalCode, &crmContactItem::postcode, "EX_WORK_PLZ: ", "EX_WORK_PLZ failed"},
    {BusinessCity, &crmContactItem::city, "EX_WORK_CITY: ", " EX_WORK_CITY failed"},
    {Email1, &crmContactItem::email, "EMAIL: ", "EX_EMAIL1 failed"},
    {BusinessPhone, &crmContactItem::phone, "EX_WORK_TEL: ", "EX_WORK_TEL failed"},
    {BusinessFax, &crmContactItem::fax, "EX_WORK_FAX: ", "EX_WORK_FAX failed"},
    {BusinessState, &crmContactItem::region, "EX_WORK_STATE: ", "EX_WORK_STATE failed"},
    {BusinessCountry, &crmContactItem::country, "EX_WORK_COUNTRY: ", "EX_WORK_COUNTRY failed"},
    {Body, &crmContactItem::notes, "EX_BODY: ", "EX_BODY failed"},
    {BusinessHomePage, &crmContactItem::website, "EX_WORK_WWW: ", "EX_WORK_WWW failed"},
};

// The person: names, then the birthday, then the rest.
const PerField personBefore[] = {
    {GivenName, &crmPersonItem::firstname, "FNAME: ", "EX_VORNAME failed"},
    {Surname, &crmPersonItem::lastname, "LNAME: ", "EX_LNAME failed"},
};

const PerField personAfter[] = {
    {HomeCity, &crmPersonItem::city, "EX_HOME_CITY: ", "EX_HOME_CITY failed"},
    {HomeCountry, &crmPersonItem::country, "EX_HOME_COUNTRY: ", "EX_HOME_COUNTRY failed"},
    {Email1, &crmPersonItem::email, "EMAIL: ", "EX_EMAIL1 failed"},
    {HomeFax, &crmPersonItem::fax, "fax: ", "fax failed"},
    {Mobile, &crmPersonItem::mobile, "mobile: ", "mobile failed"},
    {Body, &crmPersonItem::notes, "EX_BODY: ", "EX_BODY failed"},
    {HomePhone, &crmPersonItem::phone, "HT: ", "HT failed"},
    {Title, &crmPersonItem::position, "EX_TITLE: ", "EX_TITLE failed"},
    {HomePostalCode, &crmPersonItem::postcode, "PLZ: ", "PLZ failed"},
    {HomeState, &crmPersonItem::region, "EX_HOME_STATE: ", "EX_HOME_STATE failed"},
    {HomeStreet, &crmPersonItem::street, "EX_HOME_STREET: ", "EX_HOME_STREET failed"},
};

template <typename Record, std::size_t N>
void fill(Record& record, const TextField<Record> (&fields)[N], const xmapi::Row& row,
          const std::vector<xmapi::PropTag>& columns)
{
    for (const TextField<Record>& f : fields) {
        if (HasColumn(row, f.column, columns[static_cast<std::size_t>(f.column)])) {
            const xmapi::PropValue& value = row[static_cast<std::size_t>(f.column)];
            QString text = f.kind == Kind::Joined ? JoinedText(value) : TextOf(value);
            qDebug() << f.label << text;
            record.*(f.field) = std::move(text);
        } else {
            qDebug() << f.failure;
        }
    }
}

// Reads a time column; false when absent.
bool timeOf(const xmapi::Row& row, int column, const std::vector<xmapi::PropTag>& columns, xmapi::FileTime* ft)
{
    if (!HasColumn(row, column, columns[static_cast<std::size_t>(column)]))
        return false;
    *ft = row[static_cast<std::size_t>(column)].ft;
    return true;
}

QString shownAsDateTime(qint32 crmTime)
{
    return QDateTime::fromSecsSinceEpoch(crmTime).toString(Qt::ISODate);
}

} // namespace

ContactMapping::ContactMapping(std::vector<xmapi::PropTag> namedTags)
    : m_columns(ContactColumns(namedTags))
{
}

qint32 ContactMapping::birthdayOf(const xmapi::FileTime& ft)
{
    const quint32 crm = CrmTime(ft);
    if (crm == NoTime)
        return 0;  // an out-of-range birthday is not sent, like the anniversary
    return static_cast<qint32>(crm + 3600u);
}

qint32 ContactMapping::anniversaryOf(const xmapi::FileTime& ft)
{
    const quint32 crm = CrmTime(ft);
    return crm == NoTime ? -1 : static_cast<qint32>(crm);
}

PContactItem ContactMapping::personalContact(const xmapi::Row& row) const
{
    qDebug() << "MAKE P CONTACT";
    PContactItem item;
    if (row.size() < ColumnCount)
        return item;
    fill(item, personalBefore, row, m_columns);

    xmapi::FileTime ft;
    if (timeOf(row, Birthday, m_columns, &ft)) {
        item.birthday = birthdayOf(ft);
        qDebug() << "BIRTHDAY: " << shownAsDateTime(item.birthday);
    } else {
        qDebug() << "EX_BIRTHDAY  failed";
    }
    if (timeOf(row, WeddingAnniversary, m_columns, &ft)) {
        item.anniversary = anniversaryOf(ft);
        qDebug() << "ANNIVER: " << shownAsDateTime(item.anniversary);
    } else {
        qDebug() << "EX_ANNIVER  failed";
    }

    fill(item, personalAfter, row, m_columns);
    return item;
}

crmContactItem ContactMapping::company(const xmapi::Row& row) const
{
    crmContactItem item;
    if (row.size() < ColumnCount)
        return item;
    fill(item, companyFields, row, m_columns);
    return item;
}

crmPersonItem ContactMapping::person(const xmapi::Row& row) const
{
    crmPersonItem item;
    if (row.size() < ColumnCount)
        return item;
    fill(item, personBefore, row, m_columns);
    xmapi::FileTime ft;
    if (timeOf(row, Birthday, m_columns, &ft)) {
        item.birthday = birthdayOf(ft);
        qDebug() << "BIRTHDAY: " << shownAsDateTime(item.birthday);
    } else {
        qDebug() << "EX_BIRTHDAY  failed";
    }
    fill(item, personAfter, row, m_columns);
    return item;
}

QString ContactMapping::companyName(const xmapi::Row& row) const
{
    if (row.size() < ColumnCount || !HasColumn(row, CompanyName, m_columns[CompanyName]))
        return {};
    return TextOf(row[CompanyName]).trimmed();
}
