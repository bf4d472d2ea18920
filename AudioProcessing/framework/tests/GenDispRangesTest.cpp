// The range rewrite, the format comparisons and conversions, and the stream
// header walks, on synthetic lists built byte by byte.  Every application list
// is placed at the very end of a heap block so that AddressSanitizer sees any
// read past its stated length.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "FrameworkTestSupport.h"
#include "GenDispTypes.h"
#include "MemAlloc.h"

namespace {

struct Range {
    GUID Major = KSDATAFORMAT_TYPE_AUDIO, Sub = KSDATAFORMAT_SUBTYPE_PCM,
         Spec = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    ULONG Size = 88, Channels = 2, MinBits = 16, MaxBits = 16, MinRate = 8000, MaxRate = 48000;
};

void AppendRange(std::vector<UCHAR>* list, const Range& r) {
    size_t at = list->size();
    list->resize(at + ((r.Size + 7) & ~7u), 0);
    UCHAR* p = list->data() + at;
    ZvWriteU32(p, 0, r.Size);
    std::memcpy(p + 16, &r.Major, 16);
    std::memcpy(p + 32, &r.Sub, 16);
    std::memcpy(p + 48, &r.Spec, 16);
    if (r.Size >= 88) {
        ZvWriteU32(p, 64, r.Channels);
        ZvWriteU32(p, 68, r.MinBits);
        ZvWriteU32(p, 72, r.MaxBits);
        ZvWriteU32(p, 76, r.MinRate);
        ZvWriteU32(p, 80, r.MaxRate);
    }
}

std::vector<UCHAR> List(const std::vector<Range>& ranges) {
    std::vector<UCHAR> list(8, 0);
    for (auto& r : ranges) AppendRange(&list, r);
    ZvWriteU32(list.data(), 0, static_cast<ULONG>(list.size()));
    ZvWriteU32(list.data(), 4, static_cast<ULONG>(ranges.size()));
    return list;
}

struct Point {
    ULONG Bits, Rate, Channels;
    bool operator==(const Point&) const = default;
};

std::vector<Point> Points(const std::vector<UCHAR>& list) {
    std::vector<Point> out;
    ULONG count = ZvReadU32(list.data(), 4), offset = 8;
    for (ULONG i = 0; i < count; ++i) {
        const UCHAR* r = list.data() + offset;
        EXPECT_EQ(ZvReadU32(r, 68), ZvReadU32(r, 72));
        EXPECT_EQ(ZvReadU32(r, 76), ZvReadU32(r, 80));
        out.push_back({ZvReadU32(r, 68), ZvReadU32(r, 76), ZvReadU32(r, 64)});
        offset += ZvFormatSize(r);
    }
    EXPECT_EQ(offset, ZvReadU32(list.data(), 0));
    return out;
}

std::vector<UCHAR> Rewrite(const std::vector<UCHAR>& device, ULONG dataflow, ULONG level,
                           ULONG bwLimit = 0, ULONG* found = nullptr) {
    const DataRangePreference* pref = &RangePreferencesFor(dataflow)->Levels[level];
    ULONG size = 0, f = 0;
    BuildRangeListSize(device.data(), static_cast<ULONG>(device.size()), pref, &size, &f, bwLimit);
    if (found != nullptr) *found = f;
    std::vector<UCHAR> out(size, 0xCC);
    BuildRangeList(device.data(), static_cast<ULONG>(device.size()), pref, out.data(), size,
                   bwLimit);
    EXPECT_EQ(ZvReadU32(out.data(), 0), size);
    return out;
}

std::vector<UCHAR> Wave(ULONG rate, ULONG bits, ULONG channels, ULONG size = 82,
                        USHORT tag = WAVE_FORMAT_PCM) {
    std::vector<UCHAR> f(size, 0);
    ZvWriteU32(f.data(), 0, size);
    std::memcpy(f.data() + 16, &KSDATAFORMAT_TYPE_AUDIO, 16);
    std::memcpy(f.data() + 32, &KSDATAFORMAT_SUBTYPE_PCM, 16);
    std::memcpy(f.data() + 48, &KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 16);
    ZvWriteU16(f.data(), 64, tag);
    ZvWriteU16(f.data(), 66, static_cast<USHORT>(channels));
    ZvWriteU32(f.data(), 68, rate);
    ZvWriteU16(f.data(), 76, static_cast<USHORT>(bits * channels / 8));
    ZvWriteU32(f.data(), 72, rate * bits * channels / 8);
    ZvWriteU16(f.data(), 78, static_cast<USHORT>(bits));
    return f;
}

// A heap copy whose last byte is the block's last byte.
struct Tight {
    explicit Tight(const std::vector<UCHAR>& bytes, size_t keep = SIZE_MAX)
        : n(keep < bytes.size() ? keep : bytes.size()), p(new UCHAR[n > 0 ? n : 1]) {
        std::memcpy(p, bytes.data(), n);
    }
    ~Tight() { delete[] p; }
    size_t n;
    UCHAR* p;
};

class GenDispRangesTest : public zvtest::FrameworkTest {};

TEST_F(GenDispRangesTest, CaptureLevelZeroOfAMonoRangeIsTwoSixteenBitPoints) {
    auto out = Rewrite(List({{.Channels = 1}}), 2, 0);
    EXPECT_EQ(Points(out), (std::vector<Point>{{16, 8000, 1}, {16, 16000, 1}}));
}

TEST_F(GenDispRangesTest, BitDepthsOutsideRatesInsideInTheLevelsOrder) {
    auto out = Rewrite(
        List({{.Channels = 2, .MinBits = 8, .MaxBits = 32, .MinRate = 8000, .MaxRate = 48000}}), 1,
        2);
    EXPECT_EQ(Points(out), (std::vector<Point>{{16, 16000, 2},
                                               {16, 8000, 2},
                                               {16, 48000, 2},
                                               {8, 16000, 2},
                                               {8, 8000, 2},
                                               {8, 48000, 2},
                                               {32, 16000, 2},
                                               {32, 8000, 2},
                                               {32, 48000, 2}}));
}

TEST_F(GenDispRangesTest, ChannelRulesAndSkippedRanges) {
    // All bits set passes; fewer than the advertised channels advertise the minimum.
    EXPECT_EQ(Points(Rewrite(List({{.Channels = 0xFFFFFFFF}}), 1, 0)),
              (std::vector<Point>{{16, 16000, 2}, {16, 8000, 2}}));
    EXPECT_EQ(Points(Rewrite(List({{.Channels = 1}}), 1, 0)),
              (std::vector<Point>{{16, 16000, 1}, {16, 8000, 1}}));
    // Below the minimum channels, non-PCM, non-WAVEFORMATEX and 64-byte ranges are skipped.
    ULONG found = 0;
    auto out = Rewrite(List({{.Channels = 0},
                             {.Sub = KSDATAFORMAT_SUBTYPE_MIDI},
                             {.Spec = KSDATAFORMAT_SPECIFIER_DSOUND},
                             {.Size = 64}}),
                       2, 0, 0, &found);
    EXPECT_EQ(ZvReadU32(out.data(), 4), 0u);
    EXPECT_EQ(out.size(), 8u);
    EXPECT_EQ(found, 1u);
    Range midi;
    midi.Major = KSDATAFORMAT_TYPE_MUSIC;
    Rewrite(List({midi}), 2, 0, 0, &found);
    EXPECT_EQ(found, 0u);
}

TEST_F(GenDispRangesTest, BandwidthLimitDropsByTheRangesMinimums) {
    // 2 bytes x 48000 exceeds 32000: dropped.  The second range's minimums pass,
    // so all of its points are advertised, 48000 Hz included.
    auto out =
        Rewrite(List({{.MinRate = 48000, .MaxRate = 48000}, {.MinRate = 8000}}), 1, 3, 32000);
    EXPECT_EQ(Points(out),
              (std::vector<Point>{{16, 8000, 2}, {16, 16000, 2}, {16, 48000, 2}, {16, 44100, 2}}));
    EXPECT_EQ(Points(Rewrite(List({{.MinRate = 48000, .MaxRate = 48000}}), 1, 3, 0)).size(), 1u);
}

TEST_F(GenDispRangesTest, LongerDeviceRangesAreCopiedWhole) {
    auto out = Rewrite(List({{.Size = 96, .Channels = 1}}), 2, 0);
    ASSERT_EQ(out.size(), 8u + 2 * 96);
    EXPECT_EQ(Points(out), (std::vector<Point>{{16, 8000, 1}, {16, 16000, 1}}));
}

TEST_F(GenDispRangesTest, TruncatedDeviceListIsNotReadPastItsLength) {
    auto list = List({{.Channels = 1}, {.Channels = 1}});
    ZvWriteU32(list.data(), 4, 7);       // claims seven ranges
    ZvWriteU32(list.data(), 0, 100000);  // and a size far past the buffer
    for (size_t keep : {0ul, 7ul, 8ul, 60ul, 95ul, 96ul, 150ul, list.size()}) {
        Tight t(list, keep);
        ULONG size = 0, found = 0;
        BuildRangeListSize(t.p, static_cast<ULONG>(t.n), &CaptureRangePreferences.Levels[0], &size,
                           &found, 0);
        EXPECT_EQ(size, 8u + (keep >= 96 ? 2u : 0u) * 88 + (keep >= 184 ? 2u : 0u) * 88) << keep;
    }
    // A FormatSize of 0 or past the list ends the walk.
    auto bad = List({{.Channels = 1}});
    ZvWriteU32(bad.data(), 8, 0);
    EXPECT_EQ(Rewrite(bad, 2, 0).size(), 8u);
    ZvWriteU32(bad.data(), 8, 4000);
    EXPECT_EQ(Rewrite(bad, 2, 0).size(), 8u);
}

TEST_F(GenDispRangesTest, CompareDataFormat) {
    auto a = Wave(16000, 16, 2), b = Wave(16000, 16, 1);
    EXPECT_EQ(CompareDataFormat(a.data(), 82, b.data(), 2), 1u);
    EXPECT_EQ(CompareDataFormat(a.data(), 82, b.data(), 1), 0u);  // too many channels
    EXPECT_EQ(CompareDataFormat(Wave(8000, 16, 1).data(), 82, b.data(), 2), 0u);
    EXPECT_EQ(CompareDataFormat(Wave(16000, 8, 1).data(), 82, b.data(), 2), 0u);
    // Extensible: 32 bits with 24 valid equals 32/32; 24/24 does not.
    auto ext = Wave(48000, 32, 2, 104, WAVE_FORMAT_EXTENSIBLE);
    ZvWriteU16(ext.data(), 82, 24);
    auto ref = Wave(48000, 32, 2, 104, WAVE_FORMAT_EXTENSIBLE);
    ZvWriteU16(ref.data(), 82, 32);
    EXPECT_EQ(CompareDataFormat(ext.data(), 104, ref.data(), 2), 1u);
    auto ref24 = Wave(48000, 24, 2, 104, WAVE_FORMAT_EXTENSIBLE);
    ZvWriteU16(ref24.data(), 82, 24);
    EXPECT_EQ(CompareDataFormat(ext.data(), 104, ref24.data(), 2), 0u);
    // A short format (or one whose stated size runs past its buffer) has nothing to compare.
    Tight shortFormat(a, 70);
    EXPECT_EQ(CompareDataFormat(shortFormat.p, 70, b.data(), 1), 1u);
    // An 82-byte format tagged extensible is compared without its valid bits.
    auto ext82 = Wave(48000, 32, 2, 82, WAVE_FORMAT_EXTENSIBLE);
    Tight t(ext82);
    EXPECT_EQ(CompareDataFormat(t.p, 82, ref.data(), 2), 1u);
}

TEST_F(GenDispRangesTest, FormatToChannelFormatMasks) {
    ChannelFormat cf;
    FormatToChannelFormat(Wave(16000, 16, 1).data(), 82, &cf);
    EXPECT_EQ(cf.FormatTagAndChannels, 1u | (1u << 16));
    EXPECT_EQ(cf.SamplesPerSec, 16000u);
    EXPECT_EQ(cf.AvgBytesPerSec, 32000u);
    EXPECT_EQ(cf.BitsPerSample, 16u);
    EXPECT_EQ(cf.ChannelMask, 4u);
    for (auto [channels, mask] :
         {std::pair{2u, 3u}, {3u, 0u}, {4u, 0x33u}, {5u, 0u}, {6u, 0x3Fu}}) {
        FormatToChannelFormat(Wave(16000, 16, channels).data(), 82, &cf);
        EXPECT_EQ(cf.ChannelMask, mask) << channels;
    }
    auto ext = Wave(16000, 16, 2, 104, WAVE_FORMAT_EXTENSIBLE);
    ZvWriteU32(ext.data(), 84, 0x600);
    FormatToChannelFormat(ext.data(), 104, &cf);
    EXPECT_EQ(cf.ChannelMask, 0x600u);
    // An extensible tag on an 84-byte format: no mask is read from it.
    auto ext84 = Wave(16000, 16, 2, 84, WAVE_FORMAT_EXTENSIBLE);
    Tight t(ext84);
    FormatToChannelFormat(t.p, 84, &cf);
    EXPECT_EQ(cf.ChannelMask, 3u);
    Tight shortFormat(ext84, 60);
    FormatToChannelFormat(shortFormat.p, 60, &cf);
    EXPECT_EQ(cf.SamplesPerSec, 0u);
}

struct RecordHolder {
    PinRecord r{};
    explicit RecordHolder(const std::vector<UCHAR>& ranges,
                          const std::vector<UCHAR>& defaultFormat) {
        r.RangeList = static_cast<PUCHAR>(MemAlloc(static_cast<ULONG>(ranges.size())));
        std::memcpy(r.RangeList, ranges.data(), ranges.size());
        r.RangeListSize = static_cast<ULONG>(ranges.size());
        r.DefaultFormat = static_cast<PUCHAR>(MemAlloc(static_cast<ULONG>(defaultFormat.size())));
        std::memcpy(r.DefaultFormat, defaultFormat.data(), defaultFormat.size());
    }
    ~RecordHolder() {
        MemFree(r.RangeList);
        MemFree(r.DefaultFormat);
        MemFree(r.ChosenFormat);
    }
};

std::vector<UCHAR> Request(const std::vector<Range>& offered) {
    std::vector<UCHAR> request(sizeof(KSP_PIN), 0);
    auto list = List(offered);
    request.insert(request.end(), list.begin(), list.end());
    return request;
}

TEST_F(GenDispRangesTest, FindRangeForFormatWithUpdateCreatesTheChosenFormat) {
    RecordHolder h(Rewrite(List({{.Channels = 2}}), 1, 0), Wave(16000, 16, 2));
    EXPECT_EQ(FindRangeForFormat(&h.r, Wave(44100, 16, 2).data(), 82, 1), 0u);
    EXPECT_EQ(h.r.ChosenFormat, nullptr);
    EXPECT_EQ(FindRangeForFormat(&h.r, Wave(8000, 16, 1).data(), 82, 0), 1u);
    EXPECT_EQ(h.r.ChosenFormat, nullptr);
    EXPECT_EQ(FindRangeForFormat(&h.r, Wave(8000, 16, 1).data(), 82, 1), 1u);
    ASSERT_NE(h.r.ChosenFormat, nullptr);
    EXPECT_EQ(ZvReadU32(h.r.ChosenFormat, 68), 8000u);
    EXPECT_EQ(ZvReadU16(h.r.ChosenFormat, 66), 1u);
    EXPECT_EQ(ZvReadU16(h.r.ChosenFormat, 76), 2u);
    EXPECT_EQ(CompareDataFormat(Wave(8000, 16, 1).data(), 82, h.r.ChosenFormat, 2), 1u);
}

TEST_F(GenDispRangesTest, IntersectionCursorAdvancesAfterThreeFailures) {
    RecordHolder h(Rewrite(List({{.Channels = 1}}), 2, 0), Wave(8000, 16, 1));
    auto wide = Request(
        {{.Channels = 0xFFFFFFFF, .MinBits = 8, .MaxBits = 32, .MinRate = 1, .MaxRate = 200000}});
    Tight req(wide);
    ASSERT_EQ(IntersectDataFormat(&h.r, req.p, static_cast<ULONG>(req.n)), 1u);
    EXPECT_EQ(ZvReadU32(h.r.ChosenFormat, 68), 8000u);
    EXPECT_EQ(h.r.ChannelLimit, 1u);
    h.r.FailureCount = 3;
    ASSERT_EQ(IntersectDataFormat(&h.r, req.p, static_cast<ULONG>(req.n)), 1u);
    EXPECT_EQ(ZvReadU32(h.r.ChosenFormat, 68), 8000u);  // the move takes effect next time
    EXPECT_EQ(h.r.FailureCount, 0u);
    ASSERT_EQ(IntersectDataFormat(&h.r, req.p, static_cast<ULONG>(req.n)), 1u);
    EXPECT_EQ(ZvReadU32(h.r.ChosenFormat, 68), 16000u);
    EXPECT_EQ(ZvReadU32(h.r.ChosenFormat, 72), 32000u);
    // An offer that only fits 16000 Hz always answers it.
    h.r.IntersectCursor = 0;
    Tight narrow(Request({{.Channels = 1, .MinRate = 16000, .MaxRate = 16000}}));
    ASSERT_EQ(IntersectDataFormat(&h.r, narrow.p, static_cast<ULONG>(narrow.n)), 1u);
    EXPECT_EQ(ZvReadU32(h.r.ChosenFormat, 68), 16000u);
}

TEST_F(GenDispRangesTest, OfferedListsAreBoundedByTheInput) {
    RecordHolder h(Rewrite(List({{.Channels = 1}}), 2, 0), Wave(8000, 16, 1));
    auto full = Request({{.Channels = 1}, {.Channels = 1}, {.Channels = 1}});
    // Count 3 with input for one range, cut anywhere: never a read past the input.
    for (size_t keep = 0; keep <= 32 + 8 + 88 + 10; ++keep) {
        Tight t(full, keep);
        ULONG got = IntersectDataFormat(&h.r, t.p, static_cast<ULONG>(t.n));
        EXPECT_EQ(got, keep >= 32 + 8 + 88 ? 1u : 0u) << keep;
    }
    // Non-audio, short (64-byte) and zero-sized items are passed over or end the walk.
    Range plain;
    plain.Size = 64;
    Tight skipped(Request({plain, {.Channels = 1}}));
    EXPECT_EQ(IntersectDataFormat(&h.r, skipped.p, static_cast<ULONG>(skipped.n)), 1u);
    auto zero = Request({{.Channels = 1}});
    ZvWriteU32(zero.data(), 40, 0);
    Tight z(zero);
    EXPECT_EQ(IntersectDataFormat(&h.r, z.p, static_cast<ULONG>(z.n)), 0u);
}

std::vector<UCHAR> Headers(const std::vector<std::pair<ULONG, ULONG>>& extentUsed,
                           ULONG size = sizeof(KSSTREAM_HEADER)) {
    std::vector<UCHAR> out(extentUsed.size() * size, 0);
    for (size_t i = 0; i < extentUsed.size(); ++i) {
        ZvWriteU32(out.data() + i * size, 0, size);
        ZvWriteU32(out.data() + i * size, offsetof(KSSTREAM_HEADER, FrameExtent),
                   extentUsed[i].first);
        ZvWriteU32(out.data() + i * size, offsetof(KSSTREAM_HEADER, DataUsed),
                   extentUsed[i].second);
        PVOID data = out.data();  // any buffer: the walks never read the data
        std::memcpy(out.data() + i * size + offsetof(KSSTREAM_HEADER, Data), &data, sizeof data);
    }
    return out;
}

TEST_F(GenDispRangesTest, StreamHeaderWalks) {
    auto two = Headers({{100, 40}, {200, 60}}, sizeof(KSSTREAM_HEADER) + 16);
    EXPECT_EQ(CountStreamBytes(two.data(), static_cast<ULONG>(two.size()), 0), 300u);
    EXPECT_EQ(CountStreamBytes(two.data(), static_cast<ULONG>(two.size()), 1), 100u);
    EXPECT_EQ(StreamHeadersUsable(two.data(), static_cast<ULONG>(two.size())), 1u);
    // Size 0, a Size below the header, a last header past the length: stop, not usable.
    auto zero = Headers({{100, 40}});
    ZvWriteU32(zero.data(), 0, 0);
    EXPECT_EQ(StreamHeadersUsable(zero.data(), static_cast<ULONG>(zero.size())), 0u);
    EXPECT_EQ(CountStreamBytes(zero.data(), static_cast<ULONG>(zero.size()), 0), 0u);
    ZvWriteU32(zero.data(), 0, 40);
    EXPECT_EQ(StreamHeadersUsable(zero.data(), static_cast<ULONG>(zero.size())), 0u);
    Tight cut(Headers({{100, 40}, {100, 40}}), sizeof(KSSTREAM_HEADER) + 20);
    EXPECT_EQ(StreamHeadersUsable(cut.p, static_cast<ULONG>(cut.n)), 0u);
    EXPECT_EQ(CountStreamBytes(cut.p, static_cast<ULONG>(cut.n), 0), 100u);
    // DataUsed past FrameExtent, and eleven headers, are not handed to the logic.
    auto over = Headers({{100, 101}});
    EXPECT_EQ(StreamHeadersUsable(over.data(), static_cast<ULONG>(over.size())), 0u);
    auto eleven = Headers(std::vector<std::pair<ULONG, ULONG>>(11, {8, 8}));
    EXPECT_EQ(StreamHeadersUsable(eleven.data(), static_cast<ULONG>(eleven.size())), 0u);
    EXPECT_EQ(CountStreamBytes(eleven.data(), static_cast<ULONG>(eleven.size()), 0), 88u);
    // No header at all, and bytes without a Data pointer, are not either; an
    // empty header needs none.
    EXPECT_EQ(StreamHeadersUsable(two.data(), 0), 0u);
    EXPECT_EQ(StreamHeadersUsable(nullptr, 0), 0u);
    auto noData = Headers({{640, 640}});
    std::memset(noData.data() + offsetof(KSSTREAM_HEADER, Data), 0, sizeof(PVOID));
    EXPECT_EQ(StreamHeadersUsable(noData.data(), static_cast<ULONG>(noData.size())), 0u);
    auto empty = Headers({{0, 0}});
    std::memset(empty.data() + offsetof(KSSTREAM_HEADER, Data), 0, sizeof(PVOID));
    EXPECT_EQ(StreamHeadersUsable(empty.data(), static_cast<ULONG>(empty.size())), 1u);
}

}  // namespace
