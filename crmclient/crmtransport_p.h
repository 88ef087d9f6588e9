// Inside of CrmTransport, shared by crmtransport.cpp and exhttpn.cpp only: libcurl's types stay out of
// the public headers.
#pragma once

#include "crmtransport.h"

#include <QByteArray>
#include <QHash>

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <vector>

struct CurlMultiDeleter {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;

// A request URL taken apart as the HTTP log shows it.
struct CrackedUrl {
    CURLUcode parseResult = CURLUE_OUT_OF_MEMORY;
    bool cracked = false; // scheme and host found
    bool http = false;    // http or https
    bool https = false;
    QByteArray scheme, host, target, extra; // target: path and "?" query; extra: "?" query or ""
    long port = 0;
};
[[nodiscard]] CrackedUrl crackUrl(const QByteArray& url);
// "host:port" of a cracked URL, the key of its certificate decision.
[[nodiscard]] QByteArray hostKeyOf(const CrackedUrl& url);

struct CrmTransport::Private {
    Private(CrmTrustStore& trustStore, const CrmTransferLimits& limits);
    ~Private();

    // DNS answers and TLS sessions sit in one share handle, locked per kind of data, so exchanges on
    // several threads can use it at once. Null when libcurl could not make one (nothing is shared then).
    CURLSH* share = nullptr;

    // Connections and the loaded CA store belong to a multi handle, and a multi handle serves one
    // exchange at a time: an exchange borrows one from the idle list (the most recently used, whose
    // connection is warm) and gives it back when its transfer has ended. With one exchange after
    // another that is always the same multi handle, hence the same connection.
    [[nodiscard]] CurlMulti take();
    void give(CurlMulti multi);
    void releaseIdle();

    [[nodiscard]] CrmTransferLimits limits() const;
    void setLimits(const CrmTransferLimits& limits);
    [[nodiscard]] QByteArray caFile() const;
    void setCaFile(const QByteArray& path);

    // The certificate decision per host for the rest of the program start: the pin of an unverified
    // certificate that was accepted (first use, or the one in the trust store). Later exchanges with
    // that host go straight to the pinned key: one warning per program start.
    [[nodiscard]] QByteArray acceptedPin(const QByteArray& hostKey) const;
    void acceptPin(const QByteArray& hostKey, const QByteArray& pin); // empty: forget
    void forgetAcceptedPins();

    // The exchanges of a run all go to one or two URLs: the URLs taken apart are kept.
    [[nodiscard]] CrackedUrl crackedUrl(const QByteArray& url);

    CrmTrustStore& trust;

private:
    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self);
    static void unlock(CURL*, curl_lock_data data, void* self);
    static size_t lockIndex(curl_lock_data data);

    std::mutex m_locks[CURL_LOCK_DATA_LAST];
    std::mutex m_idleMutex;
    std::vector<CurlMulti> m_idle;
    mutable std::mutex m_mutex; // limits, pins, URLs
    CrmTransferLimits m_limits;
    QByteArray m_caFile;
    QHash<QByteArray, QByteArray> m_pins;
    QHash<QByteArray, CrackedUrl> m_urls;
};
