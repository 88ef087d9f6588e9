#include "crmexchange.h"

#include "exhttpn.h"

CrmExchangeResult crmExchange(const QString& baseUrl, const QString& service, const QString& soapAction,
                              const QByteArray& httpLogPath, const QByteArray& request)
{
    CrmExchangeResult result;
    CExHTTPn http(baseUrl, service, httpLogPath);
    if (!http.isReady())
        return result;
    result.ready = true;
    result.sent = http.sendRequest(soapAction, request);
    const quint32 available = http.dataAvailable();
    result.response.resize(available);
    const qint32 read = available ? http.readdata(result.response.data(), available) : 0;
    result.response.truncate(qMax(read, 0));
    return result;
}
