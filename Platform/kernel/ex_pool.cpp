// Pool memory.
//
// Each block is a host allocation followed by a guard pattern.  The pool keeps
// every live block in a table (address -> size, tag, type, serial), so a free of a
// foreign pointer or a second free is caught without reading the memory, and the
// leak checks can list exactly what a test left behind.
#include <cstdlib>
#include <map>
#include <unordered_map>

#include "ke_private.h"
#include "kp/irql.h"
#include "kp/pool.h"

namespace {

constexpr SIZE_T kGuardBytes = 16;
constexpr UCHAR kGuardFill = 0xFB;
constexpr ULONG kNoneTag = 0x656E6F4E;  // 'None'

struct Block {
    SIZE_T Size;
    ULONG Tag;
    ULONG PoolType;
    ULONGLONG Serial;
};

struct FailureRule {
    ULONG Skip;      // matching allocations still to let through
    ULONG Failures;  // then this many fail
};

struct Pool {
    std::mutex Lock;
    std::unordered_map<void*, Block> Blocks;
    std::map<ULONG, KpPoolTagUsage> Tags;
    std::map<ULONG, FailureRule> Rules;  // tag 0: every allocation
    ULONGLONG Serial = 0;
};

Pool& ThePool() {
    static Pool* pool = new Pool;  // never destroyed: blocks may be freed during exit
    return *pool;
}

bool IsPaged(ULONG PoolType) {
    return (PoolType & 1) != 0;
}

KpPoolTagUsage& TagUsage(Pool& Pool, ULONG Tag) {
    KpPoolTagUsage& usage = Pool.Tags[Tag];
    usage.Tag = Tag;
    return usage;
}

// Lock held.  Advances the rule and says whether this allocation fails.
bool RuleFails(Pool& Pool, ULONG Key) {
    auto it = Pool.Rules.find(Key);
    if (it == Pool.Rules.end()) return false;
    FailureRule& rule = it->second;
    if (rule.Skip > 0) {
        --rule.Skip;
        return false;
    }
    bool fails = rule.Failures > 0;
    if (fails) --rule.Failures;
    if (rule.Failures == 0) Pool.Rules.erase(it);
    return fails;
}

void CheckType(ULONG PoolType, const char* Routine) {
    switch (PoolType) {
        case NonPagedPool:
        case PagedPool:
        case NonPagedPoolMustSucceed:
        case NonPagedPoolCacheAligned:
        case PagedPoolCacheAligned:
        case NonPagedPoolCacheAlignedMustS:
        case NonPagedPoolNx:
            break;
        default:
            KpBugCheck(KP_BUGCHECK_BAD_POOL_CALLER, "%s: pool type %u", Routine, PoolType);
    }
    KpAssertIrql(IsPaged(PoolType) ? APC_LEVEL : DISPATCH_LEVEL, Routine);
}

}  // namespace

// ---------------------------------------------------------------------------
// ExAllocatePoolWithTag
// ---------------------------------------------------------------------------
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    CheckType(PoolType, "ExAllocatePoolWithTag");
    Pool& pool = ThePool();
    {
        std::lock_guard<std::mutex> lock(pool.Lock);
        bool failTag = RuleFails(pool, Tag);
        bool failAny = Tag != 0 && RuleFails(pool, 0);
        if (failTag || failAny) {
            ++TagUsage(pool, Tag).FailedAllocations;
            if (PoolType == NonPagedPoolMustSucceed || PoolType == NonPagedPoolCacheAlignedMustS) {
                KpBugCheck(KP_BUGCHECK_MUST_SUCCEED_POOL_EMPTY,
                           "ExAllocatePoolWithTag: a must-succeed allocation of %zu bytes failed",
                           NumberOfBytes);
            }
            return nullptr;
        }
    }
    // Refuse sizes the host cannot represent with a guard rather than wrap.
    if (NumberOfBytes > (SIZE_T(1) << 40)) {
        std::lock_guard<std::mutex> lock(pool.Lock);
        ++TagUsage(pool, Tag).FailedAllocations;
        return nullptr;
    }
    auto* p = static_cast<UCHAR*>(std::malloc(NumberOfBytes + kGuardBytes));
    if (p == nullptr) {
        std::lock_guard<std::mutex> lock(pool.Lock);
        ++TagUsage(pool, Tag).FailedAllocations;
        return nullptr;
    }
    std::memset(p, KP_POOL_ALLOC_FILL, NumberOfBytes);
    std::memset(p + NumberOfBytes, kGuardFill, kGuardBytes);
    std::lock_guard<std::mutex> lock(pool.Lock);
    pool.Blocks[p] = {NumberOfBytes, Tag, static_cast<ULONG>(PoolType), ++pool.Serial};
    KpPoolTagUsage& usage = TagUsage(pool, Tag);
    usage.LiveBytes += NumberOfBytes;
    ++usage.LiveBlocks;
    ++usage.TotalAllocations;
    return p;
}

// ---------------------------------------------------------------------------
// ExAllocatePool
// ---------------------------------------------------------------------------
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, kNoneTag);
}

namespace {

void FreeBlock(PVOID P, bool CheckTag, ULONG Tag, const char* Routine) {
    if (P == nullptr) KpBugCheck(KP_BUGCHECK_BAD_POOL_CALLER, "%s(NULL)", Routine);
    Pool& pool = ThePool();
    Block block;
    {
        std::lock_guard<std::mutex> lock(pool.Lock);
        auto it = pool.Blocks.find(P);
        if (it == pool.Blocks.end()) {
            KpBugCheck(KP_BUGCHECK_BAD_POOL_CALLER,
                       "%s(%p): not an allocated pool block (freed twice, or not from the pool)",
                       Routine, P);
        }
        block = it->second;
        if (CheckTag && block.Tag != Tag) {
            KpBugCheck(KP_BUGCHECK_BAD_POOL_CALLER,
                       "%s(%p): tag '%s' but the block was allocated with '%s'", Routine, P,
                       KpPoolTagText(Tag).c_str(), KpPoolTagText(block.Tag).c_str());
        }
        KpAssertIrql(IsPaged(block.PoolType) ? APC_LEVEL : DISPATCH_LEVEL, Routine);
        auto* guard = static_cast<UCHAR*>(P) + block.Size;
        for (SIZE_T i = 0; i < kGuardBytes; ++i) {
            if (guard[i] != kGuardFill) {
                KpBugCheck(KP_BUGCHECK_BAD_POOL_CALLER,
                           "%s(%p): written past its end ('%s', %zu bytes, #%llu)", Routine, P,
                           KpPoolTagText(block.Tag).c_str(), block.Size,
                           static_cast<unsigned long long>(block.Serial));
            }
        }
        pool.Blocks.erase(it);
        KpPoolTagUsage& usage = TagUsage(pool, block.Tag);
        usage.LiveBytes -= block.Size;
        --usage.LiveBlocks;
    }
    std::memset(P, KP_POOL_FREE_FILL, block.Size);
    std::free(P);
}

}  // namespace

// ---------------------------------------------------------------------------
// ExFreePoolWithTag / ExFreePool
// ---------------------------------------------------------------------------
void ExFreePoolWithTag(PVOID P, ULONG Tag) {
    FreeBlock(P, true, Tag, "ExFreePoolWithTag");
}

void ExFreePool(PVOID P) {
    FreeBlock(P, false, 0, "ExFreePool");
}

// ---------------------------------------------------------------------------
// Host accounting and injection
// ---------------------------------------------------------------------------
KpPoolTagUsage KpPoolUsage(ULONG Tag) {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.Lock);
    KpPoolTagUsage total{Tag, 0, 0, 0, 0};
    for (const auto& entry : pool.Tags) {
        if (Tag != 0 && entry.first != Tag) continue;
        total.LiveBytes += entry.second.LiveBytes;
        total.LiveBlocks += entry.second.LiveBlocks;
        total.TotalAllocations += entry.second.TotalAllocations;
        total.FailedAllocations += entry.second.FailedAllocations;
    }
    return total;
}

std::vector<KpPoolTagUsage> KpPoolUsageByTag(void) {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.Lock);
    std::vector<KpPoolTagUsage> result;
    for (const auto& entry : pool.Tags) result.push_back(entry.second);
    return result;
}

ULONGLONG KpPoolSerial(void) {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.Lock);
    return pool.Serial;
}

std::vector<KpPoolBlockInfo> KpPoolLiveBlocks(ULONGLONG SinceSerial, ULONG Tag) {
    Pool& pool = ThePool();
    std::map<ULONGLONG, KpPoolBlockInfo> ordered;
    {
        std::lock_guard<std::mutex> lock(pool.Lock);
        for (const auto& entry : pool.Blocks) {
            const Block& b = entry.second;
            if (b.Serial <= SinceSerial || (Tag != 0 && b.Tag != Tag)) continue;
            ordered[b.Serial] = {entry.first, b.Size, b.Tag, b.PoolType, b.Serial};
        }
    }
    std::vector<KpPoolBlockInfo> result;
    for (const auto& entry : ordered) result.push_back(entry.second);
    return result;
}

std::string KpPoolDescribeLiveBlocks(ULONGLONG SinceSerial, ULONG Tag) {
    std::vector<KpPoolBlockInfo> blocks = KpPoolLiveBlocks(SinceSerial, Tag);
    if (blocks.empty()) return std::string();
    ULONGLONG bytes = 0;
    for (const auto& b : blocks) bytes += b.Size;
    std::string text =
        std::to_string(blocks.size()) + " block(s), " + std::to_string(bytes) + " bytes:";
    size_t shown = 0;
    for (const auto& b : blocks) {
        if (++shown > 20) {
            text += " ...";
            break;
        }
        text += " '" + KpPoolTagText(b.Tag) + "' " + std::to_string(b.Size) + " bytes #" +
                std::to_string(b.Serial) + (shown < blocks.size() ? "," : "");
    }
    return text;
}

void KpPoolFailAllocation(ULONG Tag, ULONG Nth, ULONG Count) {
    if (Nth == 0 || Count == 0)
        KpBugCheck(KP_BUGCHECK_UNSUPPORTED, "KpPoolFailAllocation: Nth and Count start at 1");
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.Lock);
    pool.Rules[Tag] = {Nth - 1, Count};
}

void KpPoolClearFailures(void) {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> lock(pool.Lock);
    pool.Rules.clear();
}

std::string KpPoolTagText(ULONG Tag) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((Tag >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}
