// Benchmarks of the primitives' members against a reference measured in the
// same run (memcpy, memset, a plain loop, ...).  A bench file lists its
// operations in a table of RatioOp and hands it to RunRatioTable, which
// registers every runnable variant's member and the reference at each
// argument, runs them in interleaved rounds, and prints each member's thread
// CPU time as a ratio to its reference's in the same round: the median and
// spread over the rounds (below 1: faster).
#pragma once

#include <benchmark/benchmark.h>
#include <stdio.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "interleaved.h"  // Spread
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

// Collects the CPU time of the benchmark thread (Google Benchmark's cpu_time,
// CLOCK_THREAD_CPUTIME_ID: time another process takes from a shared machine
// does not count) of every repetition, and prints member / reference ratios
// per round.  The repetitions run randomly interleaved: round k runs every
// benchmark's k-th repetition in a shuffled order, so a member and its
// reference in one round saw the same machine.  The console shows only the
// aggregates.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(const std::vector<RatioOp>& ops) : ops_(ops) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> aggregates;
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Aggregate) {
                aggregates.push_back(r);
                continue;
            }
            if (r.error_occurred) continue;
            std::vector<double>& t = times_[r.run_name.function_name + "/" + r.run_name.args];
            const size_t round = r.repetition_index < 0 ? 0 : size_t(r.repetition_index);
            if (t.size() <= round) t.resize(round + 1, 0.0);
            t[round] = r.GetAdjustedCPUTime();
        }
        if (!aggregates.empty()) ConsoleReporter::ReportRuns(aggregates);
    }

    void PrintRatios() const {
        printf(
            "\nCPU time relative to the reference, median of the per-round ratios "
            "(10%%-90%%); below 1: faster\n");
        for (const RatioOp& op : ops_) {
            for (int64_t a : op.args) {
                auto r =
                    times_.find(std::string(op.name) + "/" + op.refName + "/" + std::to_string(a));
                if (r == times_.end()) continue;
                printf("%-16s %8lld", op.name, static_cast<long long>(a));
                for (int v = 0; v < 4; ++v) {
                    auto m = times_.find(std::string(op.name) + "/" + kVariantNames[v] + "/" +
                                         std::to_string(a));
                    if (m == times_.end()) continue;
                    const Spread s = Ratios(m->second, r->second);
                    printf("  %s %5.2f (%.2f-%.2f)", kVariantNames[v], s.median, s.low, s.high);
                }
                printf("\n");
            }
        }
    }

private:
    static Spread Ratios(const std::vector<double>& a, const std::vector<double>& b) {
        std::vector<double> r;
        for (size_t i = 0; i < a.size() && i < b.size(); ++i)
            if (a[i] > 0 && b[i] > 0) r.push_back(a[i] / b[i]);
        return SpreadOf(r);
    }

    const std::vector<RatioOp>& ops_;
    std::map<std::string, std::vector<double>> times_;
};

// Registers the table, runs what the command line selects (by default 11
// interleaved rounds of at least 50 ms per benchmark; the command line may
// say otherwise) and prints the ratios; the body of a bench file's main.
inline int RunRatioTable(int argc, char** argv, const std::vector<RatioOp>& ops) {
    for (const RatioOp& op : ops) {
        for (int v = 0; v < 4; ++v) {
            // A reference under a member's name would be that member measured against itself.
            if (std::string(op.refName) == kVariantNames[v]) {
                fprintf(stderr, "%s: the reference is named like the %s member\n", op.name,
                        kVariantNames[v]);
                return 1;
            }
            if (!VariantRuns(v)) continue;
            auto* b = benchmark::RegisterBenchmark(
                (std::string(op.name) + "/" + kVariantNames[v]).c_str(), op.member, v);
            for (int64_t a : op.args) b->Arg(a);
        }
        auto* b =
            benchmark::RegisterBenchmark((std::string(op.name) + "/" + op.refName).c_str(), op.ref);
        for (int64_t a : op.args) b->Arg(a);
    }
    std::vector<char*> args(argv, argv + argc);
    static char kRounds[] = "--benchmark_repetitions=11";
    static char kInterleave[] = "--benchmark_enable_random_interleaving=true";
    static char kMinTime[] = "--benchmark_min_time=0.05";
    // After the program name, so that the command line's own flags win.
    args.insert(args.begin() + (argc > 0 ? 1 : 0), {kRounds, kInterleave, kMinTime});
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
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
