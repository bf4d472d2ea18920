// Root names, text conversions and the path-based helpers over the machine's store.

#include "store_internal.h"

namespace kp::reg {

// ---------------------------------------------------------------------------
// Roots
// ---------------------------------------------------------------------------
namespace {

std::u16string CurrentUserPath() {
    return std::u16string(kUsersPath) + u"\\" + std::u16string(kCurrentUserSid);
}

std::optional<std::u16string> ExactRootPath(std::u16string_view rootName) {
    if (NamesEqual(rootName, u"HKEY_LOCAL_MACHINE")) return std::u16string(kMachinePath);
    if (NamesEqual(rootName, u"HKEY_USERS")) return std::u16string(kUsersPath);
    if (NamesEqual(rootName, u"HKEY_CURRENT_USER")) return CurrentUserPath();
    if (NamesEqual(rootName, u"HKEY_CLASSES_ROOT"))
        return std::u16string(kMachinePath) + u"\\Software\\Classes";
    if (NamesEqual(rootName, u"HKEY_CURRENT_CONFIG"))
        return std::u16string(kMachinePath) +
               u"\\System\\CurrentControlSet\\Hardware Profiles\\Current";
    return std::nullopt;
}

}  // namespace

std::optional<std::u16string> RootKeyPath(std::u16string_view rootName) {
    return ExactRootPath(rootName);
}

std::optional<std::u16string> KernelPathFromRegPath(std::u16string_view regPath) {
    const size_t slash = regPath.find(u'\\');
    std::optional<std::u16string> path = ExactRootPath(regPath.substr(0, slash));
    if (path && slash != std::u16string_view::npos) *path += regPath.substr(slash);
    return path;
}

std::optional<std::u16string> RegPathFromKernelPath(std::u16string_view kernelPath) {
    for (const auto& [prefix, root] :
         {std::pair{kMachinePath, std::u16string_view(u"HKEY_LOCAL_MACHINE")},
          std::pair{kUsersPath, std::u16string_view(u"HKEY_USERS")}}) {
        if (kernelPath.size() < prefix.size() ||
            !NamesEqual(kernelPath.substr(0, prefix.size()), prefix))
            continue;
        const std::u16string_view rest = kernelPath.substr(prefix.size());
        if (!rest.empty() && rest[0] != u'\\') continue;
        return std::u16string(root) + std::u16string(rest);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------
std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {  // unpaired surrogates included
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool Utf8ToUtf16(std::string_view text, std::u16string* out) {
    out->clear();
    out->reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length;
        uint32_t c;
        uint32_t minimum;
        if (lead < 0x80) {
            length = 1, c = lead, minimum = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, c = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, c = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, c = lead & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            c = (c << 6) | (next & 0x3F);
        }
        if (c < minimum || c > 0x10FFFF) return false;
        if (c >= 0x10000) {
            out->push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(c));
        }
        i += length;
    }
    return true;
}

std::vector<uint8_t> StringBytes(std::u16string_view text) {
    std::vector<uint8_t> bytes((text.size() + 1) * sizeof(char16_t), 0);
    std::memcpy(bytes.data(), text.data(), text.size() * sizeof(char16_t));
    return bytes;
}

std::vector<uint8_t> MultiStringBytes(const std::vector<std::u16string>& strings) {
    std::u16string joined;
    for (const std::u16string& s : strings) {
        joined += s;
        joined += u'\0';
    }
    return StringBytes(joined);
}

namespace {
std::u16string UnitsOf(const std::vector<uint8_t>& data) {
    std::u16string units(data.size() / sizeof(char16_t), u'\0');
    std::memcpy(units.data(), data.data(), units.size() * sizeof(char16_t));
    return units;
}
}  // namespace

std::u16string StringFromBytes(const std::vector<uint8_t>& data) {
    std::u16string units = UnitsOf(data);
    const size_t end = units.find(u'\0');
    if (end != std::u16string::npos) units.resize(end);
    return units;
}

std::vector<std::u16string> MultiStringFromBytes(const std::vector<uint8_t>& data) {
    const std::u16string units = UnitsOf(data);
    std::vector<std::u16string> strings;
    size_t start = 0;
    while (start < units.size()) {
        size_t end = units.find(u'\0', start);
        if (end == std::u16string::npos) end = units.size();
        if (end == start) break;  // the empty string that ends the list
        strings.emplace_back(units.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

// ---------------------------------------------------------------------------
// Path-based helpers on the machine's store
// ---------------------------------------------------------------------------
namespace {

KeyRef OpenPath(std::u16string_view path) {
    KeyRef key;
    return NT_SUCCESS(Machine().OpenKey(nullptr, path, &key)) ? key : nullptr;
}

NTSTATUS CreatePath(std::u16string_view path, KeyRef* key) {
    CreateKeyOptions options;
    options.CreateIntermediate = true;
    return Machine().CreateKey(nullptr, path, options, key);
}

}  // namespace

NTSTATUS CreateKeyPath(std::u16string_view path) {
    KeyRef key;
    return CreatePath(path, &key);
}

bool KeyExists(std::u16string_view path) {
    return OpenPath(path) != nullptr;
}

NTSTATUS SetValue(std::u16string_view path, std::u16string_view name, ULONG type, const void* data,
                  size_t size) {
    KeyRef key;
    const NTSTATUS status = CreatePath(path, &key);
    return NT_SUCCESS(status) ? Machine().SetValue(key, name, type, data, size) : status;
}

NTSTATUS SetDword(std::u16string_view path, std::u16string_view name, ULONG value) {
    return SetValue(path, name, REG_DWORD, &value, sizeof(value));
}

NTSTATUS SetQword(std::u16string_view path, std::u16string_view name, ULONGLONG value) {
    return SetValue(path, name, REG_QWORD, &value, sizeof(value));
}

NTSTATUS SetString(std::u16string_view path, std::u16string_view name, std::u16string_view text,
                   ULONG type) {
    const std::vector<uint8_t> bytes = StringBytes(text);
    return SetValue(path, name, type, bytes.data(), bytes.size());
}

NTSTATUS SetMultiString(std::u16string_view path, std::u16string_view name,
                        const std::vector<std::u16string>& strings) {
    const std::vector<uint8_t> bytes = MultiStringBytes(strings);
    return SetValue(path, name, REG_MULTI_SZ, bytes.data(), bytes.size());
}

NTSTATUS SetBinary(std::u16string_view path, std::u16string_view name,
                   const std::vector<uint8_t>& data) {
    return SetValue(path, name, REG_BINARY, data.data(), data.size());
}

std::optional<ValueData> GetValue(std::u16string_view path, std::u16string_view name) {
    const KeyRef key = OpenPath(path);
    ValueData value;
    if (!key || !NT_SUCCESS(Machine().QueryValue(key, name, &value))) return std::nullopt;
    return value;
}

namespace {
// A value of a fixed-size type: only that type with exactly that many bytes counts.
template <typename T>
std::optional<T> GetFixed(std::u16string_view path, std::u16string_view name, ULONG type) {
    const std::optional<ValueData> value = GetValue(path, name);
    if (!value || value->Type != type || value->Data.size() != sizeof(T)) return std::nullopt;
    T result;
    std::memcpy(&result, value->Data.data(), sizeof(result));
    return result;
}
}  // namespace

std::optional<ULONG> GetDword(std::u16string_view path, std::u16string_view name) {
    return GetFixed<ULONG>(path, name, REG_DWORD);
}

std::optional<ULONGLONG> GetQword(std::u16string_view path, std::u16string_view name) {
    return GetFixed<ULONGLONG>(path, name, REG_QWORD);
}

std::optional<std::u16string> GetString(std::u16string_view path, std::u16string_view name) {
    const std::optional<ValueData> value = GetValue(path, name);
    if (!value || (value->Type != REG_SZ && value->Type != REG_EXPAND_SZ)) return std::nullopt;
    return StringFromBytes(value->Data);
}

std::optional<std::vector<std::u16string>> GetMultiString(std::u16string_view path,
                                                          std::u16string_view name) {
    const std::optional<ValueData> value = GetValue(path, name);
    if (!value || value->Type != REG_MULTI_SZ) return std::nullopt;
    return MultiStringFromBytes(value->Data);
}

namespace {
template <typename Record>
std::vector<std::u16string> NamesBelow(std::u16string_view path,
                                       NTSTATUS (Store::*enumerate)(const KeyRef&, ULONG, Record*)
                                           const) {
    std::vector<std::u16string> names;
    const KeyRef key = OpenPath(path);
    Record record;
    for (ULONG i = 0; key && NT_SUCCESS((Machine().*enumerate)(key, i, &record)); ++i)
        names.push_back(record.Name);
    return names;
}
}  // namespace

std::vector<std::u16string> SubKeyNames(std::u16string_view path) {
    return NamesBelow(path, &Store::EnumerateKey);
}

std::vector<std::u16string> ValueNames(std::u16string_view path) {
    return NamesBelow(path, &Store::EnumerateValue);
}

NTSTATUS DeleteValue(std::u16string_view path, std::u16string_view name) {
    const KeyRef key = OpenPath(path);
    return key ? Machine().DeleteValue(key, name) : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS DeleteTree(std::u16string_view path) {
    const KeyRef key = OpenPath(path);
    return key ? Machine().DeleteTree(key) : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // namespace kp::reg
