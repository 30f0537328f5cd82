#include "PortNames.h"

#include <climits>
#include <cstdlib>
#include <cstring>

std::string DevicePathOf(const char* name) {
    if (name[0] == '/') return name;
    if (std::strncmp(name, "COM", 3) != 0) return {};
    char* end = nullptr;
    const long n = std::strtol(name + 3, &end, 10);
    if (end == name + 3 || *end != '\0' || n < 1 || n > 255) return {};
    const std::string variable = std::string("TOVREL_") + name;
    if (const char* path = std::getenv(variable.c_str()); path != nullptr && path[0] != '\0') return path;
    return "/dev/ttyS" + std::to_string(n - 1);
}

std::string ResolvedPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return {};
    return resolved;
}
