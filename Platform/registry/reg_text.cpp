// The registry editor's .reg text: import, export and the machine's registry file.
//
// Layout written (and read back exactly):
//   Windows Registry Editor Version 5.00
//   <blank>
//   [HKEY_LOCAL_MACHINE\Software\Korvane]      one section per key, parents first
//   "Name"="text"                              REG_SZ that ends in its one terminator
//   @="text"                                   the default value
//   "Count"=dword:0000000a                     REG_DWORD of 4 bytes
//   "Blob"=hex:01,02,...                       REG_BINARY
//   "Path"=hex(2):25,00,...                    any other type, or a value the forms above cannot
//   carry <blank>
// Backslash and quote are escaped in names and text; hex lines are wrapped at 80
// columns with ",\" and continue indented by two spaces.  The roots
// "\Registry\Machine" and "\Registry\User" get a section only when they hold values.

#include <cstdio>
#include <fstream>
#include <sstream>

#include "store_internal.h"

namespace kp::reg {

namespace {

constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kLineEnd = u"\r\n";
constexpr size_t kWrapColumn = 77;  // a hex line breaks once ",\" would pass column 80

std::string Narrow(std::u16string_view text) {
    return Utf16ToUtf8(text);
}

std::string StatusText(NTSTATUS status) {
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "0x%08X", static_cast<unsigned>(status));
    return buffer;
}

// ---------------------------------------------------------------------------
// Export
// ---------------------------------------------------------------------------
bool Writable(std::u16string_view name) {
    return name.find_first_of(u"\r\n", 0, 3) == std::u16string_view::npos;
}

std::u16string Escape(std::u16string_view text) {
    std::u16string out;
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"') out += u'\\';
        out += c;
    }
    return out;
}

// REG_SZ data that "text" gives back byte for byte: whole units, one terminator at the end.
bool PlainString(const NamedValue& value, std::u16string* text) {
    if (value.Type != REG_SZ || value.Data.size() < 2 || value.Data.size() % 2 != 0) return false;
    *text =
        std::u16string(reinterpret_cast<const char16_t*>(value.Data.data()), value.Data.size() / 2);
    if (text->back() != u'\0') return false;
    text->pop_back();
    return text->find_first_of(u"\r\n", 0, 3) == std::u16string::npos;
}

std::u16string Hex(uint64_t value, int digits) {
    static const char16_t kDigits[] = u"0123456789abcdef";
    std::u16string out;
    do {
        out.insert(out.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (--digits > 0 || value != 0);
    return out;
}

void WriteValue(const NamedValue& value, std::u16string* out) {
    std::u16string line = value.Name.empty() ? u"@" : u"\"" + Escape(value.Name) + u"\"";
    line += u'=';
    std::u16string text;
    if (PlainString(value, &text)) {
        line += u"\"" + Escape(text) + u"\"";
    } else if (value.Type == REG_DWORD && value.Data.size() == 4) {
        ULONG dword;
        std::memcpy(&dword, value.Data.data(), sizeof(dword));
        line += u"dword:" + Hex(dword, 8);
    } else {
        line += value.Type == REG_BINARY ? u"hex:" : u"hex(" + Hex(value.Type, 1) + u"):";
        size_t column = line.size();
        for (size_t i = 0; i < value.Data.size(); ++i) {
            line += Hex(value.Data[i], 2);
            column += 2;
            if (i + 1 == value.Data.size()) break;
            line += u',';
            if (++column >= kWrapColumn) {
                line += u"\\\r\n  ";
                column = 2;
            }
        }
    }
    *out += line;
    *out += kLineEnd;
}

struct Exporter {
    const ExportOptions& options;
    std::u16string* out;
    std::string* error;

    bool Branch(const KeyNode& key, const std::u16string& regPath) {
        if (key.isVolatile && !options.IncludeVolatile) return true;
        if (!key.predefined || !key.values.empty()) {
            *out += u"[" + regPath + u"]";
            *out += kLineEnd;
            for (const NamedValue& value : key.values) {
                if (!Writable(value.Name) || value.Name.find(u'\0') != std::u16string::npos) {
                    *error =
                        "value name of key " + Narrow(regPath) + " cannot be written in .reg text";
                    return false;
                }
                WriteValue(value, out);
            }
            *out += kLineEnd;
        }
        for (const auto& [upName, child] : key.subkeys) {
            if (!Writable(child->name)) {
                *error = "a subkey name of " + Narrow(regPath) + " cannot be written in .reg text";
                return false;
            }
            if (!Branch(*child, regPath + u"\\" + child->name)) return false;
        }
        return true;
    }
};

// ---------------------------------------------------------------------------
// Import: the whole text is parsed into steps first, then applied under one lock.
// ---------------------------------------------------------------------------
struct Step {
    enum class Kind { OpenKey, DeleteBranch, SetValue, DeleteValue } kind;
    size_t line;
    std::u16string path;  // kernel path, for OpenKey / DeleteBranch
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && NamesEqual(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool ParseHexNumber(std::u16string_view digits, size_t maxDigits, uint32_t* value) {
    if (digits.empty() || digits.size() > maxDigits) return false;
    *value = 0;
    for (char16_t c : digits) {
        const int d = HexDigit(c);
        if (d < 0) return false;
        *value = (*value << 4) | static_cast<uint32_t>(d);
    }
    return true;
}

class Parser {
public:
    Parser(std::u16string_view text, std::vector<Step>* steps, std::string* error)
        : steps_(steps), error_(error) {
        if (!text.empty() && text[0] == u'\xFEFF') text.remove_prefix(1);
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find_first_of(u"\r\n", start, 2);
            if (end == std::u16string_view::npos) end = text.size();
            lines_.push_back(text.substr(start, end - start));
            if (end == text.size()) break;
            start =
                end +
                ((text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n') ? 2 : 1);
        }
    }

    bool Run() {
        size_t i = 0;
        while (i < lines_.size() && Trim(lines_[i]).empty()) ++i;
        if (i == lines_.size() || Trim(lines_[i]) != kHeader)
            return Fail(i == lines_.size() ? 0 : i,
                        "missing \"Windows Registry Editor Version 5.00\"");
        for (++i; i < lines_.size(); ++i) {
            const std::u16string_view line = Trim(lines_[i]);
            if (line.empty() || line[0] == u';') continue;
            const bool ok = line[0] == u'['                        ? Section(i, line)
                            : (line[0] == u'"' || line[0] == u'@') ? Value(&i, line)
                                                                   : Fail(i, "unexpected line");
            if (!ok) return false;
        }
        return true;
    }

private:
    bool Fail(size_t line, const std::string& why) {
        *error_ = "line " + std::to_string(line + 1) + ": " + why;
        return false;
    }

    bool Section(size_t line, std::u16string_view text) {
        if (text.size() < 3 || text.back() != u']') return Fail(line, "malformed key section");
        std::u16string_view regPath = text.substr(1, text.size() - 2);
        const bool remove = regPath[0] == u'-';
        if (remove) regPath.remove_prefix(1);
        std::optional<std::u16string> path = KernelPathFromRegPath(regPath);
        if (!path) return Fail(line, "unknown root key in " + Narrow(regPath));
        const size_t slash = regPath.find(u'\\');
        for (size_t start = slash; start != std::u16string_view::npos;) {
            const size_t end = regPath.find(u'\\', start + 1);
            const std::u16string_view level = regPath.substr(
                start + 1,
                end == std::u16string_view::npos ? std::u16string_view::npos : end - start - 1);
            if (!ValidKeyName(level)) return Fail(line, "invalid key name in " + Narrow(regPath));
            start = end;
        }
        steps_->push_back(Step{remove ? Step::Kind::DeleteBranch : Step::Kind::OpenKey,
                               line,
                               std::move(*path),
                               {},
                               REG_NONE,
                               {}});
        inKey_ = !remove;
        return true;
    }

    // A quoted text with \\ and \" escapes; `pos` is at the opening quote and ends behind the
    // closing one.
    bool Quoted(size_t line, std::u16string_view text, size_t* pos, std::u16string* out) {
        out->clear();
        for (size_t i = *pos + 1; i < text.size(); ++i) {
            if (text[i] == u'"') {
                *pos = i + 1;
                return true;
            }
            if (text[i] == u'\\') {
                if (i + 1 == text.size() || (text[i + 1] != u'\\' && text[i + 1] != u'"'))
                    return Fail(line, "unknown escape in quoted text");
                ++i;
            }
            *out += text[i];
        }
        return Fail(line, "unterminated quoted text");
    }

    bool Value(size_t* index, std::u16string_view text) {
        const size_t line = *index;
        if (!inKey_) return Fail(line, "value outside a key section");
        Step step{Step::Kind::SetValue, line, {}, {}, REG_NONE, {}};
        size_t pos = 1;
        if (text[0] == u'"' && !Quoted(line, text, &(pos = 0), &step.name)) return false;
        if (step.name.size() > kMaxValueNameChars) return Fail(line, "value name too long");
        std::u16string_view rest = Trim(text.substr(pos));
        if (rest.empty() || rest[0] != u'=') return Fail(line, "expected '=' after the value name");
        rest = Trim(rest.substr(1));
        if (rest == u"-") {
            step.kind = Step::Kind::DeleteValue;
        } else if (!rest.empty() && rest[0] == u'"') {
            std::u16string textValue;
            size_t end = 0;
            if (!Quoted(line, rest, &end, &textValue)) return false;
            if (end != rest.size()) return Fail(line, "text after the closing quote");
            step.type = REG_SZ;
            step.data = StringBytes(textValue);
        } else if (StartsWithNoCase(rest, u"dword:")) {
            uint32_t dword;
            if (!ParseHexNumber(rest.substr(6), 8, &dword)) return Fail(line, "malformed dword");
            step.type = REG_DWORD;
            step.data.resize(4);
            std::memcpy(step.data.data(), &dword, 4);
        } else if (StartsWithNoCase(rest, u"hex")) {
            if (!HexValue(index, rest.substr(3), &step)) return false;
        } else {
            return Fail(line, "unrecognised value data");
        }
        steps_->push_back(std::move(step));
        return true;
    }

    // `text` follows "hex": ":" or "(type):", then bytes, continued on the next
    // lines while a line ends with a backslash.
    bool HexValue(size_t* index, std::u16string_view text, Step* step) {
        const size_t line = *index;
        step->type = REG_BINARY;
        if (!text.empty() && text[0] == u'(') {
            const size_t close = text.find(u')');
            uint32_t type;
            if (close == std::u16string_view::npos ||
                !ParseHexNumber(text.substr(1, close - 1), 8, &type))
                return Fail(line, "malformed hex(type)");
            step->type = type;
            text.remove_prefix(close + 1);
        }
        if (text.empty() || text[0] != u':') return Fail(line, "expected ':' after hex");
        std::u16string bytes(Trim(text.substr(1)));
        while (!bytes.empty() && bytes.back() == u'\\') {
            bytes.pop_back();
            if (++*index == lines_.size()) return Fail(line, "continuation at the end of the text");
            bytes += Trim(lines_[*index]);
        }
        const std::u16string_view all = Trim(bytes);
        for (size_t start = 0; !all.empty() && start <= all.size();) {
            size_t end = all.find(u',', start);
            if (end == std::u16string_view::npos) end = all.size();
            uint32_t byte;
            if (!ParseHexNumber(Trim(all.substr(start, end - start)), 2, &byte))
                return Fail(line, "malformed hex byte");
            step->data.push_back(static_cast<uint8_t>(byte));
            start = end + 1;
        }
        return true;
    }

    std::vector<std::u16string_view> lines_;
    std::vector<Step>* steps_;
    std::string* error_;
    bool inKey_ = false;
};

// Applies parsed steps; the caller holds the store's lock.
bool Apply(Store::Impl& impl, const std::vector<Step>& steps, std::string* error) {
    KeyRef current;
    CreateKeyOptions options;
    options.CreateIntermediate = true;
    for (const Step& step : steps) {
        NTSTATUS status = STATUS_SUCCESS;
        switch (step.kind) {
            case Step::Kind::OpenKey:
                status = impl.Create(nullptr, step.path, options, &current, nullptr);
                break;
            case Step::Kind::DeleteBranch: {
                KeyRef key;
                status = impl.Open(nullptr, step.path, &key);
                if (NT_SUCCESS(status)) status = impl.Remove(key, true);
                if (status == STATUS_OBJECT_NAME_NOT_FOUND)
                    status = STATUS_SUCCESS;  // nothing to delete
                break;
            }
            case Step::Kind::SetValue:
                status =
                    impl.Set(current, step.name, step.type, step.data.data(), step.data.size());
                break;
            case Step::Kind::DeleteValue:
                status = impl.RemoveValue(current, step.name);
                if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = STATUS_SUCCESS;
                break;
        }
        if (!NT_SUCCESS(status)) {
            *error = "line " + std::to_string(step.line + 1) + ": failed with status " +
                     StatusText(status);
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------
bool DecodeFile(const std::string& bytes, std::u16string* text, std::string* error) {
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
        static_cast<uint8_t>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            *error = "UTF-16 file with an odd number of bytes";
            return false;
        }
        text->resize((bytes.size() - 2) / 2);
        std::memcpy(text->data(), bytes.data() + 2, text->size() * 2);  // the host is little-endian
        return true;
    }
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFE &&
        static_cast<uint8_t>(bytes[1]) == 0xFF) {
        *error = "big-endian UTF-16 is not supported";
        return false;
    }
    std::string_view utf8(bytes);
    if (utf8.substr(0, 3) == "\xEF\xBB\xBF") utf8.remove_prefix(3);
    if (!Utf8ToUtf16(utf8, text)) {
        *error = "malformed UTF-8";
        return false;
    }
    return true;
}

}  // namespace

bool Store::ImportText(std::u16string_view text, std::string* error) {
    std::vector<Step> steps;
    if (!Parser(text, &steps, error).Run()) return false;
    std::unique_lock lock(impl_->mutex);
    return Apply(*impl_, steps, error);
}

bool Store::ExportText(std::u16string* text, std::string* error,
                       const ExportOptions& options) const {
    std::shared_lock lock(impl_->mutex);
    std::vector<KeyRef> branches;
    if (options.RootPath.empty() || NamesEqual(options.RootPath, kRegistryPath)) {
        branches = {impl_->machine, impl_->users};
    } else {
        KeyRef key;
        const NTSTATUS status = impl_->Open(nullptr, options.RootPath, &key);
        if (!NT_SUCCESS(status)) {
            *error = "cannot open " + Narrow(options.RootPath) + ": " + StatusText(status);
            return false;
        }
        branches = {key};
    }
    std::u16string out(kHeader);
    out += kLineEnd;
    out += kLineEnd;
    Exporter exporter{options, &out, error};
    for (const KeyRef& key : branches) {
        const std::optional<std::u16string> regPath = RegPathFromKernelPath(impl_->PathOf(*key));
        if (!regPath || !exporter.Branch(*key, *regPath)) {
            if (!regPath) *error = "no .reg root for " + Narrow(impl_->PathOf(*key));
            return false;
        }
    }
    *text = std::move(out);
    return true;
}

bool Store::LoadFile(const std::filesystem::path& path, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot open " + path.string();
        return false;
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    std::u16string text;
    std::vector<Step> steps;
    if (!DecodeFile(bytes.str(), &text, error) || !Parser(text, &steps, error).Run()) {
        *error = path.string() + ": " + *error;
        return false;
    }
    std::unique_lock lock(impl_->mutex);
    impl_->ClearAll();
    if (!Apply(*impl_, steps, error)) {
        *error = path.string() + ": " + *error;
        return false;
    }
    return true;
}

bool Store::SaveFile(const std::filesystem::path& path, std::string* error,
                     TextEncoding encoding) const {
    ExportOptions options;
    options.IncludeVolatile = false;
    std::u16string text;
    if (!ExportText(&text, error, options)) return false;
    std::string bytes;
    if (encoding == TextEncoding::Utf8) {
        bytes = Utf16ToUtf8(text);
    } else {
        bytes = "\xFF\xFE";
        bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    }
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (!file || !file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) ||
            !file.flush()) {
            *error = "cannot write " + temporary.string();
            return false;
        }
    }
    std::error_code code;
    std::filesystem::rename(temporary, path, code);
    if (code) {
        *error = "cannot replace " + path.string() + ": " + code.message();
        return false;
    }
    return true;
}

}  // namespace kp::reg
