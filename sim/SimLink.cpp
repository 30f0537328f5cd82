#include "SimLink.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace {

std::string Because(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// A new symbolic link to terminal beside path, under a name no one else
// has (symlink never replaces): its name, or empty with errno.
std::string MakeTemporaryLink(const std::string& path, const std::string& terminal) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = folder + "/.tovrel-sim-link-" + std::to_string(random()) + std::to_string(random());
        if (::symlink(terminal.c_str(), name.c_str()) == 0) return name;
        if (errno != EEXIST) return {};
    }
    errno = EEXIST;
    return {};
}

// Rounds of looking at the path and putting the link in place, for a path
// others keep changing at the same moment.
constexpr int kRounds = 20;

}  // namespace

LinkPlaced PlaceTerminalLink(const std::string& path, const std::string& terminal, std::string* error) {
    for (int round = 0; round < kRounds; ++round) {
        struct stat st {};
        const bool missing = ::lstat(path.c_str(), &st) != 0;
        if (missing && errno != ENOENT) {
            *error = Because("cannot link " + path, errno);
            return LinkPlaced::kFailed;
        }
        if (!missing && !S_ISLNK(st.st_mode)) {
            *error = "will not link " + path + ": it is there and is no symbolic link (left as it is)";
            return LinkPlaced::kRefused;
        }
        const std::string temporary = MakeTemporaryLink(path, terminal);
        if (temporary.empty()) {
            *error = Because("cannot link " + path, errno);
            return LinkPlaced::kFailed;
        }
        // A missing path gets a hard link to the new link, which never
        // replaces what appeared there meanwhile; an old link is replaced
        // in one step. What remains: another user who owns the old link may
        // swap it for a file of theirs between the look and the rename, and
        // lose that file.
        const bool placed = missing ? ::linkat(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), 0) == 0
                                    : ::rename(temporary.c_str(), path.c_str()) == 0;
        const int savedErrno = errno;
        if (missing || !placed) ::unlink(temporary.c_str());
        if (placed) return LinkPlaced::kPlaced;
        // The path changed under us (created, or made a folder): look again.
        if (savedErrno != EEXIST && savedErrno != EISDIR && savedErrno != ENOTEMPTY) {
            *error = Because("cannot link " + path, savedErrno);
            return LinkPlaced::kFailed;
        }
    }
    *error = "cannot link " + path + ": it keeps changing";
    return LinkPlaced::kFailed;
}

void RemoveTerminalLink(const std::string& path, const std::string& terminal) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    // Between the look and the unlink another simulator may put its own
    // link there, which this would then remove: a window of two calls, as
    // no call removes a name only while it names a given file.
    if (n >= 0 && std::string(target, static_cast<size_t>(n)) == terminal) ::unlink(path.c_str());
}
