// Builder of multirate FIR states and the polyphase reference they are
// checked against.
#include "sp_fir_multirate_builder.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "sp_buffers.h"
#include "sp_fir_internal.h"

namespace sptest {

namespace {

int64_t FloorDiv(int64_t a, int64_t b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// Buffer position of the oldest sample in output m's window (m within a
// cycle, relative to the cycle's base): the newest contributing input is
// floor((m D + e U) / U), and position H + i holds input i.
int64_t WindowStart(const MultirateSpec& s, int64_t h, int64_t m) {
    return FloorDiv(m * s.down + int64_t{s.lookahead} * s.up, s.up) - h + 1 + h;
}

// Weight of buffer position `pos` in output m (cycle-relative).
double Weight(const MultirateSpec& s, int64_t h, int64_t m, int64_t pos) {
    const int64_t i = pos - h;
    const int64_t at = m * s.down + int64_t{s.lookahead} * s.up - i * s.up;
    return at >= 0 && at < static_cast<int64_t>(s.taps.size()) ? s.taps[static_cast<size_t>(at)]
                                                               : 0.0;
}

}  // namespace

int32_t MultirateHistory(const MultirateSpec& spec) {
    const int64_t n = static_cast<int64_t>(spec.taps.size());
    return static_cast<int32_t>(std::max<int64_t>(1, (n + spec.up - 1) / spec.up));
}

sp_fir_state* BuildMultirateFir(const MultirateSpec& spec) {
    const int64_t u = spec.up, d = spec.down, h = MultirateHistory(spec), q = 4 * u;
    // Window of each output of a cycle, and of each group in mode 1.
    std::vector<int64_t> first(static_cast<size_t>(q)), last(static_cast<size_t>(q));
    for (int64_t m = 0; m < q; ++m) {
        first[m] = WindowStart(spec, h, m);
        last[m] = first[m] + h - 1;
    }
    int64_t perOutput = h;
    if (spec.mode == 1) {
        for (int64_t g = 0; g < u; ++g)
            perOutput = std::max(perOutput, last[4 * g + 3] - first[4 * g] + 1);
        for (int64_t m = 0; m < q; ++m) {
            first[m] = first[m - m % 4];
            last[m] = first[m] + perOutput - 1;
        }
    }
    // Buffered outputs: whole cycles until the next window starts in the
    // caller's block; the threshold must hold their windows.
    const int64_t cycles = std::max<int64_t>(0, (h - first[0] + 4 * d - 1) / (4 * d));
    const int64_t buffered = cycles * q;
    int64_t threshold = h - 1;
    for (int64_t m = 0; m < buffered; ++m)
        threshold = std::max(threshold, (m / q) * 4 * d + last[m % q] - h + 1);
    threshold += spec.extraThreshold;

    const int64_t tableLen = spec.mode == 2 ? 2 : (spec.mode == 1 ? u : q) + 1;
    const int64_t tapsLen = spec.mode == 1 ? q * perOutput : (spec.mode == 2 ? 4 * h : q * h);
    const int64_t head = (static_cast<int64_t>(sizeof(sp_fir_state)) + 15) & ~int64_t{15};
    const int64_t bytes = head + 4 * tableLen + 16 + 4 * tapsLen + 16 + 2 * (h + threshold) + 16;
    if (bytes > INT32_MAX) return nullptr;
    uint8_t* block = static_cast<uint8_t*>(sp_alloc_bytes(static_cast<int32_t>(bytes)));
    if (block == nullptr) return nullptr;
    memset(block, 0, static_cast<size_t>(bytes));
    sp_fir_state* s = new (block) sp_fir_state{};
    uint8_t* at = block + head;
    s->phase_table = reinterpret_cast<int32_t*>(at);
    at += (4 * tableLen + 15) & ~int64_t{15};
    s->arranged_taps = reinterpret_cast<float*>(at);
    at += (4 * tapsLen + 15) & ~int64_t{15};
    s->history = reinterpret_cast<int16_t*>(at);
    s->kind = kFirKindMulti;
    s->taps_len = static_cast<int32_t>(spec.taps.size());
    s->fft_len = -1;
    s->owns_memory = 1;
    s->up_factor = u;
    s->down_factor = d;
    s->input_threshold = threshold;
    s->buffered_outputs = buffered;
    s->mode = spec.mode;
    s->history_len = h;
    s->taps_per_group = spec.mode == 1 ? perOutput : 0;
    s->delay_len = static_cast<int32_t>(h);

    float* taps = s->arranged_taps;
    auto weight = [&](int64_t m, int64_t k) {
        return static_cast<float>(Weight(spec, h, m, first[m] + k));
    };
    switch (spec.mode) {
        case 1:
            for (int64_t g = 0; g < u; ++g) {
                s->phase_table[g] =
                    static_cast<int32_t>(first[4 * g] - (g > 0 ? first[4 * g - 4] : 0));
                for (int64_t k = 0; k < perOutput; ++k)
                    for (int64_t j = 0; j < 4; ++j)
                        taps[g * 4 * perOutput + 4 * k + j] = weight(4 * g + j, k);
            }
            s->phase_table[u] = static_cast<int32_t>(4 * d - first[q - 4]);
            break;
        case 2:
            s->phase_table[0] = static_cast<int32_t>(first[0]);
            s->phase_table[1] = static_cast<int32_t>(first[0] + d);
            for (int64_t k = 0; k < h; ++k)
                for (int64_t j = 0; j < 4; ++j)
                    taps[spec.simd ? j * h + k : 4 * k + j] = weight(0, k);
            break;
        default:
            for (int64_t o = 0; o < q; ++o) {
                s->phase_table[o] = static_cast<int32_t>(first[o]);
                for (int64_t k = 0; k < h; ++k)
                    taps[spec.simd ? o * h + k : (o / 4) * 4 * h + 4 * k + o % 4] = weight(o, k);
            }
            s->phase_table[q] = static_cast<int32_t>(4 * d);
            break;
    }
    return s;
}

std::vector<int16_t> PolyphaseReference(const MultirateSpec& spec,
                                        const std::vector<int16_t>& history,
                                        const std::vector<int16_t>& x, int32_t scale,
                                        Rounding rounding) {
    const int64_t u = spec.up, d = spec.down, n = static_cast<int64_t>(spec.taps.size());
    const int64_t len = static_cast<int64_t>(x.size()), hist = static_cast<int64_t>(history.size());
    auto input = [&](int64_t i) -> double {
        if (i >= len) return 0.0;
        if (i >= 0) return x[static_cast<size_t>(i)];
        return -i <= hist ? history[static_cast<size_t>(hist + i)] : 0.0;
    };
    std::vector<int16_t> y(static_cast<size_t>(len / d * u));
    for (int64_t m = 0; m < static_cast<int64_t>(y.size()); ++m) {
        double sum = 0.0;
        const int64_t centre = m * d + int64_t{spec.lookahead} * u;
        for (int64_t i = FloorDiv(centre - n + 1 + u - 1, u); i <= FloorDiv(centre, u); ++i)
            sum += input(i) * static_cast<double>(static_cast<float>(
                                  spec.taps[static_cast<size_t>(centre - i * u)]));
        const double v = ldexp(sum, -scale);
        int16_t out;
        if (v != v || v <= -32768.0)
            out = -32768;
        else if (v >= 32767.0)
            out = 32767;
        else if (rounding == Rounding::NearestEven)
            out = static_cast<int16_t>(nearbyint(v));
        else
            out = static_cast<int16_t>(v < 0 ? -floor(-v + 0.5) : floor(v + 0.5));
        y[static_cast<size_t>(m)] = out;
    }
    return y;
}

}  // namespace sptest
