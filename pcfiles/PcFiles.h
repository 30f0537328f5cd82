// PC files as the program reads and writes them.
//
// A file to send to the module is read whole, and only if it is a regular
// file: a FIFO would block the opening until some writer appears, and a
// device may never end. A file received from the module is written beside
// its target and renamed over it only once complete and flushed, so an
// existing file is either replaced whole or left as it was.
//
// Paths are UTF-8 (converted for the wide calls on Windows). Nothing here
// shows a message: results say what happened, *error holds the system's
// reason where there is one.
#ifndef TOVREL_PCFILES_PCFILES_H
#define TOVREL_PCFILES_PCFILES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class PcFileRead {
    kOk,
    kCannotOpen,  // missing, no permission, ... (*error says)
    kNotRegular,  // a directory, FIFO, device or socket: not opened for reading at all
    kTooLarge,    // larger than the limit given
    kNoMemory,    // no buffer of that size could be had
    kReadFailed,  // the read itself failed (*error says)
};

// Reads the regular file at path into *contents, refusing files larger than
// maxSize bytes. Never blocks on a FIFO or a device.
PcFileRead ReadWholePcFile(const std::string& path, uint64_t maxSize, std::vector<uint8_t>* contents,
                           std::string* error);

// Writes size bytes to path through a partial file beside it, renamed over
// path once all is written and flushed. False with a reason: path is then
// as it was and the partial file gone.
bool ReplacePcFile(const std::string& path, const uint8_t* data, size_t size, std::string* error);

// The last part of a module or PC path ("DIR/SUB/FILE.TXT" -> "FILE.TXT").
std::string LastPathPart(const std::string& path);

#endif
