// Private state and internal entry points of the echo canceller engine.
// Tests include this header to drive and inspect the engine white-box.
#pragma once

#include "../include/AecEngine.h"
#include "AecFixedPoint.h"

namespace aec {

constexpr int kPiece = 80;      // samples of one canceller sub-frame (10 ms at 8 kHz)
constexpr int kSubBlock = 16;   // samples of one sub-block
constexpr int kSubBlocks = 5;   // sub-blocks per sub-frame
constexpr int kFifoSlots = 50;  // far-end FIFO pieces
constexpr int kMaxTaps = 1024;
constexpr int kHistory1Length = 9616;  // update (whitened) history, samples
constexpr int kHistory2Length = 9621;  // estimate history, 5 more for the whitening filter
constexpr int kPeakHistoryLength = kHistory2Length * 2 / 16;  // 601 peaks
constexpr int kFarEnergyHistory = 100;
constexpr int kMinimumSlots = 200;
constexpr int kMaxBulkDelay = 2048;
constexpr int kWhiteningOrder = 5;
constexpr int kNoiseOrder = 8;
constexpr int kComfortTableLength = 512;

// Signal levels as per-sample mean squares of 16-bit samples.
constexpr int32_t kLevelLoud = 2605373;      // about -26 dBFS
constexpr int32_t kLevelMedium = 260537;     // about -36 dBFS
constexpr int32_t kLevelSoft = 26054;        // about -46 dBFS
constexpr int32_t kFarVeryLoud = 260537280;  // about -6 dBFS

// NLMS regulariser per tap of the active length: a far end at the soft level
// over the whole window.
constexpr int32_t kRegulariserPerTap = kLevelSoft;

// Level and shape of the near-end background, learnt on quiet sub-frames,
// and the generator of the comfort noise that fills suppressed output.
struct AecComfortNoise {
    int16_t level;          // 0, 1 or 2
    int32_t seed;           // excitation seed (777 after initialisation)
    int32_t averageLength;  // analyses averaged before the first gain (20)
    int32_t averageCount;   // 1.. while averaging, 0 afterwards
    int32_t gain;           // Q10 gain of the excitation (5120 = sqrt(26) after initialisation)
    int32_t gainSum;        // unlevelled gains summed while averaging
    int16_t reflectionSmoothed[kNoiseOrder + 1];  // Q15, [1..8] used
    int16_t lpc[kNoiseOrder + 1];                 // Q12 direct form, lpc[0] = 4096
    int16_t memoryHigh[kNoiseOrder];              // past outputs, newest first
    int16_t memoryLow[kNoiseOrder];               // their 12-bit fractions
    int16_t excitation[2 * kPiece];
    int16_t coefficientSmoothing;  // 31: k = (31 k + k_new) / 32
    int16_t gainSmoothing;         // 63: gain = (63 gain + levelled) / 64
};

// The canceller proper: adaptive filter, energy tracking, echo control,
// comfort noise.  Runs once per 80-sample sub-frame in five sub-blocks.
// Energies are per-sample mean squares of 16-bit samples (Q0), at least 1.
struct AecCanceller {
    uint16_t magic;         // AEC_MAGIC while initialised
    uint16_t autoOff;       // 1: the bypass logic may switch the canceller off
    uint16_t active;        // 1 processing, 0 switched off by the bypass logic
    int16_t bypassCounter;  // 0..1200, rises while the far end finds no echo
    uint16_t comfortNoiseOn;
    uint16_t stateMachineFlag;  // 1: long hold in state 1
    uint16_t mode;              // 1: near-end high-pass on (kept over re-initialisations)
    int16_t fullLength;         // L, taps
    int16_t activeLength;       // L/2 until the filter has adapted enough, then L
    int16_t targetLength;
    int16_t savedLength;        // active length saved with the backup taps
    int16_t subFrames;          // k: 1 at 8000 Hz, 2 at 16000 Hz
    uint16_t reinitRequest;     // set by the divergence watch and the FIFO excess
    int16_t bulkDelay;          // B: samples of delay the FIFO does not cover, 0..2048
    uint16_t windowChanged;     // recompute the window energies in full at the next sub-block
    uint16_t whiteningChanged;  // recompute the whitening in full at the next sub-frame

    // Sub-buffers (allocated once by AecCreate, owned by the engine).
    int16_t* taps;        // Q15, newest far-end sample first
    int16_t* backupTaps;  // Q15
    int16_t* history1;    // whitened far end x1 (update), newest first
    int16_t* history2;    // far end x2 (estimate), newest first
    // The allocations the two histories live in.  history1/2 point into them
    // and move back by one sub-frame per sub-frame; only when the front is
    // reached does the part the filter can read move back to the end.
    int16_t* history1Base;
    int16_t* history2Base;
    int16_t* peakHistory;  // |far end| peak per 16 samples, newest first
    int16_t history1Length;
    int16_t history2Length;

    uint32_t frameCounter;  // sub-frames since initialisation
    int subBlock;           // 0..4
    int subBlockStart;      // 0, 16, .. 64

    // Adaptation.
    uint16_t adaptFlag;
    int16_t adaptCount;  // adapted sub-blocks, saturating at 32767
    uint16_t lengthChanged;
    int16_t divergenceCounter;
    int16_t restoreCount;
    int16_t goodFilterCounter;
    uint16_t countPassed50;    // the count has once exceeded L * 50 / 16
    int16_t classCounter[3];   // low, middle, high error class
    int32_t stepNumerator;     // Q30 NLMS step (0x36666666 = 0.85)
    int32_t regulariser;       // active length * 26054
    int16_t crossfadeCounter;  // 0..32 output crossfade position (16 kHz)
    int32_t limitWord;         // activity detector: near^2 > P^2 * limit / 2^21

    // Thresholds on the adaptation count, from L.
    int32_t thresholdGrow;  // (L/2) * 10/16
    int32_t threshold15;    // L * 15/16
    int32_t threshold50;    // L * 50/16
    int32_t threshold2x15;  // 2 * L * 15/16

    // Energies (per-sample mean squares, >= 1).
    int32_t farEnergy;
    int32_t nearEnergy;
    int32_t errorEnergy;
    int32_t estimateEnergy;
    int32_t outputEnergy;
    int32_t smoothErrorEnergy;
    int64_t smoothFarWindow;  // smoothed far-end window energy, 2^-16 units
    int32_t noiseFloor;       // near-end background
    int32_t farFloor;         // far-end background
    int32_t tapEnergyTotal;   // sum tap^2 >> 9 (Q21 of the squared norm)
    int32_t tapEnergyFirst;   // first 32 taps
    int32_t tapEnergyLast;    // last 32 taps of the active length

    int32_t farEnergyHistory[kFarEnergyHistory];  // per sub-block, newest first
    int32_t farMinimum[kMinimumSlots];
    int32_t outputMinimum[kMinimumSlots];
    int farMinimumIndex, farMinimumCount;
    int outputMinimumIndex, outputMinimumCount;
    // The smallest slot of each, kept up to date as the slots change.
    int32_t farMinimumSmallest, outputMinimumSmallest;

    // Window energies over the filter window (exact running sums).
    int64_t windowFar;                            // sum x2^2
    int64_t windowCross;                          // sum x1 * x2
    int64_t farCorrelation[kWhiteningOrder + 1];  // autocorrelation of x2 over the window
    int16_t whitening[kWhiteningOrder + 1];       // Q13 prediction-error filter, [1..5]
    int whiteningShift;                           // x1 = PEF(x2 >> shift)

    // Activity and echo control.
    uint16_t activity[kSubBlocks];
    int32_t hangover;
    uint16_t smState[kSubBlocks];
    uint16_t suppress[kSubBlocks];
    uint16_t quiet[kSubBlocks];
    int state;  // 1..4
    int32_t holdCounter;
    int32_t suppressHold;
    int32_t hold[4];    // H0..H3, sub-blocks
    int32_t factor[5];  // T4..T8
    int rampPosition;   // 0..512 attenuation of the processed signal

    // Per sub-frame signals.
    int16_t nearIn[kPiece];  // near end after the high-pass
    int16_t estimates[kPiece];
    int16_t errors[kPiece];
    int16_t processed[kPiece];
    int16_t comfort[kPiece];
    int16_t comfortInput[2 * kPiece];
    uint16_t halfFrame;  // a quiet 16 kHz half waits in comfortInput

    // Near-end high-pass (DC and rumble), Q12 coefficients b0 b1 b2 a1 a2.
    int16_t hpCoefficients[5];
    int16_t hpX1, hpX2;
    // Past outputs as y/2 (32 bits: a full-scale step overshoots 16) and a
    // 15-bit fraction.
    int32_t hpY1High, hpY2High;
    int16_t hpY1Low, hpY2Low;

    AecComfortNoise comfortNoise;
};

}  // namespace aec

// One engine (the public interface's opaque record).
struct AecState {
    uint32_t stepCounter;  // frames since the residual delay was last evaluated
    uint16_t sampleRate;
    int16_t fifoTarget;                // T: pieces the FIFO should hold once aligned, <= 50
    int16_t overflowCount;             // consecutive sub-frames with too much far end queued
    int16_t lastFar[2 * aec::kPiece];  // most recent far-end frame taken from the FIFO
    uint16_t magic;                    // AEC_MAGIC while configured

    // Delay learning and tracking.
    int16_t stableFrames;
    int16_t delaySum;
    int16_t referenceDelay;
    int16_t frameCount;
    int16_t currentDelay;     // ms
    double smoothedResidual;  // S: samples of delay not covered by the FIFO
    uint32_t evaluationCounter;
    uint8_t alignmentPending;
    uint8_t learning;
    uint8_t evaluateNow;

    // Far-end FIFO of 80-sample pieces.
    int16_t fifo[aec::kFifoSlots][aec::kPiece];
    int16_t fifoCount[aec::kFifoSlots];
    int fifoRead;
    int fifoWrite;

    aec::AecCanceller canceller;
    int16_t frameLength;  // 80 or 160 samples per 10 ms frame
    int16_t farPiece[aec::kPiece];
    int16_t outPiece[aec::kPiece];
};

namespace aec {

// ---- configuration (interface) ----
AecStatus AecConfigure(AecState* state, uint16_t rate, uint16_t tail, uint16_t autoOff);
// Full path: corrects every field (11013) and re-initialises everything.
AecStatus AecApplyConfig(AecState* state, AecConfig* config);
// Incremental path: re-initialises only on a change of rate, tail or auto-off.
AecStatus AecUpdateConfig(AecState* state, AecConfig* config);
AecStatus AecSetMode(AecState* state, uint16_t mode);
void AecReadConfig(const AecState* state, AecConfig* config);
uint32_t AecStatusToZv(AecStatus status);

// ---- frame driver ----
AecStatus AecProcessFarEnd(AecState* state, const int16_t* samples, uint16_t count);
AecStatus AecProcessNearEnd(AecState* state, const int16_t* in, int16_t* out, uint16_t count,
                            int16_t delay);
AecStatus AecProcessFrame(AecState* state, int16_t* buffer, uint16_t count, int16_t delay);
void FifoWrite(AecState* state, const int16_t* samples, int count);
int FifoRead(AecState* state, int16_t* out);
int FifoFill(const AecState* state);
void FifoKeepNewest(AecState* state, int n);
void FifoReset(AecState* state);

// ---- canceller (echo control) ----
// Initialises the canceller for L taps and bulk delay B; false unless L is
// 128, 256, 512 or 1024.
bool CancellerInit(AecCanceller* c, int length, int bulkDelay, uint16_t autoOff, int subFrames);
// Re-initialises keeping comfort noise, level, state-machine flag and bulk delay.
void CancellerReinit(AecCanceller* c, uint16_t autoOff);
void CancellerResetHoldTimes(AecCanceller* c);
void AecCoreFrame(const int16_t* far, const int16_t* near, int16_t* out, AecCanceller* c);
// Steps of the core, in the order it runs them for one sub-block / sub-frame.
void SelectOutput(AecCanceller* c, int sb);
void EchoStateMachine(AecCanceller* c, int sb);
void BypassLogic(AecCanceller* c);
void ComfortNoiseLearn(AecCanceller* c);
void MixOutput(AecCanceller* c, int16_t* out);
void HighPass(AecCanceller* c, const int16_t* in, int16_t* out, int n);

// ---- adaptive filter ----
void FilterPushFarEnd(AecCanceller* c, const int16_t* far);
void FilterRecomputeWhitening(AecCanceller* c);
void FilterRecomputeWindow(AecCanceller* c);
void FilterUpdateWindow(AecCanceller* c);
void FilterStepSize(const AecCanceller* c, int16_t* mu, int* exponent);
// True when it left the tap energies up to date (its last update measured them).
bool FilterPass(AecCanceller* c, const int16_t* near, int start);
void FilterTapEnergies(AecCanceller* c);
void FilterRestore(AecCanceller* c);
int FilterWindowStart(const AecCanceller* c, int subBlockStart);
// Whitens x into out[0..n) (x newest first, x[i .. i + 5] for out[i]) with
// Q13 coefficients whitening[1..5], the input shifted right by `shift` first.
void WhitenRun(const int16_t* whitening, const int16_t* x, int shift, int16_t* out, int n);
// The same for whole blocks of eight where the coefficients allow 32-bit
// sums; returns the samples done (0 where they do not allow them).
int WhitenBlocks(const int16_t* whitening, const int16_t* x, int shift, int16_t* out, int n);
// One whitened sample from x[0..5] (newest first) with Q13 coefficients
// whitening[1..5], the input shifted right by `shift` first.
int16_t WhitenSample(const int16_t* whitening, const int16_t* x, int shift);
// The filter's inner loops, the same bits as dot and tapUpdate: the estimate
// sum, and an update followed by the next estimate sum over the updated
// taps (one pass).
int32_t FilterDot(const int16_t* taps, const int16_t* x, int n);
int32_t FilterUpdateDot(int16_t r, int n, const int16_t* x1, int16_t* taps, const int16_t* x2);
// sums[j] = dot(taps, x - j, n) for j = 0 .. count - 1: the estimates of
// consecutive samples over unchanged taps; returns the sum of the taps'
// squares, measured in the same pass.
int64_t FilterDots(const int16_t* taps, const int16_t* x, int n, int count, int32_t* sums);
// tapUpdate, then the sum of the updated taps' squares (one pass).
int64_t FilterUpdateSquares(int16_t r, int n, const int16_t* x, int16_t* taps);
// min32 of v[0..n), four at a time (the running minima's 200 slots).
int32_t SmallestOf(const int32_t* v, int n);
// Sum of x[i]^2, exact.
int64_t FilterSumSquares(const int16_t* x, int n);

// ---- energy tracking and adaptation control ----
void EnergyInit(AecCanceller* c);
void ActivityDetect(AecCanceller* c, int subBlock);
void AdaptationControl(AecCanceller* c);
void TrackFarNear(AecCanceller* c, const int16_t* far16, const int16_t* near16);
void TrackErrorEstimate(AecCanceller* c, int start);
void TrackOutput(AecCanceller* c, const int16_t* out16);
void UpdateFloors(AecCanceller* c);
void DivergenceCheck(AecCanceller* c);
int32_t FarEnergyAt(const AecCanceller* c, int entry);

// ---- comfort noise ----
extern const int16_t ComfortNoiseTable[kComfortTableLength];
void ComfortNoiseInit(AecComfortNoise* cn);
void ComfortNoiseAnalyse(AecComfortNoise* cn, const int16_t* x, int n);
void ComfortNoiseGenerate(AecComfortNoise* cn, int16_t* out, int n);
int32_t ComfortNoiseLevelledGain(int32_t g, int level);

}  // namespace aec
