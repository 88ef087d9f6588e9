// One HTTP(S) POST exchange with the CRM on libcurl. An object serves exactly one request:
// construct, check isReady(), sendRequest() once, then dataAvailable()/readdata(), destroy.
// Every step is logged into the caller's HTTP log file, appended in one piece when the object is
// destroyed (when the file cannot be written the exchange runs without diagnostics). Not shared
// between threads.
//
// The objects are short-lived, but what is expensive to set up is not: kept-alive connections, TLS
// sessions, DNS answers and the loaded CA store are shared by all exchanges of the process, so a run
// talks to its CRM over one connection. Exchanges may run on several threads at once.
#pragma once

#include "crmexchange.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <functional>
#include <memory>

// curl_global_init exactly once per process. CExHTTPn calls ensureCurlGlobalInit() itself; a
// program's entry point may hold a CurlGlobal for the whole run so that cleanup happens at exit.
void ensureCurlGlobalInit();
class CurlGlobal
{
public:
    CurlGlobal();
    ~CurlGlobal();
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
};

// What a send does when the server certificate failed verification (curlResult: libcurl's
// result of the first attempt; verifyResult: the X509 verification code of that attempt). None:
// not a certificate problem. Otherwise the certificate is unverified and goes to the decision of
// trust on first use (see CrmCertificate); a certificate whose issuer is unknown (self-signed,
// unknown issuer) is warned about in the HTTP log, one that is only out of its validity period or
// issued for another host name is not.
enum class CertificateRetry { None, Quiet, Warned };
[[nodiscard]] CertificateRetry certificateRetry(int curlResult, long verifyResult);

// Bounds of every exchange. Nothing a server does (or fails to do) keeps an exchange longer.
struct CrmTransferLimits {
    int connectMs = 15000;           // TCP connect and TLS handshake
    int stallMs = 30000;             // no byte moving in either direction
    int logonMs = 30000;             // a whole logon exchange (service "logon")
    int exchangeMs = 300000;         // any other exchange, plus uploadBytesPerSecond allowance
    qint64 uploadBytesPerSecond = 32 * 1024;
    qint64 answerBytes = 16 * 1024 * 1024; // a larger answer ends the exchange as failed
};
[[nodiscard]] CrmTransferLimits crmTransferLimits();
// For tests that cannot wait for the real bounds; takes effect for exchanges started afterwards.
void setCrmTransferLimits(const CrmTransferLimits& limits);

// What became of the server certificate in an https exchange.
enum class CrmCertificate {
    None,       // no https exchange, or the handshake did not get as far
    Verified,   // verified against the system's CA store
    Remembered, // did not verify; first seen for this host, accepted and its key remembered now
    Known,      // did not verify; the key remembered for this host, accepted
    Refused     // did not verify and differs from the key remembered for this host: nothing was sent
};

// Forgets the certificate remembered for the host of baseUrl (settings and this process), so that
// the next exchange with it accepts and remembers whatever certificate it shows. Used when the user
// has confirmed that the server's certificate was replaced on purpose.
void forgetCrmCertificate(const QString& baseUrl);
// Forgets this process's certificate decisions (the settings keep theirs) and closes its idle
// connections, as a new program start would.
void resetCrmTransport();

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
    // baseUrl: the CRM address with scheme, with or without trailing "/"; service: the value of
    // "op="; logPath: the HTTP log file (relative names are relative to the current folder).
    CExHTTPn(const QString& baseUrl, const QString& service, const QByteArray& logPath);
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
    CrmCertificate m_certificate = CrmCertificate::None;
    // Set while a transfer runs.
    const char* m_body = nullptr;
    qint64 m_bodyLength = 0;
    int m_requestStarts = 0;
    qint64 m_answerCap = 0;
    std::function<bool(CrmSecureOption)> m_refuse;
    enum class Stop { None, TooLarge, OutOfMemory, Resend, Aborted, Stalled, TooLong } m_stop = Stop::None;
};
