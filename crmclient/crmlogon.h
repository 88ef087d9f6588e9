// The logon: one crmLogin exchange (service "logon", "SOAPAction: urn:logonAction\r\n") that opens a
// run's session, and the causes a failed logon is told with.
#pragma once

#include "crmexchange.h"
#include "crmsettings.h"

#include <QByteArray>
#include <QString>

class CrmTransport;

// What differs between the programs' logons.
struct LogonOptions {
    bool logSettings = false;    // appointment importer: "URL:", "LGN:", "KNW:" debug lines (password as ***)
    bool logRawResponse = false; // e-mail importer: the raw response bytes as a debug line
};

// Why a logon gave no session id.
enum class CrmLogonFailure {
    None,               // logged on
    Incomplete,         // address or login name too short, or an address that cannot be used
    WrongCredentials,   // the CRM answered, without a session id
    Unreachable,        // no connection (refused, no such host, no answer in time before sending)
    NoAnswer,           // the request went out and nothing came back within the time bound
    NoValidAnswer,      // the connection broke after sending, or the answer was not the CRM's
    CertificateRefused, // the server's certificate differs from the one remembered for it
    Aborted             // stopped by the caller
};

// The cause in a few German words for the wizard's status line and the summary; empty for None.
[[nodiscard]] QString crmLogonFailureText(CrmLogonFailure failure);

// A session id is valid when it has exactly 32 characters.
[[nodiscard]] inline bool isSessionId(const QString& sessionId)
{
    return sessionId.size() == 32;
}

// What a logon came to.
struct CrmLogonOutcome {
    QString baseUrl;   // the address the logon used; later exchanges of the run go there
    QString sessionId; // the CRM's answer: the session id when logged on, else "error", another text or empty
    CrmLogonFailure failure = CrmLogonFailure::None;
    CrmCertificate certificate = CrmCertificate::None; // what became of the server's certificate

    [[nodiscard]] bool loggedOn() const { return failure == CrmLogonFailure::None && isSessionId(sessionId); }
};

// The logon exchange on transport. No request is made (session id empty, failure Incomplete) when the
// URL is shorter than 7 or the login name shorter than 2 characters, or when the transport cannot be
// prepared for the address. Debug lines: "LOGON XML: ", the request with the password shown as ***,
// ":LOGON XML", "SESSION ID: " + id.
[[nodiscard]] CrmLogonOutcome crmLogonOutcome(CrmTransport& transport, const QString& url, const QString& login,
                                              const QString& password, const QByteArray& httpLogPath,
                                              const LogonOptions& options = {});
[[nodiscard]] CrmLogonOutcome crmLogonOutcome(CrmTransport& transport, const CrmSettings& settings,
                                              const QByteArray& httpLogPath, const LogonOptions& options = {});
// The session id of that logon alone ("error" when the answer held none; empty when no request was
// made). Success is isSessionId().
[[nodiscard]] QString crmLogon(CrmTransport& transport, const QString& url, const QString& login,
                               const QString& password, const QByteArray& httpLogPath,
                               const LogonOptions& options = {});
[[nodiscard]] QString crmLogon(CrmTransport& transport, const CrmSettings& settings, const QByteArray& httpLogPath,
                               const LogonOptions& options = {});
