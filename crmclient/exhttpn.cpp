#include "exhttpn.h"

#include "privatefiles.h"

#include <QStringList>

#include <curl/curl.h>

#include <cstdarg>
#include <mutex>

void ensureCurlGlobalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlGlobal::CurlGlobal()
{
    ensureCurlGlobalInit();
}
CurlGlobal::~CurlGlobal()
{
    curl_global_cleanup();
}

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

struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct CurlFree {
    void operator()(char* p) const { curl_free(p); }
};
using CurlString = std::unique_ptr<char, CurlFree>;

CurlString urlPart(CURLU* url, CURLUPart part, unsigned flags = 0)
{
    char* value = nullptr;
    if (curl_url_get(url, part, &value, flags) != CURLUE_OK)
        return CurlString();
    return CurlString(value);
}

const char* orEmpty(const CurlString& s)
{
    return s ? s.get() : "";
}

size_t collect(char* data, size_t size, size_t count, void* target)
{
    static_cast<QByteArray*>(target)->append(data, qsizetype(size * count));
    return size * count;
}

} // namespace

struct CExHTTPn::Curl {
    std::unique_ptr<CURL, EasyDeleter> easy;
    HeaderList headers; // content-type and the fixed lines
    QByteArray url;
    bool https = false;
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

CExHTTPn::CExHTTPn(const QString& baseUrl, const QString& service, const QByteArray& logPath)
{
    ensureCurlGlobalInit();
    m_log = openPrivateLog(logPath); // append, owner-only, rotated past 50 MiB
    m_requestUrl = composeUrl(baseUrl, service);
    m_ready = connect();
}

CExHTTPn::~CExHTTPn()
{
    m_curl.reset();
    if (m_log) {
        std::fputs("CExHTTPn::~CExHTTPn OK.\n\n", m_log);
        std::fclose(m_log);
    }
}

void CExHTTPn::log(const char* format, ...) const
{
    if (!m_log)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(m_log, format, args);
    va_end(args);
}

bool CExHTTPn::connect()
{
    const QByteArray url = m_requestUrl.toUtf8();
    std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    // Without a scheme the address cannot be taken apart (a bare host name is refused).
    const CURLUcode parseResult =
        parsed ? curl_url_set(parsed.get(), CURLUPART_URL, url.constData(), CURLU_NON_SUPPORT_SCHEME)
               : CURLUE_OUT_OF_MEMORY;
    bool cracked = parseResult == CURLUE_OK;
    CurlString scheme, host, path, query, port;
    long portNumber = 0;
    bool https = false;
    if (cracked) {
        scheme = urlPart(parsed.get(), CURLUPART_SCHEME);
        host = urlPart(parsed.get(), CURLUPART_HOST);
        path = urlPart(parsed.get(), CURLUPART_PATH);
        query = urlPart(parsed.get(), CURLUPART_QUERY);
        port = urlPart(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
        cracked = scheme && host;
        https = cracked && qstricmp(scheme.get(), "https") == 0;
        portNumber = port ? std::strtol(port.get(), nullptr, 10) : 0;
    }
    if (cracked) {
        const bool http = https || qstricmp(scheme.get(), "http") == 0;
        const int schemeNumber = https ? 4 : (http ? 1 : 0);
        QByteArray target = orEmpty(path);
        if (query)
            target += '?' + QByteArray(query.get());
        const QByteArray extra = query ? '?' + QByteArray(query.get()) : QByteArray();
        log("Host: %s\nPath: %s\nScheme: %s\nExtra info: %s\nPort: %ld\nSSL: %d\n", host.get(), target.constData(),
            scheme.get(), extra.constData(), portNumber, schemeNumber);
        if (!http) {
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
    if (!cracked) {
        log("InternetConnect FAILED: 0x%x\n", unsigned(parseResult == CURLUE_OK ? CURLUE_NO_HOST : parseResult));
        return false;
    }
    curl->url = url;
    curl->https = https;
    CURL* h = curl->easy.get();
    bool ok = curl_easy_setopt(h, CURLOPT_URL, curl->url.constData()) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_USERAGENT, "Kelvor Outlook Importer 2.0.32") == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 60L) == CURLE_OK;
    // A transfer that moves nothing for 60 s is given up.
    ok = ok && curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 60L) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collect) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_WRITEDATA, &m_response) == CURLE_OK;
    // Host names and dates of certificates are not checked; the issuer is, on the first attempt.
    ok = ok && curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
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

bool CExHTTPn::sendRequest(const QString& headers, const char* body, qint64 length)
{
    if (!m_ready || !m_curl)
        return false;
    CURL* h = m_curl->easy.get();

    // The request's own header list: the fixed lines plus the caller's.
    HeaderList all;
    for (curl_slist* item = m_curl->headers.get(); item; item = item->next)
        appendHeader(all, item->data);
    const QStringList lines = headers.split(QLatin1String("\r\n"), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QByteArray bytes = line.trimmed().toUtf8();
        if (!bytes.isEmpty())
            appendHeader(all, bytes.constData());
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, all.get());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body ? length : 0));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body ? body : "");

    m_response.clear();
    m_readPos = 0;
    CURLcode result = curl_easy_perform(h);
    long verifyResult = 0;
    if (result == CURLE_PEER_FAILED_VERIFICATION)
        curl_easy_getinfo(h, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
    const CertificateRetry retry = certificateRetry(int(result), verifyResult);
    if (retry != CertificateRetry::None) {
        // Any server certificate is accepted in the end, but only after exactly one more attempt;
        // only an issuer we cannot vouch for is worth a warning.
        if (retry == CertificateRetry::Warned)
            log("HttpSendRequest WARNING: ERROR_INTERNET_INVALID_CA\n");
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
        m_response.clear();
        result = curl_easy_perform(h);
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    if (result != CURLE_OK)
        log("HttpSendRequest FAILED: 0x%x\n", unsigned(result));
    m_sendError = int(result);

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
