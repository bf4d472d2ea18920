// Speed of the wavelet filter bank's split and merge runs (entries 39 and 38)
// against a plain two-band filter bank in double (decimating and
// interpolating FIR loops), compiled here with the same flags.  Both branches
// have the same tap count (2, 4, 8, 16); the argument is the number of values
// per band.  After the run a table gives each member's time as a ratio to the
// reference.
#include <math.h>

#include <random>
#include <vector>

#include "ratio_table.h"
#include "sp_primitives.h"

namespace {

std::vector<float> Taps(int len, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-0.5f, 0.5f);
    std::vector<float> t(len);
    for (float& v : t) v = d(rng);
    return t;
}

// Two decimating FIR branches over a history that carries across calls.
struct SplitRef {
    std::vector<double> h1, h2, hist;  // hist: the last len - 1 samples, then the block
    void Run(const int16_t* x, float* b1, float* b2, int len) {
        const size_t keep = h1.size() - 1;
        hist.resize(keep + 2 * static_cast<size_t>(len));
        for (int i = 0; i < 2 * len; ++i) hist[keep + i] = x[i];
        for (int m = 0; m < len; ++m) {
            const double* at = hist.data() + keep + 2 * m;
            double s1 = 0.0, s2 = 0.0;
            for (size_t j = 0; j < h1.size(); ++j) {
                s1 += h1[j] * at[-static_cast<ptrdiff_t>(j)];
                s2 += h2[j] * at[-static_cast<ptrdiff_t>(j)];
            }
            b1[m] = static_cast<float>(s1);
            b2[m] = static_cast<float>(s2);
        }
        for (size_t i = 0; i < keep; ++i) hist[i] = hist[hist.size() - keep + i];
    }
};

// Two interpolating FIR branches: each band sample reaches the even output
// through the even taps and the odd output through the odd taps.
struct MergeRef {
    std::vector<double> h1, h2, hist1, hist2;
    void Run(const float* b1, const float* b2, int16_t* y, int len) {
        const size_t keep = (h1.size() + 1) / 2 - 1;
        hist1.resize(keep + len);
        hist2.resize(keep + len);
        for (int i = 0; i < len; ++i) {
            hist1[keep + i] = b1[i];
            hist2[keep + i] = b2[i];
        }
        for (int m = 0; m < len; ++m) {
            for (int phase = 0; phase < 2; ++phase) {
                double s = 0.0;
                for (size_t j = phase; j < h1.size(); j += 2) {
                    const size_t at = keep + m - j / 2;
                    s += h1[j] * hist1[at] + h2[j] * hist2[at];
                }
                y[2 * m + phase] = static_cast<int16_t>(s > 32767.0    ? 32767
                                                        : s < -32768.0 ? -32768
                                                                       : lrint(s));
            }
        }
        for (size_t i = 0; i < keep; ++i) {
            hist1[i] = hist1[len + i];
            hist2[i] = hist2[len + i];
        }
    }
};

template <int Taps_>
void SplitMember(benchmark::State& state, int v) {
    auto run = sp_dispatch_member<sp_entry_sp_wavelet_split_run>(v);
    if (run == nullptr) {
        state.SkipWithError("member not built");
        return;
    }
    const int len = static_cast<int>(state.range(0));
    const std::vector<float> t1 = Taps(Taps_, 1), t2 = Taps(Taps_, 2);
    sp_wavelet_split_state* s = nullptr;
    sp_dispatch_member<sp_entry_sp_wavelet_split_create>(v)(&s, t1.data(), Taps_, 0, t2.data(),
                                                            Taps_, -1);
    const std::vector<int16_t> x = kpbench::Signal(2 * len);
    std::vector<float> b1(len), b2(len);
    for (auto _ : state) {
        run(x.data(), b1.data(), b2.data(), len, s);
        benchmark::DoNotOptimize(b1.data());
        benchmark::DoNotOptimize(b2.data());
    }
    sp_dispatch_member<sp_entry_sp_wavelet_split_free>(v)(s);
    state.SetItemsProcessed(state.iterations() * 2 * len);
}

template <int Taps_>
void SplitReference(benchmark::State& state) {
    const int len = static_cast<int>(state.range(0));
    const std::vector<float> t1 = Taps(Taps_, 1), t2 = Taps(Taps_, 2);
    SplitRef ref{{t1.begin(), t1.end()}, {t2.begin(), t2.end()}, {}};
    const std::vector<int16_t> x = kpbench::Signal(2 * len);
    std::vector<float> b1(len), b2(len);
    for (auto _ : state) {
        ref.Run(x.data(), b1.data(), b2.data(), len);
        benchmark::DoNotOptimize(b1.data());
        benchmark::DoNotOptimize(b2.data());
    }
    state.SetItemsProcessed(state.iterations() * 2 * len);
}

template <int Taps_>
void MergeMember(benchmark::State& state, int v) {
    auto run = sp_dispatch_member<sp_entry_sp_wavelet_merge_run>(v);
    if (run == nullptr) {
        state.SkipWithError("member not built");
        return;
    }
    const int len = static_cast<int>(state.range(0));
    const std::vector<float> t1 = Taps(Taps_, 1), t2 = Taps(Taps_, 2);
    sp_wavelet_merge_state* s = nullptr;
    sp_dispatch_member<sp_entry_sp_wavelet_merge_create>(v)(&s, t1.data(), Taps_, 0, t2.data(),
                                                            Taps_, 0);
    const std::vector<float> b1 = Taps(len, 3), b2 = Taps(len, 4);
    std::vector<int16_t> y(2 * len);
    for (auto _ : state) {
        run(b1.data(), b2.data(), len, y.data(), s);
        benchmark::DoNotOptimize(y.data());
    }
    sp_dispatch_member<sp_entry_sp_wavelet_merge_free>(v)(s);
    state.SetItemsProcessed(state.iterations() * 2 * len);
}

template <int Taps_>
void MergeReference(benchmark::State& state) {
    const int len = static_cast<int>(state.range(0));
    const std::vector<float> t1 = Taps(Taps_, 1), t2 = Taps(Taps_, 2);
    MergeRef ref{{t1.begin(), t1.end()}, {t2.begin(), t2.end()}, {}, {}};
    const std::vector<float> b1 = Taps(len, 3), b2 = Taps(len, 4);
    std::vector<int16_t> y(2 * len);
    for (auto _ : state) {
        ref.Run(b1.data(), b2.data(), y.data(), len);
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * 2 * len);
}

template <int Taps_>
void Add(std::vector<kpbench::RatioOp>& ops) {
    static const std::string split = "split39/t" + std::to_string(Taps_);
    static const std::string merge = "merge38/t" + std::to_string(Taps_);
    ops.push_back(
        {split.c_str(), SplitMember<Taps_>, SplitReference<Taps_>, "double", {512, 4096}});
    ops.push_back(
        {merge.c_str(), MergeMember<Taps_>, MergeReference<Taps_>, "double", {512, 4096}});
}

}  // namespace

int main(int argc, char** argv) {
    static std::vector<kpbench::RatioOp> ops;
    Add<2>(ops);
    Add<4>(ops);
    Add<8>(ops);
    Add<16>(ops);
    return kpbench::RunRatioTable(argc, argv, ops);
}
