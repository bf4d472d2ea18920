// The contract checks of the logic adapters (builds with assertions).
#include "LogicCalls.h"

#include "DrvMain.h"

#ifndef NDEBUG
namespace logic {
namespace {
// The bug check of a broken filter-logic contract ("ZVLC").
const ULONG ContractBugCheck = 0x5A564C43;

[[noreturn]] void Breach(const char* callback, const char* what) {
    DbgPrint("Filter-logic contract: %s called %s\n", callback, what);
    KeBugCheckEx(ContractBugCheck, 0, 0, 0, 0);
}
}  // namespace

void CheckContract(const char* callback, CGenDisp* genDisp, Held held) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) Breach(callback, "above PASSIVE_LEVEL");
    if (held == Held::CallersLocks) return;
    if (genDisp != nullptr) {
        const bool lists = genDisp->OpenPinListHeldByCaller();
        if (held == Held::Lists && !lists) Breach(callback, "without the open-pin-list mutex");
        if (held != Held::Lists && lists) Breach(callback, "under the open-pin-list mutex");
    }
    // Taken by someone: a completion may give back what a dispatch took.
    if (held == Held::SyncControl && g_FilterLogic->SyncControlEnabled != 0 &&
        KeReadStateEvent(&SyncControlLock) != 0)
        Breach(callback, "without the sync-control lock");
}
}  // namespace logic
#endif
