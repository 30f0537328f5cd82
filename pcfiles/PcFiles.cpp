#include "PcFiles.h"
#include "PcFilesSystem.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>
#include <stdexcept>

#ifndef _WIN32
#include <fstream>
#endif

namespace {

// Temporary files to remove on a signal: fixed storage, since the handler
// may neither allocate nor lock. state: 0 free, 1 being filled or emptied
// (the handler skips it), 2 live.
constexpr int kTempSlots = 8;
constexpr size_t kTempPathMax = 4096;
struct TempSlot {
    std::atomic<int> state{0};
    char path[kTempPathMax];
};
TempSlot g_temps[kTempSlots];
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

int RegisterTemp(const std::string& path) {
    if (path.size() >= kTempPathMax) return -1;
    for (int i = 0; i < kTempSlots; ++i) {
        int expected = 0;
        if (!g_temps[i].state.compare_exchange_strong(expected, 1)) continue;
        std::memcpy(g_temps[i].path, path.c_str(), path.size() + 1);
        g_temps[i].state.store(2);
        return i;
    }
    return -1;  // more writers than slots: this one is not removed on a signal
}

void UnregisterTemp(int slot) {
    if (slot >= 0) g_temps[slot].state.store(0);
}

bool HasNul(const std::string& path) { return path.find('\0') != std::string::npos; }

// Where path's last part begins: after its last separator; 0 for none.
size_t NameStart(const std::string& path) {
#ifdef _WIN32
    const size_t slash = path.find_last_of("/\\");
#else
    const size_t slash = path.find_last_of('/');
#endif
    return slash == std::string::npos ? 0 : slash + 1;
}

// The temporary file's name: beside the target, so the rename stays on one
// file system; the target's name cut short so the whole fits NAME_MAX.
std::string TempStem(const std::string& path) {
    const size_t name = NameStart(path);
    return path.substr(0, name) + path.substr(name, 200) + ".tovrel-";
}

#ifndef _WIN32

// The umask without changing it where /proc tells it (umask(2) alone can
// only be read by setting it, which races other threads).
mode_t CurrentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}


#endif

#ifdef _WIN32
// A read or write at `where` in the file, through ReadFile or WriteFile.
OVERLAPPED At(uint64_t where) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(where & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    return at;
}

// Reads up to size bytes at offset without moving the file's position
// (on Windows it moves past them): the count, fewer only at the end, or -1.
long long ReadAtOffset(void* handle, uint64_t offset, uint8_t* buffer, size_t size, std::string* error) {
    size_t done = 0;
    while (done < size) {
        OVERLAPPED at = At(offset + done);
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        if (!ReadFile(handle, buffer + done, want, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            *error = SystemReason(GetLastError());
            return -1;
        }
        if (got == 0) break;
        done += got;
    }
    return static_cast<long long>(done);
}
#else
long long ReadAtOffset(int fd, uint64_t offset, uint8_t* buffer, size_t size, std::string* error) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = std::strerror(errno);
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<long long>(done);
}
#endif

}  // namespace

namespace pcfiles {

#ifdef _WIN32
std::string SystemReason(unsigned long code) {
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
std::string Reason(const std::string& where) { return where + ": " + std::strerror(errno); }
#endif

std::string CannotCreate(const std::string& path, const std::string& tried, unsigned long code) {
    const size_t name = NameStart(path);
    const std::string folder = name == 0 ? "." : path.substr(0, name == 1 ? 1 : name - 1);
#ifdef _WIN32
    const bool missing = code == ERROR_PATH_NOT_FOUND;
    const std::string reason = SystemReason(code);
#else
    const bool missing = code == ENOENT || code == ENOTDIR;
    const std::string reason = std::strerror(static_cast<int>(code));
#endif
    if (missing) return path + ": cannot be saved: the folder " + folder + " does not exist";
    return path + ": cannot be saved: " + tried + " cannot be made in " + folder + ": " + reason;
}

}  // namespace pcfiles

void RemovePartialPcFiles() {
#ifndef _WIN32
    for (TempSlot& slot : g_temps)
        if (slot.state.load() == 2) unlink(slot.path);
#endif
}

// ---- reading ----------------------------------------------------------------

PcFileSource::~PcFileSource() {
#ifdef _WIN32
    if (m_handle != nullptr) CloseHandle(m_handle);
#else
    if (m_fd >= 0) ::close(m_fd);
#endif
}

PcFileRead PcFileSource::Open(const std::string& path, uint64_t maxSize, std::string* error) {
    if (HasNul(path)) {
        *error = "a name with a NUL byte";
        return PcFileRead::kCannotOpen;
    }
#ifdef _WIN32
    // \\.\COM1 and the like are devices: never opened.
    if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0) return PcFileRead::kNotRegular;
    const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return PcFileRead::kNotRegular;
    HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = SystemReason(GetLastError());
        return PcFileRead::kCannotOpen;
    }
    m_handle = file;
    if (GetFileType(file) != FILE_TYPE_DISK) return PcFileRead::kNotRegular;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        *error = SystemReason(GetLastError());
        return PcFileRead::kCannotOpen;
    }
    m_size = static_cast<uint64_t>(size.QuadPart);
#else
    struct stat before {};
    if (stat(path.c_str(), &before) != 0) {
        *error = std::strerror(errno);
        return PcFileRead::kCannotOpen;
    }
    // Refused before any open: opening a serial device raises its lines,
    // a FIFO's open may block.
    if (!S_ISREG(before.st_mode)) return PcFileRead::kNotRegular;
    m_fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0) {
        *error = std::strerror(errno);
        return PcFileRead::kCannotOpen;
    }
    struct stat after {};
    if (fstat(m_fd, &after) != 0) {
        *error = std::strerror(errno);
        return PcFileRead::kCannotOpen;
    }
    // Swapped between the check and the open: not the file that was checked.
    if (!S_ISREG(after.st_mode) || after.st_dev != before.st_dev || after.st_ino != before.st_ino)
        return PcFileRead::kNotRegular;
    m_size = static_cast<uint64_t>(after.st_size);
#endif
    if (m_size > maxSize) return PcFileRead::kTooLarge;
    return PcFileRead::kOk;
}

long long PcFileSource::Read(uint8_t* buffer, size_t size, std::string* error) {
    size_t done = 0;
    while (done < size) {
#ifdef _WIN32
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        if (m_handle == nullptr || !ReadFile(m_handle, buffer + done, want, &got, nullptr)) {
            *error = SystemReason(GetLastError());
            return -1;
        }
        if (got == 0) break;
        done += got;
#else
        const ssize_t n = ::read(m_fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = std::strerror(errno);
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
#endif
    }
    return static_cast<long long>(done);
}

long long PcFileSource::ReadAt(uint64_t offset, uint8_t* buffer, size_t size, std::string* error) {
#ifdef _WIN32
    return ReadAtOffset(m_handle, offset, buffer, size, error);
#else
    return ReadAtOffset(m_fd, offset, buffer, size, error);
#endif
}

bool PcFileSource::SeekTo(uint64_t offset, std::string* error) {
#ifdef _WIN32
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (m_handle != nullptr && SetFilePointerEx(m_handle, to, nullptr, FILE_BEGIN)) return true;
    *error = SystemReason(GetLastError());
#else
    if (m_fd >= 0 && lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset)) return true;
    *error = std::strerror(errno);
#endif
    return false;
}

PcFileRead ReadWholePcFile(const std::string& path, uint64_t maxSize, std::vector<uint8_t>* contents,
                           std::string* error) {
    PcFileSource source;
    const PcFileRead opened = source.Open(path, maxSize, error);
    if (opened != PcFileRead::kOk) return opened;
    try {
        contents->clear();
        contents->reserve(static_cast<size_t>(source.SizeAtOpen()));
        uint8_t buffer[65536];
        for (;;) {
            const long long n = source.Read(buffer, sizeof buffer, error);
            if (n < 0) return PcFileRead::kReadFailed;
            if (n == 0) break;
            if (contents->size() + static_cast<uint64_t>(n) > maxSize) return PcFileRead::kTooLarge;
            contents->insert(contents->end(), buffer, buffer + n);
        }
    } catch (const std::bad_alloc&) {
        return PcFileRead::kNoMemory;
    } catch (const std::length_error&) {
        return PcFileRead::kNoMemory;
    }
    return PcFileRead::kOk;
}

// ---- writing ----------------------------------------------------------------

bool PcFileWriter::Retarget(const std::string& path, std::string* error) {
    Abandon();
    m_written = 0;
    if (HasNul(path)) {
        *error = "a name with a NUL byte cannot be saved";
        return false;
    }
    m_path = path;
    return true;
}

bool PcFileWriter::Begin(const std::string& path, std::string* error) {
    if (!Retarget(path, error)) return false;
#ifdef _WIN32
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
        const std::string temp = TempStem(path) + suffix;
        // CREATE_NEW: fails on any existing name, a link's included.
        HANDLE h = CreateFileW(Widen(temp).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            m_handle = h;
            m_temp = temp;
            m_slot = RegisterTemp(temp);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            *error = pcfiles::CannotCreate(path, temp, GetLastError());
            return false;
        }
    }
    *error = path + ": no free temporary name beside it";
    return false;
#else
    std::string temp = TempStem(path) + "XXXXXX";
    // O_EXCL under mkostemp: a planted name or link is never opened.
    const int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) {
        *error = pcfiles::CannotCreate(path, temp, static_cast<unsigned long>(errno));
        return false;
    }
    m_fd = fd;
    m_temp = temp;
    m_slot = RegisterTemp(temp);
    return true;
#endif
}

long long PcFileWriter::ReadBack(uint64_t offset, uint8_t* buffer, size_t size, std::string* error) {
#ifdef _WIN32
    const long long n = m_handle == nullptr ? -1 : ReadAtOffset(m_handle, offset, buffer, size, error);
#else
    const long long n = m_fd < 0 ? -1 : ReadAtOffset(m_fd, offset, buffer, size, error);
#endif
    if (n < 0) *error = m_temp + ": " + *error;
    return n;
}

// Every write is made at its offset: the file's position, which a
// ReadBack moves on Windows, never decides where bytes land.
bool PcFileWriter::WriteAt(uint64_t offset, const uint8_t* data, size_t size, std::string* error) {
    size_t done = 0;
    while (done < size) {
#ifdef _WIN32
        OVERLAPPED at = At(offset + done);
        DWORD put = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        if (m_handle == nullptr || !WriteFile(m_handle, data + done, want, &put, &at)) {
            *error = m_temp + ": " + SystemReason(GetLastError());
            return false;
        }
        done += put;
#else
        const ssize_t n = m_fd < 0 ? -1 : ::pwrite(m_fd, data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = Reason(m_temp);
            return false;
        }
        done += static_cast<size_t>(n);
#endif
    }
    return true;
}

bool PcFileWriter::Write(const uint8_t* data, size_t size, std::string* error) {
    if (!WriteAt(m_written, data, size, error)) return false;
    m_written += size;
    return true;
}

bool PcFileWriter::Rewrite(uint64_t offset, const uint8_t* data, size_t size, std::string* error) {
    if (offset > m_written || size > m_written - offset) {
        *error = m_temp + ": bytes " + std::to_string(offset) + " to " + std::to_string(offset + size) +
                 " were never written";
        return false;
    }
    return WriteAt(offset, data, size, error);
}

bool PcFileWriter::Commit(std::string* error) {
#ifdef _WIN32
    if (m_handle == nullptr) {
        *error = m_path + ": nothing being written";
        return false;
    }
    const bool flushed = FlushFileBuffers(m_handle) != 0;
    const DWORD flushError = GetLastError();
    CloseHandle(m_handle);
    m_handle = nullptr;
    if (!flushed) {
        *error = m_temp + ": " + SystemReason(flushError);
        Abandon();
        return false;
    }
    if (!MoveFileExW(Widen(m_temp).c_str(), Widen(m_path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = m_path + ": " + SystemReason(GetLastError());
        Abandon();
        return false;
    }
#else
    if (m_fd < 0) {
        *error = m_path + ": nothing being written";
        return false;
    }
    // The replaced file's permission bits and owners; a link is replaced,
    // not followed, so only a regular file lends them.
    struct stat old {};
    mode_t mode = 0666 & ~CurrentUmask();
    if (lstat(m_path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        // Owner first: a change of owner clears set-id bits.
        if (fchown(m_fd, old.st_uid, old.st_gid) != 0 && fchown(m_fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
            // Neither may be set by this process: the new file is its own.
        }
        mode = old.st_mode & 07777;
    }
    bool ok = fchmod(m_fd, mode) == 0 && fsync(m_fd) == 0;
    if (!ok) *error = Reason(m_temp);
    if (::close(m_fd) != 0 && ok) {
        ok = false;
        *error = Reason(m_temp);
    }
    m_fd = -1;
    if (ok && std::rename(m_temp.c_str(), m_path.c_str()) != 0) {
        ok = false;
        *error = Reason(m_path);
    }
    if (!ok) {
        Abandon();
        return false;
    }
#endif
    UnregisterTemp(m_slot);
    m_slot = -1;
    m_temp.clear();
    m_keep = false;
    // What it recorded went with it.
    RemoveRecord();
    return true;
}

void PcFileWriter::Abandon() {
    // A partial file that got nothing is no start worth keeping.
    if (m_keep && m_written == 0) m_keep = false;
#ifdef _WIN32
    if (m_handle != nullptr) CloseHandle(m_handle);
    m_handle = nullptr;
    if (!m_temp.empty() && !m_keep) DeleteFileW(Widen(m_temp).c_str());
#else
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    if (!m_temp.empty() && !m_keep) unlink(m_temp.c_str());
#endif
    UnregisterTemp(m_slot);
    m_slot = -1;
    m_temp.clear();
    if (!m_keep) RemoveRecord();
    m_record.clear();
    m_keep = false;
}

void PcFileWriter::Discard() {
    m_keep = false;
    Abandon();
}

bool ReplacePcFile(const std::string& path, const uint8_t* data, size_t size, std::string* error) {
    PcFileWriter writer;
    return writer.Begin(path, error) && writer.Write(data, size, error) && writer.Commit(error);
}

std::string LastPathPart(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
