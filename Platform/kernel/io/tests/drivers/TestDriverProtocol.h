// What the I/O manager's tests and their test drivers agree on: control codes,
// interface classes and the labels the drivers write into the I/O trace.
#pragma once

#include <wdm.h>

#define KPTEST_DEVICE 0x8000
// METHOD_BUFFERED: out ULONG, the driver image's count of DriverEntry calls as
// its own copy of the shared library sees it.
#define IOCTL_KPTEST_COUNTER CTL_CODE(KPTEST_DEVICE, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
// The same, answered by the filter itself.
#define IOCTL_KPTEST_FILTER_COUNTER CTL_CODE(KPTEST_DEVICE, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Pends the request (cancellable) until IOCTL_KPTEST_RELEASE.
#define IOCTL_KPTEST_PEND CTL_CODE(KPTEST_DEVICE, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
// In ULONG: 1 completes the pended requests at DISPATCH_LEVEL, 0 at PASSIVE_LEVEL.
#define IOCTL_KPTEST_RELEASE CTL_CODE(KPTEST_DEVICE, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)
// METHOD_NEITHER: copies the input to the output, mapping user buffers through MDLs.
#define IOCTL_KPTEST_ECHO_NEITHER CTL_CODE(KPTEST_DEVICE, 0x804, METHOD_NEITHER, FILE_ANY_ACCESS)
// METHOD_NEITHER: reads the first ULONG of the input without probing or mapping (a bug).
#define IOCTL_KPTEST_RAW_NEITHER CTL_CODE(KPTEST_DEVICE, 0x805, METHOD_NEITHER, FILE_ANY_ACCESS)
// METHOD_OUT_DIRECT: fills the output with 0xA5 through the MDL's system address.
#define IOCTL_KPTEST_FILL_DIRECT CTL_CODE(KPTEST_DEVICE, 0x806, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
// METHOD_NEITHER: works on without sleeping (stalling 10 us at a time) until the
// first ULONG of the input, read without probing, is non-zero: a test's flag.
// A second ULONG, when given, is set to 1 as the work starts.
#define IOCTL_KPTEST_BUSY_NEITHER CTL_CODE(KPTEST_DEVICE, 0x807, METHOD_NEITHER, FILE_ANY_ACCESS)

// {5A0E1C2B-7F31-4D6A-9B1E-2C4D6E8F0A11}: the function driver's interface ("global").
DEFINE_GUID(KPTEST_INTERFACE_CLASS, 0x5A0E1C2B, 0x7F31, 0x4D6A, 0x9B, 0x1E, 0x2C, 0x4D, 0x6E, 0x8F,
            0x0A, 0x11);
// {5A0E1C2B-7F31-4D6A-9B1E-2C4D6E8F0A12}: its alias under a second class, same reference string.
DEFINE_GUID(KPTEST_ALIAS_CLASS, 0x5A0E1C2B, 0x7F31, 0x4D6A, 0x9B, 0x1E, 0x2C, 0x4D, 0x6E, 0x8F,
            0x0A, 0x12);
// {5A0E1C2B-7F31-4D6A-9B1E-2C4D6E8F0A13}: a class nobody registers.
DEFINE_GUID(KPTEST_UNUSED_CLASS, 0x5A0E1C2B, 0x7F31, 0x4D6A, 0x9B, 0x1E, 0x2C, 0x4D, 0x6E, 0x8F,
            0x0A, 0x13);

inline constexpr const char* kKpTestFunctionLabel = "function";
inline constexpr const char* kKpTestFilterLabel = "filter";

// The shared static library both images link: a driver-wide count of
// DriverEntry calls, and the driver entry both drivers share (it bumps the
// count, traces "driver-entry" and installs the routines).
ULONG KpTestLoadCount();
NTSTATUS KpTestDriverEntry(PDRIVER_OBJECT driver, const char* who, PDRIVER_ADD_DEVICE addDevice,
                           PDRIVER_DISPATCH dispatch, PDRIVER_UNLOAD unload);
// A REG_DWORD value of an open key; 0 when missing or of another type.
ULONG KpTestReadDword(HANDLE key, PCWSTR name);
// IRP_MN_QUERY_INTERFACE for KPTEST_UNUSED_CLASS into Record (its Size), sent
// to Device and waited for; the request's final status.
NTSTATUS KpTestQueryInterface(PDEVICE_OBJECT Device, INTERFACE* Record);
