// The partial file of a resumable save and the record beside it of what
// it holds the start of.
#include <cerrno>
#include <cstring>

#include "PcFiles.h"
#include "PcFilesSystem.h"

namespace {

#ifdef _WIN32

// A record is trusted only as a plain file with one name, no reparse point.
bool RecordSays(const std::string& record, const std::string& source) {
    HANDLE h = CreateFileW(Widen(record).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    std::string held(source.size(), '\0');
    DWORD got = 0;
    const bool same = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
                      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
                      info.nNumberOfLinks == 1 && info.nFileSizeHigh == 0 && info.nFileSizeLow == source.size() &&
                      ReadFile(h, held.data(), static_cast<DWORD>(held.size()), &got, nullptr) &&
                      got == held.size() && held == source;
    CloseHandle(h);
    return same;
}

bool WriteRecord(const std::string& record, const std::string& source, std::string* error) {
    const std::wstring wide = Widen(record);
    if (!DeleteFileW(wide.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        *error = record + ": " + SystemReason(GetLastError());
        return false;
    }
    if (source.empty()) return true;
    // CREATE_NEW: fails on any existing name, a link's included.
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = record + ": " + SystemReason(GetLastError());
        return false;
    }
    DWORD put = 0;
    const bool ok = WriteFile(h, source.data(), static_cast<DWORD>(source.size()), &put, nullptr) &&
                    put == source.size() && FlushFileBuffers(h);
    if (!ok) *error = record + ": " + SystemReason(GetLastError());
    CloseHandle(h);
    if (!ok) DeleteFileW(wide.c_str());
    return ok;
}

#else

// A file of this user's with one link: a planted one's bytes are no record.
bool OwnPlainFile(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_uid == geteuid() && info.st_nlink == 1;
}

// Looked at before it is opened, as the partial file is: a FIFO or device
// is never opened.
bool RecordSays(const std::string& record, const std::string& source) {
    struct stat seen {};
    if (lstat(record.c_str(), &seen) != 0 || !OwnPlainFile(seen) || static_cast<uint64_t>(seen.st_size) != source.size())
        return false;
    const int fd = ::open(record.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat opened {};
    std::string held(source.size(), '\0');
    bool same = fstat(fd, &opened) == 0 && opened.st_dev == seen.st_dev && opened.st_ino == seen.st_ino &&
                OwnPlainFile(opened) && opened.st_size == seen.st_size;
    for (size_t done = 0; same && done < held.size();) {
        const ssize_t n = ::read(fd, &held[done], held.size() - done);
        if (n < 0 && errno == EINTR) continue;
        same = n > 0;
        if (same) done += static_cast<size_t>(n);
    }
    ::close(fd);
    return same && held == source;
}

// The old record goes first (unlink takes a link itself, never its
// target), then the new one is made exclusively: another user's file that
// cannot be removed is refused, not written through.
bool WriteRecord(const std::string& record, const std::string& source, std::string* error) {
    if (unlink(record.c_str()) != 0 && errno != ENOENT) {
        *error = Reason(record);
        return false;
    }
    if (source.empty()) return true;
    const int fd = ::open(record.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = Reason(record);
        return false;
    }
    struct stat info {};
    bool ok = fstat(fd, &info) == 0;
    if (ok && !OwnPlainFile(info)) {
        ::close(fd);
        *error = record + ": not a plain file of ours; refused";
        return false;
    }
    for (size_t done = 0; ok && done < source.size();) {
        const ssize_t n = ::write(fd, source.data() + done, source.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = ENOSPC;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    // On the disk before any byte is appended to the partial file.
    ok = ok && fsync(fd) == 0;
    if (!ok) *error = Reason(record);
    ::close(fd);
    if (!ok) unlink(record.c_str());
    return ok;
}

// The partial file of a resumable save, opened for reading and writing
// without following a link; -1 with *error. Looked at before it is opened,
// since opening a FIFO may block and a device's open may raise serial
// lines; then the opened file must be the one looked at. Two tries: a name
// that comes and goes between them is refused.
int OpenPartial(const std::string& path, const std::string& partial, std::string* error) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        struct stat seen {};
        if (lstat(partial.c_str(), &seen) != 0) {
            if (errno != ENOENT) break;
            const int fd = ::open(partial.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
            if (fd >= 0 || errno != EEXIST) {
                if (fd < 0) *error = pcfiles::CannotCreate(path, partial, static_cast<unsigned long>(errno));
                return fd;
            }
            continue;
        }
        if (!S_ISREG(seen.st_mode)) {
            *error = partial + ": not a regular file (a link, FIFO or device is not opened); refused";
            return -1;
        }
        const int fd = ::open(partial.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) break;
        struct stat opened {};
        if (fstat(fd, &opened) == 0 && opened.st_dev == seen.st_dev && opened.st_ino == seen.st_ino) return fd;
        ::close(fd);
        *error = partial + ": replaced while being opened; refused";
        return -1;
    }
    *error = errno == 0 || errno == EEXIST ? partial + ": comes and goes; refused" : Reason(partial);
    return -1;
}

#endif

}  // namespace

bool PcFileWriter::Resume(const std::string& path, const std::string& source, std::string* error) {
    if (!Retarget(path, error)) return false;
    m_dropped = 0;
    const std::string partial = ResumePath(path);
#ifdef _WIN32
    // Not shared: a second save of the same target is refused. A reparse
    // point (link) is opened as itself, never followed, and then refused.
    HANDLE h = CreateFileW(Widen(partial).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = pcfiles::CannotCreate(path, partial, GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER end{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks != 1 || !SetFilePointerEx(h, LARGE_INTEGER{}, &end, FILE_END)) {
        CloseHandle(h);
        *error = partial + ": not a plain file with one name; refused";
        return false;
    }
    m_handle = h;
    m_written = static_cast<uint64_t>(end.QuadPart);
#else
    const int fd = OpenPartial(path, partial, error);
    if (fd < 0) return false;
    struct stat info {};
    std::string refusal;
    if (fstat(fd, &info) != 0) {
        refusal = std::strerror(errno);
    } else if (info.st_uid != geteuid()) {
        // Planted by another user: its bytes would become ours.
        refusal = "belongs to another user; refused";
    } else if (info.st_nlink != 1) {
        // Another name for it (a hard link to a file of ours) would be
        // written through and renamed away.
        refusal = "has other links; refused";
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        refusal = "in use by another save; refused";
    } else if (lseek(fd, 0, SEEK_END) != info.st_size) {
        refusal = std::strerror(errno);
    }
    if (!refusal.empty()) {
        ::close(fd);
        *error = partial + ": " + refusal;
        return false;
    }
    m_fd = fd;
    m_written = static_cast<uint64_t>(info.st_size);
#endif
    m_temp = partial;
    m_keep = true;
    m_record = ResumeSourcePath(path);
    // Held under the partial file's lock: no other save touches the record.
    if (!source.empty() && RecordSays(m_record, source)) return true;
    // Emptied before the new record is made: bytes of another source never
    // stand under it, even if this process dies in between.
    const uint64_t held = m_written;
    if ((held > 0 && !StartOver(error)) || !WriteRecord(m_record, source, error)) {
        Abandon();
        return false;
    }
    m_dropped = held;
    return true;
}

bool PcFileWriter::StartOver(std::string* error) {
#ifdef _WIN32
    if (m_handle == nullptr || !SetFilePointerEx(m_handle, LARGE_INTEGER{}, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(m_handle) || !FlushFileBuffers(m_handle)) {
        *error = m_temp + ": " + SystemReason(GetLastError());
        return false;
    }
#else
    if (m_fd < 0 || ftruncate(m_fd, 0) != 0 || lseek(m_fd, 0, SEEK_SET) != 0 || fsync(m_fd) != 0) {
        *error = Reason(m_temp);
        return false;
    }
#endif
    m_written = 0;
    return true;
}

void PcFileWriter::RemoveRecord() {
    if (m_record.empty()) return;
#ifdef _WIN32
    DeleteFileW(Widen(m_record).c_str());
#else
    unlink(m_record.c_str());
#endif
    m_record.clear();
}

std::string ResumePath(const std::string& path) { return path + ".tovrel-resume"; }
std::string ResumeSourcePath(const std::string& path) { return path + ".tovrel-resume-source"; }
