// The per-device interceptor and the stream worker thread.  In this build the
// interceptor takes no request: everything goes on down the stack.
#include "CGenDisp.h"

#include "DrvMain.h"
#include "ZDebug.h"

namespace {
using ThisModule = LogModule<LogModuleGenDisp>;
}

const ULONG CaptureEntrySize = 64;

CGenDisp::CGenDisp() : m_fdo(nullptr), m_lower(nullptr), m_pdo(nullptr), m_device(nullptr), m_removeLock(nullptr) {}

CGenDisp::~CGenDisp() {
    m_fdo = nullptr;
    m_lower = nullptr;
    m_pdo = nullptr;
}

NTSTATUS CGenDisp::Init(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo, CDevice* device,
                        PRemoveLock removeLock) {
    m_fdo = fdo;
    m_lower = lower;
    m_pdo = pdo;
    m_device = device;
    m_removeLock = removeLock;
    m_target = lower;
    return STATUS_SUCCESS;
}

NTSTATUS CGenDisp::Dispatch(PIRP, PULONG taken) {
    // A pending rebuild has nothing to empty while no lists are kept.
    InterlockedExchange(&FilterExtension(m_fdo)->RebuildFlag, 0);
    *taken = 0;
    return STATUS_SUCCESS;
}

// The worker thread: runs until the unload asks it to stop.  The exit event
// tells systems without waitable thread objects that it has ended.
VOID ReadWriteThread(PVOID) {
    KeWaitForSingleObject(&ThreadStopEvent, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&ThreadExitEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
