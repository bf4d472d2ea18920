// The answer to a filter logic's private property set, for every logic.
#include "LogicCommon.h"

namespace {

constexpr ULONG kAccessFlags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET |
                               KSPROPERTY_TYPE_SETSUPPORT | KSPROPERTY_TYPE_BASICSUPPORT;

}  // namespace

NTSTATUS BasicSupport(PVOID value, PULONG size) {
    if (size == nullptr || value == nullptr) return STATUS_UNSUCCESSFUL;
    if (*size == sizeof(ULONG)) {
        *static_cast<PULONG>(value) = kAccessFlags;
        return STATUS_SUCCESS;
    }
    if (*size < sizeof(KSPROPERTY_DESCRIPTION)) return STATUS_UNSUCCESSFUL;
    auto* description = static_cast<PKSPROPERTY_DESCRIPTION>(value);
    RtlZeroMemory(description, sizeof *description);
    description->AccessFlags = kAccessFlags;
    description->DescriptionSize = sizeof *description;
    return STATUS_SUCCESS;
}

NTSTATUS AnswerPrivateSet(const PrivatePropertySet& set, CGenDisp* genDisp, PKSPROPERTY property,
                          ULONG inputLength, PVOID output, PULONG byteCount) {
    if (!LogicLoaded()) return STATUS_UNSUCCESSFUL;
    if (!PropertyRequestWhole(property, inputLength)) return STATUS_UNSUCCESSFUL;
    if (!IsEqualGUID(property->Set, *set.Set)) return STATUS_UNSUCCESSFUL;
    ZvStatus status;
    if (property->Flags & KSPROPERTY_TYPE_GET) {
        status = set.Get(genDisp, property->Id, output, byteCount);
    } else if (property->Flags & KSPROPERTY_TYPE_SET) {
        status = set.Put(genDisp, property->Id, output, byteCount);
    } else if (property->Flags & KSPROPERTY_TYPE_SETSUPPORT) {
        return STATUS_SUCCESS;
    } else if (property->Flags & KSPROPERTY_TYPE_BASICSUPPORT) {
        return BasicSupport(output, byteCount);
    } else {
        return STATUS_UNSUCCESSFUL;
    }
    return status == ZV_OK ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
