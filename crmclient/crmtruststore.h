// Where the decisions of trust on first use are kept. A server certificate that does not verify is
// accepted the first time its host shows it; the SHA-256 pin of its public key ("sha256//" + base64)
// is remembered per host ("host:port"), and from then on only that key is accepted for the host. The
// transport asks and tells; where the pins live is the store's business.
#pragma once

#include <QByteArray>
#include <QHash>

#include <mutex>

// Implementations are called from several threads at once.
class CrmTrustStore
{
public:
    CrmTrustStore() = default;
    virtual ~CrmTrustStore() = default;
    CrmTrustStore(const CrmTrustStore&) = delete;
    CrmTrustStore& operator=(const CrmTrustStore&) = delete;

    // The pin remembered for host; empty when none is.
    [[nodiscard]] virtual QByteArray pin(const QByteArray& host) const = 0;
    // Remembers pin for host, replacing the pin remembered before. An empty pin forgets the host's.
    virtual void remember(const QByteArray& host, const QByteArray& pin) = 0;
};

// Pins held in memory for the life of the object (tests and tools; programs keep theirs with the
// settings).
class CrmMemoryTrustStore final : public CrmTrustStore
{
public:
    [[nodiscard]] QByteArray pin(const QByteArray& host) const override
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_pins.value(host);
    }
    void remember(const QByteArray& host, const QByteArray& pin) override
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (pin.isEmpty())
            m_pins.remove(host);
        else
            m_pins.insert(host, pin);
    }

private:
    mutable std::mutex m_mutex;
    QHash<QByteArray, QByteArray> m_pins;
};
