// The host's registry store: one tree of keys and typed values shared by the
// kernel's Zw* calls, the I/O manager's device keys and, later, the user-mode
// Reg* calls of the tools.  Also the registry editor's .reg text form, in which
// a machine's registry is kept in its machine folder.
//
// Paths are kernel paths: "\Registry", "\Registry\Machine\...", "\Registry\User\...".
// "\Registry", "\Registry\Machine" and "\Registry\User" always exist and cannot be
// deleted.  Key and value names compare case-insensitively and keep the case they
// were created with.  Subkeys enumerate in the order of their upper-cased names;
// values in the order they were first set.  Values hold raw bytes of any type.
//
// Every Store member is thread-safe (one reader-writer lock per store).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ntdef.h"
#include "platform/zw.h"

namespace kp::reg {

class KeyNode;                            // one key of a store; opaque
using KeyRef = std::shared_ptr<KeyNode>;  // keeps a key object alive, not its place in the tree

inline constexpr std::u16string_view kRegistryPath = u"\\Registry";
inline constexpr std::u16string_view kMachinePath = u"\\Registry\\Machine";
inline constexpr std::u16string_view kUsersPath = u"\\Registry\\User";
// The one interactive user of the simulated machine; HKEY_CURRENT_USER is
// "\Registry\User\<this>".
inline constexpr std::u16string_view kCurrentUserSid =
    u"S-1-5-21-1000000000-1000000000-1000000000-1000";

inline constexpr size_t kMaxKeyNameChars = 255;
inline constexpr size_t kMaxValueNameChars = 16383;

struct ValueData {
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Data;
};

struct NamedValue {
    std::u16string Name;  // empty for the key's default value
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Data;
};

// What a key says of itself.  Lengths are in bytes, as the kernel reports them.
struct KeyInfo {
    std::u16string Name;   // the key's own name, original case
    std::u16string Class;  // class text given at creation, usually empty
    LONGLONG LastWriteTime = 0;
    bool Volatile = false;
    ULONG SubKeys = 0;
    ULONG MaxNameLen = 0;
    ULONG MaxClassLen = 0;
    ULONG Values = 0;
    ULONG MaxValueNameLen = 0;
    ULONG MaxValueDataLen = 0;
};

struct CreateKeyOptions {
    bool Volatile = false;  // not saved to the machine file; children must be volatile too
    bool CreateIntermediate = false;  // create missing parents too (else they must exist)
    std::u16string_view Class;        // class text of a newly created key
};

struct ExportOptions {
    std::u16string_view RootPath;  // kernel path of the branch to write; empty: the whole store
    bool IncludeVolatile = true;
};

enum class TextEncoding { Utf8, Utf16Le };

class Store {
public:
    Store();
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    KeyRef Root() const;  // "\Registry"

    // Opens the key at `path` below `base`; with a null base `path` is absolute
    // ("\Registry\..."). An empty relative path gives `base` itself.
    // STATUS_OBJECT_NAME_NOT_FOUND when a level is missing,
    // STATUS_OBJECT_NAME_INVALID for an empty component or a trailing backslash,
    // STATUS_OBJECT_PATH_SYNTAX_BAD for an absolute path under a base or a relative
    // one without, STATUS_KEY_DELETED when base was deleted.
    NTSTATUS OpenKey(const KeyRef& base, std::u16string_view path, KeyRef* key) const;
    // Opens or creates; the parent of the last level must exist unless
    // options.CreateIntermediate.  disposition (optional) gets REG_CREATED_NEW_KEY
    // or REG_OPENED_EXISTING_KEY.
    NTSTATUS CreateKey(const KeyRef& base, std::u16string_view path,
                       const CreateKeyOptions& options, KeyRef* key, ULONG* disposition = nullptr);
    // Deletes a key without subkeys (STATUS_CANNOT_DELETE otherwise, and for the
    // roots).  Open references see STATUS_KEY_DELETED from then on.
    NTSTATUS DeleteKey(const KeyRef& key);
    // Deletes a key with everything below it.
    NTSTATUS DeleteTree(const KeyRef& key);

    NTSTATUS SetValue(const KeyRef& key, std::u16string_view name, ULONG type, const void* data,
                      size_t size);
    NTSTATUS QueryValue(const KeyRef& key, std::u16string_view name, ValueData* value) const;
    NTSTATUS QueryValue(const KeyRef& key, std::u16string_view name,
                        NamedValue* value) const;  // with its stored name
    NTSTATUS DeleteValue(const KeyRef& key, std::u16string_view name);
    // STATUS_NO_MORE_ENTRIES past the last subkey / value.
    NTSTATUS EnumerateKey(const KeyRef& key, ULONG index, KeyInfo* info) const;
    NTSTATUS EnumerateValue(const KeyRef& key, ULONG index, NamedValue* value) const;
    NTSTATUS QueryKey(const KeyRef& key, KeyInfo* info) const;
    NTSTATUS KeyPath(const KeyRef& key,
                     std::u16string* path) const;  // "\Registry\..." in original case
    bool IsDeleted(const KeyRef& key) const;

    // Removes every key and value but the roots; open references see their keys deleted.
    void Clear();

    // .reg text ("Windows Registry Editor Version 5.00").  Import parses the whole
    // text before it changes anything; a syntax error names its line.  Sections
    // "[-...]" delete a branch and "name"=- deletes a value.
    bool ImportText(std::u16string_view text, std::string* error);
    // Writes keys depth first (subkeys in enumeration order), each with its
    // values; lines end in CR LF.  Fails for names the format cannot carry
    // (line breaks, NUL).  Export then import gives back the same tree and export
    // of that the same text.
    bool ExportText(std::u16string* text, std::string* error,
                    const ExportOptions& options = {}) const;

    // Replace the whole store with a .reg file (UTF-8, or UTF-16LE with its byte
    // order mark) / write it (volatile keys left out).  The store is unchanged
    // when loading fails; saving writes a temporary file and renames it.
    bool LoadFile(const std::filesystem::path& path, std::string* error);
    bool SaveFile(const std::filesystem::path& path, std::string* error,
                  TextEncoding encoding = TextEncoding::Utf8) const;
    // The file that Flush writes (ZwFlushKey); none by default, Flush then has nothing to do.
    void SetBackingFile(const std::filesystem::path& path);
    bool Flush(std::string* error) const;

    // Time source of the keys' last-write times, in 100 ns units; default: the host's
    // real time since 1601.
    void SetClock(LONGLONG (*clock)());

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// The machine's registry: the one store behind Zw*, IoOpenDeviceRegistryKey and Reg*.
Store& Machine();

// ---------------------------------------------------------------------------
// Names, roots and text
// ---------------------------------------------------------------------------
// One-to-one upper-casing of a UTF-16 code unit (Latin, Greek, Cyrillic, full-width).
char16_t Upcase(char16_t c);
std::u16string Upcase(std::u16string_view text);
bool NamesEqual(std::u16string_view a, std::u16string_view b);

// "HKEY_LOCAL_MACHINE", "HKEY_USERS", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT",
// "HKEY_CURRENT_CONFIG" (any case) -> the kernel path of that root.
std::optional<std::u16string> RootKeyPath(std::u16string_view rootName);
// "HKEY_LOCAL_MACHINE\Software\X" -> "\Registry\Machine\Software\X", and back
// (the reverse uses HKEY_LOCAL_MACHINE and HKEY_USERS only).
std::optional<std::u16string> KernelPathFromRegPath(std::u16string_view regPath);
std::optional<std::u16string> RegPathFromKernelPath(std::u16string_view kernelPath);

// UTF-8 <-> UTF-16.  Unpaired surrogates travel as three-byte sequences so that
// any 16-bit text survives a round trip.  Utf8ToUtf16 fails on malformed input.
std::string Utf16ToUtf8(std::u16string_view text);
bool Utf8ToUtf16(std::string_view text, std::u16string* out);

// Raw bytes of string values: REG_SZ text with its terminator; REG_MULTI_SZ each
// string terminated plus one more terminator.
std::vector<uint8_t> StringBytes(std::u16string_view text);
std::vector<uint8_t> MultiStringBytes(const std::vector<std::u16string>& strings);
std::u16string StringFromBytes(const std::vector<uint8_t>& data);  // up to the first terminator
std::vector<std::u16string> MultiStringFromBytes(const std::vector<uint8_t>& data);

// ---------------------------------------------------------------------------
// Path-based helpers on Machine() for tests, the PnP manager and set-up code.
// Writers create the key (with its parents) when it is missing.
// ---------------------------------------------------------------------------
NTSTATUS CreateKeyPath(std::u16string_view path);
bool KeyExists(std::u16string_view path);
NTSTATUS SetValue(std::u16string_view path, std::u16string_view name, ULONG type, const void* data,
                  size_t size);
NTSTATUS SetDword(std::u16string_view path, std::u16string_view name, ULONG value);
NTSTATUS SetQword(std::u16string_view path, std::u16string_view name, ULONGLONG value);
NTSTATUS SetString(std::u16string_view path, std::u16string_view name, std::u16string_view text,
                   ULONG type = REG_SZ);
NTSTATUS SetMultiString(std::u16string_view path, std::u16string_view name,
                        const std::vector<std::u16string>& strings);
NTSTATUS SetBinary(std::u16string_view path, std::u16string_view name,
                   const std::vector<uint8_t>& data);
std::optional<ValueData> GetValue(std::u16string_view path, std::u16string_view name);
std::optional<ULONG> GetDword(std::u16string_view path,
                              std::u16string_view name);  // REG_DWORD of 4 bytes only
std::optional<ULONGLONG> GetQword(std::u16string_view path,
                                  std::u16string_view name);  // REG_QWORD of 8 bytes only
std::optional<std::u16string> GetString(std::u16string_view path,
                                        std::u16string_view name);  // REG_SZ / REG_EXPAND_SZ
std::optional<std::vector<std::u16string>> GetMultiString(std::u16string_view path,
                                                          std::u16string_view name);
std::vector<std::u16string> SubKeyNames(std::u16string_view path);  // empty when the key is missing
std::vector<std::u16string> ValueNames(std::u16string_view path);
NTSTATUS DeleteValue(std::u16string_view path, std::u16string_view name);
NTSTATUS DeleteTree(std::u16string_view path);

}  // namespace kp::reg

// ---------------------------------------------------------------------------
// Kernel key handles over the store (the I/O manager's device keys, tests).
// ---------------------------------------------------------------------------
// Opens the key at an absolute kernel path and returns a key handle granted
// `access` (generic rights mapped); `create` also creates missing levels.
// NULL with *status set on failure.  The caller closes it with ZwClose.
HANDLE KpRegOpenKeyHandle(std::u16string_view path, ACCESS_MASK access, bool create,
                          NTSTATUS* status);
// A key handle for a key the caller already holds.
HANDLE KpRegCreateKeyHandle(const kp::reg::KeyRef& key, ACCESS_MASK access);
// The key and granted access behind a key handle; null for anything else.
kp::reg::KeyRef KpRegKeyFromHandle(HANDLE handle, ACCESS_MASK* grantedAccess);
// Key handles now open (for leak checks).
ULONG KpRegOpenKeyHandleCount();
