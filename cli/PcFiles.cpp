#include "PcFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::string Reason(const std::string& path) { return path + ": " + std::strerror(errno); }

bool RenameOver(const std::string& from, const std::string& to) {
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* contents, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = Reason(path);
        return false;
    }
    contents->clear();
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) contents->insert(contents->end(), chunk, chunk + n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) *error = Reason(path);
    return !failed;
}

bool ReplacePcFile(const std::string& path, const uint8_t* data, size_t size, std::string* error) {
    const std::string partial = path + ".tovrel-part";
    std::FILE* f = std::fopen(partial.c_str(), "wb");
    if (f == nullptr) {
        *error = Reason(partial);
        return false;
    }
    bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    ok = std::fflush(f) == 0 && ok;
    if (!ok) *error = Reason(partial);
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        *error = Reason(partial);
    }
    if (ok && !RenameOver(partial, path)) {
        ok = false;
        *error = Reason(path);
    }
    if (!ok) std::remove(partial.c_str());
    return ok;
}

std::string LastPathPart(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
