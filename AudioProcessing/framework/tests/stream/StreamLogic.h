// A filter logic for the interceptor's end-to-end tests, linked into the test
// program with the framework and loaded as an in-process driver under the
// service name ZvStreamTest.  Like the drivers' logics it acquires channel 1
// of a direction in OnOpen; it records every callback (with a sequence number
// on the simulated devices' clock of events, the thread and the IRQL), and it
// can be told to change the samples it sees, to hold OnBuffer, and to answer
// its property sets and position requests in scripted ways.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <wdm.h>

namespace zvstream {

struct Call {
    std::string What;        // "OnOpen", "OnBuffer", "OnSetStreamState", ...
    ULONGLONG Sequence = 0;  // kp::sim::NextSequence() at the call
    std::thread::id Thread;
    KIRQL Irql = 0;
    ULONG Direction = 0;
    LONG Channel = -1;
    ULONG Value = 0;  // state, length, format rate ...
    ULONG Channels = 0, Bits = 0, Mask = 0, AvgBytes = 0;
    // OnBuffer: per header, DataUsed, FrameExtent, whether Data was a system
    // mapping, and the first bytes of the data.
    std::vector<ULONG> Used, Extent;
    std::vector<bool> SystemData;
    std::vector<std::vector<UCHAR>> Bytes;
    bool HeadersSystem = false;
};

struct Control {
    ULONG PinDirs = 3;                     // VID_INST_PINDIRS stored by OnDecidePinDirs
    bool BufferSlot = true;                // OnBuffer present in the descriptor
    std::atomic<int> XorBuffers{0};        // OnBuffer XORs every byte with this value
    std::atomic<bool> HoldBuffers{false};  // OnBuffer waits until released
    ULONGLONG AddWriteOffset = 0;          // OnGetAudioPosition adds this
    NTSTATUS PropertyAnswer = STATUS_NOT_SUPPORTED;
    ULONG PropertyBytes = 0;
};

Control& Settings();
std::vector<Call> Calls();
std::vector<Call> CallsOf(const std::string& what);
void Reset();
// Forgets the recorded calls only (the logic stays loaded).
void ClearCalls();
// Lets held OnBuffer calls return; waits until n calls are held (0: no wait).
void WaitHeld(ULONG n);
void ReleaseHeld();
// Empties (false) or fills the descriptor's OnBuffer slot.
void SetBufferSlot(bool present);

}  // namespace zvstream
