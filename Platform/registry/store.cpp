// The registry store: a tree of keys with typed values, one reader-writer lock
// per store.  Names compare by their upper-cased form and keep their own case.

#include <algorithm>
#include <chrono>
#include <iterator>

#include "store_internal.h"

namespace kp::reg {

namespace {

LONGLONG HostTimeSince1601() {
    using namespace std::chrono;
    const LONGLONG unix100ns =
        duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return unix100ns + 116444736000000000LL;  // 1601-01-01 to 1970-01-01 in 100 ns units
}

KeyRef NewKey(const Store::Impl* owner, std::u16string_view name, KeyNode* parent, LONGLONG now) {
    auto key = std::make_shared<KeyNode>();
    key->owner = owner;
    key->name = std::u16string(name);
    key->parent = parent;
    key->lastWrite = now;
    return key;
}

// Levels of a key path.  An absolute path (no base) must name "\Registry" first;
// that level is dropped, the walk starts at the root.
NTSTATUS SplitPath(bool absolute, std::u16string_view path,
                   std::vector<std::u16string_view>* levels) {
    levels->clear();
    if (absolute) {
        if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        path.remove_prefix(1);
    } else if (!path.empty() && path[0] == u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    if (path.empty()) return absolute ? STATUS_OBJECT_NAME_INVALID : STATUS_SUCCESS;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find(u'\\', start);
        const std::u16string_view level = path.substr(
            start, end == std::u16string_view::npos ? path.size() - start : end - start);
        if (!ValidKeyName(level)) return STATUS_OBJECT_NAME_INVALID;
        levels->push_back(level);
        if (end == std::u16string_view::npos) break;
        start = end + 1;
    }
    if (absolute) {
        if (!NamesEqual(levels->front(), u"Registry")) return STATUS_OBJECT_NAME_NOT_FOUND;
        levels->erase(levels->begin());
    }
    return STATUS_SUCCESS;
}

void MarkDeleted(KeyNode& key) {
    key.deleted = true;
    key.parent = nullptr;
    for (auto& [upName, child] : key.subkeys) MarkDeleted(*child);
    key.subkeys.clear();
    key.values.clear();
}

std::vector<NamedValue>::iterator FindValue(KeyNode& key, std::u16string_view name) {
    for (auto it = key.values.begin(); it != key.values.end(); ++it) {
        if (NamesEqual(it->Name, name)) return it;
    }
    return key.values.end();
}

ULONG Bytes(size_t chars) {
    return static_cast<ULONG>(chars * sizeof(char16_t));
}

}  // namespace

bool ValidKeyName(std::u16string_view name) {
    return !name.empty() && name.size() <= kMaxKeyNameChars &&
           name.find(u'\\') == std::u16string_view::npos &&
           name.find(u'\0') == std::u16string_view::npos;
}

// ---------------------------------------------------------------------------
// Store::Impl: the tree under the caller's lock
// ---------------------------------------------------------------------------
Store::Impl::Impl() : clock(&HostTimeSince1601) {
    const LONGLONG now = Now();
    root = NewKey(this, u"Registry", nullptr, now);
    machine = NewKey(this, u"Machine", root.get(), now);
    users = NewKey(this, u"User", root.get(), now);
    for (KeyNode* key : {root.get(), machine.get(), users.get()}) key->predefined = true;
    root->subkeys[Upcase(machine->name)] = machine;
    root->subkeys[Upcase(users->name)] = users;
}

LONGLONG Store::Impl::Now() const {
    return clock.load()();
}

NTSTATUS Store::Impl::CheckKey(const KeyRef& key) const {
    if (!key || key->owner != this) return STATUS_INVALID_HANDLE;
    return key->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

NTSTATUS Store::Impl::Open(const KeyRef& base, std::u16string_view path, KeyRef* key) const {
    if (base) {
        const NTSTATUS status = CheckKey(base);
        if (!NT_SUCCESS(status)) return status;
    }
    std::vector<std::u16string_view> levels;
    const NTSTATUS status = SplitPath(!base, path, &levels);
    if (!NT_SUCCESS(status)) return status;
    KeyRef at = base ? base : root;
    for (std::u16string_view level : levels) {
        const auto it = at->subkeys.find(Upcase(level));
        if (it == at->subkeys.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        at = it->second;
    }
    *key = std::move(at);
    return STATUS_SUCCESS;
}

NTSTATUS Store::Impl::Create(const KeyRef& base, std::u16string_view path,
                             const CreateKeyOptions& options, KeyRef* key, ULONG* disposition) {
    if (base) {
        const NTSTATUS status = CheckKey(base);
        if (!NT_SUCCESS(status)) return status;
    }
    std::vector<std::u16string_view> levels;
    NTSTATUS status = SplitPath(!base, path, &levels);
    if (!NT_SUCCESS(status)) return status;
    KeyRef at = base ? base : root;
    size_t found = 0;
    for (; found < levels.size(); ++found) {
        const auto it = at->subkeys.find(Upcase(levels[found]));
        if (it == at->subkeys.end()) break;
        at = it->second;
    }
    if (found == levels.size()) {
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
        *key = std::move(at);
        return STATUS_SUCCESS;
    }
    if (levels.size() - found > 1 && !options.CreateIntermediate)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (at == root)
        return STATUS_ACCESS_DENIED;  // only the machine and user roots live under "\Registry"
    if (at->isVolatile && !options.Volatile) return STATUS_CHILD_MUST_BE_VOLATILE;
    const LONGLONG now = Now();
    for (size_t i = found; i < levels.size(); ++i) {
        KeyRef child = NewKey(this, levels[i], at.get(), now);
        child->isVolatile = options.Volatile;
        if (i + 1 == levels.size()) child->className = std::u16string(options.Class);
        at->subkeys[Upcase(levels[i])] = child;
        at->lastWrite = now;
        at = std::move(child);
    }
    if (disposition) *disposition = REG_CREATED_NEW_KEY;
    *key = std::move(at);
    return STATUS_SUCCESS;
}

NTSTATUS Store::Impl::Set(const KeyRef& key, std::u16string_view name, ULONG type,
                          const uint8_t* data, size_t size) {
    const NTSTATUS status = CheckKey(key);
    if (!NT_SUCCESS(status)) return status;
    if (name.size() > kMaxValueNameChars) return STATUS_INVALID_PARAMETER;
    if (size != 0 && data == nullptr) return STATUS_INVALID_PARAMETER;
    if (key.get() == root.get()) return STATUS_ACCESS_DENIED;
    auto it = FindValue(*key, name);
    if (it == key->values.end()) {
        key->values.push_back(NamedValue{std::u16string(name), type, {}});
        it = key->values.end() - 1;
    }
    it->Type = type;
    it->Data.assign(data, data + size);
    key->lastWrite = Now();
    return STATUS_SUCCESS;
}

NTSTATUS Store::Impl::Remove(const KeyRef& key, bool tree) {
    const NTSTATUS status = CheckKey(key);
    if (!NT_SUCCESS(status)) return status;
    if (key->predefined || (!tree && !key->subkeys.empty())) return STATUS_CANNOT_DELETE;
    KeyNode* parent = key->parent;
    parent->subkeys.erase(Upcase(key->name));
    parent->lastWrite = Now();
    MarkDeleted(*key);
    return STATUS_SUCCESS;
}

NTSTATUS Store::Impl::RemoveValue(const KeyRef& key, std::u16string_view name) {
    const NTSTATUS status = CheckKey(key);
    if (!NT_SUCCESS(status)) return status;
    const auto it = FindValue(*key, name);
    if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    key->values.erase(it);
    key->lastWrite = Now();
    return STATUS_SUCCESS;
}

void Store::Impl::ClearAll() {
    for (KeyNode* top : {machine.get(), users.get()}) {
        for (auto& [upName, child] : top->subkeys) MarkDeleted(*child);
        top->subkeys.clear();
        top->values.clear();
        top->lastWrite = Now();
    }
    root->values.clear();
}

std::u16string Store::Impl::PathOf(const KeyNode& key) const {
    if (key.deleted) return key.name;
    std::u16string path;
    for (const KeyNode* at = &key; at; at = at->parent) path.insert(0, u"\\" + at->name);
    return path;
}

// ---------------------------------------------------------------------------
// Store: each member takes the lock
// ---------------------------------------------------------------------------
Store::Store() : impl_(std::make_unique<Impl>()) {}
Store::~Store() = default;

KeyRef Store::Root() const {
    return impl_->root;
}

NTSTATUS Store::OpenKey(const KeyRef& base, std::u16string_view path, KeyRef* key) const {
    std::shared_lock lock(impl_->mutex);
    return impl_->Open(base, path, key);
}

NTSTATUS Store::CreateKey(const KeyRef& base, std::u16string_view path,
                          const CreateKeyOptions& options, KeyRef* key, ULONG* disposition) {
    std::unique_lock lock(impl_->mutex);
    return impl_->Create(base, path, options, key, disposition);
}

NTSTATUS Store::DeleteKey(const KeyRef& key) {
    std::unique_lock lock(impl_->mutex);
    return impl_->Remove(key, false);
}

NTSTATUS Store::DeleteTree(const KeyRef& key) {
    std::unique_lock lock(impl_->mutex);
    return impl_->Remove(key, true);
}

NTSTATUS Store::SetValue(const KeyRef& key, std::u16string_view name, ULONG type, const void* data,
                         size_t size) {
    std::unique_lock lock(impl_->mutex);
    return impl_->Set(key, name, type, static_cast<const uint8_t*>(data), size);
}

NTSTATUS Store::QueryValue(const KeyRef& key, std::u16string_view name, NamedValue* value) const {
    std::shared_lock lock(impl_->mutex);
    const NTSTATUS status = impl_->CheckKey(key);
    if (!NT_SUCCESS(status)) return status;
    const auto it = FindValue(*key, name);
    if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    *value = *it;
    return STATUS_SUCCESS;
}

NTSTATUS Store::QueryValue(const KeyRef& key, std::u16string_view name, ValueData* value) const {
    NamedValue named;
    const NTSTATUS status = QueryValue(key, name, &named);
    if (NT_SUCCESS(status)) {
        value->Type = named.Type;
        value->Data = std::move(named.Data);
    }
    return status;
}

NTSTATUS Store::DeleteValue(const KeyRef& key, std::u16string_view name) {
    std::unique_lock lock(impl_->mutex);
    return impl_->RemoveValue(key, name);
}

NTSTATUS Store::EnumerateKey(const KeyRef& key, ULONG index, KeyInfo* info) const {
    KeyRef child;
    {
        std::shared_lock lock(impl_->mutex);
        const NTSTATUS status = impl_->CheckKey(key);
        if (!NT_SUCCESS(status)) return status;
        if (index >= key->subkeys.size()) return STATUS_NO_MORE_ENTRIES;
        child = std::next(key->subkeys.begin(), index)->second;
    }
    // A subkey deleted in between reports as deleted; callers enumerate again.
    return QueryKey(child, info);
}

NTSTATUS Store::EnumerateValue(const KeyRef& key, ULONG index, NamedValue* value) const {
    std::shared_lock lock(impl_->mutex);
    const NTSTATUS status = impl_->CheckKey(key);
    if (!NT_SUCCESS(status)) return status;
    if (index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
    *value = key->values[index];
    return STATUS_SUCCESS;
}

NTSTATUS Store::QueryKey(const KeyRef& key, KeyInfo* info) const {
    std::shared_lock lock(impl_->mutex);
    const NTSTATUS status = impl_->CheckKey(key);
    if (!NT_SUCCESS(status)) return status;
    KeyInfo result;
    result.Name = key->name;
    result.Class = key->className;
    result.LastWriteTime = key->lastWrite;
    result.Volatile = key->isVolatile;
    result.SubKeys = static_cast<ULONG>(key->subkeys.size());
    for (const auto& [upName, child] : key->subkeys) {
        result.MaxNameLen = std::max(result.MaxNameLen, Bytes(child->name.size()));
        result.MaxClassLen = std::max(result.MaxClassLen, Bytes(child->className.size()));
    }
    result.Values = static_cast<ULONG>(key->values.size());
    for (const NamedValue& value : key->values) {
        result.MaxValueNameLen = std::max(result.MaxValueNameLen, Bytes(value.Name.size()));
        result.MaxValueDataLen =
            std::max(result.MaxValueDataLen, static_cast<ULONG>(value.Data.size()));
    }
    *info = std::move(result);
    return STATUS_SUCCESS;
}

NTSTATUS Store::KeyPath(const KeyRef& key, std::u16string* path) const {
    std::shared_lock lock(impl_->mutex);
    const NTSTATUS status = impl_->CheckKey(key);
    if (!NT_SUCCESS(status)) return status;
    *path = impl_->PathOf(*key);
    return STATUS_SUCCESS;
}

bool Store::IsDeleted(const KeyRef& key) const {
    std::shared_lock lock(impl_->mutex);
    return key && key->deleted;
}

void Store::Clear() {
    std::unique_lock lock(impl_->mutex);
    impl_->ClearAll();
}

void Store::SetBackingFile(const std::filesystem::path& path) {
    std::unique_lock lock(impl_->mutex);
    impl_->backingFile = path;
}

bool Store::Flush(std::string* error) const {
    std::filesystem::path file;
    {
        std::shared_lock lock(impl_->mutex);
        file = impl_->backingFile;
    }
    return file.empty() || SaveFile(file, error);
}

void Store::SetClock(LONGLONG (*clock)()) {
    impl_->clock.store(clock ? clock : &HostTimeSince1601);
}

Store& Machine() {
    // Never destroyed: key handles and driver images may outlive static destruction.
    static Store* const machine = new Store();
    return *machine;
}

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------
char16_t Upcase(char16_t c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF) return 0x178;
    if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
        return static_cast<char16_t>(c & ~1u);
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
        return (c & 1u) ? c : static_cast<char16_t>(c - 1);
    if (c >= 0x3B1 && c <= 0x3C9)
        return c == 0x3C2 ? char16_t{0x3A3} : static_cast<char16_t>(c - 0x20);
    if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 0x20);
    return c;
}

std::u16string Upcase(std::u16string_view text) {
    std::u16string result(text);
    for (char16_t& c : result) c = Upcase(c);
    return result;
}

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Upcase(a[i]) != Upcase(b[i])) return false;
    }
    return true;
}

}  // namespace kp::reg
