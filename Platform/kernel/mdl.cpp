// Memory manager: MDLs, page locking, system mappings and application memory.
//
// Application memory (KpUserAlloc) is a shared-memory object per block, mapped
// twice from the start: the program's view and a private view for the I/O
// manager's own copies.  A system mapping of an MDL over application memory is
// a third, separate view made by MmMapLockedPages* and taken down when the
// pages are unmapped or unlocked, so a driver that keeps using it afterwards
// faults.  Kernel memory is its own system address.
//
// Making and removing views is costly for the host (page faults on every fresh
// view, address-space shoot-downs on every removed one, a sanitizer's shadow
// upkeep for each range), and an application maps the same few buffers over
// and over.  So a view taken down is shut (no access) rather than removed, and
// opened again for the next mapping of the same pages; a freed block is kept
// shut for the next allocation of its size, cleared.  A shut view faults like
// a removed one.
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "io_internal.h"

namespace kp::io {
namespace {

constexpr ULONG kMdlTag = KpTag("Mdl ");
constexpr uintptr_t kPageMask = PAGE_SIZE - 1;

// A system view of a block's pages, shut until a mapping of the same pages
// opens it again.
struct SpareView {
    SIZE_T Offset = 0;
    SIZE_T Size = 0;
    void* Address = nullptr;
};

struct UserBlock {
    int Fd = -1;
    SIZE_T Size = 0;        // bytes asked for
    SIZE_T MappedSize = 0;  // whole pages
    char* UserView = nullptr;
    char* PrivateView = nullptr;
    ULONG LockedMdls = 0;
    std::vector<SpareView> SpareViews;
};

// What is kept shut for reuse: views per block, and freed blocks in all.
constexpr size_t kSpareViewsPerBlock = 8;
constexpr SIZE_T kSpareBlockBytes = 32u << 20;

struct MdlRecord {
    ULONGLONG Serial = 0;
    UserBlock* Block = nullptr;      // set while locked over application memory
    const void* LockedBy = nullptr;  // the code that locked it (a return address)
    void* Mapping = nullptr;         // a view this module made for the MDL
    SIZE_T MappingOffset = 0;        // of the view in its block
    SIZE_T MappingSize = 0;
};

std::mutex g_lock;                               // guards everything below
std::map<uintptr_t, UserBlock> g_userBlocks;     // by user view address
std::multimap<SIZE_T, UserBlock> g_spareBlocks;  // freed, by mapped size, shut
SIZE_T g_spareBytes = 0;
std::map<PMDL, MdlRecord> g_mdls;
std::map<uintptr_t, SIZE_T> g_systemViews;  // start -> size of MDL mappings
ULONGLONG g_mdlSerial = 0;
bool g_userAccessible = true;

// The block that holds [address, address + length), or null.  Caller holds g_lock.
// The end of the no-access region at the bottom of every address space.
constexpr ULONG_PTR kNoAccessRegionEnd = 0x10000;

UserBlock* FindUserBlock(const void* address, SIZE_T length) {
    auto a = reinterpret_cast<uintptr_t>(address);
    auto it = g_userBlocks.upper_bound(a);
    if (it == g_userBlocks.begin()) return nullptr;
    --it;
    UserBlock& block = it->second;
    if (a < it->first || a - it->first > block.Size || length > block.Size - (a - it->first))
        return nullptr;
    return &block;
}

// Gives a block's views and memory back to the host.
void ReleaseBlock(UserBlock& block) {
    for (const SpareView& view : block.SpareViews) munmap(view.Address, view.Size);
    block.SpareViews.clear();
    munmap(block.UserView, block.MappedSize);
    munmap(block.PrivateView, block.MappedSize);
    close(block.Fd);
}

// A system view of `size` bytes of the block from `offset`: a shut one of the
// same pages opened again, else a new one.  Null when the host refuses.
void* OpenSystemView(UserBlock* block, SIZE_T offset, SIZE_T size) {
    for (auto it = block->SpareViews.begin(); it != block->SpareViews.end(); ++it) {
        if (it->Offset != offset || it->Size != size) continue;
        void* view = it->Address;
        block->SpareViews.erase(it);
        if (mprotect(view, size, PROT_READ | PROT_WRITE) == 0) return view;
        munmap(view, size);
        break;
    }
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, block->Fd,
                      static_cast<off_t>(offset));
    return view == MAP_FAILED ? nullptr : view;
}

// Where a return address lies: the image and its offset, with the symbol
// when the image exports one.
std::string DescribeCode(const void* address) {
    Dl_info info{};
    char text[256];
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        std::snprintf(text, sizeof text, "%p", address);
        return text;
    }
    const char* image = std::strrchr(info.dli_fname, '/');
    image = image != nullptr ? image + 1 : info.dli_fname;
    if (info.dli_sname != nullptr) {
        std::snprintf(text, sizeof text, "%s!%s+0x%zx", image, info.dli_sname,
                      static_cast<size_t>(static_cast<const char*>(address) -
                                          static_cast<const char*>(info.dli_saddr)));
    } else {
        std::snprintf(text, sizeof text, "%s+0x%zx", image,
                      static_cast<size_t>(static_cast<const char*>(address) -
                                          static_cast<const char*>(info.dli_fbase)));
    }
    return text;
}

// One line per MDL that locks `block`.  Caller holds g_lock.
std::string DescribeLocks(const UserBlock* block) {
    std::string text;
    for (auto& [mdl, record] : g_mdls) {
        if (record.Block != block) continue;
        char line[160];
        std::snprintf(line, sizeof line, "  MDL %p #%llu: %p, %u bytes, locked from ",
                      static_cast<void*>(mdl), static_cast<unsigned long long>(record.Serial),
                      MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
        text += line + DescribeCode(record.LockedBy) + "\n";
    }
    return text;
}

void Raise(NTSTATUS status, const char* routine, const void* address) {
    KpBugCheck(KP_BUGCHECK_KMODE_EXCEPTION_NOT_HANDLED,
               "%s raised 0x%08X for address %p with no handler (use the status-returning form)",
               routine, static_cast<unsigned>(status), address);
}

NTSTATUS Probe(const volatile void* address, SIZE_T length, ULONG alignment) {
    if (length == 0) return STATUS_SUCCESS;
    if (alignment != 0 && (reinterpret_cast<uintptr_t>(address) & (alignment - 1)) != 0) {
        return STATUS_DATATYPE_MISALIGNMENT;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    return FindUserBlock(const_cast<const void*>(address), length) ? STATUS_SUCCESS
                                                                   : STATUS_ACCESS_VIOLATION;
}

bool CopyUser(void* user, const void* from, void* to, SIZE_T length, bool toUser) {
    if (length == 0) return true;
    std::lock_guard<std::mutex> guard(g_lock);
    UserBlock* block = FindUserBlock(user, length);
    if (block == nullptr) return false;
    char* privateAddress = block->PrivateView + (static_cast<char*>(user) - block->UserView);
    if (toUser)
        std::memcpy(privateAddress, from, length);
    else
        std::memcpy(to, privateAddress, length);
    return true;
}

}  // namespace

bool CopyFromUser(void* dst, const void* user, SIZE_T length) {
    return CopyUser(const_cast<void*>(user), nullptr, dst, length, false);
}

bool CopyToUser(void* user, const void* src, SIZE_T length) {
    return CopyUser(user, src, nullptr, length, true);
}

void UnlockAndFreeMdlChain(PMDL mdl) {
    while (mdl != nullptr) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
}

std::string DescribeLiveMdls() {
    std::lock_guard<std::mutex> guard(g_lock);
    std::string text;
    for (auto& [mdl, record] : g_mdls) {
        char line[160];
        std::snprintf(line, sizeof line, "MDL %p #%llu: %p, %u bytes%s%s\n",
                      static_cast<void*>(mdl), static_cast<unsigned long long>(record.Serial),
                      MmGetMdlVirtualAddress(mdl), mdl->ByteCount,
                      (mdl->MdlFlags & MDL_PAGES_LOCKED) ? ", locked" : "",
                      (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) ? ", mapped" : "");
        text += line;
    }
    return text;
}

}  // namespace kp::io

using namespace kp::io;

// ---------------------------------------------------------------------------
// IoAllocateMdl / IoFreeMdl
// ---------------------------------------------------------------------------
PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp) {
    (void)ChargeQuota;
    KpAssertIrql(DISPATCH_LEVEL, "IoAllocateMdl");
    if (Length == 0 || ShouldFail(KpFaultAllocateMdl)) return nullptr;
    auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
    if (mdl == nullptr) return nullptr;
    std::memset(mdl, 0, sizeof(MDL));
    auto va = reinterpret_cast<uintptr_t>(VirtualAddress);
    mdl->Size = sizeof(MDL);
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~kPageMask);
    mdl->ByteOffset = static_cast<ULONG>(va & kPageMask);
    mdl->ByteCount = Length;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_mdls[mdl].Serial = ++g_mdlSerial;
    }
    if (Irp != nullptr) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL* link = &Irp->MdlAddress;
            while (*link != nullptr) link = &(*link)->Next;
            *link = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
    KpAssertIrql(DISPATCH_LEVEL, "IoFreeMdl");
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_mdls.find(Mdl);
        if (it == g_mdls.end())
            KpBugCheck(KP_BUGCHECK_BAD_POOL_CALLER, "IoFreeMdl: %p is no live MDL", Mdl);
        if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
            KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                       "IoFreeMdl: MDL %p still has its pages locked (MmUnlockPages first)", Mdl);
        }
        if (it->second.Block != nullptr) {
            KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                       "IoFreeMdl: MDL %p (#%llu) still locks application memory at %p, though "
                       "its flags (0x%x) say it is unlocked",
                       Mdl, static_cast<unsigned long long>(it->second.Serial),
                       MmGetMdlVirtualAddress(Mdl), static_cast<unsigned>(Mdl->MdlFlags));
        }
        g_mdls.erase(it);
    }
    ExFreePool(Mdl);
}

// ---------------------------------------------------------------------------
// MmProbeAndLockPages: a user-mode lock accepts only application memory; a
// kernel-mode lock accepts any address.
// ---------------------------------------------------------------------------
namespace {
NTSTATUS LockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, const void* caller) {
    KpAssertIrql(APC_LEVEL, "MmProbeAndLockPages");
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_mdls.find(Mdl);
    if (it == g_mdls.end())
        KpBugCheck(KP_BUGCHECK_BAD_POOL_CALLER, "MmProbeAndLockPages: %p is no live MDL", Mdl);
    if (Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "MmProbeAndLockPages: MDL %p is already locked or built", Mdl);
    }
    // The first 64 KiB of an address space are never mapped: a user buffer
    // there fails its probe before anything is looked up.
    if (AccessMode == UserMode &&
        reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(Mdl)) < kNoAccessRegionEnd)
        return STATUS_ACCESS_VIOLATION;
    UserBlock* block = FindUserBlock(MmGetMdlVirtualAddress(Mdl), Mdl->ByteCount);
    if (AccessMode == UserMode && block == nullptr) return STATUS_ACCESS_VIOLATION;
    if (block != nullptr) block->LockedMdls++;
    it->second.Block = block;
    it->second.LockedBy = caller;
    Mdl->MdlFlags |= MDL_PAGES_LOCKED;
    return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS KpProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    (void)Operation;
    return LockPages(Mdl, AccessMode, __builtin_return_address(0));
}

VOID MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    (void)Operation;
    NTSTATUS status = LockPages(Mdl, AccessMode, __builtin_return_address(0));
    if (!NT_SUCCESS(status)) Raise(status, "MmProbeAndLockPages", MmGetMdlVirtualAddress(Mdl));
}

VOID MmUnlockPages(PMDL Mdl) {
    KpAssertIrql(DISPATCH_LEVEL, "MmUnlockPages");
    if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "MmUnlockPages: MDL %p is not locked", Mdl);
    }
    if (Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) MmUnmapLockedPages(Mdl->MappedSystemVa, Mdl);
    std::lock_guard<std::mutex> guard(g_lock);
    MdlRecord& record = g_mdls[Mdl];
    if (record.Block != nullptr) record.Block->LockedMdls--;
    record.Block = nullptr;
    Mdl->MdlFlags &= ~MDL_PAGES_LOCKED;
}

VOID MmBuildMdlForNonPagedPool(PMDL Mdl) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (FindUserBlock(MmGetMdlVirtualAddress(Mdl), Mdl->ByteCount) != nullptr) {
            KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                       "MmBuildMdlForNonPagedPool: MDL %p describes application memory", Mdl);
        }
    }
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

// ---------------------------------------------------------------------------
// System mappings
// ---------------------------------------------------------------------------
PVOID MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority) {
    (void)CacheType;
    (void)Priority;
    KpAssertIrql(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache");
    if (AccessMode != KernelMode || RequestedAddress != nullptr) {
        KpBugCheck(KP_BUGCHECK_UNSUPPORTED,
                   "MmMapLockedPages: only kernel-mode mappings are supported");
    }
    if (!(Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "MmMapLockedPages: MDL %p is neither locked nor built", Mdl);
    }
    if (Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "MmMapLockedPages: MDL %p is already mapped", Mdl);
    }
    if (ShouldFail(KpFaultMapLockedPages)) {
        if (BugCheckOnFailure) {
            KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                       "MmMapLockedPages: no system address for MDL %p", Mdl);
        }
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    MdlRecord& record = g_mdls[Mdl];
    char* address = static_cast<char*>(MmGetMdlVirtualAddress(Mdl));
    if (record.Block != nullptr) {
        UserBlock* block = record.Block;
        SIZE_T offset = (address - block->UserView) & ~kPageMask;
        SIZE_T size =
            ((address - block->UserView) + Mdl->ByteCount - offset + kPageMask) & ~kPageMask;
        void* view = OpenSystemView(block, offset, size);
        if (view == nullptr) {
            if (BugCheckOnFailure)
                KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER, "MmMapLockedPages: mmap failed");
            return nullptr;
        }
        record.Mapping = view;
        record.MappingOffset = offset;
        record.MappingSize = size;
        g_systemViews[reinterpret_cast<uintptr_t>(view)] = size;
        address = static_cast<char*>(view) + Mdl->ByteOffset;
    }
    Mdl->MappedSystemVa = address;
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return address;
}

PVOID MmMapLockedPages(PMDL Mdl, KPROCESSOR_MODE AccessMode) {
    return MmMapLockedPagesSpecifyCache(Mdl, AccessMode, MmCached, nullptr,
                                        (Mdl->MdlFlags & MDL_MAPPING_CAN_FAIL) ? FALSE : TRUE,
                                        NormalPagePriority);
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return Mdl->MappedSystemVa;
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, nullptr, FALSE, Priority);
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL Mdl) {
    if (!(Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != Mdl->MappedSystemVa) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "MmUnmapLockedPages: %p is not the mapping of MDL %p", BaseAddress, Mdl);
    }
    std::lock_guard<std::mutex> guard(g_lock);
    MdlRecord& record = g_mdls[Mdl];
    if (record.Mapping != nullptr) {
        UserBlock* block = record.Block;
        if (block != nullptr && block->SpareViews.size() < kSpareViewsPerBlock &&
            mprotect(record.Mapping, record.MappingSize, PROT_NONE) == 0) {
            block->SpareViews.push_back({record.MappingOffset, record.MappingSize, record.Mapping});
        } else {
            munmap(record.Mapping, record.MappingSize);
        }
        g_systemViews.erase(reinterpret_cast<uintptr_t>(record.Mapping));
        record.Mapping = nullptr;
    }
    Mdl->MappedSystemVa = nullptr;
    Mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}

// ---------------------------------------------------------------------------
// Probes of user-mode ranges
// ---------------------------------------------------------------------------
NTSTATUS KpProbeForRead(const volatile void* Address, SIZE_T Length, ULONG Alignment) {
    return Probe(Address, Length, Alignment);
}

NTSTATUS KpProbeForWrite(volatile void* Address, SIZE_T Length, ULONG Alignment) {
    return Probe(Address, Length, Alignment);
}

VOID ProbeForRead(const volatile void* Address, SIZE_T Length, ULONG Alignment) {
    NTSTATUS status = Probe(Address, Length, Alignment);
    if (!NT_SUCCESS(status)) Raise(status, "ProbeForRead", const_cast<const void*>(Address));
}

VOID ProbeForWrite(volatile void* Address, SIZE_T Length, ULONG Alignment) {
    NTSTATUS status = Probe(Address, Length, Alignment);
    if (!NT_SUCCESS(status)) Raise(status, "ProbeForWrite", const_cast<const void*>(Address));
}

// ---------------------------------------------------------------------------
// Application memory
// ---------------------------------------------------------------------------
namespace {
// A freed block of `mappedSize` bytes opened and cleared for `bytes`, or null
// when none is kept.  Caller holds g_lock.
char* ReuseSpareBlock(SIZE_T bytes, SIZE_T mappedSize) {
    auto spare = g_spareBlocks.find(mappedSize);
    if (spare == g_spareBlocks.end()) return nullptr;
    UserBlock block = std::move(spare->second);
    g_spareBlocks.erase(spare);
    g_spareBytes -= block.MappedSize;
    int protection = g_userAccessible ? PROT_READ | PROT_WRITE : PROT_NONE;
    if (mprotect(block.PrivateView, block.MappedSize, PROT_READ | PROT_WRITE) != 0 ||
        mprotect(block.UserView, block.MappedSize, protection) != 0) {
        ReleaseBlock(block);
        return nullptr;
    }
    std::memset(block.PrivateView, 0, block.MappedSize);
    block.Size = bytes;
    char* user = block.UserView;
    g_userBlocks[reinterpret_cast<uintptr_t>(user)] = std::move(block);
    return user;
}
}  // namespace

PVOID KpUserAlloc(SIZE_T Bytes) {
    if (Bytes == 0) return nullptr;
    UserBlock block;
    block.Size = Bytes;
    block.MappedSize = (Bytes + kPageMask) & ~kPageMask;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (char* reused = ReuseSpareBlock(Bytes, block.MappedSize)) return reused;
    }
    block.Fd = memfd_create("kp-user", MFD_CLOEXEC);
    if (block.Fd < 0) return nullptr;
    if (ftruncate(block.Fd, static_cast<off_t>(block.MappedSize)) != 0) {
        close(block.Fd);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    int protection = g_userAccessible ? PROT_READ | PROT_WRITE : PROT_NONE;
    void* user = mmap(nullptr, block.MappedSize, protection, MAP_SHARED, block.Fd, 0);
    void* priv = mmap(nullptr, block.MappedSize, PROT_READ | PROT_WRITE, MAP_SHARED, block.Fd, 0);
    if (user == MAP_FAILED || priv == MAP_FAILED) {
        if (user != MAP_FAILED) munmap(user, block.MappedSize);
        if (priv != MAP_FAILED) munmap(priv, block.MappedSize);
        close(block.Fd);
        return nullptr;
    }
    block.UserView = static_cast<char*>(user);
    block.PrivateView = static_cast<char*>(priv);
    g_userBlocks[reinterpret_cast<uintptr_t>(user)] = block;
    return user;
}

void KpUserFree(PVOID Address) {
    if (Address == nullptr) return;
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_userBlocks.find(reinterpret_cast<uintptr_t>(Address));
    if (it == g_userBlocks.end())
        KpBugCheck(KP_BUGCHECK_BAD_POOL_CALLER, "KpUserFree: %p is no application block", Address);
    if (it->second.LockedMdls != 0) {
        KpBugCheck(KP_BUGCHECK_DRIVER_VERIFIER,
                   "KpUserFree: block %p is freed with %u MDLs still locking it:\n%s", Address,
                   it->second.LockedMdls, DescribeLocks(&it->second).c_str());
    }
    UserBlock block = std::move(it->second);
    g_userBlocks.erase(it);
    if (g_spareBytes + block.MappedSize <= kSpareBlockBytes &&
        mprotect(block.UserView, block.MappedSize, PROT_NONE) == 0 &&
        mprotect(block.PrivateView, block.MappedSize, PROT_NONE) == 0) {
        g_spareBytes += block.MappedSize;
        g_spareBlocks.emplace(block.MappedSize, std::move(block));
        return;
    }
    ReleaseBlock(block);
}

ULONG KpUserLockedMdlCount(const void* Address) {
    std::lock_guard<std::mutex> guard(g_lock);
    UserBlock* block = FindUserBlock(Address, 1);
    return block != nullptr ? block->LockedMdls : 0;
}

BOOLEAN KpIsUserAddress(const void* Address, SIZE_T Length) {
    std::lock_guard<std::mutex> guard(g_lock);
    return FindUserBlock(Address, Length) != nullptr;
}

void KpSetUserMemoryAccessible(BOOLEAN Accessible) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_userAccessible = Accessible != FALSE;
    for (auto& [start, block] : g_userBlocks) {
        mprotect(block.UserView, block.MappedSize,
                 g_userAccessible ? PROT_READ | PROT_WRITE : PROT_NONE);
    }
}

BOOLEAN KpIsSystemMapping(const void* Address) {
    auto a = reinterpret_cast<uintptr_t>(Address);
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_systemViews.upper_bound(a);
    if (it == g_systemViews.begin()) return FALSE;
    --it;
    return a - it->first < it->second;
}

ULONG KpIoLiveMdlCount(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    return static_cast<ULONG>(g_mdls.size());
}

ULONG KpMmLiveSystemMappingCount(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    return static_cast<ULONG>(g_systemViews.size());
}
