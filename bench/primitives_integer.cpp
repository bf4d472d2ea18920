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
void MemcpyF32(benchmark::State& state) {
    MemcpyBytes(state, state.range(0) * 4);
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
};

}  // namespace

int main(int argc, char** argv) {
    return kpbench::RunRatioTable(argc, argv, kOps);
}
