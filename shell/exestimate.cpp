#include "exestimate.h"

qint64 ExRunEstimate::remainingMs(qint64 done, qint64 total, qint64 nowMs) const
{
    if (!m_started || total <= 0 || done <= 0)
        return -1;
    const qint64 elapsed = nowMs - m_startMs;
    if (elapsed < quietMs)
        return -1;
    if (done >= total)
        return 0;
    // In floating point: thousands of items times hours of milliseconds stay exact enough, and the
    // product cannot overflow.
    return qint64(double(elapsed) / double(done) * double(total - done));
}

QString ExRunEstimate::text(qint64 remainingMs)
{
    if (remainingMs < 0)
        return QString();
    if (remainingMs < 60000)
        return QStringLiteral("noch unter 1 Min.");
    return QStringLiteral("noch ca. %1 Min.").arg((remainingMs + 30000) / 60000);
}
