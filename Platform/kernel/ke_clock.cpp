// The machine clock.
//
// Machine time is the host's monotonic clock mapped through a base point:
// time = BaseMachine + (host now - BaseHost) * Scale, or BaseMachine alone while
// the clock is manual.  A mode switch moves the base point so that time carries
// on without a jump.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "ke_private.h"
#include "kp/clock.h"

namespace {

using HostClock = std::chrono::steady_clock;

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kUnixEpoch = 116444736000000000LL;
constexpr ULONG kTimeIncrement = 156250;  // 15.625 ms per tick

struct Clock {
    std::mutex Lock;
    KpClockMode Mode = KpClockMode::RealTime;
    double Scale = 1.0;
    LONGLONG BaseMachine = 0;
    HostClock::time_point BaseHost;
    LONGLONG Boot = 0;
    ULONG NextListener = 1;
    std::map<ULONG, std::pair<KpClockListener, void*>> Listeners;

    Clock() {
        LONGLONG unix100ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count() /
                             100;
        BaseMachine = Boot = kUnixEpoch + unix100ns;
        BaseHost = HostClock::now();
        if (const char* env = std::getenv("KP_CLOCK")) {
            if (std::strcmp(env, "manual") == 0) {
                Mode = KpClockMode::Manual;
            } else if (std::strncmp(env, "scaled:", 7) == 0 && std::atof(env + 7) > 0) {
                Mode = KpClockMode::Scaled;
                Scale = std::atof(env + 7);
            } else if (std::strcmp(env, "real") != 0) {
                KpBugCheck(KP_BUGCHECK_UNSUPPORTED,
                           "KP_CLOCK=%s: expected real, manual or scaled:<factor>", env);
            }
        }
    }

    // Lock held.
    LONGLONG NowLocked() const {
        if (Mode == KpClockMode::Manual) return BaseMachine;
        LONGLONG host100ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(HostClock::now() - BaseHost)
                .count() /
            100;
        if (Mode == KpClockMode::RealTime) return BaseMachine + host100ns;
        return BaseMachine + static_cast<LONGLONG>(static_cast<double>(host100ns) * Scale);
    }
};

Clock& TheClock() {
    static Clock clock;
    return clock;
}

// Tells the waiters and then the listeners that time has moved.
void Announce(LONGLONG Now, bool ModeChanged) {
    KiClockMoved(ModeChanged);
    KiRunDueTimers();
    std::vector<std::pair<KpClockListener, void*>> listeners;
    {
        Clock& c = TheClock();
        std::lock_guard<std::mutex> lock(c.Lock);
        for (auto& entry : c.Listeners) listeners.push_back(entry.second);
    }
    for (auto& listener : listeners) listener.first(listener.second, Now);
}

}  // namespace

void KpClockSetMode(KpClockMode Mode, double Scale) {
    if (Mode == KpClockMode::Scaled && !(Scale > 0)) {
        KpBugCheck(KP_BUGCHECK_UNSUPPORTED, "KpClockSetMode: scale %g is not positive", Scale);
    }
    LONGLONG now;
    {
        Clock& c = TheClock();
        std::lock_guard<std::mutex> lock(c.Lock);
        now = c.NowLocked();
        c.BaseMachine = now;
        c.BaseHost = HostClock::now();
        c.Mode = Mode;
        c.Scale = Mode == KpClockMode::Scaled ? Scale : 1.0;
    }
    Announce(now, true);
}

KpClockMode KpClockGetMode(void) {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> lock(c.Lock);
    return c.Mode;
}

LONGLONG KpClockNow(void) {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> lock(c.Lock);
    return c.NowLocked();
}

LONGLONG KpClockBootTime(void) {
    return TheClock().Boot;
}

void KpClockSetTime(LONGLONG Time) {
    // The advance waits for the DPCs it makes due, which may need the caller's locks.
    KpAssertIrql(PASSIVE_LEVEL, "KpClockSetTime");
    {
        Clock& c = TheClock();
        std::lock_guard<std::mutex> lock(c.Lock);
        if (c.Mode != KpClockMode::Manual) {
            KpBugCheck(KP_BUGCHECK_UNSUPPORTED,
                       "KpClockSetTime/KpClockAdvance need the manual clock");
        }
        if (Time < c.BaseMachine) {
            KpBugCheck(KP_BUGCHECK_UNSUPPORTED, "the machine clock cannot go back (%lld < %lld)",
                       static_cast<long long>(Time), static_cast<long long>(c.BaseMachine));
        }
        c.BaseMachine = Time;
    }
    Announce(Time, false);
}

void KpClockAdvance(LONGLONG Delta100ns) {
    if (Delta100ns < 0)
        KpBugCheck(KP_BUGCHECK_UNSUPPORTED, "KpClockAdvance by %lld: negative",
                   static_cast<long long>(Delta100ns));
    KpClockSetTime(KpClockNow() + Delta100ns);
}

ULONG KpClockAddListener(KpClockListener Listener, void* Context) {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> lock(c.Lock);
    ULONG id = c.NextListener++;
    c.Listeners[id] = {Listener, Context};
    return id;
}

void KpClockRemoveListener(ULONG Id) {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> lock(c.Lock);
    if (c.Listeners.erase(Id) == 0)
        KpBugCheck(KP_BUGCHECK_UNSUPPORTED, "KpClockRemoveListener: no listener %u", Id);
}

bool KiHostDeadline(LONGLONG Time, HostClock::time_point* HostTime) {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> lock(c.Lock);
    if (c.Mode == KpClockMode::Manual) return false;
    // Far deadlines are capped; the waiter re-checks the time when it wakes.
    constexpr LONGLONG kCap = 24LL * 3600 * 10000000;
    LONGLONG delta = Time - c.BaseMachine;
    if (delta > kCap) delta = kCap;
    double hostDelta = c.Mode == KpClockMode::Scaled ? static_cast<double>(delta) / c.Scale
                                                     : static_cast<double>(delta);
    *HostTime = c.BaseHost + std::chrono::nanoseconds(static_cast<LONGLONG>(hostDelta) * 100);
    return true;
}

bool KiDeadline(const LARGE_INTEGER* Timeout, LONGLONG* Deadline) {
    if (Timeout == nullptr) return false;
    *Deadline = Timeout->QuadPart > 0 ? Timeout->QuadPart : KpClockNow() - Timeout->QuadPart;
    return true;
}

// ---------------------------------------------------------------------------
// KeQuerySystemTime
// ---------------------------------------------------------------------------
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = KpClockNow();
}

// ---------------------------------------------------------------------------
// KeQueryInterruptTime
// ---------------------------------------------------------------------------
ULONGLONG KeQueryInterruptTime(void) {
    return static_cast<ULONGLONG>(KpClockNow() - KpClockBootTime());
}

// ---------------------------------------------------------------------------
// KeQueryPerformanceCounter: 10 MHz, one count per 100 ns of machine time.
// ---------------------------------------------------------------------------
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER counter;
    counter.QuadPart = static_cast<LONGLONG>(KeQueryInterruptTime());
    return counter;
}

// ---------------------------------------------------------------------------
// KeQueryTickCount / KeQueryTimeIncrement
// ---------------------------------------------------------------------------
void KeQueryTickCount(PLARGE_INTEGER TickCount) {
    TickCount->QuadPart = static_cast<LONGLONG>(KeQueryInterruptTime() / kTimeIncrement);
}

ULONG KeQueryTimeIncrement(void) {
    return kTimeIncrement;
}

// ---------------------------------------------------------------------------
// KeStallExecutionProcessor: host real time, since it stands for a busy loop.
// ---------------------------------------------------------------------------
void KeStallExecutionProcessor(ULONG MicroSeconds) {
    auto until = HostClock::now() + std::chrono::microseconds(MicroSeconds);
    while (HostClock::now() < until) {
    }
}
