#include "PcFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "text/WideText.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

bool Reserve(std::vector<uint8_t>* contents, uint64_t size) {
    try {
        contents->clear();
        contents->resize(static_cast<size_t>(size));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

#ifdef _WIN32

std::string SystemReason(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string reason;
    if (n > 0) {
        reason = Narrow(std::wstring(text, n));
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.'))
            reason.pop_back();
    }
    LocalFree(text);
    return reason.empty() ? "error " + std::to_string(code) : reason;
}

#else

// The descriptor closes on every path out.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

#endif

}  // namespace

PcFileRead ReadWholePcFile(const std::string& path, uint64_t maxSize, std::vector<uint8_t>* contents,
                           std::string* error) {
#ifdef _WIN32
    HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        *error = SystemReason(code);
        // A directory cannot be opened this way; say what it is.
        const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return PcFileRead::kNotRegular;
        return PcFileRead::kCannotOpen;
    }
    struct Closer {
        HANDLE h;
        ~Closer() { CloseHandle(h); }
    } closer{file};
    if (GetFileType(file) != FILE_TYPE_DISK) return PcFileRead::kNotRegular;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        *error = SystemReason(GetLastError());
        return PcFileRead::kReadFailed;
    }
    if (static_cast<uint64_t>(size.QuadPart) > maxSize) return PcFileRead::kTooLarge;
    if (!Reserve(contents, static_cast<uint64_t>(size.QuadPart))) return PcFileRead::kNoMemory;
    size_t done = 0;
    while (done < contents->size()) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(contents->size() - done, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(file, contents->data() + done, want, &got, nullptr)) {
            *error = SystemReason(GetLastError());
            return PcFileRead::kReadFailed;
        }
        if (got == 0) break;  // shrank meanwhile
        done += got;
    }
    contents->resize(done);
    return PcFileRead::kOk;
#else
    // Non-blocking, so that opening a FIFO without a writer returns at once;
    // it is refused below before anything is read.
    Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (file.fd < 0) {
        *error = std::strerror(errno);
        return PcFileRead::kCannotOpen;
    }
    struct stat info {};
    if (fstat(file.fd, &info) != 0) {
        *error = std::strerror(errno);
        return PcFileRead::kReadFailed;
    }
    if (!S_ISREG(info.st_mode)) return PcFileRead::kNotRegular;
    if (static_cast<uint64_t>(info.st_size) > maxSize) return PcFileRead::kTooLarge;
    if (!Reserve(contents, static_cast<uint64_t>(info.st_size))) return PcFileRead::kNoMemory;
    size_t done = 0;
    while (done < contents->size()) {
        const ssize_t n = ::read(file.fd, contents->data() + done, contents->size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = std::strerror(errno);
            return PcFileRead::kReadFailed;
        }
        if (n == 0) break;  // shrank meanwhile
        done += static_cast<size_t>(n);
    }
    contents->resize(done);
    return PcFileRead::kOk;
#endif
}

bool ReplacePcFile(const std::string& path, const uint8_t* data, size_t size, std::string* error) {
    const std::string partial = path + ".tovrel-part";
#ifdef _WIN32
    std::FILE* f = _wfopen(Widen(partial).c_str(), L"wb");
#else
    std::FILE* f = std::fopen(partial.c_str(), "wb");
#endif
    auto reason = [](const std::string& where) { return where + ": " + std::strerror(errno); };
    if (f == nullptr) {
        *error = reason(partial);
        return false;
    }
    bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    ok = std::fflush(f) == 0 && ok;
#ifndef _WIN32
    ok = ok && fsync(fileno(f)) == 0;
#endif
    if (!ok) *error = reason(partial);
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        *error = reason(partial);
    }
    if (ok) {
#ifdef _WIN32
        if (!MoveFileExW(Widen(partial).c_str(), Widen(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            ok = false;
            *error = path + ": " + SystemReason(GetLastError());
        }
#else
        if (std::rename(partial.c_str(), path.c_str()) != 0) {
            ok = false;
            *error = reason(path);
        }
#endif
    }
    if (!ok) {
#ifdef _WIN32
        DeleteFileW(Widen(partial).c_str());
#else
        std::remove(partial.c_str());
#endif
    }
    return ok;
}

std::string LastPathPart(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
