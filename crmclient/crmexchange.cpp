#include "crmexchange.h"

#include "exhttpn.h"

CrmExchangeResult crmExchange(CrmTransport& transport, const QString& baseUrl, const QString& service,
                              const QString& soapAction, const QByteArray& httpLogPath, const QByteArray& request)
{
    CrmExchangeResult result;
    CExHTTPn http(transport, baseUrl, service, httpLogPath);
    if (!http.isReady()) {
        result.failure = CrmTransportFailure::NotReady;
        return result;
    }
    result.ready = true;
    result.sent = http.sendRequest(soapAction, request);
    result.failure = http.failure();
    result.requestMayHaveArrived = http.requestMayHaveArrived();
    result.response = readResponse(http);
    return result;
}

QByteArray readResponse(CExHTTPn& http)
{
    const quint32 available = http.dataAvailable();
    // One read in every case, into a scratch byte when nothing is available: after a failed send
    // it is this read that puts its own failure line into the HTTP log.
    QByteArray response(qMax<qsizetype>(available, 1), '\0');
    const qint32 read = http.readdata(response.data(), quint32(response.size()));
    response.truncate(qMax(read, 0));
    return response;
}
