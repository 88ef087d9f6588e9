// One HTTP(S) POST exchange with the CRM on libcurl. An object serves exactly one request:
// construct, check isReady(), sendRequest() once, then dataAvailable()/readdata(), destroy.
// Every step is logged into the caller's HTTP log file (opened in append mode; when it cannot be
// opened the exchange runs without diagnostics). Not shared between threads.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdio>
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
    // The composed request URL (base URL + "soap/index.php?op=" + service).
    [[nodiscard]] const QString& requestUrl() const { return m_requestUrl; }

    // Base URL + "soap/index.php?op=" + service, with exactly one "/" before "soap".
    [[nodiscard]] static QString composeUrl(const QString& baseUrl, const QString& service);

private:
    struct Curl;
    void log(const char* format, ...) const
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    bool connect();

    std::unique_ptr<Curl> m_curl;
    std::FILE* m_log = nullptr;
    QString m_requestUrl;
    QByteArray m_response;
    qint64 m_readPos = 0;
    quint32 m_statusCode = 0;
    int m_sendError = -1; // -1: not sent; 0: sent; > 0: libcurl error code
    bool m_ready = false;
};
