// One complete CRM exchange: transport, send, read the whole answer.
#pragma once

#include <QByteArray>
#include <QString>

struct CrmExchangeResult {
    bool ready = false;  // the transport could be prepared; false: nothing was sent
    bool sent = false;   // the transfer succeeded (the HTTP status is not looked at)
    QByteArray response; // the whole response body
};

// Creates a CExHTTPn for baseUrl/service logging into httpLogPath; if ready, sends request with
// the header line soapAction (e.g. "SOAPAction: urn:crmemail\r\n") and reads the response.
[[nodiscard]] CrmExchangeResult crmExchange(const QString& baseUrl, const QString& service, const QString& soapAction,
                                            const QByteArray& httpLogPath, const QByteArray& request);
