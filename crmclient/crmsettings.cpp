#include "crmsettings.h"

#include "crmexchange.h"
#include "exhttpn.h"
#include "exsoapcall.h"
#include "privatefiles.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

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

} // namespace

CrmSettings readCrmSettings()
{
    QSettings settings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer"));
    CrmSettings s;
    s.url = settings.value(QStringLiteral("CRM_URL")).toString();
    s.login = settings.value(QStringLiteral("CRM_LGN")).toString();
    s.password = settings.value(QStringLiteral("CRM_KNW")).toString();
    return s;
}

void writeCrmSettings(const CrmSettings& s)
{
    QSettings settings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer"));
    prepareOwnerOnly(settings.fileName());
    settings.setValue(QStringLiteral("CRM_LGN"), s.login);
    settings.setValue(QStringLiteral("CRM_KNW"), s.password);
    settings.setValue(QStringLiteral("CRM_URL"), s.url);
    settings.sync();
    restrictToOwner(settings.fileName(), 0600);
}

QString crmLogon(const QString& url, const QString& login, const QString& password, const QByteArray& httpLogPath,
                 const LogonOptions& options)
{
    if (options.logSettings) {
        qDebug() << "URL:" << url.toUtf8();
        qDebug() << "LGN:" << login.toUtf8();
        qDebug() << "KNW:" << QByteArrayLiteral("***");
    }
    if (url.size() < 7 || login.size() < 2)
        return QString();

    QString sessionId;
    {
        CExHTTPn http(url, QStringLiteral("logon"), httpLogPath);
        if (http.isReady()) {
            ExSoapCall call;
            call.setArgument(QStringList{login, password});
            const QByteArray request = call.requestBytes(CrmOp::crmLogin);

            // The log shows the request with the password replaced.
            ExSoapCall masked;
            masked.setArgument(QStringList{login, QStringLiteral("***")});
            qDebug() << "LOGON XML: ";
            qDebug().noquote() << QLatin1Char('"') + QString::fromUtf8(masked.requestBytes(CrmOp::crmLogin)) +
                                      QLatin1Char('"');
            qDebug() << ":LOGON XML";

            http.sendRequest(QStringLiteral("SOAPAction: urn:logonAction\r\n"), request);
            const QByteArray response = readResponse(http);
            if (options.logRawResponse)
                qDebug().noquote() << QLatin1Char('"') + QString::fromUtf8(response) + QLatin1Char('"');
            call.feedResponse(response);
            sessionId = QString::fromUtf8(call.parseResponse(CrmOp::crmLogin).toByteArray());
        }
    }
    qDebug() << "SESSION ID: " << sessionId.toUtf8();
    return sessionId;
}

QString crmLogon(const CrmSettings& settings, const QByteArray& httpLogPath, const LogonOptions& options)
{
    return crmLogon(settings.url, settings.login, settings.password, httpLogPath, options);
}
