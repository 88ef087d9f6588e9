// SOAP 1.1 rpc/encoded codec of the CRM: request text from an operation code and its arguments,
// typed result from the response bytes. Knows nothing of HTTP (CExHTTPn carries the bytes).
#pragma once

#include "crmitems.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QXmlStreamReader>

// The CRM operation catalogue. Codes 3, 5, 7, 8, 12 and 35 are unassigned; 15 and 22 are the same
// operation. Codes without a request builder (2, 3, 5, 7, 8, 12, 35, 39, 46, 47, 55 and any code
// above 60) build the crmLogin request instead.
enum class CrmOp : int {
    crmLogin = 0,
    crmPing = 1,
    crmcountContacts = 2,
    crmaddContact = 4,
    crmaddPerson = 6,
    crmgetAppointmentIds = 9,
    crmgetAppointments = 10,
    crmaddAppointment = 11,
    crmgetChangedAppointments = 13,
    crmchangeAppointments = 14,
    crmdeleteAppointments = 15,
    crmgetChangedTasks = 16,
    crmaddTask = 17,
    crmaddTasks = 18,
    crmdeleteTasks = 19,
    crmchangeTasks = 20,
    crmgetContactIds = 21,
    crmdeleteAppointments2 = 22,
    crmgetTree = 23,
    crmAddPContact = 24,
    crmGetPContacts = 25,
    crmChangePContact = 26,
    crmdeletePContact = 27,
    crmaddTreeEntry = 28,
    crmdeleteEntry = 29,
    crmrenameTreeEntry = 30,
    crmgetMail = 31,
    crmgetInboxFolder = 32,
    crmgetOutboxFolder = 33,
    crmgetSentFolder = 34,
    crmgetTrashFolder = 36,
    crmgetDraftFolder = 37,
    crmChangeMailItems = 38,
    crmCreateMail = 39,
    crmSendMail = 40,
    crmReceiveMail = 41,
    crmgetMailIdsString = 42,
    crmgetMailHeaders = 43,
    crmGetEmailAccounts = 44,
    crmgetChangedUsers = 45,
    crmgetTaskIds = 46,
    crmGetPContactIds = 47,
    crmgetVersion = 48,
    crmgetHolidays = 49,
    crmgetVacationDates = 50,
    crmgetAppointmentIdsString = 51,
    crmGetPContactIdsString = 52,
    crmgetTaskIdsString = 53,
    crmSyncImapMail = 54,
    crmImportMailSource = 55,
    crmgetMailSource = 56,
    crmaddImapEntry = 57,
    crmdeletePContactsString = 58,
    crmDeleteMails = 59,
    crmgetDate = 60,
};

// Request context: the argument and the item slots. The slots do not own their records; the
// caller keeps each record alive until the request has been built.
struct ExSoapRequest {
    QVariant argument; // QStringList (logon: [login, password]; others: [session id, ...]) or QString
    const PContactItem* pcontact = nullptr;
    const crmContactItem* contact = nullptr;
    const crmPersonItem* person = nullptr;
    crmTaskItem* task = nullptr; // crmaddTask normalises its start/stop in place
    const QList<crmTaskItem>* tasks = nullptr;
    const crmAppointmentItem* appointment = nullptr;
    const QList<crmAppointmentItem>* appointments = nullptr;
    const QList<ChangeMailItemsElement>* mailChanges = nullptr;
    QString envelopeHead;
    QString envelopeTail;
};

class ExSoapCall
{
public:
    ExSoapCall();
    ExSoapCall(const ExSoapCall&) = delete;
    ExSoapCall& operator=(const ExSoapCall&) = delete;

    static const QString& envelopeHead();
    static const QString& envelopeTail();

    // Replaces the argument: a QStringList read by position, or a QString (the session id).
    void setArgument(const QVariant& value);
    ExSoapRequest& request() { return m_request; }

    // Item slots (not owned).
    void setPContact(const PContactItem* item) { m_request.pcontact = item; }
    void setContact(const crmContactItem* item) { m_request.contact = item; }
    void setPerson(const crmPersonItem* item) { m_request.person = item; }
    void setTask(crmTaskItem* item) { m_request.task = item; }
    void setTasks(const QList<crmTaskItem>* items) { m_request.tasks = items; }
    void setAppointment(const crmAppointmentItem* item) { m_request.appointment = item; }
    void setAppointments(const QList<crmAppointmentItem>* items) { m_request.appointments = items; }
    void setMailChanges(const QList<ChangeMailItemsElement>* items) { m_request.mailChanges = items; }

    // The complete request: a QString for operations with a builder, the UTF-8 bytes of the
    // crmLogin request (QByteArray) for codes without one. On the wire the request is always
    // the UTF-8 encoding of the text: use requestBytes().
    [[nodiscard]] QVariant buildRequest(CrmOp op);
    [[nodiscard]] QByteArray requestBytes(CrmOp op);

    // Clears the reader and feeds it one response.
    void feedResponse(const QByteArray& bytes);
    // Typed result of the fed response, or the operation's not-found value:
    //  int family A (24, 26-30, 38-41, 55, 57-59): int, -2 when absent, 0 when not a number
    //  int family B (4, 6, 11, 14, 15, 17, 18, 20, 22): int, 0 when absent
    //  long (32-34, 36, 37): qlonglong, -2 when absent;  unsigned (2): uint, 0 when absent
    //  bool (1): true exactly when "return" is 1;  text ids (42, 48, 51-53): QString, "error" when absent
    //  date (60): QString, empty when absent;  logon and the codes without reader: QByteArray, "error"
    //  mail source (56): QByteArray, empty when absent;  id lists (9, 46, 47): QList<int>, empty
    [[nodiscard]] QVariant parseResponse(CrmOp op);

    // Escapes "&", double quote, "<" and ">" (in this order); drops the control characters
    // XML 1.0 forbids; a vertical tab (Outlook's soft line break) becomes a line feed.
    [[nodiscard]] static QString xmlEscape(const QString& text);

    // Name of the operation ("crmaddTask"), empty for unassigned codes.
    [[nodiscard]] static QString operationName(CrmOp op);

private:
    QString arg(int index) const;
    QString build(CrmOp op);
    QString buildLogin() const;
    bool findReturn(const QString& responseName);
    QString returnText();

    ExSoapRequest m_request;
    QXmlStreamReader m_reader;
};
