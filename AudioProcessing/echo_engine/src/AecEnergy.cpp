// Energy tracking and adaptation control: per 16-sample sub-block the far
// end, near end, error, estimate and output are measured as leaky mean
// squares; running minima give the noise floors; a near-end activity
// detector, a set of gates and a divergence watch decide whether and how
// fast the adaptive filter may learn.
#include "AecInternal.h"

namespace aec {

namespace {

constexpr int32_t kInitialEnergy = 2605;
constexpr int32_t kInitialMinimum = 26054;
constexpr int32_t kTapEnergyMax = 66317770;  // Q21: squared tap norm of about 31.6

int EnergyShift(const AecCanceller* c) {
    return c->subFrames == 1 ? 5 : 7;
}

// Running minimum over kMinimumSlots periods of `period` updates each, with
// the smallest slot kept: a slot only falls, except the one reset at the
// start of a period, and the slots are scanned again only when that one held
// the smallest.
void TrackMinimum(int32_t* slots, int* index, int* count, int32_t* smallest, int32_t value,
                  int period) {
    if (value < slots[*index]) {
        slots[*index] = value;
        if (value < *smallest) *smallest = value;
    }
    *count += 1;
    if (*count >= period) {
        *index = (*index + 1) % kMinimumSlots;
        const int32_t leaving = slots[*index];
        slots[*index] = kInt32Max;
        if (leaving == *smallest) *smallest = SmallestOf(slots, kMinimumSlots);
        *count = 0;
    }
}

// floor += (target - floor) / 2^u, kept >= 1.
void Leak(int32_t* floor, int64_t target, int u) {
    int64_t next = *floor + ((target - *floor) >> u);
    if (next < 1) next = 1;
    *floor = Saturate32(next);
}

}  // namespace

int32_t FarEnergyAt(const AecCanceller* c, int entry) {
    // The history covers 1600 samples of far end; echo positions beyond it
    // read its oldest entry.
    if (entry < 0) entry = 0;
    if (entry > kFarEnergyHistory - 1) entry = kFarEnergyHistory - 1;
    return c->farEnergyHistory[entry];
}

void EnergyInit(AecCanceller* c) {
    c->farEnergy = c->nearEnergy = c->errorEnergy = c->estimateEnergy = c->outputEnergy =
        kInitialEnergy;
    c->smoothErrorEnergy = kInitialEnergy;
    c->noiseFloor = kInitialEnergy;
    c->farFloor = kInitialEnergy;
    c->smoothFarWindow = 0;
    fill32(c->farEnergyHistory, kInitialEnergy, kFarEnergyHistory);
    fill32(c->farMinimum, kInitialMinimum, kMinimumSlots);
    fill32(c->outputMinimum, kInitialMinimum, kMinimumSlots);
    c->farMinimumIndex = c->farMinimumCount = 0;
    c->outputMinimumIndex = c->outputMinimumCount = 0;
    c->farMinimumSmallest = c->outputMinimumSmallest = kInitialMinimum;
    c->hangover = 0;
    c->limitWord = 0x323CDBC;
}

void TrackFarNear(AecCanceller* c, const int16_t* far16, const int16_t* near16) {
    const int m = EnergyShift(c);
    TrackEnergy(&c->farEnergy, far16, kSubBlock, m);
    move32(c->farEnergyHistory + 1, c->farEnergyHistory, kFarEnergyHistory - 1);
    c->farEnergyHistory[0] = c->farEnergy;
    TrackEnergy(&c->nearEnergy, near16, kSubBlock, m);
    const uint32_t sf = c->frameCounter;
    const int period = sf <= 80 ? c->subFrames : 10 * c->subFrames;
    if (sf > 80 || (sf >= 6 && c->farEnergy < kLevelLoud))
        TrackMinimum(c->farMinimum, &c->farMinimumIndex, &c->farMinimumCount,
                     &c->farMinimumSmallest, c->farEnergy, period);
}

void TrackErrorEstimate(AecCanceller* c, int start) {
    const int m = EnergyShift(c);
    TrackEnergy(&c->errorEnergy, c->errors + start, kSubBlock, m);
    TrackEnergy(&c->estimateEnergy, c->estimates + start, kSubBlock, 4);
    if (c->activity[c->subBlock]) return;
    // Rise slowly, fall fast: weights w / 32768.
    const bool rising = c->errorEnergy > c->smoothErrorEnergy;
    const int32_t w = c->subFrames == 1 ? (rising ? 16 : 328) : (rising ? 8 : 164);
    int64_t step = (int64_t(c->errorEnergy) - c->smoothErrorEnergy) * w;
    c->smoothErrorEnergy = Saturate32(c->smoothErrorEnergy + ((step + 16384) >> 15));
    if (c->smoothErrorEnergy < 1) c->smoothErrorEnergy = 1;
}

void TrackOutput(AecCanceller* c, const int16_t* out16) {
    TrackEnergy(&c->outputEnergy, out16, kSubBlock, EnergyShift(c));
    const uint32_t sf = c->frameCounter;
    if (!c->activity[c->subBlock] && (sf > 20 || (sf >= 6 && c->outputEnergy < kLevelLoud)))
        TrackMinimum(c->outputMinimum, &c->outputMinimumIndex, &c->outputMinimumCount,
                     &c->outputMinimumSmallest, c->outputEnergy, 10 * c->subFrames);
}

void UpdateFloors(AecCanceller* c) {
    const uint32_t sf = c->frameCounter;
    const bool wide = c->subFrames == 2;
    // Near end: 2.1 x the smallest output minimum (17203 / 8192).
    int64_t target = (int64_t(c->outputMinimumSmallest) * 17203) >> 13;
    Leak(&c->noiseFloor, target, sf <= 100 ? (wide ? 5 : 4) : (wide ? 7 : 6));
    // Far end: 1.1 x the smallest far-end minimum (9011 / 8192).
    target = (int64_t(c->farMinimumSmallest) * 9011) >> 13;
    Leak(&c->farFloor, target, sf <= 700 ? (wide ? 5 : 4) : (wide ? 10 : 9));
}

void ActivityDetect(AecCanceller* c, int sb) {
    const int k = c->subFrames;
    const int first = c->bulkDelay / 16;
    const int entries = c->activeLength == 128 ? 8 : 16;
    int32_t peak = 0;
    for (int i = first; i < first + entries; ++i)
        if (c->peakHistory[i] > peak) peak = c->peakHistory[i];
    const int32_t floorPeak = sqrt32(c->noiseFloor);
    if (peak < floorPeak) peak = floorPeak;

    const int start = sb * kSubBlock;
    int p = c->bulkDelay - start + kPiece;
    int activeSamples = 0;
    bool flagged = false;
    for (int j = 0; j < kSubBlock; ++j) {
        --p;
        int32_t x = c->history2[p];
        if (x < 0) x = -x;
        if (x > peak) peak = x;
        const int64_t near = c->nearIn[start + j];
        // near^2 > peak^2 * limit / 2^21
        const bool active = near * near * (int64_t(1) << 21) > int64_t(peak) * peak * c->limitWord;
        if (active) {
            ++activeSamples;
            if (activeSamples == 1) {
                if (c->hangover < 32 * k)
                    c->hangover = 32 * k;
                else if (c->hangover < 128 * k)
                    c->hangover = 128 * k;
            } else if (activeSamples <= 7) {
                if (c->hangover < 128 * k) c->hangover = 128 * k;
            } else {
                c->hangover = 256 * k;
            }
        } else if (c->hangover > 0) {
            c->hangover -= 1;
        }
        if (c->hangover > 0) flagged = true;
    }
    if (flagged) c->activity[sb] = 1;
    if (activeSamples >= 1 && sb >= 1) c->activity[sb - 1] = 1;
    if (activeSamples >= 2 && sb >= 2) c->activity[sb - 2] = 1;

    // The sub-block's far-end peak enters the peak history.
    int span = (c->fullLength + c->bulkDelay) / 16 + entries;
    if (span > kPeakHistoryLength) span = kPeakHistoryLength;
    move16(c->peakHistory + 1, c->peakHistory, span - 1);
    int32_t farPeak = maxAbs16(c->history2 + (kPiece - kSubBlock - start), kSubBlock);
    c->peakHistory[0] = static_cast<int16_t>(farPeak > 32767 ? 32767 : farPeak);
}

void AdaptationControl(AecCanceller* c) {
    const int L = c->fullLength;
    if (c->adaptCount > c->thresholdGrow) c->targetLength = static_cast<int16_t>(L);
    if (c->targetLength != c->activeLength) {
        c->smoothFarWindow = c->smoothFarWindow * c->targetLength / c->activeLength;
        c->activeLength = c->targetLength;
        c->regulariser = int32_t(c->activeLength) * kRegulariserPerTap;
        FilterRecomputeWhitening(c);
        FilterRecomputeWindow(c);
        FilterTapEnergies(c);
        c->lengthChanged = 1;
    }
    if (c->frameCounter <= 1 || c->activity[c->subBlock] || c->lengthChanged) c->adaptFlag = 0;

    // Smoothed far-end window energy, weight a / 4096.
    const int64_t a = c->subFrames == 1 ? 2 : 1;
    const int64_t w = c->windowFar;
    c->smoothFarWindow = c->smoothFarWindow - ((c->smoothFarWindow * a) >> 12) + ((w * a) >> 12);

    // Gates on the far-end window energy W: above 5 x the far floor over the
    // window, and either near its running average or loud enough for the
    // filter's echo to stand above the noise.
    const int64_t active = c->activeLength;
    const int64_t bf = 5 * active * c->farFloor;
    int64_t lt = c->adaptCount > c->threshold50   ? 3 * active
                 : c->adaptCount > c->threshold15 ? active
                                                  : active / 2;
    const int64_t tapEnergy = Max64(c->tapEnergyTotal, 1049);
    const int64_t af = ((int64_t(1) << 21) * Min64(c->noiseFloor, kLevelSoft) * lt) / tapEnergy;
    const int64_t cf = (c->smoothFarWindow * 29) >> 5;
    if (w < Max64(bf, Min64(af, cf))) c->adaptFlag = 0;
    if (c->adaptCount > c->threshold50 && c->estimateEnergy < 6000) c->adaptFlag = 0;

    if (c->adaptFlag && c->adaptCount < 32767) c->adaptCount += 1;

    if (c->adaptCount <= c->threshold15) return;
    if (!c->adaptFlag) {
        c->classCounter[0] = c->classCounter[1] = c->classCounter[2] = 0;
        return;
    }
    // Step by how far the error stands above the noise floor.
    int64_t n = 4 * int64_t(c->noiseFloor);
    if (n < 3) n = 3;
    const int64_t e = c->errorEnergy;
    int cls = n > e ? 0 : (n <= e / 4 ? 2 : 1);
    for (int i = 0; i < 3; ++i)
        if (i != cls) c->classCounter[i] = 0;
    c->classCounter[cls] += 1;
    if (c->classCounter[cls] > 10) {
        static const int32_t kSteps[3] = {0x10000000, 357913906, 0x20000000};  // 0.25, 1/3, 0.5
        c->stepNumerator = kSteps[cls];
        c->classCounter[cls] = 0;
    }
}

void DivergenceCheck(AecCanceller* c) {
    int64_t f = (int64_t(c->noiseFloor) * 241 * 135) >> 12;
    if (f > kLevelLoud) f = kLevelLoud;
    if (!c->adaptFlag || c->nearEnergy <= f) return;
    const int64_t near = c->nearEnergy;
    const int64_t err = c->errorEnergy;
    const bool bad = err > ((near * 20431) >> 10);  // about 20 x
    const bool large = err > ((near * 1283) >> 8);  // about 5 x
    bool diverged = false;
    if (!bad && large && c->adaptCount > c->threshold15) {
        c->divergenceCounter += 1;
        if (c->divergenceCounter >= 11) {
            diverged = true;
            c->divergenceCounter = 0;
        }
    } else if (!large) {
        c->divergenceCounter = 0;
    }
    if (bad || c->tapEnergyTotal >= kTapEnergyMax) {
        c->reinitRequest = 1;
    } else if (diverged) {
        if (c->adaptCount > c->threshold2x15) {
            FilterRestore(c);
            c->restoreCount += 1;
        } else {
            c->reinitRequest = 1;
        }
    }
}

}  // namespace aec
