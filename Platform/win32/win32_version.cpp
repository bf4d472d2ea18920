// Win32 stand-in: version data.  An image's version record is its ".kpversion"
// section (kp_version_record in the build), found through the ELF section
// table.  The block GetFileVersionInfoA fills is a 32-bit byte count followed
// by the section's bytes, so VerQueryValueA never reads past what was copied.
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include "win32_internal.h"

using namespace kp::win32;

namespace {

constexpr char kMagic[] = "KPVERSION";  // with its NUL, the record's first bytes
constexpr size_t kMaxRecord = 64 * 1024;
constexpr char kStringPrefix[] = "\\StringFileInfo\\040904E4\\";

bool ReadAt(int fd, uint64_t offset, void* data, size_t size) {
    auto out = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = pread(fd, out, size, static_cast<off_t>(offset));
        if (n <= 0) return false;
        out += n, offset += static_cast<uint64_t>(n), size -= static_cast<size_t>(n);
    }
    return true;
}

// The record of the file; 0 or the Win32 error.  The file is untrusted: every
// offset and size is checked against the file before it is used.
DWORD ReadRecord(const char* call, LPCSTR path, std::vector<char>* record) {
    DWORD error = 0;
    auto file = MapFilePath(call, path, &error);
    if (!file) return error == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : error;
    int fd = open(file->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ERROR_FILE_NOT_FOUND;
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    off_t fileSize = lseek(fd, 0, SEEK_END);
    if (fileSize < 0) return ERROR_FILE_NOT_FOUND;
    auto inside = [&](uint64_t offset, uint64_t size) {
        return offset <= static_cast<uint64_t>(fileSize) &&
               size <= static_cast<uint64_t>(fileSize) - offset;
    };
    Elf64_Ehdr header;
    if (!ReadAt(fd, 0, &header, sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr) ||
        header.e_shstrndx >= header.e_shnum ||
        !inside(header.e_shoff, uint64_t(header.e_shnum) * sizeof(Elf64_Shdr))) {
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
    }
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (!ReadAt(fd, header.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr)))
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
    const Elf64_Shdr& names = sections[header.e_shstrndx];
    if (!inside(names.sh_offset, names.sh_size) || names.sh_size > kMaxRecord * 16)
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
    std::vector<char> table(names.sh_size + 1, 0);
    if (!ReadAt(fd, names.sh_offset, table.data(), names.sh_size))
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_name >= names.sh_size ||
            std::strcmp(table.data() + section.sh_name, ".kpversion") != 0) {
            continue;
        }
        if (section.sh_type == SHT_NOBITS || !inside(section.sh_offset, section.sh_size) ||
            section.sh_size < sizeof kMagic || section.sh_size > kMaxRecord) {
            return ERROR_RESOURCE_TYPE_NOT_FOUND;
        }
        record->resize(section.sh_size);
        if (!ReadAt(fd, section.sh_offset, record->data(), record->size()) ||
            std::memcmp(record->data(), kMagic, sizeof kMagic) != 0) {
            return ERROR_RESOURCE_TYPE_NOT_FOUND;
        }
        return 0;
    }
    return ERROR_RESOURCE_TYPE_NOT_FOUND;
}

}  // namespace

DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
    if (lpdwHandle != nullptr) *lpdwHandle = 0;
    if (DWORD error = InjectedFault("GetFileVersionInfoSizeA")) {
        SetLastError(error);
        return 0;
    }
    std::vector<char> record;
    if (DWORD error = ReadRecord("GetFileVersionInfoSizeA", lptstrFilename, &record)) {
        SetLastError(error);
        return 0;
    }
    return static_cast<DWORD>(sizeof(uint32_t) + record.size());
}

BOOL WINAPI GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
    (void)dwHandle;  // ignored, as on the platform
    if (lpData == nullptr || dwLen < sizeof(uint32_t)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (DWORD error = InjectedFault("GetFileVersionInfoA")) return Fail(error);
    std::vector<char> record;
    if (DWORD error = ReadRecord("GetFileVersionInfoA", lptstrFilename, &record))
        return Fail(error);
    uint32_t copied =
        static_cast<uint32_t>(std::min<size_t>(record.size(), dwLen - sizeof(uint32_t)));
    std::memcpy(lpData, &copied, sizeof copied);
    std::memcpy(static_cast<char*>(lpData) + sizeof copied, record.data(), copied);
    return TRUE;
}

BOOL WINAPI VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
    if (pBlock == nullptr || lpSubBlock == nullptr || lplpBuffer == nullptr || puLen == nullptr)
        return FALSE;
    std::string_view sub = lpSubBlock;
    if (sub.size() < 16 || !EqualNoCase(sub.substr(0, 16), "\\StringFileInfo\\")) {
        Unmodelled("VerQueryValueA", "the block \"" + std::string(sub) + "\"");
        return FALSE;
    }
    uint32_t size;
    std::memcpy(&size, pBlock, sizeof size);
    const char* data = static_cast<const char*>(pBlock) + sizeof size;
    // Entries after the magic: key NUL value NUL ..., ended by an empty key.
    size_t at = sizeof kMagic;
    auto next = [&](std::string_view* out) {
        const void* nul = at < size ? std::memchr(data + at, 0, size - at) : nullptr;
        if (nul == nullptr) return false;
        size_t end = static_cast<size_t>(static_cast<const char*>(nul) - data);
        *out = std::string_view(data + at, end - at);
        at = end + 1;
        return true;
    };
    std::string_view key, value;
    while (next(&key) && !key.empty()) {
        size_t valueAt = at;
        if (!next(&value)) break;
        if (EqualNoCase(key, sub) && key.size() > sizeof kStringPrefix - 1) {
            *lplpBuffer = const_cast<char*>(data + valueAt);
            *puLen = static_cast<UINT>(value.size() + 1);
            return TRUE;
        }
    }
    return FALSE;
}
