#include "exhttpn.h"

#include "crmtransfer.h"
#include "crmtransport_p.h"
#include "crmtruststore.h"
#include "privatefiles.h"

#include <QElapsedTimer>
#include <QStringList>

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdarg>

namespace
{

struct EasyDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// Appends line to list; the list stays owned by its holder from the first line on, also when an
// append fails (the list is then unchanged).
bool appendHeader(HeaderList& list, const char* line)
{
    curl_slist* next = curl_slist_append(list.get(), line);
    if (!next)
        return false;
    (void)list.release(); // next is the same list, now one line longer (or new if it was empty)
    list.reset(next);
    return true;
}

struct BioDeleter {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
};

// "sha256//" + base64 of the SHA-256 of the certificate's public key (DER), as libcurl's pinning
// takes it. Empty when the PEM text cannot be read.
QByteArray publicKeyPin(const QByteArray& pem)
{
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    if (!bio)
        return QByteArray();
    std::unique_ptr<X509, X509Deleter> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert)
        return QByteArray();
    EVP_PKEY* key = X509_get0_pubkey(cert.get());
    if (!key)
        return QByteArray();
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    if (length <= 0)
        return QByteArray();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const bool ok = EVP_Digest(der, size_t(length), digest, &digestLength, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!ok)
        return QByteArray();
    return "sha256//" + QByteArray(reinterpret_cast<const char*>(digest), int(digestLength)).toBase64();
}

// The pin of the server certificate of the last transfer (CURLOPT_CERTINFO on).
QByteArray serverCertificatePin(CURL* h)
{
    curl_certinfo* info = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_CERTINFO, &info) != CURLE_OK || !info || info->num_of_certs < 1)
        return QByteArray();
    for (curl_slist* field = info->certinfo[0]; field; field = field->next) {
        if (qstrncmp(field->data, "Cert:", 5) == 0)
            return publicKeyPin(QByteArray(field->data + 5));
    }
    return QByteArray();
}

} // namespace

struct CExHTTPn::Curl {
    std::unique_ptr<CURL, EasyDeleter> easy;
    HeaderList headers; // content-type and the fixed lines
    QByteArray url;
    QByteArray hostKey; // "host:port", the key of the certificate decision
    QByteArray caFile;  // the authorities to verify against, empty for the system's
    bool https = false;

    // The answer is collected up to the cap; nothing may throw through libcurl's C code.
    static size_t collect(char* data, size_t size, size_t count, void* self)
    {
        auto* http = static_cast<CExHTTPn*>(self);
        const size_t bytes = size * count;
        if (qint64(bytes) > http->m_answerCap - http->m_response.size()) {
            http->m_stop = Stop::TooLarge;
            return 0;
        }
        try {
            http->m_response.append(data, qsizetype(bytes));
        } catch (...) {
            http->m_stop = Stop::OutOfMemory;
            return 0;
        }
        return bytes;
    }

    // libcurl silently sends a request again when a reused connection breaks before the answer.
    // The server may have received and acted on the first one, so a request is never sent twice:
    // the second start of a request within one transfer ends it as failed. (A kept-alive
    // connection the server closed while idle is noticed before the request and replaced; that
    // costs no start.)
    static int beforeRequest(void* self, char*, char*, int, int)
    {
        auto* http = static_cast<CExHTTPn*>(self);
        if (http->m_requestStarts++ == 0)
            return CURL_PREREQFUNC_OK;
        http->m_stop = Stop::Resend;
        return CURL_PREREQFUNC_ABORT;
    }
};

CertificateRetry certificateRetry(int curlResult, long verifyResult)
{
    if (curlResult == CURLE_SSL_CACERT_BADFILE)
        return CertificateRetry::Warned; // no CA store here: no issuer can be vouched for
    if (curlResult != CURLE_PEER_FAILED_VERIFICATION)
        return CertificateRetry::None;
    switch (verifyResult) {
    case 0:  // chain fine, host name does not match
    case 9:  // not yet valid
    case 10: // expired
    case 13: // unreadable start of validity
    case 14: // unreadable end of validity
    case 62: // host name mismatch
        return CertificateRetry::Quiet;
    default:
        // 2, 18, 19, 20, 21: self-signed or unknown issuer; anything else that makes the chain
        // untrustworthy is reported the same way.
        return CertificateRetry::Warned;
    }
}

QString CExHTTPn::composeUrl(const QString& baseUrl, const QString& service)
{
    QString url = baseUrl;
    url +=
        baseUrl.endsWith(QLatin1Char('/')) ? QLatin1String("soap/index.php?op=") : QLatin1String("/soap/index.php?op=");
    url += service;
    return url;
}

CExHTTPn::CExHTTPn(CrmTransport& transport, const QString& baseUrl, const QString& service,
                   const QByteArray& logPath)
    : m_transport(transport)
{
    m_logPath = logPath;
    m_requestUrl = composeUrl(baseUrl, service);
    m_logon = service == QLatin1String("logon");
    m_ready = connect();
}

CExHTTPn::~CExHTTPn()
{
    m_curl.reset();
    // The exchange's lines in one append (owner-only, rotated past 50 MiB).
    m_logText += "CExHTTPn::~CExHTTPn OK.\n\n";
    (void)appendPrivateLog(m_logPath, m_logText);
}

void CExHTTPn::log(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length < 0)
        return;
    if (size_t(length) < sizeof line) {
        m_logText.append(line, length);
        return;
    }
    QByteArray longer(length, '\0'); // a long host name or URL: formatted again at full length
    va_start(args, format);
    std::vsnprintf(longer.data(), size_t(length) + 1, format, args);
    va_end(args);
    m_logText += longer;
}

bool CExHTTPn::connect()
{
    const QByteArray url = m_requestUrl.toUtf8();
    CrmTransport::Private& shared = m_transport.d();
    const CrackedUrl cracked = shared.crackedUrl(url);
    if (cracked.cracked) {
        const int schemeNumber = cracked.https ? 4 : (cracked.http ? 1 : 0);
        log("Host: %s\nPath: %s\nScheme: %s\nExtra info: %s\nPort: %ld\nSSL: %d\n", cracked.host.constData(),
            cracked.target.constData(), cracked.scheme.constData(), cracked.extra.constData(), cracked.port,
            schemeNumber);
        if (!cracked.http) {
            log("InternetConnect FAILED: 0x%x\n", unsigned(CURLE_UNSUPPORTED_PROTOCOL));
            return false;
        }
    }

    auto curl = std::make_unique<Curl>();
    curl->easy.reset(curl_easy_init());
    if (!curl->easy) {
        log("InternetOpen FAILED: 0x%x\n", unsigned(CURLE_FAILED_INIT));
        return false;
    }
    if (!cracked.cracked) {
        log("InternetConnect FAILED: 0x%x\n",
            unsigned(cracked.parseResult == CURLUE_OK ? CURLUE_NO_HOST : cracked.parseResult));
        return false;
    }
    curl->url = url;
    curl->https = cracked.https;
    curl->hostKey = hostKeyOf(cracked);
    CURL* h = curl->easy.get();
    bool ok = curl_easy_setopt(h, CURLOPT_URL, curl->url.constData()) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_USERAGENT, "Kelvor Outlook Importer 2.0.32") == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, long(shared.limits().connectMs)) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Curl::collect) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_WRITEDATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &Curl::beforeRequest) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_PREREQDATA, this) == CURLE_OK;
    if (ok && shared.share)
        ok = curl_easy_setopt(h, CURLOPT_SHARE, shared.share) == CURLE_OK;
    // A certificate is verified completely (issuer, dates, host name); one that does not verify is
    // decided on in sendRequest().
    ok = ok && curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
    curl->caFile = shared.caFile();
    if (ok && !curl->caFile.isEmpty())
        ok = curl_easy_setopt(h, CURLOPT_CAINFO, curl->caFile.constData()) == CURLE_OK;
    if (!ok) {
        log("HttpOpenRequest FAILED: 0x%x\n", unsigned(CURLE_FAILED_INIT));
        return false;
    }
    for (const char* line : {"content-type: text/xml; charset=utf-8", "Accept: text/xml", "Cache-Control: no-cache",
                             "Pragma: no-cache", "Expect:"}) {
        if (!appendHeader(curl->headers, line)) {
            log("HttpAddRequestHeaders FAILED: 0x%x\n", unsigned(CURLE_OUT_OF_MEMORY));
            return false;
        }
    }
    m_curl = std::move(curl);
    return true;
}

template <typename Value>
int CExHTTPn::setSecure(void* handle, CrmSecureOption which, int option, const char* name, Value value)
{
    CURLcode result = CURLE_UNKNOWN_OPTION;
    if (!m_refuse || !m_refuse(which))
        result = curl_easy_setopt(static_cast<CURL*>(handle), CURLoption(option), value);
    if (result != CURLE_OK)
        log("HttpSendRequest FAILED: %s not taken (0x%x)\n", name, unsigned(result));
    return int(result);
}

bool CExHTTPn::sendRequest(const QString& headers, const char* body, qint64 length)
{
    if (!m_ready || !m_curl)
        return false;
    CURL* h = m_curl->easy.get();
    m_failure = CrmTransportFailure::None;
    m_mayHaveArrived = false;
    m_answerStarted = false;

    // The request's own header list: the fixed lines plus the caller's. A line that cannot be added
    // would change the request (the SOAPAction line tells the CRM what to do): nothing is sent then.
    HeaderList all;
    bool listed = true;
    for (curl_slist* item = m_curl->headers.get(); item && listed; item = item->next)
        listed = appendHeader(all, item->data);
    const QStringList lines = headers.split(QLatin1String("\r\n"), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QByteArray bytes = line.trimmed().toUtf8();
        if (listed && !bytes.isEmpty())
            listed = appendHeader(all, bytes.constData());
    }
    CURLcode result = CURLE_OK;
    if (!listed) {
        result = CURLE_OUT_OF_MEMORY;
        log("HttpAddRequestHeaders FAILED: 0x%x\n", unsigned(result));
    }
    if (result == CURLE_OK)
        result = CURLcode(setSecure(h, CrmSecureOption::Headers, CURLOPT_HTTPHEADER, "CURLOPT_HTTPHEADER", all.get()));
    m_body = body ? body : "";
    m_bodyLength = body ? qMax<qint64>(length, 0) : 0;
    // Given as one block: a small request leaves in one piece with its header lines.
    if (result == CURLE_OK)
        result = CURLcode(setSecure(h, CrmSecureOption::Body, CURLOPT_POSTFIELDSIZE_LARGE,
                                    "CURLOPT_POSTFIELDSIZE_LARGE", curl_off_t(m_bodyLength)));
    if (result == CURLE_OK)
        result = CURLcode(setSecure(h, CrmSecureOption::Body, CURLOPT_POSTFIELDS, "CURLOPT_POSTFIELDS", m_body));

    if (result == CURLE_OK)
        result = CURLcode(m_curl->https ? performSecure() : perform(m_logon));
    (void)curl_easy_setopt(h, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    (void)curl_easy_setopt(h, CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
    m_body = nullptr;
    if (result != CURLE_OK)
        log("HttpSendRequest FAILED: 0x%x\n", unsigned(result));
    m_sendError = int(result);
    classify(int(result));

    long status = 0;
    const CURLcode info = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (info != CURLE_OK || status == 0) {
        log("HttpQueryInfo FAILED: 0x%x\n", unsigned(info != CURLE_OK ? info : result));
        m_statusCode = 0;
    } else {
        m_statusCode = quint32(status);
    }
    return result == CURLE_OK;
}

// An https transfer with the certificate decision. A certificate that verifies is always accepted.
// One that does not (unknown issuer, expired, another host's name) is accepted the first time this
// host shows it: its public-key pin is remembered with the settings (trust on first use). From then on
// only that key is accepted without verification; a different one is refused during the handshake,
// before any request byte (the password in a logon) leaves this machine.
int CExHTTPn::performSecure()
{
    CURL* h = m_curl->easy.get();
    const QByteArray& hostKey = m_curl->hostKey;
    CrmTransport::Private& shared = m_transport.d();
    QByteArray pin = shared.acceptedPin(hostKey);
    if (pin.isEmpty())
        pin = shared.trust.pin(hostKey);
    CURLcode result = CURLE_OK;
    if (!pin.isEmpty()) {
        // The decision is known: straight to that key, without a failing verification first.
        result = CURLcode(performPinned(pin));
        if (result != CURLE_SSL_PINNEDPUBKEYNOTMATCH) {
            if (m_mayHaveArrived || result == CURLE_OK) {
                m_certificate = CrmCertificate::Known;
                shared.acceptPin(hostKey, pin);
            }
            return int(result);
        }
        // Another key than the remembered one: only a certificate that verifies may replace it.
        result = CURLcode(perform(m_logon));
        long verifyResult = 0;
        if (result == CURLE_PEER_FAILED_VERIFICATION)
            curl_easy_getinfo(h, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
        if (certificateRetry(int(result), verifyResult) == CertificateRetry::None) {
            if (result == CURLE_OK)
                m_certificate = CrmCertificate::Verified;
            return int(result);
        }
        log("HttpSendRequest FAILED: the certificate of %s is not the one remembered, refused\n", hostKey.constData());
        m_certificate = CrmCertificate::Refused;
        return CURLE_SSL_PINNEDPUBKEYNOTMATCH;
    }

    result = CURLcode(perform(m_logon));
    long verifyResult = 0;
    if (result == CURLE_PEER_FAILED_VERIFICATION)
        curl_easy_getinfo(h, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
    const CertificateRetry retry = certificateRetry(int(result), verifyResult);
    if (retry == CertificateRetry::None) {
        if (result == CURLE_OK)
            m_certificate = CrmCertificate::Verified;
        return int(result);
    }
    // Only an issuer we cannot vouch for is worth the warning.
    if (retry == CertificateRetry::Warned)
        log("HttpSendRequest WARNING: ERROR_INTERNET_INVALID_CA\n");

    // First use: a handshake alone shows the key; it is remembered, and the request goes to exactly
    // that key.
    std::unique_ptr<CURL, EasyDeleter> probe(curl_easy_init());
    if (!probe)
        return CURLE_OUT_OF_MEMORY;
    CURL* p = probe.get();
    // Without CONNECT_ONLY the probe would send a request to a server nobody vouches for.
    result = CURLcode(setSecure(p, CrmSecureOption::HandshakeOnly, CURLOPT_CONNECT_ONLY, "CURLOPT_CONNECT_ONLY", 1L));
    if (result != CURLE_OK)
        return int(result);
    bool ok = curl_easy_setopt(p, CURLOPT_URL, m_curl->url.constData()) == CURLE_OK;
    ok = ok && curl_easy_setopt(p, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK;
    ok = ok && curl_easy_setopt(p, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(p, CURLOPT_CONNECTTIMEOUT_MS, long(shared.limits().connectMs)) == CURLE_OK;
    ok = ok && curl_easy_setopt(p, CURLOPT_SSL_VERIFYPEER, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(p, CURLOPT_SSL_VERIFYHOST, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(p, CURLOPT_CERTINFO, 1L) == CURLE_OK;
    if (!ok) {
        log("HttpSendRequest FAILED: the handshake probe could not be prepared, nothing sent\n");
        return CURLE_FAILED_INIT;
    }
    result = CURLcode(perform(m_logon, p));
    const QByteArray seen = result == CURLE_OK ? serverCertificatePin(probe.get()) : QByteArray();
    probe.reset();
    if (result != CURLE_OK)
        return int(result);
    if (seen.isEmpty())
        return CURLE_PEER_FAILED_VERIFICATION;
    shared.trust.remember(hostKey, seen);
    shared.acceptPin(hostKey, seen);
    m_certificate = CrmCertificate::Remembered;
    log("HttpSendRequest WARNING: certificate of %s not verified, remembered as %s\n", hostKey.constData(),
        seen.constData());
    result = CURLcode(performPinned(seen));
    if (result == CURLE_SSL_PINNEDPUBKEYNOTMATCH) {
        log("HttpSendRequest FAILED: the certificate of %s is not the one remembered, refused\n", hostKey.constData());
        m_certificate = CrmCertificate::Refused;
    }
    return int(result);
}

// A transfer that accepts exactly the server key pin, whether or not its certificate verifies. The pin is
// set while verification is still on, so a libcurl that cannot pin never gets as far as an unverified
// transfer; and a handle whose verification cannot be switched on again is not used for another one.
int CExHTTPn::performPinned(const QByteArray& pin)
{
    CURL* h = m_curl->easy.get();
    CURLcode result = CURLcode(
        setSecure(h, CrmSecureOption::PinnedKey, CURLOPT_PINNEDPUBLICKEY, "CURLOPT_PINNEDPUBLICKEY", pin.constData()));
    if (result == CURLE_OK)
        result = CURLcode(
            setSecure(h, CrmSecureOption::Verification, CURLOPT_SSL_VERIFYPEER, "CURLOPT_SSL_VERIFYPEER", 0L));
    if (result == CURLE_OK)
        result = CURLcode(
            setSecure(h, CrmSecureOption::Verification, CURLOPT_SSL_VERIFYHOST, "CURLOPT_SSL_VERIFYHOST", 0L));
    if (result == CURLE_OK)
        result = CURLcode(perform(m_logon));
    CURLcode restored = CURLcode(setSecure(h, CrmSecureOption::Verification, CURLOPT_SSL_VERIFYPEER,
                                           "CURLOPT_SSL_VERIFYPEER", 1L));
    if (restored == CURLE_OK)
        restored = CURLcode(setSecure(h, CrmSecureOption::Verification, CURLOPT_SSL_VERIFYHOST,
                                      "CURLOPT_SSL_VERIFYHOST", 2L));
    // A pin left in place would only make the handle stricter.
    (void)curl_easy_setopt(h, CURLOPT_PINNEDPUBLICKEY, static_cast<const char*>(nullptr));
    // A refused key leads to a second, verifying transfer on this handle: never without verification.
    if (restored != CURLE_OK && result != CURLE_OK)
        return int(restored);
    return int(result);
}

// One transfer of the prepared request on a borrowed multi handle. The loop wakes at least every
// 50 ms to give the thread's CrmTransferGuard its tick and to apply the time bounds.
int CExHTTPn::perform(bool logon, void* handle)
{
    CURL* h = handle ? static_cast<CURL*>(handle) : m_curl->easy.get();
    CrmTransport::Private& shared = m_transport.d();
    const CrmTransferLimits limits = shared.limits();
    m_response.clear();
    m_readPos = 0;
    m_requestStarts = 0;
    m_answerCap = limits.answerBytes;
    m_stop = Stop::None;

    CurlMulti multi = shared.take();
    if (!multi || curl_multi_add_handle(multi.get(), h) != CURLM_OK) {
        if (multi)
            shared.give(std::move(multi));
        return CURLE_OUT_OF_MEMORY;
    }
    const qint64 totalMs =
        logon ? qint64(limits.logonMs)
              : qint64(limits.exchangeMs) + 1000 * m_bodyLength / qMax<qint64>(limits.uploadBytesPerSecond, 1);
    QElapsedTimer clock;
    clock.start();
    qint64 lastMoved = 0;
    curl_off_t moved = 0;
    CURLcode result = CURLE_OK;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            result = CURLE_OUT_OF_MEMORY;
            break;
        }
        bool done = false;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == h) {
                result = message->data.result;
                done = true;
            }
        }
        if (done)
            break;
        if (!running) { // cannot happen without a done message; never loop on it
            result = CURLE_GOT_NOTHING;
            break;
        }
        if (!CrmTransferGuard::tickCurrent()) {
            m_stop = Stop::Aborted;
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        curl_off_t up = 0, down = 0;
        curl_easy_getinfo(h, CURLINFO_SIZE_UPLOAD_T, &up);
        curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &down);
        const qint64 now = clock.elapsed();
        if (up + down != moved) {
            moved = up + down;
            lastMoved = now;
        }
        if (now - lastMoved >= limits.stallMs) {
            m_stop = Stop::Stalled;
            result = CURLE_OPERATION_TIMEDOUT;
            break;
        }
        if (now >= totalMs) {
            m_stop = Stop::TooLong;
            result = CURLE_OPERATION_TIMEDOUT;
            break;
        }
        curl_multi_poll(multi.get(), nullptr, 0, 50, nullptr);
    }
    curl_off_t pretransfer = 0;
    curl_easy_getinfo(h, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
    if (pretransfer > 0 && h == m_curl->easy.get())
        m_mayHaveArrived = true;
    long headerBytes = 0;
    curl_easy_getinfo(h, CURLINFO_HEADER_SIZE, &headerBytes);
    if ((headerBytes > 0 || !m_response.isEmpty()) && h == m_curl->easy.get())
        m_answerStarted = true;
    // An unfinished transfer's connection is closed here, never handed to a later exchange.
    curl_multi_remove_handle(multi.get(), h);
    shared.give(std::move(multi));

    switch (m_stop) {
    case Stop::TooLarge:
        log("HttpSendRequest FAILED: answer larger than %lld bytes, exchange ended\n", qlonglong(m_answerCap));
        break;
    case Stop::OutOfMemory:
        log("HttpSendRequest FAILED: no memory for the answer (%lld bytes)\n", qlonglong(m_response.size()));
        break;
    case Stop::Stalled:
        log("HttpSendRequest FAILED: nothing moved for %d ms, exchange ended\n", limits.stallMs);
        break;
    case Stop::TooLong:
        log("HttpSendRequest FAILED: exchange took longer than %lld ms, ended\n", qlonglong(totalMs));
        break;
    case Stop::Aborted:
        log("HttpSendRequest FAILED: aborted\n");
        break;
    case Stop::Resend:
        log("HttpSendRequest FAILED: connection lost after the request was sent, not sent again\n");
        break;
    case Stop::None:
        break;
    }
    if (result != CURLE_OK)
        m_response.clear();
    return int(result);
}

void CExHTTPn::classify(int result)
{
    switch (m_stop) {
    case Stop::TooLarge:
        m_failure = CrmTransportFailure::TooLarge;
        return;
    case Stop::Aborted:
        m_failure = CrmTransportFailure::Aborted;
        return;
    case Stop::Stalled:
    case Stop::TooLong:
        m_failure = CrmTransportFailure::Timeout;
        return;
    case Stop::OutOfMemory:
    case Stop::Resend:
        m_failure = CrmTransportFailure::Other;
        return;
    case Stop::None:
        break;
    }
    switch (result) {
    case CURLE_OK:
        m_failure = CrmTransportFailure::None;
        break;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
        m_failure = CrmTransportFailure::Connect;
        break;
    case CURLE_OPERATION_TIMEDOUT:
        m_failure = CrmTransportFailure::Timeout;
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_CACERT_BADFILE:
        m_failure = CrmTransportFailure::CertificateRefused;
        break;
    case CURLE_ABORTED_BY_CALLBACK:
        m_failure = CrmTransportFailure::Aborted;
        break;
    default:
        m_failure = CrmTransportFailure::Other;
        break;
    }
}

quint32 CExHTTPn::dataAvailable()
{
    if (m_sendError != 0) {
        log("InternetQueryDataAvailable FAILED: 0x%x\n", unsigned(m_sendError < 0 ? CURLE_SEND_ERROR : m_sendError));
        return 0;
    }
    return quint32(m_response.size() - m_readPos);
}

qint32 CExHTTPn::readdata(char* buffer, quint32 length)
{
    if (!buffer) {
        log("CExHTTPn::readdata FAILED: Wrong buffer.\n");
        return 0;
    }
    if (m_sendError != 0) {
        log("InternetReadFile FAILED: 0x%x\n", unsigned(m_sendError < 0 ? CURLE_RECV_ERROR : m_sendError));
        return 0;
    }
    const qint64 count = qMin<qint64>(length, m_response.size() - m_readPos);
    if (count <= 0)
        return 0;
    memcpy(buffer, m_response.constData() + m_readPos, size_t(count));
    m_readPos += count;
    return qint32(count);
}
