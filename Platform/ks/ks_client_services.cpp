// Kernel streaming services a kernel client calls: pin creation by name and a
// synchronous control request on a file object.
#include <cstring>
#include <vector>

#include "kp/bugcheck.h"
#include "ks.h"

NTSTATUS KsCreatePin(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK DesiredAccess,
                     PHANDLE ConnectionHandle) {
    if (FilterHandle == nullptr || Connect == nullptr || ConnectionHandle == nullptr)
        return STATUS_INVALID_PARAMETER;
    KSDATAFORMAT format;
    std::memcpy(&format, Connect + 1, sizeof format);
    if (format.FormatSize < sizeof(KSDATAFORMAT)) return STATUS_INVALID_PARAMETER;
    // Text, separator, connection and format: the name is binary past the text.
    size_t bytes = KSSTRING_Pin_Chars * 2 + 2 + sizeof(KSPIN_CONNECT) + format.FormatSize;
    if (bytes > 0xFFFE) return STATUS_INVALID_PARAMETER;
    std::vector<WCHAR> name((bytes + 1) / 2);
    std::memcpy(name.data(), KSSTRING_Pin, KSSTRING_Pin_Chars * 2);
    name[KSSTRING_Pin_Chars] = u'\\';
    std::memcpy(reinterpret_cast<uint8_t*>(name.data()) + KSSTRING_Pin_Chars * 2 + 2, Connect,
                sizeof(KSPIN_CONNECT) + format.FormatSize);
    UNICODE_STRING text;
    text.Buffer = name.data();
    text.Length = text.MaximumLength = static_cast<USHORT>(bytes);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               FilterHandle, nullptr);
    IO_STATUS_BLOCK iosb;
    return ZwCreateFile(ConnectionHandle, DesiredAccess, &attributes, &iosb, nullptr,
                        FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN, 0, nullptr, 0);
}

NTSTATUS KsSynchronousIoControlDevice(PFILE_OBJECT FileObject, KPROCESSOR_MODE RequestorMode,
                                      ULONG IoControl, PVOID InBuffer, ULONG InSize,
                                      PVOID OutBuffer, ULONG OutSize, PULONG BytesReturned) {
    KpAssertIrql(PASSIVE_LEVEL, "KsSynchronousIoControlDevice");
    if (BytesReturned != nullptr) *BytesReturned = 0;
    if (FileObject == nullptr) return STATUS_INVALID_PARAMETER;
    if (OutSize != 0 && OutBuffer == nullptr) return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(FileObject);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControl, device, InBuffer, InSize, OutBuffer,
                                             OutSize, FALSE, &event, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->RequestorMode = RequestorMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->FileObject = FileObject;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (BytesReturned != nullptr) *BytesReturned = static_cast<ULONG>(iosb.Information);
    return status;
}
