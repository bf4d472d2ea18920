// The store's own view of its keys, shared by the tree and the .reg text code.
#pragma once

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <shared_mutex>

#include "kp/registry.h"

namespace kp::reg {

// One key.  Every field is guarded by the owning store's lock.
class KeyNode {
public:
    const Store::Impl* owner = nullptr;
    std::u16string name;                       // original case
    std::u16string className;                  // class text given at creation
    KeyNode* parent = nullptr;                 // null for "\Registry" and for deleted keys
    std::map<std::u16string, KeyRef> subkeys;  // by upper-cased name: enumeration order
    std::vector<NamedValue> values;            // in the order first set
    LONGLONG lastWrite = 0;
    bool isVolatile = false;
    bool predefined = false;  // "\Registry", "\Registry\Machine", "\Registry\User"
    bool deleted = false;
};

// Check that a name can be one level of a key path.
bool ValidKeyName(std::u16string_view name);

struct Store::Impl {
    mutable std::shared_mutex mutex;
    KeyRef root;     // "\Registry"
    KeyRef machine;  // "\Registry\Machine"
    KeyRef users;    // "\Registry\User"
    std::atomic<LONGLONG (*)()> clock;
    std::filesystem::path backingFile;  // guarded by mutex

    Impl();
    LONGLONG Now() const;

    // The routines below expect the lock to be held by the caller.
    NTSTATUS CheckKey(const KeyRef& key)
        const;  // null/foreign: STATUS_INVALID_HANDLE; deleted: STATUS_KEY_DELETED
    NTSTATUS Open(const KeyRef& base, std::u16string_view path, KeyRef* key) const;
    NTSTATUS Create(const KeyRef& base, std::u16string_view path, const CreateKeyOptions& options,
                    KeyRef* key, ULONG* disposition);
    NTSTATUS Set(const KeyRef& key, std::u16string_view name, ULONG type, const uint8_t* data,
                 size_t size);
    NTSTATUS Remove(const KeyRef& key, bool tree);
    NTSTATUS RemoveValue(const KeyRef& key, std::u16string_view name);
    void ClearAll();
    std::u16string PathOf(const KeyNode& key) const;
};

}  // namespace kp::reg
