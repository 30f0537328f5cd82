// The simulated module's flash disk: a host folder seen through the
// module's file commands. One open file with its own pointer, a current
// directory of its own, names as code-page-936 bytes kept as UTF-8 on the
// host. Every name is resolved inside the folder: ".." stops at the disk's
// root and symbolic links are not followed out of it.
//
// Not thread-safe; the simulator serialises access.
#ifndef TOVREL_SIM_SIMDISK_H
#define TOVREL_SIM_SIMDISK_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// The module's answers; 0 is success.
enum SimStatus : uint8_t {
    kSimOk = 0x00,
    kSimNotFound = 0x01,
    kSimExists = 0x02,
    kSimNotEmpty = 0x03,
    kSimBadName = 0x04,
    kSimNoFileOpen = 0x05,
    kSimFileOpen = 0x06,
    kSimBadHandle = 0x07,
    kSimBadPosition = 0x08,
    kSimBadRequest = 0x09,
    kSimNoDisk = 0x0A,
    kSimDiskError = 0x0B,
};

class SimDisk {
public:
    SimDisk() = default;
    ~SimDisk();
    SimDisk(const SimDisk&) = delete;
    SimDisk& operator=(const SimDisk&) = delete;

    // The host folder holding the disk; empty: a new temporary folder,
    // removed again with the disk. False with a message if unusable.
    bool Attach(const std::string& folder, std::string* error);
    const std::filesystem::path& Root() const { return m_root; }

    // Names are the bytes that came over the line.
    uint8_t OpenFile(const std::string& name, uint8_t* handle, uint32_t* size);
    uint8_t CloseFile();
    uint8_t DeleteFile(const std::string& name);
    uint8_t MakeDir(const std::string& name);
    uint8_t SetCurrentDir(const std::string& name);
    uint8_t RemoveDir(const std::string& name);

    // Writes at the pointer, at most `limit` of the bytes; *written tells.
    uint8_t Write(uint8_t handle, const uint8_t* data, uint32_t count, uint32_t limit, uint32_t* written);
    // Up to count bytes from the pointer; fewer (or none) at the end.
    uint8_t Read(uint8_t handle, uint32_t count, std::vector<uint8_t>* out);
    uint8_t Seek(uint8_t handle, int32_t offset, uint8_t origin);

    // The open file's handle (0xFF none) and its size now.
    uint8_t OpenHandle() const { return m_file != nullptr ? m_handle : 0xFF; }
    uint32_t OpenSize() const { return m_file != nullptr ? m_size : 0; }
    // Current directory and open file (components from the root; empty:
    // the root, none open), the open file's pointer.
    const std::vector<std::string>& CurrentDir() const { return m_current; }
    const std::vector<std::string>& OpenPath() const { return m_filePath; }
    uint32_t Position() const { return m_file != nullptr ? m_position : 0; }
    // Forgets the open file, as a pulled disk does.
    void DropOpenFile();

    // For tests and tools: module paths in UTF-8, relative to the root.
    bool ReadFile(const std::string& path, std::vector<uint8_t>* contents) const;
    bool WriteFile(const std::string& path, const std::vector<uint8_t>& contents);
    bool DirectoryExists(const std::string& path) const;

private:
    // A module name, resolved against the current directory.
    bool Resolve(const std::string& utf8Name, std::vector<std::string>* components) const;
    bool ResolveLineName(const std::string& cp936Name, std::vector<std::string>* components) const;
    std::filesystem::path HostPath(const std::vector<std::string>& components) const;

    std::filesystem::path m_root;
    bool m_ownsRoot = false;
    std::vector<std::string> m_current;  // current directory, from the root

    std::FILE* m_file = nullptr;  // the open file
    std::vector<std::string> m_filePath;
    uint8_t m_handle = 0xFF;
    uint8_t m_nextHandle = 1;
    uint32_t m_position = 0;
    uint32_t m_size = 0;
};

#endif
