// PC files, read whole and written so that an existing file is only ever
// replaced by a complete new one.
#ifndef TOVREL_CLI_PCFILES_H
#define TOVREL_CLI_PCFILES_H

#include <cstdint>
#include <string>
#include <vector>

// False with a reason in *error.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* contents, std::string* error);

// Writes beside the target and renames over it once all is written and
// flushed; on failure the target is as it was and the partial file gone.
bool ReplacePcFile(const std::string& path, const uint8_t* data, size_t size, std::string* error);

// The last part of a module path ("DIR/SUB/FILE.TXT" -> "FILE.TXT").
std::string LastPathPart(const std::string& path);

#endif
