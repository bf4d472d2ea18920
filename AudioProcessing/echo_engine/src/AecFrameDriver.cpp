// Far-end buffering and the near-end frame driver: the far end waits in a
// FIFO of 80-sample pieces; the near-end delay the caller reports decides how
// many pieces the FIFO holds, and the part of the delay the FIFO does not
// cover becomes the canceller's bulk delay.  This is the only part of the
// engine that computes in floating point (the delay learning and the
// residual-delay smoothing); the caller saves the floating-point state.
#include "AecInternal.h"

namespace aec {

// ---- FIFO ----------------------------------------------------------------------

void FifoWrite(AecState* state, const int16_t* samples, int count) {
    if (count < 1) return;
    if (count > kPiece) count = kPiece;
    int slot = state->fifoWrite;
    move16(state->fifo[slot], samples, count);
    state->fifoCount[slot] = static_cast<int16_t>(count);
    state->fifoWrite = (slot + 1) % kFifoSlots;
    // A full FIFO overwrites its oldest piece.
    if (state->fifoWrite == state->fifoRead) state->fifoRead = (state->fifoRead + 1) % kFifoSlots;
}

int FifoRead(AecState* state, int16_t* out) {
    int slot = state->fifoRead;
    if (state->fifoCount[slot] == 0) {
        fill16(out, 0, kPiece);
        return -1;
    }
    move16(out, state->fifo[slot], kPiece);
    state->fifoCount[slot] = 0;
    if (slot != state->fifoWrite) state->fifoRead = (slot + 1) % kFifoSlots;
    return 0;
}

int FifoFill(const AecState* state) {
    int fill = 0;
    for (int i = 0; i < kFifoSlots; ++i)
        if (state->fifoCount[i] != 0) ++fill;
    return fill;
}

void FifoKeepNewest(AecState* state, int n) {
    if (n < 0) n = 0;
    if (n > kFifoSlots) n = kFifoSlots;
    for (int age = n; age < kFifoSlots; ++age) {
        int slot = ((state->fifoWrite - 1 - age) % kFifoSlots + kFifoSlots) % kFifoSlots;
        state->fifoCount[slot] = 0;
    }
    state->fifoRead = ((state->fifoWrite - n) % kFifoSlots + kFifoSlots) % kFifoSlots;
}

void FifoReset(AecState* state) {
    for (int i = 0; i < kFifoSlots; ++i) state->fifoCount[i] = 0;
    state->fifoRead = 0;
    state->fifoWrite = 0;
}

namespace {

int SubFrames(const AecState* state) {
    return state->frameLength / kPiece;
}

// When the FIFO holds far too little far end for the reported delay (the
// far end stalled), pieces of the last far-end frame are queued so that the
// delay the FIFO covers grows back towards half the reported one.
void CatchUp(AecState* state) {
    int k = SubFrames(state);
    int32_t d = int32_t(state->currentDelay) * k * 8;
    int32_t f = FifoFill(state) * kPiece;
    if (d - f <= kMaxBulkDelay - kPiece * k) return;
    int n = static_cast<int>((0.5 * d - f) / kPiece);
    if (n < 1) n = 1;
    if (n > 10) n = 10;
    for (int m = n; m >= 1; --m) FifoWrite(state, state->lastFar + (m % 2) * kPiece, kPiece);
    state->evaluateNow = 1;
}

void FarPiece(AecState* state, const int16_t* piece) {
    if (!state->alignmentPending) CatchUp(state);
    FifoWrite(state, piece, kPiece);
}

// Smooths the delay the FIFO does not cover and, when it has moved far
// enough or for long enough, hands it to the canceller as its bulk delay.
void TrackResidualDelay(AecState* state, int16_t delay) {
    int k = SubFrames(state);
    AecCanceller& c = state->canceller;
    int fill = FifoFill(state);
    int16_t r = static_cast<int16_t>((int32_t(delay) * k - fill * 10) * 8);
    if (r < 0) FifoKeepNewest(state, fill - 1);
    double s = state->smoothedResidual;
    if (r >= s)
        s = double(0.1f) * r + 0.9 * s;
    else
        s = double(0.2f) * r + 0.8 * s;
    if (s < 0.0) s = 0.0;
    state->smoothedResidual = s;
    state->stepCounter += 1;
    if (state->stepCounter < uint32_t(20 * k) && !state->evaluateNow) return;
    if (s - c.bulkDelay > 50.0 * k || state->evaluationCounter > 5)
        state->evaluationCounter += 1;
    else
        state->evaluationCounter = 0;
    if (state->evaluationCounter < 21 && s - c.bulkDelay >= 0.0) return;
    state->evaluationCounter = 0;
    int bulk;
    if (s > 2048.0) {
        bulk = kMaxBulkDelay;
    } else {
        bulk = static_cast<int>(s) - 25 * k;
        if (bulk < 0) bulk = 0;
    }
    c.bulkDelay = static_cast<int16_t>(bulk);
    state->stepCounter = 0;
    state->evaluateNow = 0;
    c.windowChanged = 1;
    c.whiteningChanged = 1;
}

// Start-up: learns how many pieces the FIFO should hold from the first
// reported delays, then waits until it holds them.  Returns true once aligned.
bool LearnAlignment(AecState* state, int16_t delay) {
    int k = SubFrames(state);
    if (state->learning) {
        state->frameCount += 1;
        if (state->stableFrames == 0) {
            state->delaySum = 0;
            state->referenceDelay = delay;
        }
        double threshold = 0.2 * delay;
        if (threshold < 8.0) threshold = 8.0;
        int32_t deviation = int32_t(delay) - state->referenceDelay;
        if (deviation < 0) deviation = -deviation;
        if (deviation < threshold) {
            state->delaySum = static_cast<int16_t>(state->delaySum + delay);
            state->stableFrames += 1;
        } else {
            state->stableFrames = 0;
        }
        bool learnt = false;
        double target = 0.0;
        if (state->stableFrames >= 6) {
            target = 0.75 * k * state->delaySum / (10.0 * state->stableFrames);
            learnt = true;
        }
        if (state->frameCount > 50) {
            target = 0.075 * k * delay;
            learnt = true;
        }
        if (!learnt) return false;
        int t = static_cast<int>(target);
        if (t > kFifoSlots) t = kFifoSlots;
        if (t < 0) t = 0;
        state->fifoTarget = static_cast<int16_t>(t);
        state->learning = 0;
    }
    int fill = FifoFill(state);
    if (fill < state->fifoTarget) return false;
    if (fill > state->fifoTarget) FifoKeepNewest(state, state->fifoTarget);
    state->alignmentPending = 0;
    return true;
}

}  // namespace

AecStatus AecProcessFarEnd(AecState* state, const int16_t* samples, uint16_t count) {
    if (state->magic != AEC_MAGIC) return AEC_STATUS_NOT_INITIALISED;
    if (count == kPiece) {
        FarPiece(state, samples);
    } else if (count == 2 * kPiece) {
        FarPiece(state, samples);
        FarPiece(state, samples + kPiece);
    } else {
        return AEC_STATUS_BAD_FRAME_LENGTH;
    }
    return AEC_STATUS_SUCCESS;
}

AecStatus AecProcessNearEnd(AecState* state, const int16_t* in, int16_t* out, uint16_t count,
                            int16_t delay) {
    if (state->magic != AEC_MAGIC) return AEC_STATUS_NOT_INITIALISED;
    if (count != kPiece && count != 2 * kPiece) return AEC_STATUS_BAD_FRAME_LENGTH;
    AecStatus clamped = AEC_STATUS_SUCCESS;
    if (delay < 0) {
        delay = 0;
        clamped = AEC_STATUS_DELAY_TOO_SHORT;
    } else if (delay > AEC_DELAY_LIMIT_MS) {
        delay = AEC_DELAY_FALLBACK_MS;
        clamped = AEC_STATUS_DELAY_TOO_LONG;
    } else if (delay > AEC_DELAY_MAX_MS) {
        delay = AEC_DELAY_MAX_MS;
        clamped = AEC_STATUS_DELAY_TOO_LONG;
    }
    if (out != in) move16(out, in, count);
    AecStatus status = AecProcessFrame(state, out, count, delay);
    return clamped != AEC_STATUS_SUCCESS ? clamped : status;
}

AecStatus AecProcessFrame(AecState* state, int16_t* buffer, uint16_t count, int16_t delay) {
    state->currentDelay = delay;
    if ((count != kPiece && count != 2 * kPiece) ||
        (state->sampleRate != 8000 && state->sampleRate != 16000) || state->magic != AEC_MAGIC)
        return AEC_STATUS_FRAME_REFUSED;
    // Until aligned, the near end passes as it came.
    if (state->alignmentPending) {
        LearnAlignment(state, delay);
        return AEC_STATUS_SUCCESS;
    }
    int k = SubFrames(state);
    AecCanceller& c = state->canceller;
    // More far end queued than the delay asks for: drop the oldest piece.
    // The pieces this frame is about to use always stay, or a delay under
    // 10 ms would discard every far-end piece and nothing would be cancelled.
    int fill = FifoFill(state);
    double allowed = 0.1 * k * delay;
    if (allowed < k) allowed = k;
    if (fill > allowed) FifoKeepNewest(state, fill - 1);
    int pieces = count / kPiece;
    for (int i = 0; i < pieces; ++i) {
        int16_t* last = state->lastFar + i * kPiece;
        if (FifoFill(state) < 1) {
            // The far end ran dry: repeat the last frame.
            move16(state->farPiece, last, kPiece);
        } else {
            FifoRead(state, state->farPiece);
            move16(last, state->farPiece, kPiece);
        }
        if (i == k - 1) TrackResidualDelay(state, delay);
        AecCoreFrame(state->farPiece, buffer + i * kPiece, state->outPiece, &c);
        move16(buffer + i * kPiece, state->outPiece, kPiece);
        if (FifoFill(state) * kPiece > (int32_t(delay) + 20) * k * 8) {
            state->overflowCount += 1;
            if (state->overflowCount == 10) c.reinitRequest = 1;
        } else {
            state->overflowCount = 0;
        }
    }
    if (c.reinitRequest) {
        // The divergence watch or a lasting FIFO excess asks for a fresh
        // canceller.  Note the auto-off switch is 0 afterwards: a user's
        // auto-off 1 does not survive this re-initialisation.
        c.reinitRequest = 0;
        CancellerReinit(&c, 0);
    }
    return AEC_STATUS_SUCCESS;
}

}  // namespace aec
