// The count of calls in progress the filter logics' teardowns wait out.
#include "LogicCommon.h"

void CallCount::Init(BOOLEAN open) {
    KeInitializeSpinLock(&m_Lock);
    KeInitializeEvent(&m_IdleEvent, NotificationEvent, TRUE);
    m_lCount = 0;
    m_lOpen = open;
}

void CallCount::SetOpen(BOOLEAN open) {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    m_lOpen = open;
    KeReleaseSpinLock(&m_Lock, irql);
}

BOOLEAN CallCount::Enter() {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    BOOLEAN accepted = m_lOpen != 0;
    if (accepted && m_lCount++ == 0) KeClearEvent(&m_IdleEvent);
    KeReleaseSpinLock(&m_Lock, irql);
    return accepted;
}

void CallCount::Leave() {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    if (--m_lCount == 0) KeSetEvent(&m_IdleEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&m_Lock, irql);
}

LONG CallCount::Count() {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    LONG count = m_lCount;
    KeReleaseSpinLock(&m_Lock, irql);
    return count;
}

void CallCount::WaitIdle() {
    // New callers may come and go meanwhile: wait until a look finds none.
    while (Count() != 0) KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, nullptr);
}
