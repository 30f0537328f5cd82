#include "SimDisk.h"

#include <cstdlib>
#include <system_error>

#include "text/Cp936.h"

namespace fs = std::filesystem;

SimDisk::~SimDisk() {
    DropOpenFile();
    if (m_ownsRoot) {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
}

bool SimDisk::Attach(const std::string& folder, std::string* error) {
    std::error_code ec;
    if (folder.empty()) {
        std::string pattern = (fs::temp_directory_path(ec) / "tovrel-disk-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            *error = "cannot make a temporary disk folder";
            return false;
        }
        m_root = pattern;
        m_ownsRoot = true;
        return true;
    }
    fs::path root = fs::canonical(folder, ec);
    if (ec || !fs::is_directory(root, ec)) {
        *error = "disk folder " + folder + " is not a folder";
        return false;
    }
    m_root = root;
    return true;
}

bool SimDisk::Resolve(const std::string& utf8Name, std::vector<std::string>* components) const {
    std::vector<std::string> out = (!utf8Name.empty() && utf8Name[0] == '/') ? std::vector<std::string>() : m_current;
    size_t start = 0;
    while (start <= utf8Name.size()) {
        size_t end = utf8Name.find('/', start);
        if (end == std::string::npos) end = utf8Name.size();
        const std::string part = utf8Name.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (out.empty()) return false;
            out.pop_back();
            continue;
        }
        if (part.find('\\') != std::string::npos || part.find('\0') != std::string::npos) return false;
        out.push_back(part);
    }
    // A link inside the folder could lead out of it.
    fs::path walk = m_root;
    for (const std::string& part : out) {
        walk /= fs::u8path(part);
        std::error_code ec;
        if (fs::is_symlink(fs::symlink_status(walk, ec))) return false;
    }
    *components = out;
    return true;
}

bool SimDisk::ResolveLineName(const std::string& cp936Name, std::vector<std::string>* components) const {
    // Taken whole or not at all: cut at a NUL it would be another name.
    if (cp936Name.find('\0') != std::string::npos) return false;
    std::string utf8;
    if (!Cp936ToUtf8(cp936Name, &utf8)) return false;
    return Resolve(utf8, components);
}

fs::path SimDisk::HostPath(const std::vector<std::string>& components) const {
    fs::path path = m_root;
    for (const std::string& part : components) path /= fs::u8path(part);
    return path;
}

void SimDisk::DropOpenFile() {
    if (m_file != nullptr) std::fclose(m_file);
    m_file = nullptr;
    m_filePath.clear();
    m_handle = 0xFF;
    m_position = 0;
    m_size = 0;
}

uint8_t SimDisk::OpenFile(const std::string& name, uint8_t* handle, uint32_t* size) {
    if (m_file != nullptr) return kSimFileOpen;
    std::vector<std::string> components;
    if (!ResolveLineName(name, &components) || components.empty()) return kSimBadName;
    const fs::path path = HostPath(components);
    std::error_code ec;
    if (fs::is_directory(path, ec)) return kSimBadName;
    if (!fs::is_directory(path.parent_path(), ec)) return kSimNotFound;
    std::FILE* file = std::fopen(path.c_str(), "r+b");
    if (file == nullptr) file = std::fopen(path.c_str(), "w+b");
    if (file == nullptr) return kSimDiskError;
    const uintmax_t bytes = fs::file_size(path, ec);
    if (ec || bytes > UINT32_MAX) {
        std::fclose(file);
        return kSimDiskError;
    }
    m_file = file;
    m_filePath = components;
    m_handle = m_nextHandle;
    m_nextHandle = static_cast<uint8_t>(m_nextHandle == 0xFE ? 1 : m_nextHandle + 1);
    m_position = 0;
    m_size = static_cast<uint32_t>(bytes);
    *handle = m_handle;
    *size = m_size;
    return kSimOk;
}

uint8_t SimDisk::CloseFile() {
    if (m_file == nullptr) return kSimNoFileOpen;
    DropOpenFile();
    return kSimOk;
}

uint8_t SimDisk::DeleteFile(const std::string& name) {
    std::vector<std::string> components;
    if (!ResolveLineName(name, &components) || components.empty()) return kSimBadName;
    if (m_file != nullptr && components == m_filePath) return kSimFileOpen;
    const fs::path path = HostPath(components);
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return kSimNotFound;
    return fs::remove(path, ec) ? kSimOk : kSimDiskError;
}

uint8_t SimDisk::MakeDir(const std::string& name) {
    std::vector<std::string> components;
    if (!ResolveLineName(name, &components) || components.empty()) return kSimBadName;
    const fs::path path = HostPath(components);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec))) return kSimExists;
    if (!fs::is_directory(path.parent_path(), ec)) return kSimNotFound;
    return fs::create_directory(path, ec) ? kSimOk : kSimDiskError;
}

uint8_t SimDisk::SetCurrentDir(const std::string& name) {
    std::vector<std::string> components;
    if (!ResolveLineName(name, &components)) return kSimBadName;
    std::error_code ec;
    if (!fs::is_directory(HostPath(components), ec)) return kSimNotFound;
    m_current = components;
    return kSimOk;
}

uint8_t SimDisk::RemoveDir(const std::string& name) {
    std::vector<std::string> components;
    if (!ResolveLineName(name, &components) || components.empty()) return kSimBadName;
    const fs::path path = HostPath(components);
    std::error_code ec;
    if (!fs::is_directory(path, ec)) return kSimNotFound;
    if (!fs::is_empty(path, ec)) return kSimNotEmpty;
    // The current directory, or one it lies in, stays.
    if (m_current.size() >= components.size() &&
        std::equal(components.begin(), components.end(), m_current.begin()))
        return kSimFileOpen;
    return fs::remove(path, ec) ? kSimOk : kSimDiskError;
}

uint8_t SimDisk::Write(uint8_t handle, const uint8_t* data, uint32_t count, uint32_t limit, uint32_t* written) {
    *written = 0;
    if (m_file == nullptr) return kSimNoFileOpen;
    if (handle != m_handle) return kSimBadHandle;
    const uint32_t take = count < limit ? count : limit;
    if (static_cast<uint64_t>(m_position) + take > UINT32_MAX) return kSimBadPosition;
    if (std::fseek(m_file, static_cast<long>(m_position), SEEK_SET) != 0) return kSimDiskError;
    const size_t done = take == 0 ? 0 : std::fwrite(data, 1, take, m_file);
    if (std::fflush(m_file) != 0 || done != take) return kSimDiskError;
    m_position += take;
    if (m_position > m_size) m_size = m_position;
    *written = take;
    return kSimOk;
}

uint8_t SimDisk::Read(uint8_t handle, uint32_t count, std::vector<uint8_t>* out) {
    out->clear();
    if (m_file == nullptr) return kSimNoFileOpen;
    if (handle != m_handle) return kSimBadHandle;
    if (count > 512) return kSimBadRequest;
    if (m_position >= m_size) return kSimOk;
    const uint32_t take = count < m_size - m_position ? count : m_size - m_position;
    out->resize(take);
    if (std::fseek(m_file, static_cast<long>(m_position), SEEK_SET) != 0) return kSimDiskError;
    const size_t done = take == 0 ? 0 : std::fread(out->data(), 1, take, m_file);
    out->resize(done);
    m_position += static_cast<uint32_t>(done);
    return kSimOk;
}

uint8_t SimDisk::Seek(uint8_t handle, int32_t offset, uint8_t origin) {
    if (m_file == nullptr) return kSimNoFileOpen;
    if (handle != m_handle) return kSimBadHandle;
    int64_t base = 0;
    switch (origin) {
        case 0: base = 0; break;
        case 1: base = m_position; break;
        case 2: base = m_size; break;
        default: return kSimBadRequest;
    }
    const int64_t target = base + offset;
    if (target < 0 || target > static_cast<int64_t>(UINT32_MAX)) return kSimBadPosition;
    m_position = static_cast<uint32_t>(target);
    return kSimOk;
}

bool SimDisk::ReadFile(const std::string& path, std::vector<uint8_t>* contents) const {
    std::vector<std::string> components;
    if (!Resolve("/" + path, &components)) return false;
    std::FILE* file = std::fopen(HostPath(components).c_str(), "rb");
    if (file == nullptr) return false;
    contents->clear();
    uint8_t buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) contents->insert(contents->end(), buffer, buffer + got);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

bool SimDisk::WriteFile(const std::string& path, const std::vector<uint8_t>& contents) {
    std::vector<std::string> components;
    if (!Resolve("/" + path, &components) || components.empty()) return false;
    std::FILE* file = std::fopen(HostPath(components).c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = contents.empty() || std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
    return std::fclose(file) == 0 && ok;
}

bool SimDisk::DirectoryExists(const std::string& path) const {
    std::vector<std::string> components;
    if (!Resolve("/" + path, &components)) return false;
    std::error_code ec;
    return fs::is_directory(HostPath(components), ec);
}
