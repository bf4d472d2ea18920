// Late wake-ups on demand: a test makes the system threads of one image wake
// a random 0 to MaxMs milliseconds of machine time after a wait that blocked
// was satisfied, as a busy machine's scheduler would.  The delays follow a
// sequence fixed by the seed, so that on the manual clock a run repeats.
#include <atomic>
#include <mutex>
#include <string>

#include "ke_private.h"
#include "kp/clock.h"
#include "kp/thread.h"

namespace {

std::mutex gLock;
std::string gImage;
ULONG gMaxMs = 0;
ULONG gSeed = 0;
std::atomic<ULONG> gGeneration{0};
std::atomic<ULONGLONG> gDelayedMs{0};

// What a thread found for the setting of one generation.
struct ThreadDelay {
    ULONG Generation = 0;
    bool Delayed = false;
    ULONG MaxMs = 0;
    ULONGLONG State = 0;
};
thread_local ThreadDelay tDelay;

// splitmix64: one 64-bit state, every output from the seed alone.
ULONGLONG NextRandom(ULONGLONG* State) {
    ULONGLONG z = (*State += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The calling thread's setting, looked up again after every change.
ThreadDelay& Current() {
    ThreadDelay& t = tDelay;
    ULONG generation = gGeneration.load();
    if (t.Generation == generation) return t;
    t = ThreadDelay{};
    t.Generation = generation;
    std::string image;
    {
        std::lock_guard<std::mutex> lock(gLock);
        if (gMaxMs == 0 || gImage.empty()) return t;
        image = gImage;
        t.MaxMs = gMaxMs;
        t.State = gSeed;
    }
    const ULONG_PTR id = reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId());
    for (const KpSystemThreadInfo& info : KpSystemThreads()) {
        if (info.Id == id) t.Delayed = SameName(info.Image, image);
    }
    return t;
}

bool Signalled(PVOID Object, PKTHREAD Self) {
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    if (header->Type == MutantObject && reinterpret_cast<PKMUTEX>(Object)->OwnerThread == Self)
        return true;
    return header->SignalState > 0;
}

}  // namespace

void KpSetThreadWakeDelay(const char* Image, ULONG MaxMs, ULONG Seed) {
    std::lock_guard<std::mutex> lock(gLock);
    gImage = Image != nullptr ? Image : "";
    gMaxMs = MaxMs;
    gSeed = Seed;
    // Never 0: a thread's record starts at generation 0, "nothing set".
    ULONG next = gGeneration.load() + 1;
    gGeneration.store(next != 0 ? next : 1);
}

ULONGLONG KpThreadWakeDelayMs(void) {
    return gDelayedMs.load();
}

KiWakeDelay::KiWakeDelay(ULONG Count, PVOID* Objects, WAIT_TYPE WaitType,
                         const LARGE_INTEGER* Timeout) {
    if (gGeneration.load() == 0 || (Timeout != nullptr && Timeout->QuadPart == 0) ||
        KeGetCurrentIrql() > APC_LEVEL || !KpIsSystemThread() || !Current().Delayed)
        return;
    // Only a wait that has to block wakes up: one its objects already
    // satisfy returns at once on any machine.
    PKTHREAD self = KeGetCurrentThread();
    std::lock_guard<std::mutex> lock(KiDispatcherLock());
    bool ready = WaitType == WaitAll;
    for (ULONG i = 0; i < Count; ++i) {
        bool signalled = Signalled(Objects[i], self);
        ready = WaitType == WaitAll ? ready && signalled : ready || signalled;
    }
    m_Blocks = !ready;
}

NTSTATUS KiWakeDelay::After(NTSTATUS Status) {
    if (!m_Blocks || Status == STATUS_TIMEOUT) return Status;
    ThreadDelay& t = Current();
    if (!t.Delayed) return Status;
    ULONG ms = static_cast<ULONG>(NextRandom(&t.State) % (t.MaxMs + 1));
    if (ms != 0) {
        gDelayedMs += ms;
        LARGE_INTEGER late = KpRelativeTimeout(KpMs(ms));
        KeDelayExecutionThread(KernelMode, FALSE, &late);
    }
    return Status;
}
