// The gain control: the near end's 10 ms blocks graded by level, the grades
// of a cycle averaged, and the capture device's volume node stepped through
// the KS request sender.
#include "EchowellLogic.h"
#include "FilterLogicServices.h"
#include "MemAlloc.h"
#include "Probe.h"
#include "ZDebug.h"

namespace {

using Log = LogModule<LogModuleFilterLogic>;

constexpr LONG kChannel = 1;
constexpr LONG kVolumeWidth = kAgcVolumeMax - kAgcVolumeMin;
constexpr ULONG kTopologyGet = 0x10000001;  // KSPROPERTY_TYPE_TOPOLOGY | GET
constexpr ULONG kTopologySet = 0x10000002;  // KSPROPERTY_TYPE_TOPOLOGY | SET
// A topology is a handful of nodes; a header claiming more than this much is
// not believed (and not allocated).
constexpr ULONG kMaxNodeListBytes = sizeof(KSMULTIPLE_ITEM) + 4096 * sizeof(GUID);

// The grades and the per mille shares that decide them.
constexpr signed char kGradeDown = -100, kGradeKeep = 0, kGradeUp = 100;
constexpr ULONG kLoudPerMille = 7;       // band 4 at or above: too loud
constexpr ULONG kQuietLowPerMille = 10;  // band 2 below: not speech
constexpr ULONG kBusyMidPerMille = 200;  // band 3 above: loud enough

// The capture pin's lower device and file object, when channel 1 has both.
bool CapturePin(PDEVICE_OBJECT* lower, PFILE_OBJECT* pin) {
    ULONGLONG count = 0;
    PDEVICE_OBJECT fdo = nullptr;
    *lower = nullptr;
    *pin = nullptr;
    return GetChannelInfo(kChannel, CHANNEL_CAPTURE, lower, pin, &count, &fdo) == ZV_OK &&
           *lower != nullptr && *pin != nullptr;
}

void ReportVolume(LONG volume) {
    ProbeSetValue(10, (static_cast<LONGLONG>(volume) - kAgcVolumeMin) * 100 / kVolumeWidth);
}

// The grade of one block from its band counts.
signed char Grade(const ULONG counts[4], ULONG samples) {
    ULONG perMille[4];
    for (ULONG i = 0; i < 4; ++i)
        perMille[i] = static_cast<ULONG>(static_cast<ULONGLONG>(counts[i]) * 1000 / samples);
    if (perMille[3] >= kLoudPerMille) return kGradeDown;
    if (perMille[1] < kQuietLowPerMille || perMille[2] > kBusyMidPerMille) return kGradeKeep;
    return kGradeUp;
}

}  // namespace

AgcState g_Agc;

NTSTATUS FindVolumeNode(PDEVICE_OBJECT lower, PFILE_OBJECT file, PULONG* nodeList) {
    if (nodeList == nullptr) return STATUS_INVALID_PARAMETER;
    *nodeList = nullptr;
    KSPROPERTY request{KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, KSPROPERTY_TYPE_GET};
    KSMULTIPLE_ITEM head{};
    ULONG returned = 0;
    NTSTATUS status = SendKsIoctl(IOCTL_KS_PROPERTY, lower, file, &request, sizeof request, &head,
                                  sizeof head, &returned);
    if (!NT_SUCCESS(status)) return status;
    // The device's word is checked before anything is allocated or read.
    if (returned < sizeof head || head.Size < sizeof head || head.Size > kMaxNodeListBytes)
        return STATUS_INVALID_BUFFER_SIZE;
    auto* list = static_cast<PKSMULTIPLE_ITEM>(MemAlloc(head.Size));
    if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    returned = 0;
    status = SendKsIoctl(IOCTL_KS_PROPERTY, lower, file, &request, sizeof request, list, head.Size,
                         &returned);
    // The second answer may differ from the first: its own header must fit
    // the buffer and the bytes returned must hold every GUID it counts.
    const ULONGLONG needed =
        sizeof(KSMULTIPLE_ITEM) + static_cast<ULONGLONG>(list->Count) * sizeof(GUID);
    if (NT_SUCCESS(status) && (returned < sizeof head || list->Size > head.Size ||
                               needed > list->Size || needed > returned))
        status = STATUS_INVALID_BUFFER_SIZE;
    if (!NT_SUCCESS(status)) {
        MemFree(list);
        return status;
    }
    *nodeList = reinterpret_cast<PULONG>(list);
    return STATUS_SUCCESS;
}

ULONG VolumeNodeIndex(const ULONG* nodeList) {
    if (nodeList == nullptr) return kAgcDefaultVolumeNode;
    const auto* list = reinterpret_cast<const KSMULTIPLE_ITEM*>(nodeList);
    const auto* nodes = reinterpret_cast<const GUID*>(list + 1);
    for (ULONG i = 0; i < list->Count; ++i) {
        if (IsEqualGUID(nodes[i], KSNODETYPE_VOLUME)) return i;
    }
    return kAgcDefaultVolumeNode;
}

NTSTATUS GetVolumeLevel(PDEVICE_OBJECT lower, PFILE_OBJECT file, PLONG volume) {
    g_VolumeRequest.NodeProperty.Property.Flags = kTopologyGet;
    LONG value = 0;
    ULONG returned = 0;
    NTSTATUS status = SendKsIoctl(IOCTL_KS_PROPERTY, lower, file, &g_VolumeRequest,
                                  sizeof g_VolumeRequest, &value, sizeof value, &returned);
    if (NT_SUCCESS(status) && returned >= sizeof value) *volume = value;
    return status;
}

void SetVolumeLevel(PDEVICE_OBJECT lower, PFILE_OBJECT file, LONG volume) {
    g_VolumeRequest.NodeProperty.Property.Flags = kTopologySet;
    // A volume the device refuses changes nothing here: the next step tries again.
    (void)SendKsIoctl(IOCTL_KS_PROPERTY, lower, file, &g_VolumeRequest, sizeof g_VolumeRequest,
                      &volume, sizeof volume, nullptr);
}

void ResetAGC() {
    RtlZeroMemory(g_Agc.Grades, sizeof g_Agc.Grades);
    g_Agc.GradeCount = 0;
    g_Agc.Started = 0;
    g_Agc.SkipCount = kAgcSkipBlocks;
    g_Agc.UpThreshold = 20;
    g_Agc.DownThreshold = -20;
}

void CountSampleLevels(const SHORT* samples, ULONG count, const ULONG thresholds[3],
                       ULONG counts[4]) {
    counts[0] = counts[1] = counts[2] = counts[3] = 0;
    for (ULONG i = 0; i < count; ++i) {
        // The magnitude in 16 bits: -32768 stays negative and counts lowest.
        const LONG magnitude = static_cast<SHORT>(samples[i] < 0 ? -samples[i] : samples[i]);
        ULONG band = 0;
        for (ULONG t = 3; t > 0; --t) {
            if (magnitude >= static_cast<LONG>(thresholds[t - 1])) {
                band = t;
                break;
            }
        }
        ++counts[band];
    }
}

void DoAGC(PVOID buffer, ULONG bytes) {
    const ULONG frameBytes = FormatBits(g_ProcessFormat) / 8 * FormatChannels(g_ProcessFormat);
    const ULONG samples = frameBytes != 0 ? bytes / frameBytes : 0;
    if (buffer == nullptr || samples == 0) return;
    if (!g_Agc.Started) {
        if (g_Agc.SkipCount < kAgcSkipBlocks) {
            ++g_Agc.SkipCount;
            return;
        }
        g_Agc.SkipCount = 0;
        g_Agc.GradeCount = 0;
        g_Agc.Started = 1;
    }
    CountSampleLevels(static_cast<const SHORT*>(buffer), samples, g_ulAgcThresholds,
                      g_Agc.BandCounts);
    // Only a cycle's worth of grades is kept: the count never indexes past it.
    if (g_Agc.GradeCount < kAgcGradesPerCycle)
        g_Agc.Grades[g_Agc.GradeCount] = Grade(g_Agc.BandCounts, samples);
    if (++g_Agc.GradeCount < kAgcGradesPerCycle) return;

    LONG sum = 0;
    for (ULONG i = 0; i < kAgcGradesPerCycle; ++i) sum += g_Agc.Grades[i];
    const LONG average = sum / static_cast<LONG>(kAgcGradesPerCycle);
    ProbeSetValue(11, average);
    if (average >= g_Agc.UpThreshold) {
        g_Agc.Volume += kAgcVolumeStep;
        ResetAGC();
        g_Agc.DownThreshold = -50;  // a step back down needs a clearer cycle
    } else if (average <= g_Agc.DownThreshold) {
        g_Agc.Volume -= kAgcVolumeStep;
        ResetAGC();
        g_Agc.UpThreshold = 50;
    } else {
        // Undecided: a full pause before the next cycle.
        ResetAGC();
        g_Agc.SkipCount = 0;
        return;
    }
    PDEVICE_OBJECT lower = nullptr;
    PFILE_OBJECT pin = nullptr;
    if (!CapturePin(&lower, &pin)) return;
    if (g_Agc.Volume < kAgcVolumeMin || g_Agc.Volume > kAgcVolumeMax) {
        g_Agc.Volume = g_Agc.Volume < kAgcVolumeMin ? kAgcVolumeMin : kAgcVolumeMax;
        // At an end of the range: pause before trying further.
        ResetAGC();
        g_Agc.SkipCount = 0;
    }
    Log::ModulePrint(1, "DoAGC>> Volume set is 0x%lx %ld\n", g_Agc.Volume, g_Agc.Volume);
    SetVolumeLevel(lower, pin, g_Agc.Volume);
    ReportVolume(g_Agc.Volume);
}

void StartAGC() {
    PDEVICE_OBJECT lower = nullptr;
    PFILE_OBJECT pin = nullptr;
    if (!CapturePin(&lower, &pin)) return;
    PULONG nodes = nullptr;
    if (pin->RelatedFileObject == nullptr ||
        !NT_SUCCESS(FindVolumeNode(lower, pin->RelatedFileObject, &nodes)))
        nodes = nullptr;
    {
        MutexGuard engine(&g_EngineMutex);
        g_VolumeRequest.NodeProperty.NodeId = VolumeNodeIndex(nodes);
        InitAGC(g_bAgcOn);
    }
    if (nodes != nullptr) MemFree(nodes);
}

void InitAGC(ULONG mode) {
    LONG preset;
    switch (mode) {
        case 1:
        case 4:
            preset = 3537609;
            break;
        case 3:
            preset = kAgcVolumeMin;
            break;
        case 5:
            preset = 3780421;
            break;
        case 6:
            preset = kAgcVolumeMax;
            break;
        default:
            return;
    }
    g_Agc.Volume = preset;
    PDEVICE_OBJECT lower = nullptr;
    PFILE_OBJECT pin = nullptr;
    if (CapturePin(&lower, &pin)) {
        SetVolumeLevel(lower, pin, preset);
        ReportVolume(preset);
    }
    ResetAGC();
}
