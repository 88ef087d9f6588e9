// What the CRM exchanges of one program share. The program's start creates one CrmTransport and hands
// it to its runs; every CExHTTPn is made with it.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>

class CrmTrustStore;

// curl_global_init exactly once per process. CrmTransport calls ensureCurlGlobalInit() itself; a
// program's start holds a CurlGlobal for the whole run so that libcurl is cleaned up at its end, after
// the last CrmTransport has gone.
void ensureCurlGlobalInit();
class CurlGlobal
{
public:
    CurlGlobal();
    ~CurlGlobal();
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
};

// Bounds of every exchange. Nothing a server does (or fails to do) keeps an exchange longer.
struct CrmTransferLimits {
    int connectMs = 15000;           // TCP connect and TLS handshake
    int stallMs = 30000;             // no byte moving in either direction
    int logonMs = 30000;             // a whole logon exchange (service "logon")
    int exchangeMs = 300000;         // any other exchange, plus uploadBytesPerSecond allowance
    qint64 uploadBytesPerSecond = 32 * 1024;
    qint64 answerBytes = 16 * 1024 * 1024; // a larger answer ends the exchange as failed
};

// The shared state of a program's exchanges: kept-alive connections, TLS sessions, DNS answers and the
// loaded CA store (so a run talks to its CRM over one connection); the bounds of every exchange; the
// certificate decisions taken since the program started; and the trust store that keeps them across
// program starts. Exchanges on several threads use it at once. It must outlive every exchange made
// with it and go before libcurl's global cleanup.
class CrmTransport
{
public:
    explicit CrmTransport(CrmTrustStore& trust, const CrmTransferLimits& limits = {});
    ~CrmTransport();
    CrmTransport(const CrmTransport&) = delete;
    CrmTransport& operator=(const CrmTransport&) = delete;

    [[nodiscard]] CrmTransferLimits limits() const;
    // Takes effect for exchanges started afterwards (tests that cannot wait for the real bounds).
    void setLimits(const CrmTransferLimits& limits);

    [[nodiscard]] CrmTrustStore& trust() const;

    // Certificates are verified against the authorities in this PEM file instead of the system's CA
    // store (tests; empty: the system's). Takes effect for exchanges started afterwards.
    void setCertificateAuthorities(const QString& pemFile);

    // Forgets the certificate remembered for the host of baseUrl (trust store and this program start),
    // so that the next exchange with it accepts and remembers whatever certificate it shows. Used when
    // the user has confirmed that the server's certificate was replaced on purpose.
    void forgetCertificate(const QString& baseUrl);
    // Forgets this program start's certificate decisions (the trust store keeps its own) and closes the
    // idle connections, as a new program start would.
    void reset();

    struct Private;
    // For the exchange (exhttpn.cpp) only.
    [[nodiscard]] Private& d() const { return *m_d; }

private:
    std::unique_ptr<Private> m_d;
};
