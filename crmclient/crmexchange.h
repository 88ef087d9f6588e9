// One complete CRM exchange: transport, send, read the whole answer.
#pragma once

#include <QByteArray>
#include <QString>

class CExHTTPn;
class CrmTransport;

// Why a transfer failed. NotReady: nothing could be prepared (bad address); Connect: the server could
// not be reached; Timeout: connect, stall or total time bound; TooLarge: the answer exceeded the cap;
// CertificateRefused: the server's certificate was not accepted (nothing was sent); Aborted: the
// thread's CrmTransferGuard asked to stop; Other: the connection broke or the server sent no answer.
enum class CrmTransportFailure { None, NotReady, Connect, Timeout, TooLarge, CertificateRefused, Aborted, Other };

// What became of the server certificate in an https exchange.
enum class CrmCertificate {
    None,       // no https exchange, or the handshake did not get as far
    Verified,   // verified against the system's CA store
    Remembered, // did not verify; first seen for this host, accepted and its key remembered now
    Known,      // did not verify; the key remembered for this host, accepted
    Refused     // did not verify and differs from the key remembered for this host: nothing was sent
};

struct CrmExchangeResult {
    bool ready = false;  // the transport could be prepared; false: nothing was sent
    bool sent = false;   // the transfer succeeded (the HTTP status is not looked at)
    QByteArray response; // the whole response body
    CrmTransportFailure failure = CrmTransportFailure::None; // None when the transfer succeeded
    bool requestMayHaveArrived = false; // some request bytes left this machine: the CRM may have stored the item
};

// Creates a CExHTTPn on transport for baseUrl/service logging into httpLogPath; if ready, sends
// request with the header line soapAction (e.g. "SOAPAction: urn:crmemail\r\n") and reads the response.
[[nodiscard]] CrmExchangeResult crmExchange(CrmTransport& transport, const QString& baseUrl, const QString& service,
                                            const QString& soapAction, const QByteArray& httpLogPath,
                                            const QByteArray& request);

// Reads the whole response of a sent (or failed) request: one availability query, then exactly one
// read, also when nothing is available. Empty on failure.
[[nodiscard]] QByteArray readResponse(CExHTTPn& http);
