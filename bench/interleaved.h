// Side-by-side timing for the benchmarks that compare our code with a peer:
// the systems run in rounds, each round gives every system the same number
// of calls (in a rotating order, so that none always runs first), and each
// round's ratio is taken on its own.  The median and the 10th and 90th
// percentiles of the per-round values are printed, so a noisy shared
// machine shows as a wide spread instead of a wrong number.  Times are the
// calling thread's CPU time (CLOCK_THREAD_CPUTIME_ID): what other processes
// take from a shared machine is not counted, only what they do to the caches.
#pragma once

#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace kpbench {

struct System {
    std::string name;
    std::function<void()> call;  // one unit of work (one frame, one transform)
};

// Median and 10th / 90th percentiles of a set of per-round values.
struct Spread {
    double median = 0, low = 0, high = 0;
};

inline Spread SpreadOf(std::vector<double> v) {
    Spread s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[size_t(q * double(v.size() - 1) + 0.5)]; };
    s.median = at(0.5);
    s.low = at(0.1);
    s.high = at(0.9);
    return s;
}

// CPU time of the calling thread, ns.
inline double ThreadCpuNs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// Per-call thread CPU times in ns, [system][round].  `calls` calls per system and
// round; when 0, chosen so that the slowest system's slice takes about
// `sliceMs`.
inline std::vector<std::vector<double>> RunRounds(const std::vector<System>& systems, int rounds,
                                                  int calls = 0, double sliceMs = 3.0) {
    auto slice = [](const System& s, int n) {
        const double t0 = ThreadCpuNs();
        for (int i = 0; i < n; ++i) s.call();
        return ThreadCpuNs() - t0;
    };
    if (calls <= 0) {
        double slowest = 0;
        for (const System& s : systems) {
            slice(s, 1);  // warm up
            slowest = std::max(slowest, slice(s, 3) / 3);
        }
        calls = std::max(1, int(sliceMs * 1e6 / std::max(slowest, 1.0)));
    }
    std::vector<std::vector<double>> times(systems.size());
    for (int r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < systems.size(); ++k) {
            const size_t i = (k + size_t(r)) % systems.size();
            times[i].push_back(slice(systems[i], calls) / calls);
        }
    }
    return times;
}

// Per-round ratios a / b.
inline Spread RatioSpread(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) r.push_back(a[i] / b[i]);
    return SpreadOf(r);
}

inline void PrintSpread(const char* label, const Spread& s, const char* unit) {
    printf("%-28s %9.3f %s  (10%%-90%%: %.3f-%.3f)\n", label, s.median, unit, s.low, s.high);
}

}  // namespace kpbench
