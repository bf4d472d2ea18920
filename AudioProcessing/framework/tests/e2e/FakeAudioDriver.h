// A function driver for the framework's end-to-end tests, in the test program:
// it stands for a device's own audio driver.  Its device key ("Device
// Parameters") scripts it:
//   Categories (DWORD): 1 capture, 2 render, 3 both; the device registers a
//     KSCATEGORY_AUDIO interface and, under the same reference string, these
//     aliases (0: an audio interface with no capture or render alias).
//   StateBits (DWORD): ORed into the device-state answer.
//   PendStart (DWORD): non-zero: START answers STATUS_PENDING and finishes on
//     a system thread.  FailStart (DWORD): the status START then ends with.
// It records every request in the I/O trace as "fake-audio", answers the pin
// queries of IOCTL_KS_PROPERTY (category, dataflow, communication) and the
// audio position, holds IOCTL_ZVTEST_HOLD requests until IOCTL_ZVTEST_RELEASE
// or its removal, keeps IOCTL_ZVTEST_BLOCK requests inside its dispatch (the
// sender's thread stays in every driver above) until UnblockRequests, and
// completes everything else with STATUS_SUCCESS.
#pragma once

#include <wdm.h>

#define ZV_FAKE_AUDIO_SERVICE u"ZvFakeAudio"
#define ZV_FAKE_AUDIO_LABEL "fake-audio"
#define IOCTL_ZVTEST_HOLD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_ZVTEST_RELEASE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_ZVTEST_BLOCK CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_NEITHER, FILE_ANY_ACCESS)

namespace zvtest {
// Registers the driver in-process under ZV_FAKE_AUDIO_SERVICE.
void RegisterFakeAudioDriver();
// Completes every held request of every device (STATUS_SUCCESS).
void ReleaseHeldRequests();
ULONG HeldRequestCount();
// Waits until `count` IOCTL_ZVTEST_BLOCK requests are inside the dispatch;
// false when they are not there within ten seconds of host time.
bool WaitForBlockedRequests(ULONG count);
// Lets every blocked request go (completed with STATUS_SUCCESS by its own
// dispatch); later ones block again.
void UnblockRequests();
}  // namespace zvtest
