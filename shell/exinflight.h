#pragma once

// Item exchanges of a run, one after another or up to N at once (the CRM_INFLIGHT setting).

#include "crmoperations.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// What one item exchange gave: the server's value (-2: no usable answer) and how the transport went.
struct ExItemResult {
    int value = -2;
    CrmItemTransport transport;
};

// Keeps up to `limit` item exchanges in flight. With limit 1, send() runs at once in the calling thread,
// exactly as a plain call would. Above 1, send() runs in one of `limit` helper threads, each under a
// transfer guard that aborts its exchange as soon as keepGoing() turns false. finish() always runs in the
// calling thread, in the order the items were submitted, so counters, summary lines and progress come
// out as in a sequential run. An item whose turn comes when keepGoing() is false is not sent: it
// finishes as aborted before anything left. While the calling thread waits for a result it calls
// idle() about every 50 ms. Used by one thread (the run's).
class ExInflight {
public:
    using Send = std::function<ExItemResult()>;
    using Finish = std::function<void(const ExItemResult&)>;

    ExInflight(int limit, std::function<bool()> keepGoing, std::function<void()> idle = {});
    // Finishes what is in flight, then ends the helper threads.
    ~ExInflight();
    ExInflight(const ExInflight&) = delete;
    ExInflight& operator=(const ExInflight&) = delete;

    [[nodiscard]] int limit() const { return m_limit; }
    // Waits while `limit` items are in flight (finishing the oldest), then starts this one. An item
    // without send (one that is not sent, e.g. skipped) only keeps its place in the order of finish().
    void submit(Send send, Finish finish);
    // Finishes every item in flight.
    void drain();

    // Upper bound of the CRM_INFLIGHT setting.
    static constexpr int maxLimit = 16;

private:
    struct Slot {
        Send send;
        Finish finish;
        ExItemResult result;
        bool done = false;
    };
    void finishOldest();
    void helper();
    [[nodiscard]] ExItemResult sendNow(const Send& send) const;

    const int m_limit;
    std::function<bool()> m_keepGoing;
    std::function<void()> m_idle;
    std::deque<std::shared_ptr<Slot>> m_inFlight; // submitted, not finished; the calling thread's
    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_done;
    std::deque<std::shared_ptr<Slot>> m_queue; // waiting for a helper; guarded by m_mutex
    bool m_quit = false;                       // guarded by m_mutex
    std::vector<std::thread> m_helpers;
};
