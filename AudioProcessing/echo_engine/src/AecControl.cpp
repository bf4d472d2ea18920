// Echo control: the canceller core that runs once per 80-sample sub-frame.
// It drives the energy tracking and the adaptive filter per 16-sample
// sub-block, chooses between the error and the raw near end, runs the
// four-state double-talk machine, attenuates residual echo with a ramped
// gain, mixes in comfort noise and, when allowed, switches itself off.
#include "AecInternal.h"

namespace aec {

namespace {

constexpr int kRampMax = 512;   // full attenuation
constexpr int kRampHalf = 256;  // -6 dB

bool ValidLength(int length) {
    return length == 128 || length == 256 || length == 512 || length == 1024;
}

}  // namespace

// Chooses error or raw near end for one sub-block, keeps the good-filter
// counter (backing the taps up) and the activity detector's limit word.
void SelectOutput(AecCanceller* c, int sb) {
    const int start = sb * kSubBlock;
    const int64_t floor = c->noiseFloor;
    bool useError = c->nearEnergy > Min64(2 * floor, kLevelLoud) && c->errorEnergy < c->nearEnergy;
    if (c->adaptFlag && c->nearEnergy > Min64(4 * floor, kLevelLoud)) {
        // 0x1431 / 8192: about -2 dB of echo removed counts as a good sub-block.
        if (int64_t(c->errorEnergy) * 8192 < int64_t(c->nearEnergy) * 0x1431) {
            if (c->goodFilterCounter < 32767) c->goodFilterCounter += 1;
        } else if (c->errorEnergy > c->nearEnergy) {
            c->goodFilterCounter = 0;
        }
        int limit = c->adaptCount > c->threshold50 ? c->fullLength / 2 : c->fullLength / 4;
        if (c->goodFilterCounter > limit) {
            c->goodFilterCounter = 0;
            move16(c->backupTaps, c->taps, c->activeLength);
            c->savedLength = c->activeLength;
        }
    }
    if (c->adaptCount > c->threshold50) {
        c->countPassed50 = 1;
        c->limitWord = Saturate32(6 * int64_t(c->tapEnergyTotal));
    } else if (c->adaptCount > c->threshold15) {
        c->limitWord = Saturate32(4 * int64_t(c->tapEnergyTotal));
    } else if (c->countPassed50) {
        c->limitWord = Saturate32(2 * int64_t(c->tapEnergyTotal));
    } else {
        c->limitWord = 0x323CDBC;  // about 25 * 2^21: near above 5 x the far peak
    }
    const int16_t* near = c->nearIn + start;
    const int16_t* error = c->errors + start;
    int16_t* out = c->processed + start;
    if (c->subFrames == 1) {
        move16(out, useError ? error : near, kSubBlock);
        return;
    }
    // 16 kHz: crossfade over 32 samples between near end and error.
    for (int j = 0; j < kSubBlock; ++j) {
        if (useError) {
            if (c->crossfadeCounter < 32) c->crossfadeCounter += 1;
        } else if (c->crossfadeCounter > 0) {
            c->crossfadeCounter -= 1;
        }
        int32_t cf = c->crossfadeCounter;
        out[j] =
            static_cast<int16_t>((int32_t(near[j]) * (32 - cf) + int32_t(error[j]) * cf + 16) >> 5);
    }
}

// The double-talk state machine: 1 echo only (suppression allowed), 2 and 4
// transitions, 3 near-end talk.  Sets the sub-block's suppress flag.
void EchoStateMachine(AecCanceller* c, int sb) {
    const int64_t x = c->estimateEnergy / 16 + c->noiseFloor / 16;
    const int64_t p = c->nearEnergy / 4;
    const int64_t t4 = c->factor[0], t5 = c->factor[1], t6 = c->factor[2], t7 = c->factor[3];
    int32_t& hold = c->holdCounter;
    switch (c->state) {
        case 1:
            if (p > t4 * x) {
                if (hold > c->hold[0]) {
                    c->state = 2;
                    hold = 10;
                } else if (p > 4 * t4 * x && p >= 26055) {
                    hold += 5;
                } else if (p > 2 * t4 * x && p >= 26055) {
                    hold += 2;
                } else {
                    hold += 1;
                }
            } else if (hold > 0) {
                hold -= 1;
            }
            break;
        case 2:
            hold += 1;
            if (p > t5 * x) {
                if (hold > c->hold[2]) {
                    c->state = 3;
                    hold = 0;
                }
            } else if (hold < 1) {
                c->state = 1;
                hold = 0;
            } else {
                hold -= 2;
            }
            break;
        case 3:
            hold += 1;
            if (p >= t6 * x) {
                hold = 0;
            } else if (hold > c->hold[1]) {
                c->state = 4;
                hold = 0;
            }
            break;
        default:  // 4
            if (p <= t7 * x) {
                if (p > (t7 / 2) * x) {
                    if (hold > 0) hold -= 1;
                } else {
                    hold += 1;
                    if (hold > c->hold[3]) {
                        c->state = 1;
                        hold = 0;
                    }
                }
            } else {
                hold -= 10;
                if (hold <= 0) {
                    c->state = 3;
                    hold = 0;
                }
            }
            break;
    }
    // A very loud far end at the echo position means echo only.
    if (FarEnergyAt(c, c->bulkDelay / 16) > kFarVeryLoud) {
        c->state = 1;
        hold = 0;
    }
    if (hold > 32762) hold = 32762;

    c->suppress[sb] = 0;
    const int32_t floor = c->noiseFloor < 3 ? 3 : c->noiseFloor;
    const int64_t echoFloor = Min64(c->noiseFloor, kLevelSoft);
    if (c->state == 1) {
        // Residual above 11/32 of the floor while echo is expected: suppress,
        // and keep suppressing for T8 sub-blocks.
        if (int64_t(c->outputEnergy) * 32 > int64_t(floor) * 11 && c->estimateEnergy > echoFloor)
            c->suppressHold = c->factor[4];
    }
    if (c->suppressHold > 0) {
        c->suppress[sb] = 1;
        c->suppressHold -= 1;
    }
    if (c->state == 1) {
        // Near end far louder than any far end that can still echo: talk.
        int entries = (c->subFrames * 240 + c->bulkDelay) / 16;
        if (entries > kFarEnergyHistory) entries = kFarEnergyHistory;
        if (entries < 1) entries = 1;
        int64_t m = max32(c->farEnergyHistory, entries);
        if (int64_t(c->nearEnergy / 64) * 64 > m * 100 && c->estimateEnergy > echoFloor) {
            c->state = 3;
            hold = 0;
        }
    }
    c->smState[sb] = static_cast<uint16_t>(c->state);
}

// Automatic bypass: counts sub-frames in which the far end finds no echo in
// the near end; past 1000 (after 1500 sub-frames) the canceller switches off
// and the near end passes; once echo returns it switches on again.
void BypassLogic(AecCanceller* c) {
    const bool processing = c->active != 0;
    const int u = processing ? 5 : 3;
    const int v = processing ? 2 : 6;
    int entry = c->bulkDelay / 16;
    if (entry > 200) entry = 200;
    const int64_t r = FarEnergyAt(c, entry);
    const int64_t n = c->nearEnergy;
    const int64_t f = c->noiseFloor;
    int32_t y = c->bypassCounter;
    const bool nearAtFloor = n / 4 <= 2 * (f / 4);
    const bool nearJustAbove = !nearAtFloor && n / 4 <= 3 * (f / 4);
    if (r > 500 * n && r > kLevelMedium) {
        if (nearAtFloor)
            y += 5;
        else if (!nearJustAbove)
            y -= u;
    } else if (r > 100 * n && r > kLevelMedium) {
        if (nearAtFloor)
            y += v;
        else if (nearJustAbove)
            y -= 1;
        else
            y -= u;
    } else if (c->state == 1 && r > kLevelMedium) {
        if (r < n || n / 16 > 10 * (f / 16))
            y -= 2 * u;
        else if (r / 16 < 10 * (n / 16))
            y -= 1;
    }
    if (y < 0) y = 0;
    if (y > 1200) y = 1200;
    c->bypassCounter = static_cast<int16_t>(y);
    if (processing && y > 1000 && c->frameCounter > 1500) {
        c->active = 0;
        c->state = 1;
    } else if (!processing && y == 0) {
        CancellerReinit(c, 1);
        c->bypassCounter = 0;
    }
}

// Mixes the processed signal with comfort noise under the ramped
// attenuation g (0 none .. 512 full) and writes the output.
void MixOutput(AecCanceller* c, int16_t* out) {
    int g = c->rampPosition;
    for (int sb = 0; sb < kSubBlocks; ++sb) {
        const bool suppressed = c->suppress[sb] != 0;
        const bool stateOne = c->smState[sb] == 1;
        for (int j = 0; j < kSubBlock; ++j) {
            const int i = sb * kSubBlock + j;
            if (suppressed && stateOne) {
                g += 4;
                if (g > kRampMax) g = kRampMax;
            } else if (suppressed) {
                if (g > kRampHalf) g = kRampHalf;
                g += 4;
                if (g > kRampHalf) g = kRampHalf;
            } else {
                g -= 4;
                if (g < 0) g = 0;
            }
            int32_t acc = (kRampMax - g) * int32_t(c->processed[i]) + 256;
            if (c->comfortNoiseOn) acc += g * int32_t(c->comfort[i]);
            int16_t sample = Saturate16(acc >> 9);
            out[i] = sample;
            c->processed[i] = sample;
        }
    }
    c->rampPosition = g;
}

// Learns the background on quiet sub-frames (pairs of them at 16 kHz).
void ComfortNoiseLearn(AecCanceller* c) {
    bool quiet = true;
    for (int sb = 0; sb < kSubBlocks; ++sb) quiet = quiet && c->quiet[sb];
    if (c->subFrames == 1) {
        if (quiet) ComfortNoiseAnalyse(&c->comfortNoise, c->processed, kPiece);
        return;
    }
    if (!quiet) {
        c->halfFrame = 0;
    } else if (!c->halfFrame) {
        move16(c->comfortInput, c->processed, kPiece);
        c->halfFrame = 1;
    } else {
        move16(c->comfortInput + kPiece, c->processed, kPiece);
        c->halfFrame = 0;
        ComfortNoiseAnalyse(&c->comfortNoise, c->comfortInput, 2 * kPiece);
    }
}

void CancellerResetHoldTimes(AecCanceller* c) {
    const int32_t k = c->subFrames;
    c->hold[0] = c->stateMachineFlag ? 32 * k : 16 * k;
    c->hold[1] = 32 * k;
    c->hold[2] = 25 * k;
    c->hold[3] = 100 * k;
}

bool CancellerInit(AecCanceller* c, int length, int bulkDelay, uint16_t autoOff, int subFrames) {
    const bool valid = ValidLength(length);
    if (length < 128) length = 128;
    if (length > kMaxTaps) length = kMaxTaps;
    if (subFrames < 1) subFrames = 1;
    if (subFrames > 2) subFrames = 2;
    if (bulkDelay < 0) bulkDelay = 0;
    if (bulkDelay > kMaxBulkDelay) bulkDelay = kMaxBulkDelay;

    // Keep what outlives a re-initialisation: the buffers and the mode.
    int16_t* taps = c->taps;
    int16_t* backupTaps = c->backupTaps;
    int16_t* history1 = c->history1Base;
    int16_t* history2 = c->history2Base;
    int16_t* peakHistory = c->peakHistory;
    int16_t history1Length = c->history1Length;
    int16_t history2Length = c->history2Length;
    uint16_t mode = c->mode;
    memset(c, 0, sizeof(*c));
    c->taps = taps;
    c->backupTaps = backupTaps;
    c->history1 = c->history1Base = history1;
    c->history2 = c->history2Base = history2;
    c->peakHistory = peakHistory;
    c->history1Length = history1Length;
    c->history2Length = history2Length;
    c->mode = mode;

    c->autoOff = autoOff <= 1 ? autoOff : 0;
    c->bypassCounter = 0;
    c->active = 1;
    c->magic = AEC_MAGIC;
    c->comfortNoiseOn = 1;
    c->fullLength = static_cast<int16_t>(length);
    c->activeLength = static_cast<int16_t>(length / 2);
    c->targetLength = c->activeLength;
    c->savedLength = c->activeLength;
    c->subFrames = static_cast<int16_t>(subFrames);

    c->thresholdGrow = (length / 2) * 10 / 16;
    c->threshold15 = length * 15 / 16;
    c->threshold50 = length * 50 / 16;
    c->threshold2x15 = 2 * length * 15 / 16;
    EnergyInit(c);

    fill16(c->taps, 0, kMaxTaps);
    fill16(c->backupTaps, 0, kMaxTaps);
    fill16(c->history1, 0, c->history1Length);
    fill16(c->history2, 0, c->history2Length);
    fill16(c->peakHistory, 0, kPeakHistoryLength);
    c->stepNumerator = 0x36666666;  // 0.85 in Q30
    c->adaptFlag = 1;
    c->crossfadeCounter = 32;
    c->bulkDelay = static_cast<int16_t>(bulkDelay);
    c->regulariser = int32_t(c->activeLength) * kRegulariserPerTap;
    c->windowChanged = 1;
    c->whiteningChanged = 1;

    const int32_t k = subFrames;
    c->state = 2;
    c->holdCounter = 0;
    c->factor[4] = 50 * k;  // T8, suppress hold
    c->hold[0] = c->hold[1] = 32 * k;
    c->hold[2] = 25 * k;
    c->hold[3] = 100 * k;
    if (length >= 512) {
        c->factor[0] = 10;
        c->factor[1] = 8;
        c->factor[2] = 8;
        c->factor[3] = 16;
    } else if (subFrames == 1) {
        c->factor[0] = 10;
        c->factor[1] = 8;
        c->factor[2] = 9;
        c->factor[3] = 10;
    } else {
        c->factor[0] = 8;
        c->factor[1] = 7;
        c->factor[2] = 8;
        c->factor[3] = 7;
    }
    for (int sb = 0; sb < kSubBlocks; ++sb) {
        c->smState[sb] = 2;
        c->suppress[sb] = 0;
    }
    ComfortNoiseInit(&c->comfortNoise);
    c->stateMachineFlag = 1;

    // Near-end high-pass, Q12 {b0, b1, b2, a1, a2}: about 0.927 (1 - z^-1)^2
    // over 1 - 1.906 z^-1 + 0.911 z^-2 at 8 kHz.
    static const int16_t kHp8[5] = {3798, -7596, 3798, 7807, -3733};
    static const int16_t kHp16[5] = {4012, -8024, 4012, 8002, -3913};
    move16(c->hpCoefficients, subFrames == 1 ? kHp8 : kHp16, 5);
    return valid;
}

void CancellerReinit(AecCanceller* c, uint16_t autoOff) {
    const uint16_t comfortOn = c->comfortNoiseOn;
    const int16_t level = c->comfortNoise.level;
    const uint16_t stateMachineFlag = c->stateMachineFlag;
    CancellerInit(c, c->fullLength, c->bulkDelay, autoOff, c->subFrames);
    c->comfortNoiseOn = comfortOn;
    c->comfortNoise.level = level;
    c->stateMachineFlag = stateMachineFlag;
    CancellerResetHoldTimes(c);
}

void HighPass(AecCanceller* c, const int16_t* in, int16_t* out, int n) {
    const int64_t b0 = c->hpCoefficients[0], b1 = c->hpCoefficients[1], b2 = c->hpCoefficients[2];
    const int64_t a1 = c->hpCoefficients[3], a2 = c->hpCoefficients[4];
    // The memories run in locals and are stored once at the end: a store
    // through `out` could otherwise alias them, and each would go through
    // memory on every sample.  Past outputs are kept as y/2 (high) and a
    // 15-bit fraction (low) of the Q12 accumulator, the fraction four times
    // the accumulator's low 13 bits; here they run whole, as the accumulator
    // itself: a * high + ((a * low) >> 15) is the floor of a * acc / 2^13,
    // the high product being a whole number.  That leaves one multiply on
    // the per-sample chain instead of two.
    int64_t x1 = c->hpX1, x2 = c->hpX2;
    int64_t y1 = int64_t(c->hpY1High) * 8192 + (c->hpY1Low >> 2);
    int64_t y2 = int64_t(c->hpY2High) * 8192 + (c->hpY2Low >> 2);
    for (int i = 0; i < n; ++i) {
        const int64_t x = in[i];
        const int64_t feedback = ((a1 * y1) >> 13) + ((a2 * y2) >> 13);
        // The filter's gain on any 16-bit input stays below about 4, so the
        // Q12 accumulator keeps well inside 32 bits; only the output is clamped.
        int64_t acc = b0 * x + b1 * x1 + b2 * x2 + 2 * feedback;
        AecCheck(acc >= kInt32Min && acc <= kInt32Max);
        if (__builtin_expect(acc > kInt32Max || acc < kInt32Min, 0)) acc = Saturate32(acc);
        int64_t rounded = acc + 2048;
        if (rounded > 0x7FFFFFF) rounded = 0x7FFFFFF;
        if (rounded < -0x8000000) rounded = -0x8000000;
        out[i] = static_cast<int16_t>(rounded >> 12);
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = acc;
    }
    c->hpX1 = static_cast<int16_t>(x1);
    c->hpX2 = static_cast<int16_t>(x2);
    c->hpY1High = static_cast<int32_t>(y1 >> 13);
    c->hpY2High = static_cast<int32_t>(y2 >> 13);
    c->hpY1Low = static_cast<int16_t>((y1 & 0x1FFF) * 4);
    c->hpY2Low = static_cast<int16_t>((y2 & 0x1FFF) * 4);
}

void AecCoreFrame(const int16_t* far, const int16_t* near, int16_t* out, AecCanceller* c) {
    c->frameCounter += 1;
    if (c->mode != 0)
        HighPass(c, near, c->nearIn, kPiece);
    else
        move16(c->nearIn, near, kPiece);

    if (!c->active && c->autoOff == 1) {
        // Switched off: only the trackers the bypass logic needs keep running.
        for (int sb = 0; sb < kSubBlocks; ++sb) {
            c->subBlock = sb;
            TrackFarNear(c, far + sb * kSubBlock, c->nearIn + sb * kSubBlock);
            UpdateFloors(c);
        }
        BypassLogic(c);
        move16(out, c->nearIn, kPiece);
        return;
    }

    FilterPushFarEnd(c, far);
    for (int sb = 0; sb < kSubBlocks; ++sb) c->activity[sb] = 0;
    for (int sb = 0; sb < kSubBlocks; ++sb) ActivityDetect(c, sb);

    c->lengthChanged = 0;
    for (int sb = 0; sb < kSubBlocks; ++sb) {
        const int start = sb * kSubBlock;
        c->subBlock = sb;
        c->subBlockStart = start;
        c->adaptFlag = 1;
        if (c->windowChanged)
            FilterRecomputeWindow(c);
        else
            FilterUpdateWindow(c);
        AdaptationControl(c);
        TrackFarNear(c, far + start, c->nearIn + start);
        if (!FilterPass(c, c->nearIn, start)) FilterTapEnergies(c);
        TrackErrorEstimate(c, start);
        SelectOutput(c, sb);
        TrackOutput(c, c->processed + start);
        UpdateFloors(c);
        EchoStateMachine(c, sb);
        c->quiet[sb] =
            c->suppress[sb] == 0 && c->nearEnergy < Min64(2 * int64_t(c->noiseFloor), kLevelMedium);
        DivergenceCheck(c);
    }
    if (c->autoOff == 1) BypassLogic(c);
    ComfortNoiseLearn(c);
    if (c->comfortNoiseOn) ComfortNoiseGenerate(&c->comfortNoise, c->comfort, kPiece);
    MixOutput(c, out);
}

}  // namespace aec
