#include "crmsettings.h"

#include "privatefiles.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

#include <algorithm>

#include <unistd.h>

namespace
{

// The settings hold the password: their folder is the user's alone (0700) and so is the file
// (0600). Qt writes the file through a temporary file that takes over the mode of the file it
// replaces, so the file is made (or tightened) before the write and checked again after it.
void prepareOwnerOnly(const QString& fileName)
{
    const QString folder = QFileInfo(fileName).absolutePath();
    if (!QFileInfo::exists(folder))
        QDir().mkpath(folder);
    restrictToOwner(folder, 0700);
    if (QFileInfo::exists(fileName)) {
        restrictToOwner(fileName, 0600);
    } else {
        const int fd = openPrivateFile(QFile::encodeName(fileName), PrivateOpen::Append);
        if (fd >= 0)
            ::close(fd);
    }
}

const QString certificatesKey = QStringLiteral("CRM_CERTS");

} // namespace

std::unique_ptr<QSettings> openCrmSettings()
{
    return std::make_unique<QSettings>(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer"));
}

CrmSettings readCrmSettings()
{
    const std::unique_ptr<QSettings> settings = openCrmSettings();
    CrmSettings s;
    s.url = settings->value(QStringLiteral("CRM_URL")).toString();
    s.login = settings->value(QStringLiteral("CRM_LGN")).toString();
    s.password = settings->value(QStringLiteral("CRM_KNW")).toString();
    return s;
}

void writeCrmSettings(const CrmSettings& s)
{
    const std::unique_ptr<QSettings> settings = openCrmSettings();
    prepareOwnerOnly(settings->fileName());
    settings->setValue(QStringLiteral("CRM_LGN"), s.login);
    settings->setValue(QStringLiteral("CRM_KNW"), s.password);
    settings->setValue(QStringLiteral("CRM_URL"), s.url);
    settings->sync();
    restrictToOwner(settings->fileName(), 0600);
}

QByteArray CrmSettingsTrustStore::pin(const QByteArray& host) const
{
    const std::unique_ptr<QSettings> settings = openCrmSettings();
    const QString prefix = QString::fromUtf8(host) + QLatin1Char(' ');
    for (const QString& entry : settings->value(certificatesKey).toStringList()) {
        if (entry.startsWith(prefix))
            return entry.mid(prefix.size()).toUtf8();
    }
    return QByteArray();
}

void CrmSettingsTrustStore::remember(const QByteArray& host, const QByteArray& pin)
{
    const std::unique_ptr<QSettings> settings = openCrmSettings();
    prepareOwnerOnly(settings->fileName());
    const QString prefix = QString::fromUtf8(host) + QLatin1Char(' ');
    QStringList entries = settings->value(certificatesKey).toStringList();
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&prefix](const QString& entry) { return entry.startsWith(prefix); }),
                  entries.end());
    if (!pin.isEmpty())
        entries.append(prefix + QString::fromUtf8(pin));
    if (entries.isEmpty())
        settings->remove(certificatesKey);
    else
        settings->setValue(certificatesKey, entries);
    settings->sync();
    restrictToOwner(settings->fileName(), 0600);
}
