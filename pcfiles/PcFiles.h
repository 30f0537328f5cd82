// PC files as the program reads and writes them.
//
// A file to send to the module is read only if it is a regular file: a
// FIFO would block the opening until some writer appears, and a device may
// never end (and opening a serial device raises its DTR and RTS). The path
// is checked before it is opened, and the opened file must be the same
// regular file that was checked. A file received from the module is
// written to a new temporary file of a random name beside its target
// (created exclusively, never through a link) and renamed over the target
// only once complete and flushed, so an existing file is either replaced
// whole or left as it was. A target that is a symbolic link is replaced by
// a file; the link's target is not written.
//
// A save that may be resumed (get --resume) writes instead into a partial
// file of a fixed name beside its target, ResumePath(target), which is kept
// when the save fails or the process ends on a signal, so that the next
// save continues it; see PcFileWriter::Resume for what is refused there.
// Beside it, ResumeSourcePath(target) records what the partial file holds
// the start of, so that it is only ever continued with the same source.
//
// Paths are UTF-8 (converted for the wide calls on Windows); a path with a
// NUL byte is refused. Nothing here shows a message: results say what
// happened, *error holds the system's reason where there is one.
#ifndef TOVREL_PCFILES_PCFILES_H
#define TOVREL_PCFILES_PCFILES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class PcFileRead {
    kOk,
    kCannotOpen,  // missing, no permission, ... (*error says)
    kNotRegular,  // a directory, FIFO, device or socket, or swapped for one: not read at all
    kTooLarge,    // larger than the limit given
    kNoMemory,    // no buffer of that size could be had
    kReadFailed,  // the read itself failed (*error says)
};

// Reads the regular file at path into *contents, refusing files larger than
// maxSize bytes. Never blocks on a FIFO or a device.
PcFileRead ReadWholePcFile(const std::string& path, uint64_t maxSize, std::vector<uint8_t>* contents,
                           std::string* error);

// A regular PC file read piece by piece, in bounded memory. Files whose size
// is not known in advance (st_size 0 under /proc) are read to their end.
class PcFileSource {
public:
    PcFileSource() = default;
    ~PcFileSource();
    PcFileSource(const PcFileSource&) = delete;
    PcFileSource& operator=(const PcFileSource&) = delete;

    // kOk, kCannotOpen, kNotRegular or kTooLarge (size at open over maxSize).
    PcFileRead Open(const std::string& path, uint64_t maxSize, std::string* error);
    // The size the system gave at open, in bytes; 0 may mean "unknown".
    uint64_t SizeAtOpen() const { return m_size; }
    // Fills up to size bytes, fewer only at the end of the file. The count
    // (0: the end), or -1 with *error on a failed read.
    long long Read(uint8_t* buffer, size_t size, std::string* error);
    // As Read, from `offset` bytes into the file, leaving the position
    // where Read goes on as it was on POSIX (on Windows: after these bytes).
    long long ReadAt(uint64_t offset, uint8_t* buffer, size_t size, std::string* error);
    // Moves the position Read goes on from to `offset` bytes into the file.
    // False with *error.
    bool SeekTo(uint64_t offset, std::string* error);

private:
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
    uint64_t m_size = 0;
};

// A PC file being written: bytes go to a new temporary file beside path,
// which Commit renames over path. Until then path is untouched; a writer
// destroyed or Abandoned without Commit removes its temporary file, and so
// does RemovePartialPcFiles on a signal. Commit gives the new file the
// permission bits of the file it replaces (and its owner and group where
// the process may set them); a new file gets 0666 less the umask.
class PcFileWriter {
public:
    PcFileWriter() = default;
    ~PcFileWriter() { Abandon(); }
    PcFileWriter(const PcFileWriter&) = delete;
    PcFileWriter& operator=(const PcFileWriter&) = delete;

    // Creates the temporary file. False with a reason ("path: reason").
    bool Begin(const std::string& path, std::string* error);
    // Opens ResumePath(path) instead, creating it (mode 0600) if missing;
    // Write appends to what it holds (Written() starts there). Unlike the
    // temporary file it is kept by Abandon, the destructor and signals, for
    // the next Resume (unless it holds nothing); Discard removes it. Refused
    // without writing anything: a symbolic link (never followed), anything
    // but a regular file (a FIFO or device is not even opened), a file of
    // another user, one with other hard links, or one another writer holds.
    // False with a reason.
    // `source` names what the bytes are the start of (opaque text). What the
    // partial file holds is kept only if its record, ResumeSourcePath(path),
    // says the same source: otherwise (no record, another source, a record
    // that is no plain file of ours, or `source` empty: not known) it is
    // emptied first, Dropped() tells how many bytes went, and the record is
    // written anew (none for an empty source) before anything is appended.
    // The record is made as the partial file is: exclusively, mode 0600,
    // never through a link, checked to be a regular file with one link.
    bool Resume(const std::string& path, const std::string& source, std::string* error);
    // Bytes of another source that Resume emptied the partial file of.
    uint64_t Dropped() const { return m_dropped; }
    // Empties the partial file of Resume, keeping its record: what it held
    // proved not to be its source's start. False with a reason.
    bool StartOver(std::string* error);
    bool Write(const uint8_t* data, size_t size, std::string* error);
    // Puts bytes in place of some written earlier, `offset` bytes into the
    // file; what follows them and Written() stay. False with a reason, also
    // for bytes that were never written.
    bool Rewrite(uint64_t offset, const uint8_t* data, size_t size, std::string* error);
    // Up to size bytes written earlier, from `offset` bytes into the file
    // (temporary or partial): the count (fewer only at its end), or -1 with
    // *error.
    long long ReadBack(uint64_t offset, uint8_t* buffer, size_t size, std::string* error);
    // Flushes to the disk and renames over the target. False with a reason:
    // the target is as it was and the temporary file gone (a partial file
    // of Resume is kept).
    bool Commit(std::string* error);
    // Removes the temporary file, if any; the target stays as it was. A
    // partial file of Resume is only closed, unless it holds nothing.
    void Abandon();
    // Removes the temporary or partial file (and its record), if any.
    void Discard();
    // The bytes the file holds: written so far, and for Resume kept before.
    uint64_t Written() const { return m_written; }
    // The temporary or partial file's path; empty when none.
    const std::string& FilePath() const { return m_temp; }

private:
    // Closes what was being written (see Abandon) and takes path as the
    // target; false for a name with a NUL byte.
    bool Retarget(const std::string& path, std::string* error);
    // Removes the record of a partial file's source, if any.
    void RemoveRecord();
    // All `size` bytes, `offset` bytes into the file. False with a reason.
    bool WriteAt(uint64_t offset, const uint8_t* data, size_t size, std::string* error);

    std::string m_path;
    std::string m_temp;
    std::string m_record;  // a partial file's record of its source; empty when none
    int m_slot = -1;  // in the signal-time registry; -1 none
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
    uint64_t m_written = 0;
    uint64_t m_dropped = 0;
    bool m_keep = false;  // a partial file of Resume: kept unless committed or discarded
};

// The partial file a resumable save of path keeps: path + ".tovrel-resume";
// and the record of its source beside it: path + ".tovrel-resume-source".
std::string ResumePath(const std::string& path);
std::string ResumeSourcePath(const std::string& path);

// Writes size bytes to path through a PcFileWriter. False with a reason:
// path is then as it was and the temporary file gone.
bool ReplacePcFile(const std::string& path, const uint8_t* data, size_t size, std::string* error);

// Removes the temporary files of the writers still open, for a handler of
// a signal that ends the process. Async-signal-safe. No-op on Windows.
void RemovePartialPcFiles();

// The last part of a module or PC path ("DIR/SUB/FILE.TXT" -> "FILE.TXT").
std::string LastPathPart(const std::string& path);

// The full path a bare or relative name lands at, from the current
// directory, as the user will look for it; the name as it is when that
// cannot be told.
std::string AbsolutePcPath(const std::string& name);
// Whether anything has that name, a link (not followed) included.
bool PcPathTaken(const std::string& path);

#endif
