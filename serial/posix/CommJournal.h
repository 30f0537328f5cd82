// A journal of the Win32 comm calls made through the Linux layer, for tests
// that must show a call sequence (the teardown order) or that no platform
// call was made at all. Off unless a test turns it on; costs one branch a
// call when off.
#ifndef TOVREL_SERIAL_POSIX_COMMJOURNAL_H
#define TOVREL_SERIAL_POSIX_COMMJOURNAL_H

#include <string>
#include <vector>

namespace comm_journal {

void Enable(bool on);
void Clear();
// Every call since the last Clear, oldest first, as "Name" or "Name(detail)",
// e.g. "EscapeCommFunction(CLRDTR)", "CloseHandle(port)".
std::vector<std::string> Entries();
// Also writes each entry and a newline to fd as it is made (-1: none), so a
// test can watch the calls of a child process up to its very end.
void SetSink(int fd);
// Called with each entry as it is made, before the call it records has done
// anything (null: none), so a test can act at an exact point of a call
// sequence, e.g. between two calls of the channel. The hook must not make
// comm calls itself.
using Hook = void (*)(const std::string& entry, void* context);
void SetHook(Hook hook, void* context);

// Used by the layer itself.
bool Enabled();
void Record(const char* name, const char* detail = nullptr);

}  // namespace comm_journal

#endif
