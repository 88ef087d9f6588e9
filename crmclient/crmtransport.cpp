#include "crmtransport.h"

#include "crmtransport_p.h"
#include "crmtruststore.h"

#include <QFile>

#include <cstdlib>

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

// More URLs than a program ever talks to; past it the list starts again.
constexpr int urlCacheSize = 16;

} // namespace

CrackedUrl crackUrl(const QByteArray& url)
{
    CrackedUrl c;
    std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    // Without a scheme the address cannot be taken apart (a bare host name is refused).
    c.parseResult = parsed ? curl_url_set(parsed.get(), CURLUPART_URL, url.constData(), CURLU_NON_SUPPORT_SCHEME)
                           : CURLUE_OUT_OF_MEMORY;
    if (c.parseResult != CURLUE_OK)
        return c;
    const CurlString scheme = urlPart(parsed.get(), CURLUPART_SCHEME);
    const CurlString host = urlPart(parsed.get(), CURLUPART_HOST);
    const CurlString path = urlPart(parsed.get(), CURLUPART_PATH);
    const CurlString query = urlPart(parsed.get(), CURLUPART_QUERY);
    const CurlString port = urlPart(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    c.cracked = scheme && host;
    if (!c.cracked)
        return c;
    c.scheme = scheme.get();
    c.host = host.get();
    c.https = qstricmp(scheme.get(), "https") == 0;
    c.http = c.https || qstricmp(scheme.get(), "http") == 0;
    c.port = port ? std::strtol(port.get(), nullptr, 10) : 0;
    c.target = path ? QByteArray(path.get()) : QByteArray();
    if (query) {
        c.extra = '?' + QByteArray(query.get());
        c.target += c.extra;
    }
    return c;
}

QByteArray hostKeyOf(const CrackedUrl& url)
{
    return url.host.toLower() + ':' + QByteArray::number(qlonglong(url.port));
}

CrmTransport::Private::Private(CrmTrustStore& trustStore, const CrmTransferLimits& limits)
    : trust(trustStore), m_limits(limits)
{
    share = curl_share_init();
    if (!share)
        return;
    bool ok = curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Private::lock) == CURLSHE_OK;
    ok = ok && curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Private::unlock) == CURLSHE_OK;
    ok = ok && curl_share_setopt(share, CURLSHOPT_USERDATA, this) == CURLSHE_OK;
    ok = ok && curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK;
    ok = ok && curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
    if (!ok) { // a share without its locks is not safe across threads: none then
        curl_share_cleanup(share);
        share = nullptr;
    }
}

CrmTransport::Private::~Private()
{
    releaseIdle();
    if (share)
        curl_share_cleanup(share);
}

void CrmTransport::Private::lock(CURL*, curl_lock_data data, curl_lock_access, void* self)
{
    static_cast<Private*>(self)->m_locks[lockIndex(data)].lock();
}

void CrmTransport::Private::unlock(CURL*, curl_lock_data data, void* self)
{
    static_cast<Private*>(self)->m_locks[lockIndex(data)].unlock();
}

size_t CrmTransport::Private::lockIndex(curl_lock_data data)
{
    const auto index = size_t(data);
    return index < size_t(CURL_LOCK_DATA_LAST) ? index : 0;
}

CurlMulti CrmTransport::Private::take()
{
    {
        const std::lock_guard<std::mutex> lock(m_idleMutex);
        if (!m_idle.empty()) {
            CurlMulti multi = std::move(m_idle.back());
            m_idle.pop_back();
            return multi;
        }
    }
    return CurlMulti(curl_multi_init());
}

void CrmTransport::Private::give(CurlMulti multi)
{
    const std::lock_guard<std::mutex> lock(m_idleMutex);
    m_idle.push_back(std::move(multi));
}

void CrmTransport::Private::releaseIdle()
{
    std::vector<CurlMulti> idle;
    {
        const std::lock_guard<std::mutex> lock(m_idleMutex);
        idle.swap(m_idle);
    }
}

CrmTransferLimits CrmTransport::Private::limits() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_limits;
}

void CrmTransport::Private::setLimits(const CrmTransferLimits& limits)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_limits = limits;
}

QByteArray CrmTransport::Private::caFile() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_caFile;
}

void CrmTransport::Private::setCaFile(const QByteArray& path)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_caFile = path;
}

QByteArray CrmTransport::Private::acceptedPin(const QByteArray& hostKey) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_pins.value(hostKey);
}

void CrmTransport::Private::acceptPin(const QByteArray& hostKey, const QByteArray& pin)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (pin.isEmpty())
        m_pins.remove(hostKey);
    else
        m_pins.insert(hostKey, pin);
}

void CrmTransport::Private::forgetAcceptedPins()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_pins.clear();
}

CrackedUrl CrmTransport::Private::crackedUrl(const QByteArray& url)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const auto known = m_urls.constFind(url);
        if (known != m_urls.constEnd())
            return *known;
    }
    CrackedUrl c = crackUrl(url);
    if (c.parseResult == CURLUE_OK) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_urls.size() >= urlCacheSize)
            m_urls.clear();
        m_urls.insert(url, c);
    }
    return c;
}

CrmTransport::CrmTransport(CrmTrustStore& trust, const CrmTransferLimits& limits)
{
    ensureCurlGlobalInit();
    m_d = std::make_unique<Private>(trust, limits);
}

CrmTransport::~CrmTransport() = default;

CrmTransferLimits CrmTransport::limits() const
{
    return m_d->limits();
}

void CrmTransport::setLimits(const CrmTransferLimits& limits)
{
    m_d->setLimits(limits);
}

CrmTrustStore& CrmTransport::trust() const
{
    return m_d->trust;
}

void CrmTransport::setCertificateAuthorities(const QString& pemFile)
{
    m_d->setCaFile(QFile::encodeName(pemFile));
}

void CrmTransport::forgetCertificate(const QString& baseUrl)
{
    const CrackedUrl url = crackUrl(baseUrl.toUtf8());
    if (!url.cracked)
        return;
    const QByteArray hostKey = hostKeyOf(url);
    m_d->acceptPin(hostKey, QByteArray());
    m_d->trust.remember(hostKey, QByteArray());
}

void CrmTransport::reset()
{
    m_d->forgetAcceptedPins();
    m_d->releaseIdle();
}
