// Stored connection settings and the logon. The settings are shared by all programs: organisation
// "Kelvor GmbH", application "Outlook Importer", keys CRM_URL, CRM_LGN, CRM_KNW (plain strings).
#pragma once

#include <QByteArray>
#include <QString>

struct CrmSettings {
    QString url;      // CRM_URL: base URL with scheme, without "soap/index.php"
    QString login;    // CRM_LGN
    QString password; // CRM_KNW (stored in plain text)
};

// Missing keys read as empty strings; values come back exactly as stored.
[[nodiscard]] CrmSettings readCrmSettings();
// Writes CRM_LGN, CRM_KNW, CRM_URL in this order and syncs at once.
void writeCrmSettings(const CrmSettings& settings);

// The public-key pin of the unverified certificate remembered for host ("host:port"), kept with the
// settings (key CRM_CERTS, one "host:port pin" text per host); empty when none is. Storing an empty
// pin forgets the host's.
[[nodiscard]] QString storedCertificatePin(const QString& host);
void storeCertificatePin(const QString& host, const QString& pin);

// What differs between the programs' logons.
struct LogonOptions {
    bool logSettings = false;    // appointment importer: "URL:", "LGN:", "KNW:" debug lines (password as ***)
    bool logRawResponse = false; // e-mail importer: the raw response bytes as a debug line
};

// The logon exchange (service "logon", "SOAPAction: urn:logonAction\r\n"). Returns the session id
// ("error" when the answer held none; empty when no request was made: URL shorter than 7 or login
// shorter than 2 characters, or the transport not ready). Success is isSessionId(). Debug lines:
// "LOGON XML: ", the request with the password shown as ***, ":LOGON XML", "SESSION ID: " + id.
[[nodiscard]] QString crmLogon(const QString& url, const QString& login, const QString& password,
                               const QByteArray& httpLogPath, const LogonOptions& options = {});
// The same with the stored settings.
[[nodiscard]] QString crmLogon(const CrmSettings& settings, const QByteArray& httpLogPath,
                               const LogonOptions& options = {});

// Why a logon gave no session id.
enum class CrmLogonFailure {
    None,               // logged on (or no logon was made on this thread yet)
    Incomplete,         // address or login name too short, or an address that cannot be used
    WrongCredentials,   // the CRM answered, without a session id
    Unreachable,        // no connection (refused, no such host, no answer in time before sending)
    NoValidAnswer,      // the connection broke or timed out after sending, or the answer was not the CRM's
    CertificateRefused, // the server's certificate differs from the one remembered for it
    Aborted             // stopped by the caller
};

// The logon as crmLogon makes it, with what the wizard and the summary tell the user.
struct CrmLogonOutcome {
    QString sessionId;
    CrmLogonFailure failure = CrmLogonFailure::None;
    int certificate = 0; // CrmCertificate of the exchange (exhttpn.h)
};
[[nodiscard]] CrmLogonOutcome crmLogonOutcome(const QString& url, const QString& login, const QString& password,
                                              const QByteArray& httpLogPath, const LogonOptions& options = {});
// The failure of the last crmLogon/crmLogonOutcome made by the calling thread (None before any).
[[nodiscard]] CrmLogonFailure crmLastLogonFailure();
void crmResetLastLogonFailure();
// The cause in a few German words for the wizard's status line and the summary; empty for None.
[[nodiscard]] QString crmLogonFailureText(CrmLogonFailure failure);

// A session id is valid when it has exactly 32 characters.
[[nodiscard]] inline bool isSessionId(const QString& sessionId)
{
    return sessionId.size() == 32;
}
