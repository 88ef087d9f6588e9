// The CRM operations the importers send. Each runs one exchange (build, send, read, parse) and
// writes the request and the response to the diagnostic log at debug level.
// Results: the server's "return" value; -2 when the transport was not ready (nothing sent).
#pragma once

#include "crmexchange.h"
#include "crmitems.h"

#include <QByteArray>
#include <QString>

// How the transport of an item exchange went, for a run that counts its items (optional out parameter
// of the item operations below).
struct CrmItemTransport {
    CrmTransportFailure failure = CrmTransportFailure::None; // None: an answer was read
    bool requestMayHaveArrived = false; // request bytes left this machine: the CRM may hold the item
};

// What a run keeps after its logon.
struct CrmSession {
    QString baseUrl;                    // the address the logon used
    QString sessionId;                  // 32 characters
    CrmTransport* transport = nullptr;  // the program's; without one nothing is sent (not ready)
};

// HTTP log files of the programs (relative to the current folder).
inline constexpr const char* contactsHttpLog = "kelvor_excon.log"; // contacts, companies, persons
inline constexpr const char* tasksHttpLog = "kelvor_extasks.log";  // logon of the item importers, tasks
inline constexpr const char* appointmentsHttpLog = "kelvor_exapps.log";
inline constexpr const char* wizardHttpLog = "kelvor_wizard.log";
// The e-mail importer's: current folder + "/kelvor_exhttp.log".
[[nodiscard]] QByteArray mailHttpLogPath();
// Where crmAddPContact leaves its last request: "pcontact.xml" in the current folder, beside the
// program's logs (never in the file-system root).
[[nodiscard]] QString defaultPContactDumpPath();
// The request with the content of its session_id element replaced by "***".
[[nodiscard]] QByteArray withoutSessionId(QByteArray request);

// Personal address-book entry (service "email", "SOAPAction: urn:crmemail\r\n"). Also rewrites
// dumpPath (mode 0600) with the request, its session id masked (skipped silently when it cannot
// be written; an empty dumpPath writes none). -2 also when the answer
// held no result.
[[nodiscard]] int crmAddPContact(const CrmSession& session, const PContactItem& item,
                                 const QByteArray& httpLogPath = contactsHttpLog,
                                 const QString& dumpPath = defaultPContactDumpPath(),
                                 CrmItemTransport* transport = nullptr);
// CRM company / person (service "contacts", "SOAPAction: urn:crmcontacts\r\n"); 0 when the
// answer held no result.
[[nodiscard]] int crmaddContact(const CrmSession& session, const crmContactItem& item,
                                const QByteArray& httpLogPath = contactsHttpLog, CrmItemTransport* transport = nullptr);
[[nodiscard]] int crmaddPerson(const CrmSession& session, const crmPersonItem& item,
                               const QByteArray& httpLogPath = contactsHttpLog, CrmItemTransport* transport = nullptr);
// Task (service "tasks", "SOAPAction: urn:crmtasksAction\r\n"); normalises the record's dates.
// 0 when the answer held no result.
[[nodiscard]] int crmaddTask(const CrmSession& session, crmTaskItem& item,
                             const QByteArray& httpLogPath = tasksHttpLog, CrmItemTransport* transport = nullptr);
// Appointment (service "dates", "SOAPAction: urn:crmdates\r\n"); 0 when the answer held no result.
[[nodiscard]] int crmaddAppointment(const CrmSession& session, const crmAppointmentItem& item,
                                    const QByteArray& httpLogPath = appointmentsHttpLog,
                                    CrmItemTransport* transport = nullptr);

// Mail operations of the e-mail importer (service "email", "SOAPAction: urn:crmemailAction\r\n").
// The caller needs to tell "not ready" from "send failed", so the exchange comes back too.
struct CrmMailResult {
    CrmExchangeResult exchange;
    qint64 value = -1; // -1 when nothing was read (not ready or send failed), else the reader's value
};
// Id of the CRM inbox (-2 when the answer held none).
[[nodiscard]] CrmMailResult crmgetInboxFolder(const CrmSession& session,
                                              const QByteArray& httpLogPath = mailHttpLogPath());
// Creates a CRM mail folder under parent; the id of the new folder (-2 when the answer held none).
[[nodiscard]] CrmMailResult crmaddTreeEntry(const CrmSession& session, qint64 parent, const QString& name,
                                            const QByteArray& httpLogPath = mailHttpLogPath());
// The crmImportMailSource request: mimeSource is sent base64-encoded.
[[nodiscard]] QByteArray buildImportMailSourceRequest(const QString& sessionId, qint64 treeId,
                                                      const QByteArray& mimeSource);
// Stores one message in a CRM folder; a value above 0 means stored (-2 when the answer held none).
[[nodiscard]] CrmMailResult crmImportMailSource(const CrmSession& session, qint64 treeId, const QByteArray& mimeSource,
                                                const QByteArray& httpLogPath = mailHttpLogPath());
