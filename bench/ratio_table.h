// Benchmarks of the primitives' members against a reference measured in the
// same run (memcpy, memset, a plain loop, ...).  A bench file lists its
// operations in a table of RatioOp and hands it to RunRatioTable, which
// registers every runnable variant's member and the reference at each
// argument, runs them, and prints each member's time as a ratio to its
// reference (below 1: faster).
#pragma once

#include <benchmark/benchmark.h>
#include <stdio.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "sp_status.h"

namespace kpbench {

inline const char* const kVariantNames[4] = {"generic", "sse", "sse2", "sse3"};

inline bool VariantRuns(int v) {
    return v != sp_variant_sse3 || __builtin_cpu_supports("sse3");
}

// One measured operation: the member run for variant v and its reference,
// both at every value of args (state.range(0)).
struct RatioOp {
    const char* name;
    void (*member)(benchmark::State&, int variant);
    void (*ref)(benchmark::State&);
    const char* refName;
    std::vector<int64_t> args;
};

// Collects the real time of every run and prints member / reference ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(const std::vector<RatioOp>& ops) : ops_(ops) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const {
        printf("\nTime relative to the reference (below 1: faster)\n");
        for (const RatioOp& op : ops_) {
            for (int64_t a : op.args) {
                const std::string ref =
                    std::string(op.name) + "/" + op.refName + "/" + std::to_string(a);
                auto r = times_.find(ref);
                if (r == times_.end()) continue;
                printf("%-16s %8lld", op.name, static_cast<long long>(a));
                for (int v = 0; v < 4; ++v) {
                    auto m = times_.find(std::string(op.name) + "/" + kVariantNames[v] + "/" +
                                         std::to_string(a));
                    if (m != times_.end())
                        printf("  %s %6.2f", kVariantNames[v], m->second / r->second);
                }
                printf("\n");
            }
        }
    }

private:
    const std::vector<RatioOp>& ops_;
    std::map<std::string, double> times_;
};

// Registers the table, runs what the command line selects and prints the
// ratios; the body of a bench file's main.
inline int RunRatioTable(int argc, char** argv, const std::vector<RatioOp>& ops) {
    for (const RatioOp& op : ops) {
        for (int v = 0; v < 4; ++v) {
            if (!VariantRuns(v)) continue;
            auto* b = benchmark::RegisterBenchmark(
                (std::string(op.name) + "/" + kVariantNames[v]).c_str(), op.member, v);
            for (int64_t a : op.args) b->Arg(a);
        }
        auto* b =
            benchmark::RegisterBenchmark((std::string(op.name) + "/" + op.refName).c_str(), op.ref);
        for (int64_t a : op.args) b->Arg(a);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(ops);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}

// The 16-bit input the filter benchmarks share: uniform noise at -18 dBFS from a
// fixed seed, so every member and every run sees the same samples.
inline std::vector<int16_t> Signal(int n) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> d(-4096, 4095);
    std::vector<int16_t> x(static_cast<size_t>(n));
    for (int16_t& v : x) v = static_cast<int16_t>(d(rng));
    return x;
}

}  // namespace kpbench
