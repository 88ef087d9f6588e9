// Stored connection settings. The settings are shared by all programs: organisation "Kelvor GmbH",
// application "Outlook Importer", keys CRM_URL, CRM_LGN, CRM_KNW (plain strings), beside them the
// remembered certificates (CRM_CERTS) and the number of requests in flight (CRM_INFLIGHT).
#pragma once

#include "crmtruststore.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QSettings;

// The shared settings store; every reader and writer of the suite opens it here. Not to be shared
// between threads (open one per use).
[[nodiscard]] std::unique_ptr<QSettings> openCrmSettings();

struct CrmSettings {
    QString url;      // CRM_URL: base URL with scheme, without "soap/index.php"
    QString login;    // CRM_LGN
    QString password; // CRM_KNW (stored in plain text)
};

// Missing keys read as empty strings; values come back exactly as stored.
[[nodiscard]] CrmSettings readCrmSettings();
// Writes CRM_LGN, CRM_KNW, CRM_URL in this order and syncs at once. The file is the user's alone.
void writeCrmSettings(const CrmSettings& settings);

// The remembered certificates kept with the settings: key CRM_CERTS, one "host:port pin" text per
// host. Safe to use from several threads (each call opens the settings anew).
class CrmSettingsTrustStore final : public CrmTrustStore
{
public:
    [[nodiscard]] QByteArray pin(const QByteArray& host) const override;
    void remember(const QByteArray& host, const QByteArray& pin) override;
};
