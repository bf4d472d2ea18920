// Speed of the integer-vector and memory members: copies and moves against
// memcpy and memmove, fills against memset, and the element-wise and reduction
// rows against memcpy of the bytes they read (the memory-throughput bound).
#include <benchmark/benchmark.h>
#include <string.h>

#include <vector>

#include "ratio_table.h"
#include "sp_primitives.h"

namespace {

const std::vector<int64_t> kLengths = {64, 4096, 65536, 1 << 20};

// memcpy of `bytes` bytes: the bound for a routine that streams that much data.
void MemcpyBytes(benchmark::State& state, int64_t bytes) {
    std::vector<unsigned char> src(bytes, 3), dst(bytes);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), bytes);
        benchmark::DoNotOptimize(dst.data());
    }
}
void MemcpyI16(benchmark::State& state) {
    MemcpyBytes(state, state.range(0) * 2);
}
void MemcpyF32(benchmark::State& state) {
    MemcpyBytes(state, state.range(0) * 4);  // also two 16-bit inputs
}

// ---- Integer rows -------------------------------------------------------------------

// Two input arrays and an output of n samples each.
struct Arrays {
    explicit Arrays(int n) : a(n), b(n), d(n) {
        for (int i = 0; i < n; ++i) {
            a[i] = static_cast<int16_t>(i * 7919);
            b[i] = static_cast<int16_t>(i * 104729 + 3);
        }
    }
    std::vector<int16_t> a, b, d;
};

template <int32_t Entry, class Call>
void Measure(benchmark::State& state, int v, Call call) {
    const int n = static_cast<int>(state.range(0));
    Arrays x(n);
    auto member = sp_dispatch_member<Entry>(v);
    for (auto _ : state) {
        call(member, x, n);
        benchmark::DoNotOptimize(x.d.data());
        benchmark::ClobberMemory();
    }
}

void SubSat(benchmark::State& s, int v) {
    Measure<sp_entry_sp_sub_sat_i16>(
        s, v, [](auto f, Arrays& x, int n) { f(x.a.data(), x.b.data(), x.d.data(), n); });
}
void AddSat(benchmark::State& s, int v) {
    Measure<sp_entry_sp_add_sat_i16>(
        s, v, [](auto f, Arrays& x, int n) { f(x.a.data(), x.b.data(), x.d.data(), n); });
}
void AbsSat(benchmark::State& s, int v) {
    Measure<sp_entry_sp_abs_sat_i16_inplace>(s, v,
                                             [](auto f, Arrays& x, int n) { f(x.d.data(), n); });
}
void RShift(benchmark::State& s, int v) {
    Measure<sp_entry_sp_rshift_i16>(
        s, v, [](auto f, Arrays& x, int n) { f(x.a.data(), 3, x.d.data(), n); });
}
void LShiftInPlace(benchmark::State& s, int v) {
    Measure<sp_entry_sp_lshift_i16_inplace>(s, v,
                                            [](auto f, Arrays& x, int n) { f(1, x.d.data(), n); });
}
void SubConstScaled(benchmark::State& s, int v) {
    Measure<sp_entry_sp_sub_const_i16_scaled>(
        s, v, [](auto f, Arrays& x, int n) { f(x.a.data(), 100, x.d.data(), n, 3); });
}
void MaxI16(benchmark::State& s, int v) {
    Measure<sp_entry_sp_max_i16>(s, v,
                                 [](auto f, Arrays& x, int n) { f(x.a.data(), n, x.d.data()); });
}
void MinI16(benchmark::State& s, int v) {
    Measure<sp_entry_sp_min_i16>(s, v,
                                 [](auto f, Arrays& x, int n) { f(x.a.data(), n, x.d.data()); });
}
void RShiftInPlace(benchmark::State& s, int v) {
    Measure<sp_entry_sp_rshift_i16_inplace>(s, v,
                                            [](auto f, Arrays& x, int n) { f(2, x.d.data(), n); });
}
void MaxIndexI16(benchmark::State& s, int v) {
    Measure<sp_entry_sp_max_index_i16>(s, v, [](auto f, Arrays& x, int n) {
        int32_t index;
        f(x.a.data(), n, x.d.data(), &index);
        benchmark::DoNotOptimize(index);
    });
}
void SumScaled(benchmark::State& s, int v) {
    Measure<sp_entry_sp_sum_i16_scaled>(
        s, v, [](auto f, Arrays& x, int n) { f(x.a.data(), n, x.d.data(), 4); });
}
void DotF32(benchmark::State& s, int v) {
    Measure<sp_entry_sp_dot_i16_to_f32>(s, v, [](auto f, Arrays& x, int n) {
        float dot;
        f(x.a.data(), x.b.data(), n, &dot);
        benchmark::DoNotOptimize(dot);
    });
}

// ---- Fills ----------------------------------------------------------------------------

void SetI16(benchmark::State& s, int v) {
    Measure<sp_entry_sp_set_i16>(s, v, [](auto f, Arrays& x, int n) { f(-3, x.d.data(), n); });
}
void Set32(benchmark::State& s, int v) {
    const int n = static_cast<int>(s.range(0));
    std::vector<uint32_t> d(n);
    auto set = sp_dispatch_member<sp_entry_sp_set_32>(v);
    for (auto _ : s) {
        set(0x3F800000u, d.data(), n);
        benchmark::DoNotOptimize(d.data());
    }
}
template <int kSize>
void MemsetRef(benchmark::State& s) {
    const int64_t bytes = s.range(0) * kSize;
    std::vector<unsigned char> d(bytes);
    for (auto _ : s) {
        memset(d.data(), 0x5A, bytes);
        benchmark::DoNotOptimize(d.data());
    }
}

// ---- Copy and move --------------------------------------------------------------------

void CopyF32(benchmark::State& state, int v) {
    const int n = static_cast<int>(state.range(0));
    std::vector<float> src(n, 1.5f), dst(n);
    auto copy = sp_dispatch_member<sp_entry_sp_copy_f32>(v);
    for (auto _ : state) {
        copy(src.data(), dst.data(), n);
        benchmark::DoNotOptimize(dst.data());
    }
}

// Moves by one element up (overlapping) or into a separate array.
template <class T, int32_t Entry, bool kOverlap>
void Move(benchmark::State& state, int v) {
    const int n = static_cast<int>(state.range(0));
    std::vector<T> a(n + 1), b(n + 1);
    auto move = sp_dispatch_member<Entry>(v);
    for (auto _ : state) {
        move(a.data(), kOverlap ? a.data() + 1 : b.data(), n);
        benchmark::DoNotOptimize(a.data());
        benchmark::DoNotOptimize(b.data());
    }
}
template <class T, bool kOverlap>
void MemmoveRef(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<T> a(n + 1), b(n + 1);
    for (auto _ : state) {
        memmove(kOverlap ? a.data() + 1 : b.data(), a.data(), n * sizeof(T));
        benchmark::DoNotOptimize(a.data());
        benchmark::DoNotOptimize(b.data());
    }
}

const std::vector<kpbench::RatioOp> kOps = {
    {"copy_f32", CopyF32, MemcpyF32, "memcpy", kLengths},
    {"move_i16_up1", Move<int16_t, sp_entry_sp_move_i16, true>, MemmoveRef<int16_t, true>,
     "memmove", kLengths},
    {"move_i16", Move<int16_t, sp_entry_sp_move_i16, false>, MemmoveRef<int16_t, false>, "memmove",
     kLengths},
    {"move_f32_up1", Move<float, sp_entry_sp_move_f32, true>, MemmoveRef<float, true>, "memmove",
     kLengths},
    {"move_f32", Move<float, sp_entry_sp_move_f32, false>, MemmoveRef<float, false>, "memmove",
     kLengths},
    {"set_i16", SetI16, MemsetRef<2>, "memset", kLengths},
    {"set_32", Set32, MemsetRef<4>, "memset", kLengths},
    {"sub_sat_i16", SubSat, MemcpyF32, "memcpy", kLengths},
    {"add_sat_i16", AddSat, MemcpyF32, "memcpy", kLengths},
    {"abs_sat_i16", AbsSat, MemcpyI16, "memcpy", kLengths},
    {"rshift_i16", RShift, MemcpyI16, "memcpy", kLengths},
    {"lshift_i16_inpl", LShiftInPlace, MemcpyI16, "memcpy", kLengths},
    {"sub_const_i16", SubConstScaled, MemcpyI16, "memcpy", kLengths},
    {"max_i16", MaxI16, MemcpyI16, "memcpy", kLengths},
    {"min_i16", MinI16, MemcpyI16, "memcpy", kLengths},
    {"rshift_i16_inpl", RShiftInPlace, MemcpyI16, "memcpy", kLengths},
    {"max_index_i16", MaxIndexI16, MemcpyI16, "memcpy", kLengths},
    {"sum_i16_scaled", SumScaled, MemcpyI16, "memcpy", kLengths},
    {"dot_i16_to_f32", DotF32, MemcpyF32, "memcpy", kLengths},
};

}  // namespace

int main(int argc, char** argv) {
    return kpbench::RunRatioTable(argc, argv, kOps);
}
