// A machine whose master device is a simulated "full" audio device with the
// interface reference string "global" and no filter on its stack, on a manual
// clock, with the driver allocator running as in a loaded driver.  Tests drive
// the kernel-streaming client and the streaming thread from the test thread
// (PASSIVE_LEVEL, kernel handles) as the switch-and-mute logic does; at the
// end no IRP, MDL, file object, allocator block or kernel object may be left.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "AudioStream.h"
#include "CKsFilter.h"
#include "CircBuff.h"
#include "kp/machinetest.h"

namespace zvbridge {

inline constexpr char kMaster[] = "USB\\VID_0AC8&PID_3450\\5&1";
inline constexpr WCHAR kFilterName[] = u"global";

// Injected failures of ObReferenceObjectByHandle: the Nth call from now fails
// with STATUS_OBJECT_TYPE_MISMATCH (0: none).
void FailReferenceByHandle(ULONG nth);
// Calls of KeDelayExecutionThread since the last reset.
ULONG DelayCalls();
void ResetDelayCalls();
// Calls of IoCancelIrp since the last reset.
ULONG CancelCalls();
void ResetCancelCalls();

WAVEFORMATEX Pcm(ULONG rate, ULONG bits, ULONG channels);

class BridgeTest : public kp::testing::MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Boots the machine with the master ("ramp" capture); `disconnect` sets
    // its DisconnectOnRemoval knob.
    void BootMaster(bool disconnect = false);
    // Finds and opens the master's filter in `category` with pin `pinId`
    // listed; the enumerator is m_enumerator, the filter m_filter.
    void OpenFilter(const GUID& category, ULONG pinId);
    // Opens pin 1 (capture) or 0 (render) at 8 kHz 16-bit mono with a ring
    // of `ms` and runs it; m_pin.
    void StartPin(bool render, ULONG ms = 50);
    // Deletes the enumerator (and with it filters, pins and streams).
    void CloseAll();

    // Spins (yielding) until `condition` holds; fails the test after 20
    // host seconds rather than hanging.
    static void WaitUntil(const std::function<bool()>& condition, const char* what);
    // Advances the clock 10 ms and waits until the streaming thread has sent
    // the completed request again (eight queued on the device).
    void Step();
    // Runs `call` on another thread and, once `ready` holds, advances the
    // clock in 10 ms steps, each once the machine rests and the caller sleeps
    // in the kernel, until it returns; a call still inside after a minute of
    // machine time or 20 host seconds aborts the run with a message.
    static void AdvanceWhile(const std::function<void()>& call, const std::function<bool()>& ready);

    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_lower = nullptr;  // the top of the master's stack: the device itself
    std::shared_ptr<kp::sim::SimAudioDevice> m_device;
    KsFilterEnumerator* m_enumerator = nullptr;
    CKsFilter* m_filter = nullptr;
    CKsPin* m_pin = nullptr;
    ULONG m_files = 0;  // live file objects before the test opened any
};

}  // namespace zvbridge
