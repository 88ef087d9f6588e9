#pragma once

// The remaining time of a run, from the rate measured over the whole run so far: the items done since
// the items began against the time they took. Not the last item's time: items differ in size, and so do
// folders. Nothing is said in the first seconds, when a rate from a few items says little. Plain
// arithmetic on times the caller hands in (milliseconds of one monotonic clock), so it runs without a
// clock of its own.

#include <QString>
#include <QtGlobal>

class ExRunEstimate {
public:
    // How long the rate is measured before a remaining time is told.
    static constexpr qint64 quietMs = 4000;

    // The items begin now (after the logon and the folder work); done counts from 0 again.
    void begin(qint64 nowMs)
    {
        m_startMs = nowMs;
        m_started = true;
    }
    // Back to "not begun" (a new run, or the work went back to a busy phase).
    void reset() { m_started = false; }
    [[nodiscard]] bool isRunning() const { return m_started; }

    // Milliseconds still needed for total items of which done are done; -1 when it is too early to say
    // (not begun, within quietMs, nothing done yet, or no total known).
    [[nodiscard]] qint64 remainingMs(qint64 done, qint64 total, qint64 nowMs) const;

    // "noch ca. %1 Min." (rounded to whole minutes), "noch unter 1 Min."; empty for -1.
    [[nodiscard]] static QString text(qint64 remainingMs);

private:
    qint64 m_startMs = 0;
    bool m_started = false;
};
