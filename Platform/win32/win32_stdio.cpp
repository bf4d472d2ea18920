// Win32 stand-in: the C runtime's fopen on Windows paths.  A text-mode stream
// writes "\n" as "\r\n" (a glibc cookie stream over the host file); binary
// mode is the host's own stream.
#include <errno.h>

#include <cstring>
#include <string>

#include "kp_stdio.h"
#include "win32_internal.h"

#undef fopen

using namespace kp::win32;

namespace {

ssize_t WriteText(void* cookie, const char* data, size_t size) {
    auto file = static_cast<FILE*>(cookie);
    size_t start = 0;
    for (size_t i = 0; i < size; i++) {
        if (data[i] != '\n') continue;
        if (i > start && std::fwrite(data + start, 1, i - start, file) != i - start) return -1;
        if (std::fwrite("\r\n", 1, 2, file) != 2) return -1;
        start = i + 1;
    }
    if (size > start && std::fwrite(data + start, 1, size - start, file) != size - start) return -1;
    // Each write the cookie stream passes on reaches the host file at once, so
    // an fflush of the text stream is an fflush of the file.
    if (std::fflush(file) != 0) return -1;
    return static_cast<ssize_t>(size);
}

ssize_t ReadText(void* cookie, char* data, size_t size) {
    auto file = static_cast<FILE*>(cookie);
    size_t n = 0;
    while (n < size) {
        int c = std::fgetc(file);
        if (c == EOF) break;
        if (c == '\r') {
            int next = std::fgetc(file);
            if (next == '\n')
                c = '\n';
            else if (next != EOF)
                std::ungetc(next, file);
        }
        data[n++] = static_cast<char>(c);
    }
    return static_cast<ssize_t>(n);
}

int CloseText(void* cookie) {
    return std::fclose(static_cast<FILE*>(cookie));
}

}  // namespace

FILE* KpWin32Fopen(const char* path, const char* mode) {
    std::string text = mode != nullptr ? mode : "";
    if (text.empty() || std::strchr("rwa", text[0]) == nullptr ||
        text.find_first_not_of("rwa+tb", 1) != std::string::npos) {
        Unmodelled("fopen", "the mode \"" + text + "\"");
        errno = EINVAL;
        return nullptr;
    }
    DWORD error = 0;
    auto mapped = MapFilePath("fopen", path, &error);
    if (!mapped) {
        errno = ENOENT;
        return nullptr;
    }
    bool binary = text.find('b') != std::string::npos;
    std::string host = text.substr(0, 1) + (text.find('+') != std::string::npos ? "+" : "");
    FILE* file = std::fopen(mapped->c_str(), (host + "b").c_str());
    if (file == nullptr || binary) return file;
    cookie_io_functions_t functions = {ReadText, WriteText, nullptr, CloseText};
    // The host file does the appending; the cookie stream must not seek (it has
    // no seek function), so it is opened for plain reading or writing.
    std::string cookieMode = host[0] == 'r' ? host : (host.size() > 1 ? "w+" : "w");
    FILE* stream = fopencookie(file, cookieMode.c_str(), functions);
    if (stream == nullptr) std::fclose(file);
    return stream;
}
