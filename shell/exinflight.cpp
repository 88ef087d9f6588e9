#include "exinflight.h"

#include "crmtransfer.h"

#include <QtGlobal>

#include <chrono>
#include <utility>

ExInflight::ExInflight(int limit, std::function<bool()> keepGoing, std::function<void()> idle)
    : m_limit(qBound(1, limit, maxLimit))
    , m_keepGoing(std::move(keepGoing))
    , m_idle(std::move(idle))
{
}

ExInflight::~ExInflight()
{
    drain();
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_work.notify_all();
    for (std::thread& t : m_helpers)
        t.join();
}

namespace
{

// An item whose turn comes after the run was stopped is not sent at all.
ExItemResult notSent()
{
    ExItemResult result;
    result.transport.failure = CrmTransportFailure::Aborted;
    return result;
}

} // namespace

ExItemResult ExInflight::sendNow(const Send& send) const
{
    if (!send)
        return ExItemResult{};
    if (m_keepGoing && !m_keepGoing())
        return notSent();
    return send();
}

void ExInflight::submit(Send send, Finish finish)
{
    if (m_limit == 1 || (!send && m_inFlight.empty())) {
        const ExItemResult result = sendNow(send);
        if (finish)
            finish(result);
        return;
    }
    while (static_cast<int>(m_inFlight.size()) >= m_limit)
        finishOldest();

    auto slot = std::make_shared<Slot>();
    slot->send = std::move(send);
    slot->finish = std::move(finish);
    m_inFlight.push_back(slot);
    if (!slot->send) {
        // Nothing to send: it only waits for its turn to finish.
        slot->done = true;
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(slot);
        // Helpers are started as they are needed: a short run does not pay for threads it never uses.
        if (m_helpers.size() < m_inFlight.size())
            m_helpers.emplace_back([this] { helper(); });
    }
    m_work.notify_one();
}

void ExInflight::drain()
{
    while (!m_inFlight.empty())
        finishOldest();
}

void ExInflight::finishOldest()
{
    const std::shared_ptr<Slot> slot = m_inFlight.front();
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!slot->done) {
            m_done.wait_for(lock, std::chrono::milliseconds(50));
            if (!slot->done && m_idle) {
                lock.unlock();
                m_idle();
                lock.lock();
            }
        }
    }
    m_inFlight.pop_front();
    if (slot->finish)
        slot->finish(slot->result);
}

void ExInflight::helper()
{
    // Each helper's exchanges are aborted as soon as the run no longer wants them.
    const CrmTransferGuard guard([this] { return !m_keepGoing || m_keepGoing(); });
    for (;;) {
        std::shared_ptr<Slot> slot;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_work.wait(lock, [this] { return m_quit || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            slot = m_queue.front();
            m_queue.pop_front();
        }
        ExItemResult result = sendNow(slot->send);
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            slot->result = std::move(result);
            slot->done = true;
        }
        m_done.notify_all();
    }
}
