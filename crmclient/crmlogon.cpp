#include "crmlogon.h"

#include "crmtransport.h"
#include "exhttpn.h"
#include "exsoapcall.h"

#include <QDebug>
#include <QStringList>

namespace
{

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
    case CrmTransportFailure::Timeout:
        // The request went out and the time ran out without a byte of an answer.
        if (http.requestMayHaveArrived() && !http.answerStarted())
            return CrmLogonFailure::NoAnswer;
        return http.requestMayHaveArrived() ? CrmLogonFailure::NoValidAnswer : CrmLogonFailure::Unreachable;
    case CrmTransportFailure::Connect:
    case CrmTransportFailure::TooLarge:
    case CrmTransportFailure::Other:
        return http.requestMayHaveArrived() ? CrmLogonFailure::NoValidAnswer : CrmLogonFailure::Unreachable;
    }
    return CrmLogonFailure::NoValidAnswer;
}

} // namespace

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
    case CrmLogonFailure::NoAnswer:
        return QStringLiteral("Server antwortet nicht");
    case CrmLogonFailure::NoValidAnswer:
        return QStringLiteral("keine gültige Antwort vom CRM");
    case CrmLogonFailure::CertificateRefused:
        return QStringLiteral("Zertifikat abgelehnt: nicht das gespeicherte");
    case CrmLogonFailure::Aborted:
        return QStringLiteral("abgebrochen");
    }
    return QString();
}

CrmLogonOutcome crmLogonOutcome(CrmTransport& transport, const QString& url, const QString& login,
                                const QString& password, const QByteArray& httpLogPath, const LogonOptions& options)
{
    CrmLogonOutcome outcome;
    outcome.baseUrl = url;
    outcome.failure = CrmLogonFailure::Incomplete;
    if (options.logSettings) {
        qDebug() << "URL:" << url.toUtf8();
        qDebug() << "LGN:" << login.toUtf8();
        qDebug() << "KNW:" << QByteArrayLiteral("***");
    }
    if (url.size() < 7 || login.size() < 2)
        return outcome;

    {
        CExHTTPn http(transport, url, QStringLiteral("logon"), httpLogPath);
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
            outcome.sessionId = QString::fromUtf8(call.parseResponse(CrmOp::crmLogin).toByteArray());
            // The CRM's logon service refuses credentials with the return value "error"; any other
            // answer without a session id is not a valid answer of the CRM.
            const bool answered = outcome.sessionId == QLatin1String("error") &&
                                  response.contains("crmLoginResponse") && response.contains("<return");
            outcome.failure = isSessionId(outcome.sessionId) ? CrmLogonFailure::None : failureOf(http, answered);
            outcome.certificate = http.certificate();
        }
    }
    qDebug() << "SESSION ID: " << outcome.sessionId.toUtf8();
    return outcome;
}

CrmLogonOutcome crmLogonOutcome(CrmTransport& transport, const CrmSettings& settings, const QByteArray& httpLogPath,
                                const LogonOptions& options)
{
    return crmLogonOutcome(transport, settings.url, settings.login, settings.password, httpLogPath, options);
}

QString crmLogon(CrmTransport& transport, const QString& url, const QString& login, const QString& password,
                 const QByteArray& httpLogPath, const LogonOptions& options)
{
    return crmLogonOutcome(transport, url, login, password, httpLogPath, options).sessionId;
}

QString crmLogon(CrmTransport& transport, const CrmSettings& settings, const QByteArray& httpLogPath,
                 const LogonOptions& options)
{
    return crmLogonOutcome(transport, settings, httpLogPath, options).sessionId;
}
