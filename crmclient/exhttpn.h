// One HTTP(S) POST exchange with the CRM on libcurl. An object serves exactly one request:
// construct, check isReady(), sendRequest() once, then dataAvailable()/readdata(), destroy.
// Every step is logged into the caller's HTTP log file, appended in one piece when the object is
// destroyed (when the file cannot be written the exchange runs without diagnostics). Not shared
// between threads.
//
// The objects are short-lived, but what is expensive to set up is not: kept-alive connections, TLS
// sessions, DNS answers and the loaded CA store live in the program's CrmTransport, so a run talks
// to its CRM over one connection. Exchanges may run on several threads at once.
#pragma once

#include "crmexchange.h"
#include "crmtransport.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <functional>
#include <memory>

// What a send does when the server certificate failed verification (curlResult: libcurl's
// result of the first attempt; verifyResult: the X509 verification code of that attempt). None:
// not a certificate problem. Otherwise the certificate is unverified and goes to the decision of
// trust on first use (see CrmCertificate); a certificate whose issuer is unknown (self-signed,
// unknown issuer) is warned about in the HTTP log, one that is only out of its validity period or
// issued for another host name is not.
enum class CertificateRetry { None, Quiet, Warned };
[[nodiscard]] CertificateRetry certificateRetry(int curlResult, long verifyResult);

// Transfer options whose failure would weaken the TLS checks or change what is sent. When libcurl does
// not take one of them (a TLS back-end without pinning, say) the exchange fails before any byte
// leaves, with a line in the HTTP log.
enum class CrmSecureOption {
    Verification,  // verifying the peer and its host name, switched off only while a key is pinned
    PinnedKey,     // the remembered public key of an unverified certificate
    Headers,       // the request's header lines
    Body,          // the request body and its length
    HandshakeOnly  // the handshake that shows an unknown server's key sends no request
};

class CExHTTPn
{
public:
    // transport: the program's shared state, which must outlive the object; baseUrl: the CRM address
    // with scheme, with or without trailing "/"; service: the value of "op="; logPath: the HTTP log
    // file (relative names are relative to the current folder).
    CExHTTPn(CrmTransport& transport, const QString& baseUrl, const QString& service, const QByteArray& logPath);
    ~CExHTTPn();
    CExHTTPn(const CExHTTPn&) = delete;
    CExHTTPn& operator=(const CExHTTPn&) = delete;

    [[nodiscard]] bool isReady() const { return m_ready; }

    // Posts body with the extra header lines (each ending in "\r\n", e.g. the SOAPAction line).
    // True when the transfer succeeded; the HTTP status does not count.
    bool sendRequest(const QString& headers, const char* body, qint64 length);
    bool sendRequest(const QString& headers, const QByteArray& body)
    {
        return sendRequest(headers, body.constData(), body.size());
    }

    // Size of the whole response body still to be read; 0 on failure.
    [[nodiscard]] quint32 dataAvailable();
    // Copies up to length bytes of the response; returns the count, 0 on failure or null buffer.
    qint32 readdata(char* buffer, quint32 length);

    [[nodiscard]] quint32 statusCode() const { return m_statusCode; }
    // How the transfer ended (None after success, NotReady when nothing could be prepared).
    [[nodiscard]] CrmTransportFailure failure() const { return m_failure; }
    // Request bytes may have left this machine: the CRM may have acted on the request.
    [[nodiscard]] bool requestMayHaveArrived() const { return m_mayHaveArrived; }
    // Some of an answer (a header line or body bytes) came back, complete or not.
    [[nodiscard]] bool answerStarted() const { return m_answerStarted; }
    [[nodiscard]] CrmCertificate certificate() const { return m_certificate; }
    // The composed request URL (base URL + "soap/index.php?op=" + service).
    [[nodiscard]] const QString& requestUrl() const { return m_requestUrl; }

    // Base URL + "soap/index.php?op=" + service, with exactly one "/" before "soap".
    [[nodiscard]] static QString composeUrl(const QString& baseUrl, const QString& service);

    // Seam for tests: an option for which refuse() returns true is reported as not taken, as a libcurl
    // built without it would. Set before sendRequest().
    void setOptionRefusal(std::function<bool(CrmSecureOption)> refuse) { m_refuse = std::move(refuse); }

private:
    struct Curl;
    void log(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    bool connect();
    int perform(bool logon, void* handle = nullptr);
    int performSecure();
    int performPinned(const QByteArray& pin);
    void classify(int result);
    // Sets an option listed in CrmSecureOption; logs and returns libcurl's error when it is not taken.
    template <typename Value>
    int setSecure(void* handle, CrmSecureOption which, int option, const char* name, Value value);

    CrmTransport& m_transport;
    std::unique_ptr<Curl> m_curl;
    QByteArray m_logPath;
    QByteArray m_logText; // the lines of this exchange, written out by the destructor
    QString m_requestUrl;
    QByteArray m_response;
    qint64 m_readPos = 0;
    quint32 m_statusCode = 0;
    int m_sendError = -1; // -1: not sent; 0: sent; > 0: libcurl error code
    bool m_ready = false;
    bool m_logon = false;
    CrmTransportFailure m_failure = CrmTransportFailure::NotReady;
    bool m_mayHaveArrived = false;
    bool m_answerStarted = false;
    CrmCertificate m_certificate = CrmCertificate::None;
    // Set while a transfer runs.
    const char* m_body = nullptr;
    qint64 m_bodyLength = 0;
    int m_requestStarts = 0;
    qint64 m_answerCap = 0;
    std::function<bool(CrmSecureOption)> m_refuse;
    enum class Stop { None, TooLarge, OutOfMemory, Resend, Aborted, Stalled, TooLong } m_stop = Stop::None;
};
