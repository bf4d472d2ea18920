// A capture ring between a writer and a reader whose clocks differ by 500 ppm,
// both paced by the test in 10 ms steps: the ring's steering keeps its level
// inside the band, so the reader never runs dry and the writer never loses a
// byte to a full ring.  Seconds here; minutes in the slow run.
#include <vector>

#include "CircBuff.h"
#include "ModuleTestSupport.h"

#ifndef ZV_LONG_RUN_SECONDS
#define ZV_LONG_RUN_SECONDS 30
#endif

namespace {

using CircBuffLongRun = zvmodtest::ModuleTest;

TEST_F(CircBuffLongRun, StreamsPacedFiveHundredPpmApartStayInsideTheBand) {
    constexpr ULONG kBlock = 160, kSize = 800;  // 10 ms blocks, 50 ms of 8 kHz 16-bit mono
    for (const double ppm : {500.0, -500.0}) {
        SCOPED_TRACE(ppm);
        auto* ring = new CircBuff;
        ASSERT_NE(ring, nullptr);
        ASSERT_EQ(ring->Create(kSize, 0, 1, 8000, 16, kBlock), 1u);
        std::vector<UCHAR> block(kBlock + 8, 0);
        std::vector<UCHAR> out(kBlock);
        double owed = 0;  // writer frames not yet written
        ULONG lowest = kSize, highest = 0;
        constexpr ULONG kSteps = ZV_LONG_RUN_SECONDS * 100;
        for (ULONG step = 0; step < kSteps; ++step) {
            owed += 80.0 * (1.0 + ppm * 1e-6);
            const ULONG frames = static_cast<ULONG>(owed);
            owed -= frames;
            ULONG count = frames * 2;
            ASSERT_EQ(ring->WriteCorrected(block.data(), &count, FALSE), 1u) << step;
            ULONG level = 0;
            ring->GetCount(&level, CircBuff::kReadable);
            ASSERT_LT(level, kSize) << "full at step " << step;
            if (step >= 5) {  // once the ring has been primed
                ASSERT_GE(level, kBlock) << "dry at step " << step;
                lowest = level < lowest ? level : lowest;
                highest = level > highest ? level : highest;
            }
            if (step >= 1) {
                count = kBlock;
                ring->ReadData(out.data(), &count, FALSE);
            }
        }
        // The band: at least 10 ms buffered and 11 ms of room when a write
        // begins; the write (at most 81 frames) then lies on top of that.
        EXPECT_GE(lowest, kBlock);
        EXPECT_LE(highest, kSize - (kBlock + kBlock / 10) + 162);
        delete ring;
    }
}

}  // namespace
