// The data-range rewrite: the preference tables, one level's filter and
// expansion of a device's ranges, the format comparisons and conversions the
// create, intersection and data-format paths use, and the stream-header walks.
//
// Everything here works on byte layouts whose length the caller states; an
// application's lists and formats are never read past that length, and a
// malformed item (FormatSize or Size too small, or running past the end) ends
// the walk.
#include <cstring>

#include "GenDispTypes.h"
#include "MemAlloc.h"
#include "ZDebug.h"

namespace {
using ThisModule = LogModule<LogModuleGenDisp>;

const ULONG AllChannels = 0xFFFFFFFFu;

ULONG RoundUp8(ULONG value) {
    return (value + 7u) & ~7u;
}

bool GuidAt(const void* base, ULONG offset, const GUID& guid) {
    return std::memcmp(static_cast<const UCHAR*>(base) + offset, &guid, sizeof(GUID)) == 0;
}

// Offsets of the header and range fields.
const ULONG OffMajor = 16, OffSub = 32, OffSpecifier = 48;
const ULONG OffMaxChannels = 64, OffMinBits = 68, OffMaxBits = 72, OffMinRate = 76, OffMaxRate = 80;

bool IsPcmWaveRange(const void* range) {
    return GuidAt(range, OffSub, KSDATAFORMAT_SUBTYPE_PCM) &&
           GuidAt(range, OffSpecifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
}

// Walks the items of a KSMULTIPLE_ITEM of length bytes at most.  Each item is
// at least 64 bytes and lies wholly inside the list; the step between items is
// the item's FormatSize, rounded up to 8 when round is set (a device's list),
// bounded by the list.  visit returns false to stop.
template <class Visit>
void WalkRanges(const void* list, ULONG length, ULONG round, Visit visit) {
    if (list == nullptr || length < sizeof(KSMULTIPLE_ITEM)) return;
    ULONG size = ZvReadU32(list, 0), count = ZvReadU32(list, 4);
    ULONG limit = size < length ? size : length;
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < count; ++i) {
        if (limit < offset || limit - offset < ZV_FMT_SIZE_HEADER) return;
        const UCHAR* item = static_cast<const UCHAR*>(list) + offset;
        ULONG formatSize = ZvFormatSize(item);
        if (formatSize < ZV_FMT_SIZE_HEADER || formatSize > limit - offset) return;
        if (!visit(item, formatSize)) return;
        ULONG step = round != 0 ? RoundUp8(formatSize) : formatSize;
        if (step > limit - offset) return;
        offset += step;
    }
}

// Rules 1-5 of the rewrite for one device range; "found" is set by any audio range.
bool RangePasses(const UCHAR* range, ULONG formatSize, const DataRangePreference* preference,
                 ULONG bwLimit, ULONG* found) {
    if (!GuidAt(range, OffMajor, KSDATAFORMAT_TYPE_AUDIO)) return false;
    *found = 1;
    if (!IsPcmWaveRange(range) || formatSize < ZV_RANGE_SIZE_AUDIO) return false;
    if (bwLimit != 0) {
        ULONGLONG bytesPerSecond =
            static_cast<ULONGLONG>(ZvReadU32(range, OffMinBits) / 8) * ZvReadU32(range, OffMinRate);
        if (bytesPerSecond > bwLimit) return false;
    }
    ULONG maxChannels = ZvReadU32(range, OffMaxChannels);
    return maxChannels == AllChannels || maxChannels >= preference->MinimumChannels;
}

// Calls emit(bits, rate) for each accepted (bit depth, rate) pair of a range,
// bit depths outside, rates inside.
template <class Emit>
void ExpandRange(const UCHAR* range, const DataRangePreference* preference, Emit emit) {
    ULONG minBits = ZvReadU32(range, OffMinBits), maxBits = ZvReadU32(range, OffMaxBits);
    ULONG minRate = ZvReadU32(range, OffMinRate), maxRate = ZvReadU32(range, OffMaxRate);
    for (ULONG b = 0; b < 5 && preference->BitDepths[b] != 0; ++b) {
        ULONG bits = preference->BitDepths[b];
        if (bits < minBits || bits > maxBits) continue;
        for (ULONG r = 0; r < 10 && preference->Rates[r] != 0; ++r) {
            ULONG rate = preference->Rates[r];
            if (rate < minRate || rate > maxRate) continue;
            emit(bits, rate);
        }
    }
}

ULONG AdvertisedChannels(const UCHAR* range, const DataRangePreference* preference) {
    ULONG maxChannels = ZvReadU32(range, OffMaxChannels);
    return maxChannels < preference->AdvertiseChannels ? preference->MinimumChannels
                                                       : preference->AdvertiseChannels;
}

#define LEVEL(b0, b1, b2, r0, r1, r2, r3, adv) \
    { {b0, b1, b2, 0, 0}, {r0, r1, r2, r3, 0, 0, 0, 0, 0, 0}, 1, adv }
}  // namespace

const DataRangePreferenceTable RenderRangePreferences = {
    4,
    0,
    {
        LEVEL(16, 0, 0, 16000, 8000, 0, 0, 2),
        LEVEL(16, 8, 32, 16000, 8000, 0, 0, 2),
        LEVEL(16, 8, 32, 16000, 8000, 48000, 0, 2),
        LEVEL(16, 8, 32, 8000, 16000, 48000, 44100, 2),
    },
};

const DataRangePreferenceTable CaptureRangePreferences = {
    6,
    0,
    {
        LEVEL(16, 0, 0, 8000, 16000, 0, 0, 1),
        LEVEL(16, 0, 0, 8000, 16000, 0, 0, 2),
        LEVEL(16, 8, 32, 8000, 16000, 0, 0, 1),
        LEVEL(16, 8, 32, 8000, 16000, 0, 0, 2),
        LEVEL(16, 8, 32, 8000, 16000, 48000, 0, 2),
        LEVEL(16, 8, 32, 8000, 16000, 48000, 44100, 2),
    },
};
#undef LEVEL

const DataRangePreferenceTable* RangePreferencesFor(ULONG dataFlow) {
    if (dataFlow == KSPIN_DATAFLOW_IN) return &RenderRangePreferences;
    if (dataFlow == KSPIN_DATAFLOW_OUT) return &CaptureRangePreferences;
    return nullptr;
}

namespace {
const GUID RenderCategories[] = {KSCATEGORY_AUDIO};
const GUID CaptureCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE};
}  // namespace
const PinCategoryTable RenderPinCategories = {1, RenderCategories};
const PinCategoryTable CapturePinCategories = {2, CaptureCategories};

void BuildRangeListSize(const void* deviceRanges, ULONG deviceSize,
                        const DataRangePreference* preference, PULONG sizeOut, PULONG foundOut,
                        ULONG bwLimit) {
    ULONG size = sizeof(KSMULTIPLE_ITEM), found = 0;
    WalkRanges(deviceRanges, deviceSize, 1, [&](const UCHAR* range, ULONG formatSize) {
        if (RangePasses(range, formatSize, preference, bwLimit, &found)) {
            ExpandRange(range, preference, [&](ULONG, ULONG) { size += formatSize; });
        }
        return true;
    });
    *sizeOut = size;
    *foundOut = found;
}

void BuildRangeList(const void* deviceRanges, ULONG deviceSize,
                    const DataRangePreference* preference, PVOID out, ULONG outSize,
                    ULONG bwLimit) {
    if (out == nullptr || outSize < sizeof(KSMULTIPLE_ITEM)) return;
    PUCHAR list = static_cast<PUCHAR>(out);
    ULONG size = sizeof(KSMULTIPLE_ITEM), count = 0, found = 0;
    WalkRanges(deviceRanges, deviceSize, 1, [&](const UCHAR* range, ULONG formatSize) {
        if (!RangePasses(range, formatSize, preference, bwLimit, &found)) return true;
        ULONG channels = AdvertisedChannels(range, preference);
        ExpandRange(range, preference, [&](ULONG bits, ULONG rate) {
            if (formatSize > outSize - size) return;
            PUCHAR copy = list + size;
            std::memcpy(copy, range, formatSize);
            ZvWriteU32(copy, OffMaxChannels, channels);
            ZvWriteU32(copy, OffMinBits, bits);
            ZvWriteU32(copy, OffMaxBits, bits);
            ZvWriteU32(copy, OffMinRate, rate);
            ZvWriteU32(copy, OffMaxRate, rate);
            size += formatSize;
            ++count;
        });
        return true;
    });
    ZvWriteU32(list, 0, size);
    ZvWriteU32(list, 4, count);
}

ULONG FittedChannelMask(ULONG channels, ULONG keep) {
    switch (channels) {
        case 1:
            return 4;
        case 2:
        case 3:
            return 3;
        case 4:
        case 5:
            return 0x107;
        case 6:
            return 0x3F;
        default:
            return keep;
    }
}

ULONG CompareDataFormat(const void* format, ULONG formatLength, const void* reference,
                        ULONG maxChannels) {
    ULONG size = formatLength >= 4 ? ZvFormatSize(format) : 0;
    if (size > formatLength) size = formatLength;
    ULONG refSize = ZvFormatSize(reference);
    if (size < ZV_FMT_SIZE_WAVE || refSize < ZV_FMT_SIZE_WAVE) {
        ThisModule::ModulePrint(2, "CompareDataFormat DataFormat size mismatch!!!\n");
        return 1;
    }
    if (ZvReadU16(format, ZV_FMT_OFF_BITS) != ZvReadU16(reference, ZV_FMT_OFF_BITS)) return 0;
    if (ZvReadU32(format, ZV_FMT_OFF_RATE) != ZvReadU32(reference, ZV_FMT_OFF_RATE)) return 0;
    if (ZvReadU16(format, ZV_FMT_OFF_CHANNELS) > maxChannels) return 0;
    USHORT tag = ZvReadU16(format, ZV_FMT_OFF_TAG);
    if (tag != ZvReadU16(reference, ZV_FMT_OFF_TAG)) return 0;
    if (tag == WAVE_FORMAT_EXTENSIBLE && size >= ZV_FMT_SIZE_VALIDBITS &&
        refSize >= ZV_FMT_SIZE_VALIDBITS) {
        USHORT valid = ZvReadU16(format, ZV_FMT_OFF_VALIDBITS);
        bool packed24 = ZvReadU16(format, ZV_FMT_OFF_BITS) == 32 && valid == 24;
        if (valid != ZvReadU16(reference, ZV_FMT_OFF_VALIDBITS) && !packed24) return 0;
    }
    return 1;
}

namespace {
// A copy of the record's default format (FormatSize bytes); null when none.
PUCHAR CopyDefaultFormat(const PinRecord* record) {
    if (record->DefaultFormat == nullptr) return nullptr;
    ULONG size = ZvFormatSize(record->DefaultFormat);
    PUCHAR copy = static_cast<PUCHAR>(MemAlloc(size));
    if (copy != nullptr) std::memcpy(copy, record->DefaultFormat, size);
    return copy;
}

void ReplaceChosenFormat(PinRecord* record, PUCHAR format) {
    if (record->ChosenFormat != nullptr) MemFree(record->ChosenFormat);
    record->ChosenFormat = format;
}

// Writes channels, rate and bits into a format and recomputes nBlockAlign and
// nAvgBytesPerSec; formats under 80 bytes are left alone.
void SetWaveFields(PUCHAR format, ULONG channels, ULONG rate, ULONG bits) {
    if (ZvFormatSize(format) < ZV_FMT_OFF_CBSIZE) return;
    USHORT blockAlign = static_cast<USHORT>(bits * channels / 8);
    ZvWriteU16(format, ZV_FMT_OFF_CHANNELS, static_cast<USHORT>(channels));
    ZvWriteU32(format, ZV_FMT_OFF_RATE, rate);
    ZvWriteU16(format, ZV_FMT_OFF_BITS, static_cast<USHORT>(bits));
    ZvWriteU16(format, ZV_FMT_OFF_BLOCKALIGN, blockAlign);
    ZvWriteU32(format, ZV_FMT_OFF_AVGBYTES, blockAlign * rate);
}
}  // namespace

ULONG FindRangeForFormat(PinRecord* record, const void* format, ULONG formatLength, ULONG update) {
    ULONG size = formatLength >= 4 ? ZvFormatSize(format) : 0;
    if (size > formatLength) size = formatLength;
    if (size < ZV_FMT_SIZE_WAVE) return 0;
    ULONG channels = ZvReadU16(format, ZV_FMT_OFF_CHANNELS);
    ULONG bits = ZvReadU16(format, ZV_FMT_OFF_BITS);
    ULONG rate = ZvReadU32(format, ZV_FMT_OFF_RATE);
    const UCHAR* match = nullptr;
    WalkRanges(
        record->RangeList, record->RangeListSize, 0, [&](const UCHAR* range, ULONG rangeSize) {
            if (rangeSize < ZV_RANGE_SIZE_AUDIO) return true;
            ULONG maxChannels = ZvReadU32(range, OffMaxChannels);
            if ((maxChannels == AllChannels || maxChannels >= channels) &&
                ZvReadU32(range, OffMinBits) <= bits && bits <= ZvReadU32(range, OffMaxBits) &&
                ZvReadU32(range, OffMinRate) <= rate && rate <= ZvReadU32(range, OffMaxRate)) {
                match = range;
                return false;
            }
            return true;
        });
    if (match == nullptr) return 0;
    if (update == 0) return 1;
    bool created = false;
    if (record->ChosenFormat == nullptr) {
        PUCHAR copy = CopyDefaultFormat(record);
        if (copy == nullptr) return 0;
        record->ChosenFormat = copy;
        created = true;
    }
    PUCHAR chosen = record->ChosenFormat;
    ULONG chosenSize = ZvFormatSize(chosen);
    if (chosenSize >= ZV_FMT_OFF_CBSIZE) {
        ZvWriteU16(chosen, ZV_FMT_OFF_CHANNELS, static_cast<USHORT>(channels));
        ZvWriteU32(chosen, ZV_FMT_OFF_RATE, rate);
        ZvWriteU32(chosen, ZV_FMT_OFF_AVGBYTES, ZvReadU32(format, ZV_FMT_OFF_AVGBYTES));
        ZvWriteU16(chosen, ZV_FMT_OFF_BLOCKALIGN, ZvReadU16(format, ZV_FMT_OFF_BLOCKALIGN));
        ZvWriteU16(chosen, ZV_FMT_OFF_BITS, static_cast<USHORT>(bits));
    }
    if (chosenSize >= ZV_FMT_SIZE_WAVE)
        ZvWriteU16(chosen, ZV_FMT_OFF_TAG, ZvReadU16(format, ZV_FMT_OFF_TAG));
    if (created && chosenSize >= ZV_FMT_SIZE_EXTENSIBLE &&
        ZvReadU16(chosen, ZV_FMT_OFF_TAG) == WAVE_FORMAT_EXTENSIBLE) {
        ZvWriteU16(chosen, ZV_FMT_OFF_VALIDBITS, static_cast<USHORT>(ZvReadU32(match, OffMaxBits)));
        ZvWriteU32(chosen, ZV_FMT_OFF_MASK,
                   FittedChannelMask(channels, ZvReadU32(chosen, ZV_FMT_OFF_MASK)));
    }
    return 1;
}

ULONG FormatToChannelFormat(const void* format, ULONG formatLength, ChannelFormat* out) {
    std::memset(out, 0, sizeof *out);
    ULONG size = formatLength >= 4 ? ZvFormatSize(format) : 0;
    if (size > formatLength) size = formatLength;
    if (size < ZV_FMT_SIZE_WAVE) return 1;
    USHORT tag = ZvReadU16(format, ZV_FMT_OFF_TAG);
    USHORT channels = ZvReadU16(format, ZV_FMT_OFF_CHANNELS);
    out->FormatTagAndChannels = tag | (static_cast<ULONG>(channels) << 16);
    out->SamplesPerSec = ZvReadU32(format, ZV_FMT_OFF_RATE);
    out->AvgBytesPerSec = ZvReadU32(format, ZV_FMT_OFF_AVGBYTES);
    out->BitsPerSample = ZvReadU16(format, ZV_FMT_OFF_BITS);
    if (tag == WAVE_FORMAT_EXTENSIBLE && size >= ZV_FMT_SIZE_MASK) {
        out->ChannelMask = ZvReadU32(format, ZV_FMT_OFF_MASK);
    } else {
        switch (channels) {
            case 1:
                out->ChannelMask = 4;
                break;
            case 2:
                out->ChannelMask = 3;
                break;
            case 4:
                out->ChannelMask = 0x33;
                break;
            case 6:
                out->ChannelMask = 0x3F;
                break;
            default:
                out->ChannelMask = 0;
                break;
        }
    }
    return 1;
}

ULONG IntersectDataFormat(PinRecord* record, const void* request, ULONG inputLength) {
    const ULONG listOffset = sizeof(KSP_PIN);
    if (request == nullptr || inputLength < listOffset + sizeof(KSMULTIPLE_ITEM)) return 0;
    const UCHAR* offered = nullptr;
    WalkRanges(static_cast<const UCHAR*>(request) + listOffset, inputLength - listOffset, 1,
               [&](const UCHAR* range, ULONG formatSize) {
                   if (formatSize >= ZV_RANGE_SIZE_AUDIO &&
                       GuidAt(range, OffMajor, KSDATAFORMAT_TYPE_AUDIO) && IsPcmWaveRange(range)) {
                       offered = range;
                       return false;
                   }
                   return true;
               });
    if (offered == nullptr) return 0;
    ULONG rangeCount = record->RangeList != nullptr ? ZvReadU32(record->RangeList, 4) : 0;
    if (record->IntersectCursor >= rangeCount) record->IntersectCursor = 0;
    ULONG offeredChannels = ZvReadU32(offered, OffMaxChannels);
    ULONG index = 0;
    const UCHAR* taken = nullptr;
    WalkRanges(record->RangeList, record->RangeListSize, 0,
               [&](const UCHAR* range, ULONG rangeSize) {
                   if (rangeSize < ZV_RANGE_SIZE_AUDIO) return true;
                   ULONG channels = ZvReadU32(range, OffMaxChannels);
                   bool fits = (offeredChannels == AllChannels || offeredChannels >= channels) &&
                               ZvReadU32(offered, OffMinBits) <= ZvReadU32(range, OffMinBits) &&
                               ZvReadU32(range, OffMaxBits) <= ZvReadU32(offered, OffMaxBits) &&
                               ZvReadU32(offered, OffMinRate) <= ZvReadU32(range, OffMinRate) &&
                               ZvReadU32(range, OffMaxRate) <= ZvReadU32(offered, OffMaxRate);
                   if (!fits) return true;
                   if (index++ == record->IntersectCursor) {
                       taken = range;
                       return false;
                   }
                   return true;
               });
    if (record->FailureCount >= 3) {
        record->FailureCount = 0;
        record->IntersectCursor += 1;
    }
    if (taken == nullptr) return 0;
    PUCHAR chosen = CopyDefaultFormat(record);
    if (chosen == nullptr) return 0;
    ULONG channels = ZvReadU32(taken, OffMaxChannels);
    ULONG bits = ZvReadU32(taken, OffMinBits);
    SetWaveFields(chosen, channels, ZvReadU32(taken, OffMinRate), bits);
    record->ChannelLimit = channels;
    if (ZvFormatSize(chosen) >= ZV_FMT_SIZE_EXTENSIBLE &&
        ZvReadU16(chosen, ZV_FMT_OFF_TAG) == WAVE_FORMAT_EXTENSIBLE) {
        ZvWriteU16(chosen, ZV_FMT_OFF_VALIDBITS, static_cast<USHORT>(bits));
        ZvWriteU32(chosen, ZV_FMT_OFF_MASK,
                   FittedChannelMask(channels, ZvReadU32(chosen, ZV_FMT_OFF_MASK)));
    }
    ReplaceChosenFormat(record, chosen);
    return 1;
}

void DisplayDataFormat(const void* format, ULONG formatLength) {
    if (format == nullptr || formatLength < ZV_FMT_SIZE_HEADER) {
        ThisModule::ModulePrint(3, "\tDataFormat: %lu bytes, too short to show\n", formatLength);
        return;
    }
    ULONG size = ZvFormatSize(format);
    ThisModule::ModulePrint(3, "\tFormatSize %lu Flags 0x%lx SampleSize %lu\n", size,
                            ZvReadU32(format, 4), ZvReadU32(format, 8));
    if (size > formatLength) size = formatLength;
    if (size < ZV_FMT_SIZE_WAVE) {
        ThisModule::ModulePrint(3, "\tno WAVEFORMATEX (%lu bytes)\n", size);
        return;
    }
    ThisModule::ModulePrint(
        3, "\twFormatTag 0x%x nChannels %u nSamplesPerSec %lu nAvgBytesPerSec %lu\n",
        ZvReadU16(format, ZV_FMT_OFF_TAG), ZvReadU16(format, ZV_FMT_OFF_CHANNELS),
        ZvReadU32(format, ZV_FMT_OFF_RATE), ZvReadU32(format, ZV_FMT_OFF_AVGBYTES));
    ThisModule::ModulePrint(3, "\tnBlockAlign %u wBitsPerSample %u cbSize %u\n",
                            ZvReadU16(format, ZV_FMT_OFF_BLOCKALIGN),
                            ZvReadU16(format, ZV_FMT_OFF_BITS),
                            ZvReadU16(format, ZV_FMT_OFF_CBSIZE));
    if (size >= ZV_FMT_SIZE_MASK) {
        ThisModule::ModulePrint(3, "\twValidBitsPerSample %u dwChannelMask 0x%lx\n",
                                ZvReadU16(format, ZV_FMT_OFF_VALIDBITS),
                                ZvReadU32(format, ZV_FMT_OFF_MASK));
    }
}

void DisplayMultipleItemDataRanges(const void* item, ULONG length) {
    ULONG index = 0;
    WalkRanges(item, length, 1, [&](const UCHAR* range, ULONG formatSize) {
        if (formatSize >= ZV_RANGE_SIZE_AUDIO) {
            ThisModule::ModulePrint(3, "\tRange %lu: channels %lu bits %lu-%lu rate %lu-%lu\n",
                                    index, ZvReadU32(range, OffMaxChannels),
                                    ZvReadU32(range, OffMinBits), ZvReadU32(range, OffMaxBits),
                                    ZvReadU32(range, OffMinRate), ZvReadU32(range, OffMaxRate));
        } else {
            ThisModule::ModulePrint(3, "\tRange %lu: %lu bytes\n", index, formatSize);
        }
        ++index;
        return true;
    });
}

ULONG WalkStreamHeaders(const void* headers, ULONG length, ULONG useDataUsed, ULONGLONG* sum,
                        PULONG count, ULONG maxHeaders) {
    *sum = 0;
    *count = 0;
    if (headers == nullptr) return length == 0 ? 1 : 0;
    ULONG offset = 0;
    while (offset < length) {
        if (length - offset < sizeof(KSSTREAM_HEADER)) return 0;
        const UCHAR* header = static_cast<const UCHAR*>(headers) + offset;
        ULONG size = ZvReadU32(header, offsetof(KSSTREAM_HEADER, Size));
        if (size < sizeof(KSSTREAM_HEADER) || size > length - offset) return 0;
        if (maxHeaders != 0 && *count >= maxHeaders) return 0;
        *sum += ZvReadU32(header, useDataUsed != 0 ? offsetof(KSSTREAM_HEADER, DataUsed)
                                                   : offsetof(KSSTREAM_HEADER, FrameExtent));
        ++*count;
        offset += size;
    }
    return 1;
}

ULONGLONG CountStreamBytes(const void* headers, ULONG length, ULONG useDataUsed) {
    ULONGLONG sum = 0;
    ULONG count = 0;
    WalkStreamHeaders(headers, length, useDataUsed, &sum, &count, 0);
    return sum;
}

ULONG StreamHeadersUsable(const void* headers, ULONG length) {
    ULONGLONG sum = 0;
    ULONG count = 0;
    // A request without a header carries nothing for the logic.
    if (WalkStreamHeaders(headers, length, 0, &sum, &count, ZV_STREAM_MDLS) == 0 || count == 0)
        return 0;
    ULONG offset = 0;
    for (ULONG i = 0; i < count; ++i) {
        const UCHAR* header = static_cast<const UCHAR*>(headers) + offset;
        const ULONG extent = ZvReadU32(header, offsetof(KSSTREAM_HEADER, FrameExtent));
        PVOID data;
        std::memcpy(&data, header + offsetof(KSSTREAM_HEADER, Data), sizeof data);
        // Bytes without a buffer: nothing could be mapped for them.
        if (ZvReadU32(header, offsetof(KSSTREAM_HEADER, DataUsed)) > extent ||
            (extent != 0 && data == nullptr)) {
            return 0;
        }
        offset += ZvReadU32(header, offsetof(KSSTREAM_HEADER, Size));
    }
    return 1;
}
