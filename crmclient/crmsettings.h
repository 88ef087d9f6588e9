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

// A session id is valid when it has exactly 32 characters.
[[nodiscard]] inline bool isSessionId(const QString& sessionId)
{
    return sessionId.size() == 32;
}
