#include "crmsettings.h"

#include "crmexchange.h"
#include "exhttpn.h"
#include "exsoapcall.h"
#include "privatefiles.h"

#include <QDebug>
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

namespace
{
thread_local CrmLogonFailure lastLogonFailure = CrmLogonFailure::None;

const QString certificatesKey = QStringLiteral("CRM_CERTS");

CrmLogonFailure failureOf(const CExHTTPn& http, bool answered)
{
    switch (http.failure()) {
    case CrmTransportFailure::None:
        return answered ? CrmLogonFailure::WrongCredentials : CrmLogonFailure::NoValidAnswer;
    case CrmTransportFailure::NotReady:
        return CrmLogonFailure::Incomplete;
    case CrmTransportFailure::CertificateRefused:
        return http.certificate() == CrmCertificate::Refused ? CrmLogonFailure::CertificateRefused
                                                              : CrmLogonFailure::Unreachable;
    case CrmTransportFailure::Aborted:
        return CrmLogonFailure::Aborted;
    case CrmTransportFailure::Connect:
    case CrmTransportFailure::Timeout:
        return http.requestMayHaveArrived() ? CrmLogonFailure::NoValidAnswer : CrmLogonFailure::Unreachable;
    case CrmTransportFailure::TooLarge:
    case CrmTransportFailure::Other:
        return http.requestMayHaveArrived() ? CrmLogonFailure::NoValidAnswer : CrmLogonFailure::Unreachable;
    }
    return CrmLogonFailure::NoValidAnswer;
}

} // namespace

QString storedCertificatePin(const QString& host)
{
    QSettings settings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer"));
    const QString prefix = host + QLatin1Char(' ');
    for (const QString& entry : settings.value(certificatesKey).toStringList()) {
        if (entry.startsWith(prefix))
            return entry.mid(prefix.size());
    }
    return QString();
}

void storeCertificatePin(const QString& host, const QString& pin)
{
    QSettings settings(QStringLiteral("Kelvor GmbH"), QStringLiteral("Outlook Importer"));
    prepareOwnerOnly(settings.fileName());
    const QString prefix = host + QLatin1Char(' ');
    QStringList entries = settings.value(certificatesKey).toStringList();
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&prefix](const QString& entry) { return entry.startsWith(prefix); }),
                  entries.end());
    if (!pin.isEmpty())
        entries.append(prefix + pin);
    if (entries.isEmpty())
        settings.remove(certificatesKey);
    else
        settings.setValue(certificatesKey, entries);
    settings.sync();
    restrictToOwner(settings.fileName(), 0600);
}

CrmLogonFailure crmLastLogonFailure()
{
    return lastLogonFailure;
}

void crmResetLastLogonFailure()
{
    lastLogonFailure = CrmLogonFailure::None;
}

QString crmLogonFailureText(CrmLogonFailure failure)
{
    switch (failure) {
    case CrmLogonFailure::None:
        return QString();
    case CrmLogonFailure::Incomplete:
        return QStringLiteral("Adresse oder Login-Name unvollständig");
    case CrmLogonFailure::WrongCredentials:
        return QStringLiteral("Login-Name oder Kennwort falsch");
    case CrmLogonFailure::Unreachable:
        return QStringLiteral("Server nicht erreichbar");
    case CrmLogonFailure::NoValidAnswer:
        return QStringLiteral("keine gültige Antwort vom CRM");
    case CrmLogonFailure::CertificateRefused:
        return QStringLiteral("Zertifikat abgelehnt: nicht das gespeicherte");
    case CrmLogonFailure::Aborted:
        return QStringLiteral("abgebrochen");
    }
    return QString();
}

CrmLogonOutcome crmLogonOutcome(const QString& url, const QString& login, const QString& password,
                                const QByteArray& httpLogPath, const LogonOptions& options)
{
    CrmLogonOutcome outcome;
    lastLogonFailure = CrmLogonFailure::Incomplete;
    if (options.logSettings) {
        qDebug() << "URL:" << url.toUtf8();
        qDebug() << "LGN:" << login.toUtf8();
        qDebug() << "KNW:" << QByteArrayLiteral("***");
    }
    if (url.size() < 7 || login.size() < 2) {
        outcome.failure = CrmLogonFailure::Incomplete;
        return outcome;
    }

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
            // The CRM's logon service refuses credentials with the return value "error"; any other
            // answer without a session id is not a valid answer of the CRM.
            const bool answered = sessionId == QLatin1String("error") && response.contains("crmLoginResponse") &&
                                  response.contains("<return");
            outcome.failure = isSessionId(sessionId) ? CrmLogonFailure::None : failureOf(http, answered);
            outcome.certificate = int(http.certificate());
        } else {
            outcome.failure = CrmLogonFailure::Incomplete;
        }
    }
    qDebug() << "SESSION ID: " << sessionId.toUtf8();
    outcome.sessionId = sessionId;
    lastLogonFailure = outcome.failure;
    return outcome;
}

QString crmLogon(const QString& url, const QString& login, const QString& password, const QByteArray& httpLogPath,
                 const LogonOptions& options)
{
    return crmLogonOutcome(url, login, password, httpLogPath, options).sessionId;
}

QString crmLogon(const CrmSettings& settings, const QByteArray& httpLogPath, const LogonOptions& options)
{
    return crmLogon(settings.url, settings.login, settings.password, httpLogPath, options);
}
