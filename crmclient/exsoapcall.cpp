#include "exsoapcall.h"

namespace
{

QString L(const char* latin1)
{
    return QString::fromLatin1(latin1);
}

QString esc(const QString& text)
{
    return ExSoapCall::xmlEscape(text);
}

// "<name xsi:type="xsd:string">value</name>"; value must already be escaped.
QString strEl(const char* name, const QString& value)
{
    return QLatin1Char('<') + QLatin1String(name) + QLatin1String(" xsi:type=\"xsd:string\">") + value +
           QLatin1String("</") + QLatin1String(name) + QLatin1Char('>');
}

QString intEl(const char* name, const QString& number)
{
    return QLatin1Char('<') + QLatin1String(name) + QLatin1String(" xsi:type=\"xsd:int\">") + number +
           QLatin1String("</") + QLatin1String(name) + QLatin1Char('>');
}
QString intEl(const char* name, qint32 value)
{
    return intEl(name, QString::number(value));
}
QString uintEl(const char* name, qint32 value)
{
    return intEl(name, QString::number(quint32(value)));
}

QString doubleEl(const char* name, double value)
{
    return QLatin1Char('<') + QLatin1String(name) + QLatin1String(" xsi:type=\"xsd:double\">") +
           QString::number(value, 'g', 6) + QLatin1String("</") + QLatin1String(name) + QLatin1Char('>');
}

// A text element that is only written when the value is not empty.
void addText(QString& out, const char* name, const QString& value)
{
    if (!value.isEmpty())
        out += strEl(name, esc(value));
}

QString openTag(const char* name, const char* ns)
{
    if (!ns)
        return QLatin1String("<NS1:") + QLatin1String(name) + QLatin1Char('>');
    return QLatin1String("<NS1:") + QLatin1String(name) + QLatin1String(" xmlns:NS1=\"") + QLatin1String(ns) +
           QLatin1String("\">");
}
QString closeTag(const char* name)
{
    return QLatin1String("</NS1:") + QLatin1String(name) + QLatin1Char('>');
}

enum class Kind { Login, Bool, Unsigned, IntA, IntB, Long, TextIds, TextDate, MailSource, IdList };

struct Reader {
    Kind kind;
    const char* response;
};

Reader readerFor(CrmOp op)
{
    switch (op) {
    case CrmOp::crmPing:
        return {Kind::Bool, "crmPingResponse"};
    case CrmOp::crmcountContacts:
        return {Kind::Unsigned, "crmcountContactsResponse"};
    case CrmOp::crmaddContact:
        return {Kind::IntB, "crmaddContactResponse"};
    case CrmOp::crmaddPerson:
        return {Kind::IntB, "crmaddPersonResponse"};
    case CrmOp::crmgetAppointmentIds:
        return {Kind::IdList, "crmgetAppointmentIdsResponse"};
    case CrmOp::crmaddAppointment:
        return {Kind::IntB, "crmaddAppointmentResponse"};
    case CrmOp::crmchangeAppointments:
        return {Kind::IntB, "crmchangeAppointmentsResponse"};
    case CrmOp::crmdeleteAppointments:
    case CrmOp::crmdeleteAppointments2:
        return {Kind::IntB, "crmdeleteAppointmentsResponse"};
    case CrmOp::crmaddTask:
        return {Kind::IntB, "crmaddTaskResponse"};
    case CrmOp::crmaddTasks:
        return {Kind::IntB, "crmaddTasksResponse"};
    case CrmOp::crmchangeTasks:
        return {Kind::IntB, "crmchangeTasksResponse"};
    case CrmOp::crmAddPContact:
        return {Kind::IntA, "crmAddPContactResponse"};
    case CrmOp::crmChangePContact:
        return {Kind::IntA, "crmChangePContactResponse"};
    case CrmOp::crmdeletePContact:
        return {Kind::IntA, "crmdeletePContactResponse"};
    case CrmOp::crmaddTreeEntry:
        return {Kind::IntA, "crmaddTreeEntryResponse"};
    case CrmOp::crmdeleteEntry:
        return {Kind::IntA, "crmdeleteEntryResponse"};
    // The server names this reply after the old operation name.
    case CrmOp::crmrenameTreeEntry:
        return {Kind::IntA, "crmrenameEntryResponse"};
    case CrmOp::crmgetInboxFolder:
        return {Kind::Long, "crmgetInboxFolderResponse"};
    case CrmOp::crmgetOutboxFolder:
        return {Kind::Long, "crmgetOutboxFolderResponse"};
    case CrmOp::crmgetSentFolder:
        return {Kind::Long, "crmgetSentFolderResponse"};
    case CrmOp::crmgetTrashFolder:
        return {Kind::Long, "crmgetTrashFolderResponse"};
    case CrmOp::crmgetDraftFolder:
        return {Kind::Long, "crmgetDraftFolderResponse"};
    case CrmOp::crmChangeMailItems:
        return {Kind::IntA, "crmChangeMailItemsResponse"};
    case CrmOp::crmCreateMail:
        return {Kind::IntA, "crmCreateMailResponse"};
    case CrmOp::crmSendMail:
        return {Kind::IntA, "crmSendMailResponse"};
    case CrmOp::crmReceiveMail:
        return {Kind::IntA, "crmReceiveMailResponse"};
    case CrmOp::crmgetMailIdsString:
        return {Kind::TextIds, "crmgetMailIdsStringResponse"};
    case CrmOp::crmgetTaskIds:
        return {Kind::IdList, "crmgetTaskIdsResponse"};
    case CrmOp::crmGetPContactIds:
        return {Kind::IdList, "crmGetPContactIdsResponse"};
    case CrmOp::crmgetVersion:
        return {Kind::TextIds, "crmgetVersionResponse"};
    case CrmOp::crmgetAppointmentIdsString:
        return {Kind::TextIds, "crmgetAppointmentIdsStringResponse"};
    case CrmOp::crmGetPContactIdsString:
        return {Kind::TextIds, "crmGetPContactIdsStringResponse"};
    case CrmOp::crmgetTaskIdsString:
        return {Kind::TextIds, "crmgetTaskIdsStringResponse"};
    case CrmOp::crmImportMailSource:
        return {Kind::IntA, "crmImportMailSourceResponse"};
    case CrmOp::crmgetMailSource:
        return {Kind::MailSource, "crmgetMailSourceResponse"};
    case CrmOp::crmaddImapEntry:
        return {Kind::IntA, "crmaddImapEntryResponse"};
    case CrmOp::crmdeletePContactsString:
        return {Kind::IntA, "crmdeletePContactsStringResponse"};
    case CrmOp::crmDeleteMails:
        return {Kind::IntA, "crmDeleteMailsResponse"};
    case CrmOp::crmgetDate:
        return {Kind::TextDate, "crmgetDateResponse"};
    default:
        // crmLogin, the operations without a reader of their own and unknown codes.
        return {Kind::Login, "crmLoginResponse"};
    }
}

} // namespace

ExSoapCall::ExSoapCall()
{
    m_request.envelopeHead = envelopeHead();
    m_request.envelopeTail = envelopeTail();
}

const QString& ExSoapCall::envelopeHead()
{
    static const QString head =
        L("<?xml version=\"1.0\" encoding=\"UTF-8\"?> <SOAP-ENV:Envelope "
          "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
          "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
          "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\"> <SOAP-ENV:Body "
          "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">");
    return head;
}

const QString& ExSoapCall::envelopeTail()
{
    static const QString tail = L("</SOAP-ENV:Body> </SOAP-ENV:Envelope>");
    return tail;
}

void ExSoapCall::setArgument(const QVariant& value)
{
    m_request.argument.clear();
    m_request.argument = value;
}

QString ExSoapCall::xmlEscape(const QString& text)
{
    QString out;
    out.reserve(text.size() + text.size() / 8);
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        switch (u) {
        case u'&':
            out += QLatin1String("&amp;");
            break;
        case u'"':
            out += QLatin1String("&quot;");
            break;
        case u'<':
            out += QLatin1String("&lt;");
            break;
        case u'>':
            out += QLatin1String("&gt;");
            break;
        case 0x0B:
            out += QLatin1Char('\n');
            break; // Outlook's soft line break
        case 0x09:
        case 0x0A:
        case 0x0D:
            out += c;
            break;
        case 0xFFFE:
        case 0xFFFF:
            break; // not characters in XML
        default:
            if (u >= 0x20)
                out += c;
            // other C0 controls are not allowed in XML 1.0: dropped
            break;
        }
    }
    return out;
}

QString ExSoapCall::arg(int index) const
{
    const QVariant& a = m_request.argument;
    if (a.typeId() == QMetaType::QStringList)
        return a.toStringList().value(index);
    if (a.typeId() == QMetaType::QString)
        return index == 0 ? a.toString() : QString();
    return QString();
}

QString ExSoapCall::buildLogin() const
{
    QString login;
    QString pass;
    const QVariant& a = m_request.argument;
    if (a.typeId() == QMetaType::QStringList && a.toStringList().size() == 2) {
        login = esc(a.toStringList().at(0));
        pass = esc(a.toStringList().at(1));
    }
    return m_request.envelopeHead + openTag("crmLogin", "urn:crmlogon") + strEl("login", login) + strEl("pass", pass) +
           closeTag("crmLogin") + m_request.envelopeTail;
}

QVariant ExSoapCall::buildRequest(CrmOp op)
{
    QString body = build(op);
    if (body.isNull())
        return QVariant(buildLogin().toUtf8()); // codes without a builder of their own
    return QVariant(m_request.envelopeHead + body + m_request.envelopeTail);
}

QByteArray ExSoapCall::requestBytes(CrmOp op)
{
    const QVariant request = buildRequest(op);
    if (request.typeId() == QMetaType::QByteArray)
        return request.toByteArray();
    return request.toString().toUtf8();
}

namespace
{

void pcontactElements(QString& out, const PContactItem& p)
{
    out += strEl("list", L("0"));
    addText(out, "firstname", p.firstname);
    addText(out, "lastname", p.lastname);
    addText(out, "emailadr1", p.emailadr1);
    addText(out, "emailadr2", p.emailadr2);
    addText(out, "emailadr3", p.emailadr3);
    addText(out, "phone_work", p.phone_work);
    addText(out, "phone_work2", p.phone_work2);
    addText(out, "phone_home", p.phone_home);
    addText(out, "phone_home2", p.phone_home2);
    addText(out, "phone_fax", p.phone_fax);
    addText(out, "phone_fax_work", p.phone_fax_work);
    addText(out, "phone_pager", p.phone_pager);
    addText(out, "phone_mobil", p.phone_mobil);
    addText(out, "home_address1", p.home_address1);
    addText(out, "home_address2", p.home_address2);
    addText(out, "home_city", p.home_city);
    addText(out, "home_region", p.home_region);
    addText(out, "home_postcode", p.home_postcode);
    addText(out, "home_country", p.home_country);
    addText(out, "work_title", p.work_title);
    addText(out, "work_department", p.work_department);
    addText(out, "work_organisation", p.work_organisation);
    addText(out, "work_address1", p.work_address1);
    addText(out, "work_address2", p.work_address2);
    addText(out, "work_city", p.work_city);
    addText(out, "work_region", p.work_region);
    addText(out, "work_postcode", p.work_postcode);
    addText(out, "work_country", p.work_country);
    addText(out, "work_location", p.work_location);
    addText(out, "work_website", p.work_website);
    addText(out, "other_address1", p.other_address1);
    addText(out, "other_city", p.other_city);
    addText(out, "other_region", p.other_region);
    addText(out, "other_postcode", p.other_postcode);
    addText(out, "other_country", p.other_country);
    addText(out, "notes", p.notes);
    addText(out, "picture", p.picture);
    addText(out, "screen_name", p.screen_name);
    addText(out, "nickname", p.nickname);
    if (p.birthday > 0)
        out += strEl("birthday", QString::number(p.birthday));
    if (p.anniversary > 0)
        out += strEl("anniversary", QString::number(p.anniversary));
    addText(out, "spousename", p.spousename);
    addText(out, "managername", p.managername);
    addText(out, "assistantname", p.assistantname);
    addText(out, "customer_id", p.customer_id);
    addText(out, "gov_id", p.gov_id);
    addText(out, "accountname", p.accountname);
    addText(out, "custom1", p.custom1);
    addText(out, "custom2", p.custom2);
    addText(out, "custom3", p.custom3);
    addText(out, "custom4", p.custom4);
    if (!p.displayname.isEmpty())
        addText(out, "displayname", p.displayname);
    else if (!p.firstname.isEmpty() && !p.lastname.isEmpty())
        addText(out, "displayname", L("%2,%1").arg(p.firstname, p.lastname));
}

void contactElements(QString& out, const crmContactItem& c)
{
    if (!c.company.isEmpty())
        out += strEl("company", esc(c.company.trimmed()));
    addText(out, "department", c.department);
    addText(out, "street", c.street);
    addText(out, "postcode", c.postcode);
    addText(out, "city", c.city);
    addText(out, "region", c.region);
    addText(out, "country", c.country);
    addText(out, "email", c.email);
    addText(out, "phone", c.phone);
    addText(out, "fax", c.fax);
    addText(out, "notes", c.notes);
    addText(out, "number", c.number);
    addText(out, "website", c.website);
    addText(out, "acc_holder", c.acc_holder);
    addText(out, "acc_nr", c.acc_nr);
    addText(out, "bankcode", c.bankcode);
    addText(out, "bankname", c.bankname);
    addText(out, "swift", c.swift);
    addText(out, "iban", c.iban);
    addText(out, "category", c.category);
    addText(out, "branch", c.branch);
    if (c.userid >= 1)
        out += intEl("userid", c.userid);
    addText(out, "code", c.code);
    addText(out, "ustnr", c.ustnr);
    addText(out, "type", c.type);
    addText(out, "superior", c.superior);
}

void personElements(QString& out, const crmPersonItem& p)
{
    out += intEl("cid", p.cid);
    addText(out, "salutation", p.salutation);
    addText(out, "firstname", p.firstname);
    addText(out, "lastname", p.lastname);
    addText(out, "street", p.street);
    addText(out, "postcode", p.postcode);
    addText(out, "city", p.city);
    addText(out, "region", p.region);
    addText(out, "country", p.country);
    addText(out, "phone", p.phone);
    addText(out, "fax", p.fax);
    addText(out, "mobile", p.mobile);
    addText(out, "email", p.email);
    addText(out, "position", p.position);
    if (p.birthday >= 1)
        out += intEl("birthday", p.birthday);
    addText(out, "number", p.number);
    addText(out, "type", p.type);
    addText(out, "notes", p.notes);
}

enum class TaskForm { Add, AddList, ChangeList };

// The fields of a task: for crmaddTask, or as one item of crmaddTasks / crmchangeTasks.
void taskElements(QString& out, const crmTaskItem& t, TaskForm form)
{
    if (form == TaskForm::ChangeList && t.id >= 0)
        out += intEl("id", t.id);
    if (t.start > 0)
        out += intEl("start", t.start);
    if (t.stop > 0)
        out += intEl("stop", t.stop);
    addText(out, "subject", t.subject);
    if (!t.body.trimmed().isEmpty())
        out += strEl("body", esc(t.body)); // sent untrimmed
    if (t.rem >= 0)
        out += intEl("rem", t.rem);
    if (t.rem == 1 && t.remember > 0)
        out += intEl("remember", t.remember);
    if (t.privat >= 0)
        out += intEl("privat", t.privat);
    if (t.priority >= -1)
        out += intEl("priority", t.priority);
    if (t.done >= 0)
        out += intEl("done", t.done);
    if (t.status >= 0)
        out += intEl("status", t.status);
    if (form != TaskForm::ChangeList) {
        if (t.achieved > -1.0)
            out += doubleEl("achieved", t.achieved);
        if (t.planned > -1.0)
            out += doubleEl("planned", t.planned);
    }
    if (t.confirmed >= 0)
        out += intEl("confirmed", t.confirmed);
    if (form == TaskForm::AddList && t.obligingness > -1.0)
        out += doubleEl("obligingness", t.obligingness);
    if (t.serie > 0) {
        out += intEl("serie", t.serie);
        if (t.serieend >= 0)
            out += intEl("serieend", t.serieend);
        if (t.intrval >= 0)
            out += intEl("intrval", t.intrval);
    }
    addText(out, "category", t.category);
    if (!t.contacts.isEmpty()) {
        out += L("<crmTaskItemContacts SOAP-ENC:arrayType=\"NS1:crmTaskItemContact[%1]\" "
                 "xsi:type=\"NS1:crmTaskItemContactArray\">")
                   .arg(t.contacts.size());
        for (const crmTaskItemContact& c : t.contacts) {
            // Both names are always written, also when empty.
            out += L("<item xsi:type=\"NS1:crmTaskItemContact\">") + strEl("firstname", esc(c.firstname)) +
                   strEl("lastname", esc(c.lastname)) + L("</item>");
        }
        out += L("</crmTaskItemContacts>");
    }
    if (form == TaskForm::AddList)
        addText(out, "category", t.category);
}

// The fields of an appointment: for crmaddAppointment (change = false) or as one item of
// crmchangeAppointments (change = true: the id first, no pid, contacts without display name).
void appointmentElements(QString& out, const crmAppointmentItem& a, bool change)
{
    if (change && a.id >= 0)
        out += intEl("id", a.id);
    out += uintEl("start", a.start);
    if (a.stop != 0)
        out += uintEl("stop", a.stop);
    addText(out, "subject", a.subject);
    addText(out, "body", a.body);
    addText(out, "cid", a.cid);
    addText(out, "userid", a.userid);
    out += intEl("confirmed", a.confirmed);
    if (!change && a.pid > 0)
        out += intEl("pid", a.pid);
    if (a.day >= 0)
        out += intEl("day", a.day);
    if (a.rem >= 0)
        out += intEl("rem", a.rem);
    addText(out, "city", a.city);
    if (a.status >= 0)
        out += intEl("status", a.status);
    if (a.privat >= 0)
        out += intEl("privat", a.privat);
    if (a.done >= 0)
        out += intEl("done", a.done);
    if (a.serie >= 0)
        out += intEl("serie", a.serie);
    if (a.serie > 0) {
        out += intEl("intrval", a.intrval);
        out += uintEl("serieend", a.serieend);
    }
    addText(out, "category", a.category);
    if (a.remember != 0)
        out += uintEl("remember", a.remember);
    if (a.contacts.isEmpty())
        return;
    out += L("<crmAppointmentItemContacts SOAP-ENC:arrayType=\"NS1:crmAppointmentItemContact[%1]\" "
             "xsi:type=\"NS1:crmAppointmentItemContactArray\">")
               .arg(a.contacts.size());
    for (const crmAppointmentItemContact& c : a.contacts) {
        out += L("<item xsi:type=\"NS1:crmAppointmentItemContact\">");
        addText(out, "cid", c.cid);
        if (!change)
            addText(out, "displayname", c.displayname);
        addText(out, "firstname", c.firstname);
        addText(out, "lastname", c.lastname);
        addText(out, "emailadr1", c.emailadr1);
        addText(out, "work_organisation", c.work_organisation);
        out += L("</item>");
    }
    out += L("</crmAppointmentItemContacts>");
}

} // namespace

// The operation element with its parameters, or a null string for codes without a builder.
QString ExSoapCall::build(CrmOp op)
{
    auto session = [this](bool trimmed = false) {
        const QString id = trimmed ? arg(0).trimmed() : arg(0);
        return strEl("session_id", esc(id));
    };
    auto param = [this](const char* name, int index) { return strEl(name, esc(arg(index))); };
    auto fixed = [](const char* name, const char* value) { return strEl(name, L(value)); };
    // Operation element around the given parameters.
    auto simple = [](const char* name, const char* ns, const QString& params) {
        return openTag(name, ns) + params + closeTag(name);
    };

    QString out;
    switch (op) {
    case CrmOp::crmLogin: {
        const QString request = buildLogin();
        return request.mid(m_request.envelopeHead.size(),
                           request.size() - m_request.envelopeHead.size() - m_request.envelopeTail.size());
    }
    case CrmOp::crmPing:
        return simple("crmPing", "urn:crmlogon", session());
    case CrmOp::crmgetVersion:
        return simple("crmgetVersion", nullptr, session());
    case CrmOp::crmgetDate:
        return simple("crmgetDate", nullptr, session());

    // Contacts and the personal address book.
    case CrmOp::crmAddPContact:
    case CrmOp::crmChangePContact: {
        const bool add = op == CrmOp::crmAddPContact;
        const char* name = add ? "crmAddPContact" : "crmChangePContact";
        static const PContactItem empty;
        const PContactItem& p = m_request.pcontact ? *m_request.pcontact : empty;
        out = openTag(name, "urn:crmemail") + session();
        if (!add)
            out += strEl("contact_id", QString::number(p.contact_id));
        out += L("<PContactItem xsi:type=\"NS1:PContactItem\">");
        pcontactElements(out, p);
        out += L("</PContactItem>") + closeTag(name);
        return out;
    }
    case CrmOp::crmGetPContacts:
        return simple("crmGetPContacts", nullptr,
                      session() + fixed("search", "") + param("timestamp", 1) + fixed("count", "0") +
                          fixed("offset", "0"));
    case CrmOp::crmGetPContactIdsString:
        return simple("crmGetPContactIdsString", "urn:crmmails",
                      session() + fixed("search", "") + fixed("timestamp", "0") + fixed("count", "0") +
                          fixed("offset", "0"));
    case CrmOp::crmdeletePContact:
        return simple("crmdeletePContact", nullptr, session() + param("contact_id", 1));
    case CrmOp::crmdeletePContactsString:
        return simple("crmdeletePContactsString", nullptr, session() + param("contact_ids", 1));
    case CrmOp::crmaddContact: {
        static const crmContactItem empty;
        out = openTag("crmaddContact", "urn:contacts") + session() +
              L("<crmContactItem xsi:type=\"NS1:crmContactItem\">");
        contactElements(out, m_request.contact ? *m_request.contact : empty);
        out += L("</crmContactItem>") + closeTag("crmaddContact");
        return out;
    }
    case CrmOp::crmaddPerson: {
        static const crmPersonItem empty;
        out = openTag("crmaddPerson", "urn:contacts") + session() + L("<crmPersonItem xsi:type=\"NS1:crmPersonItem\">");
        personElements(out, m_request.person ? *m_request.person : empty);
        out += L("</crmPersonItem>") + closeTag("crmaddPerson");
        return out;
    }
    case CrmOp::crmgetContactIds:
        return simple("crmgetContactIds", "urn:contacts", session() + param("timestamp", 1));
    case CrmOp::crmgetChangedUsers:
        return simple("crmgetChangedUsers", nullptr, session() + param("timestamp", 1));

    // Tasks and appointments.
    case CrmOp::crmaddTask: {
        crmTaskItem scratch;
        crmTaskItem& t = m_request.task ? *m_request.task : scratch;
        // A task with only one of its dates gets it as both, in the record itself.
        if (t.start >= 1 && t.stop < 1)
            t.stop = t.start;
        else if (t.start < 1 && t.stop > 0)
            t.start = t.stop;
        out = openTag("crmaddTask", "urn:tasks") + session(true) + L("<crmTaskItem xsi:type=\"NS1:crmTaskItem\">");
        taskElements(out, t, TaskForm::Add);
        out += L("</crmTaskItem>") + closeTag("crmaddTask");
        return out;
    }
    case CrmOp::crmaddTasks:
    case CrmOp::crmchangeTasks: {
        const bool change = op == CrmOp::crmchangeTasks;
        const char* name = change ? "crmchangeTasks" : "crmaddTasks";
        const QList<crmTaskItem> none;
        const QList<crmTaskItem>& tasks = m_request.tasks ? *m_request.tasks : none;
        out = openTag(name, "urn:tasks") + session() + L("<crmTasksItems xsi:type=\"NS1:crmTasksItems\">") +
              L("<crmTaskItems SOAP-ENC:arrayType=\"NS1:crmTaskItem[%1]\" xsi:type=\"NS1:crmTaskItemArray\">")
                  .arg(tasks.size());
        for (const crmTaskItem& t : tasks) {
            out += L("<item xsi:type=\"NS1:crmTaskItem\">");
            taskElements(out, t, change ? TaskForm::ChangeList : TaskForm::AddList);
            out += L("</item>");
        }
        out += L("</crmTaskItems></crmTasksItems>") + closeTag(name);
        return out;
    }
    case CrmOp::crmaddAppointment: {
        static const crmAppointmentItem empty;
        out = openTag("crmaddAppointment", "urn:crmdates") + session() +
              L("<crmAppointmentItem xsi:type=\"NS1:crmAppointmentItem\">");
        appointmentElements(out, m_request.appointment ? *m_request.appointment : empty, false);
        out += L("</crmAppointmentItem>") + closeTag("crmaddAppointment");
        return out;
    }
    case CrmOp::crmchangeAppointments: {
        const QList<crmAppointmentItem> none;
        const QList<crmAppointmentItem>& items = m_request.appointments ? *m_request.appointments : none;
        out = openTag("crmchangeAppointments", "urn:crmdates") + session() +
              L("<crmAppointmentsItems xsi:type=\"NS1:crmAppointmentsItems\">") +
              L("<crmAppointmentItems SOAP-ENC:arrayType=\"NS1:crmAppointmentItem[%1]\" "
                "xsi:type=\"NS1:crmAppointmentItemArray\">")
                  .arg(items.size());
        for (const crmAppointmentItem& a : items) {
            out += L("<item xsi:type=\"NS1:crmAppointmentItem\">");
            appointmentElements(out, a, true);
            out += L("</item>");
        }
        out += L("</crmAppointmentItems></crmAppointmentsItems>") + closeTag("crmchangeAppointments");
        return out;
    }
    case CrmOp::crmgetAppointmentIds:
        return simple("crmgetAppointmentIds", "urn:crmdates", session() + param("userid", 1) + param("timestamp", 2));
    case CrmOp::crmgetAppointmentIdsString:
        return simple("crmgetAppointmentIdsString", "urn:crmdates",
                      session() + fixed("userid", "0") + fixed("timestamp", "0"));
    case CrmOp::crmgetTaskIdsString:
        return simple("crmgetTaskIdsString", "urn:crmdates",
                      session() + fixed("userid", "0") + fixed("timestamp", "0"));
    case CrmOp::crmgetAppointments:
        return simple("crmgetAppointments", "urn:crmdates",
                      session() + fixed("userid", "0") + fixed("day", "0") + fixed("month", "0") + fixed("year", "0"));
    case CrmOp::crmgetChangedAppointments:
        return simple("crmgetChangedAppointments", "urn:crmdates",
                      session() + fixed("userid", "0") + param("timestamp", 1));
    case CrmOp::crmgetChangedTasks:
        return simple("crmgetChangedTasks", "urn:crmdates", session() + param("userid", 1) + param("timestamp", 2));
    case CrmOp::crmdeleteAppointments:
    case CrmOp::crmdeleteAppointments2:
        return simple("crmdeleteAppointments", nullptr, session() + param("appointment_ids", 1));
    case CrmOp::crmdeleteTasks:
        return simple("crmdeleteTasks", "urn:crmdates", session() + param("task_ids", 1));
    case CrmOp::crmgetHolidays:
        return simple("crmgetHolidays", nullptr, session() + param("year", 1));
    case CrmOp::crmgetVacationDates:
        return simple("crmgetVacationDates", nullptr, session() + fixed("userid", "0") + param("year", 1));

    // Mail and folder tree.
    case CrmOp::crmgetInboxFolder:
    case CrmOp::crmgetOutboxFolder:
    case CrmOp::crmgetSentFolder:
    case CrmOp::crmgetTrashFolder:
    case CrmOp::crmgetDraftFolder: {
        const QString name = operationName(op);
        const bool hasKonto =
            m_request.argument.typeId() == QMetaType::QStringList && m_request.argument.toStringList().size() == 2;
        return L("<NS1:%1 xmlns:NS1=\"urn:crmemail\">").arg(name) + session() +
               (hasKonto ? param("konto", 1) : fixed("konto", "0")) + L("</NS1:%1>").arg(name);
    }
    case CrmOp::crmaddTreeEntry:
        return simple("crmaddTreeEntry", "urn:crmemail", session() + param("parent", 1) + param("name", 2));
    case CrmOp::crmaddImapEntry:
        return L("<NS1:crmaddImapEntry  xmlns:NS1=\"urn:crmemail\">") + session() + param("parent", 1) +
               param("name", 2) + L("</NS1:crmaddImapEntry >");
    case CrmOp::crmdeleteEntry:
        return simple("crmdeleteEntry", "urn:crmemail", session() + param("tree_id", 1));
    case CrmOp::crmrenameTreeEntry:
        return simple("crmrenameTreeEntry", "urn:crmemail", session() + param("tree_id", 1) + param("newname", 2));
    case CrmOp::crmgetMail:
        return simple("crmgetMail", "urn:crmemail",
                      session() + param("mail_id", 1) + param("attachments", 2) + fixed("gzip", "0"));
    case CrmOp::crmChangeMailItems: {
        const QList<ChangeMailItemsElement> none;
        const QList<ChangeMailItemsElement>& items = m_request.mailChanges ? *m_request.mailChanges : none;
        out = openTag("crmChangeMailItems", "urn:crmemail") + session() +
              L("<ChangeMailItems xsi:type=\"NS1:ChangeMailItems\">") +
              L("<ChangeMailItemsElements SOAP-ENC:arrayType=\"NS1:ChangeMailItemsElement[%1]\" "
                "xsi:type=\"NS1:ChangeMailItemsElementArray\">")
                  .arg(items.size());
        for (const ChangeMailItemsElement& e : items) {
            out += L("<item xsi:type=\"NS1:ChangeMailItemsElement\">");
            if (e.id > 0)
                out += strEl("id", QString::number(e.id));
            if (e.folder > 0)
                out += strEl("folder", QString::number(e.folder));
            if (e.was_read >= 0)
                out += strEl("was_read", QString::number(e.was_read));
            out += L("</item>");
        }
        out += L("</ChangeMailItemsElements></ChangeMailItems>") + closeTag("crmChangeMailItems");
        return out;
    }
    case CrmOp::crmSendMail:
        return simple("crmSendMail", "urn:crmemail", session());
    case CrmOp::crmReceiveMail:
        return simple("crmReceiveMail", "urn:crmemail", session() + fixed("account_id", "0"));
    case CrmOp::crmgetMailIdsString:
    case CrmOp::crmgetMailHeaders: {
        const char* name = op == CrmOp::crmgetMailIdsString ? "crmgetMailIdsString" : "crmgetMailHeaders";
        return simple(name, "urn:crmemail",
                      session() + param("tree_id", 1) + param("timestamp", 2) + fixed("count", "0") +
                          fixed("offset", "0"));
    }
    case CrmOp::crmGetEmailAccounts:
        return simple("crmGetEmailAccounts", "urn:crmemail", session());
    case CrmOp::crmSyncImapMail:
        return simple("crmSyncImapMail", "urn:crmemail", session());
    case CrmOp::crmgetMailSource:
        return L("<NS1:crmgetMailSource  xmlns:NS1=\"urn:crmmails\">") + session() + param("mail_id", 1) +
               fixed("gzip", "0") + closeTag("crmgetMailSource");
    case CrmOp::crmDeleteMails:
        return simple("crmDeleteMails", nullptr, session(true) + strEl("mail_ids", esc(arg(1).trimmed())));
    case CrmOp::crmgetTree:
        return simple("crmgetTree", nullptr, session());
    default:
        return QString(); // no builder of its own
    }
}

QString ExSoapCall::operationName(CrmOp op)
{
    static const char* const names[61] = {"crmLogin",
                                          "crmPing",
                                          "crmcountContacts",
                                          nullptr,
                                          "crmaddContact",
                                          nullptr,
                                          "crmaddPerson",
                                          nullptr,
                                          nullptr,
                                          "crmgetAppointmentIds",
                                          "crmgetAppointments",
                                          "crmaddAppointment",
                                          nullptr,
                                          "crmgetChangedAppointments",
                                          "crmchangeAppointments",
                                          "crmdeleteAppointments",
                                          "crmgetChangedTasks",
                                          "crmaddTask",
                                          "crmaddTasks",
                                          "crmdeleteTasks",
                                          "crmchangeTasks",
                                          "crmgetContactIds",
                                          "crmdeleteAppointments",
                                          "crmgetTree",
                                          "crmAddPContact",
                                          "crmGetPContacts",
                                          "crmChangePContact",
                                          "crmdeletePContact",
                                          "crmaddTreeEntry",
                                          "crmdeleteEntry",
                                          "crmrenameTreeEntry",
                                          "crmgetMail",
                                          "crmgetInboxFolder",
                                          "crmgetOutboxFolder",
                                          "crmgetSentFolder",
                                          nullptr,
                                          "crmgetTrashFolder",
                                          "crmgetDraftFolder",
                                          "crmChangeMailItems",
                                          "crmCreateMail",
                                          "crmSendMail",
                                          "crmReceiveMail",
                                          "crmgetMailIdsString",
                                          "crmgetMailHeaders",
                                          "crmGetEmailAccounts",
                                          "crmgetChangedUsers",
                                          "crmgetTaskIds",
                                          "crmGetPContactIds",
                                          "crmgetVersion",
                                          "crmgetHolidays",
                                          "crmgetVacationDates",
                                          "crmgetAppointmentIdsString",
                                          "crmGetPContactIdsString",
                                          "crmgetTaskIdsString",
                                          "crmSyncImapMail",
                                          "crmImportMailSource",
                                          "crmgetMailSource",
                                          "crmaddImapEntry",
                                          "crmdeletePContactsString",
                                          "crmDeleteMails",
                                          "crmgetDate"};
    const int code = static_cast<int>(op);
    if (code < 0 || code > 60 || !names[code])
        return QString();
    return QString::fromLatin1(names[code]);
}

void ExSoapCall::feedResponse(const QByteArray& bytes)
{
    m_reader.clear();
    m_reader.addData(bytes);
}

// Scans for the response element whose very next token is the start tag of "return". Anything
// between the two (even white space) makes the scan pass over it.
bool ExSoapCall::findReturn(const QString& responseName)
{
    while (!m_reader.atEnd()) {
        m_reader.readNext();
        if (m_reader.isStartElement() && m_reader.name() == responseName) {
            m_reader.readNext();
            if (m_reader.isStartElement() && m_reader.name() == QLatin1String("return"))
                return true;
        }
    }
    return false;
}

QString ExSoapCall::returnText()
{
    return m_reader.readElementText(QXmlStreamReader::IncludeChildElements);
}

QVariant ExSoapCall::parseResponse(CrmOp op)
{
    const Reader reader = readerFor(op);
    const bool found = findReturn(QLatin1String(reader.response));
    switch (reader.kind) {
    case Kind::Login:
        return found ? QVariant(returnText().toUtf8()) : QVariant(QByteArrayLiteral("error"));
    case Kind::Bool:
        return found ? QVariant(returnText().toInt() == 1) : QVariant(false);
    case Kind::Unsigned:
        return found ? QVariant(returnText().toUInt()) : QVariant(0u);
    case Kind::IntA:
        return found ? QVariant(returnText().toInt()) : QVariant(-2);
    case Kind::IntB:
        return found ? QVariant(returnText().toInt()) : QVariant(0);
    case Kind::Long:
        return found ? QVariant(returnText().toLongLong()) : QVariant(qlonglong(-2));
    case Kind::TextIds:
        return found ? QVariant(returnText()) : QVariant(L("error"));
    case Kind::TextDate:
        return found ? QVariant(returnText()) : QVariant(QString());
    case Kind::MailSource:
        return found ? QVariant(returnText().toUtf8()) : QVariant(QByteArray());
    case Kind::IdList: {
        QList<int> ids;
        if (!found)
            return QVariant::fromValue(ids);
        while (!m_reader.atEnd() && !(m_reader.isEndElement() && m_reader.name() == QLatin1String("return"))) {
            m_reader.readNext();
            if (m_reader.isStartElement() && m_reader.name() == QLatin1String("item")) {
                m_reader.readNext();
                if (m_reader.isStartElement() && m_reader.name() == QLatin1String("id"))
                    ids.append(m_reader.readElementText(QXmlStreamReader::IncludeChildElements).toInt());
            }
        }
        return QVariant::fromValue(ids);
    }
    }
    return QVariant();
}
