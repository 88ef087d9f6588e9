// Observing and aborting the CRM transfers of one thread.
#pragma once

#include <QtGlobal>

#include <functional>

// While a guard lives, every CRM transfer made by the thread that created it calls tick() about every
// 50-100 ms, also while it only waits for the server; tick() returns false to abort that transfer at once.
// Guards nest (innermost wins). Used by the item importers' worker ("Abbrechen" aborts a pending exchange)
// and by the e-mail importer (lets the GUI event loop run while a large upload moves).
// A guard must be destroyed by the thread that created it, in reverse order of creation.
class CrmTransferGuard
{
public:
    explicit CrmTransferGuard(std::function<bool()> tick);
    ~CrmTransferGuard();
    Q_DISABLE_COPY_MOVE(CrmTransferGuard)

    // Calls the innermost guard of the calling thread; true (go on) when the thread has none. A tick
    // that throws counts as an abort.
    [[nodiscard]] static bool tickCurrent();

private:
    std::function<bool()> m_tick;
    CrmTransferGuard* m_outer;
};
