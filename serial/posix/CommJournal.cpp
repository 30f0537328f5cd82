#include "CommJournal.h"

#include <unistd.h>

namespace comm_journal {
namespace {
bool g_enabled = false;
int g_sink = -1;
Hook g_hook = nullptr;
void* g_hookContext = nullptr;
// Never destroyed: the serial channel's teardown at process exit records
// into it after ordinary statics may have gone.
std::vector<std::string>& Store() {
    static auto* entries = new std::vector<std::string>;
    return *entries;
}
}  // namespace

void Enable(bool on) { g_enabled = on; }
bool Enabled() { return g_enabled; }
void Clear() { Store().clear(); }
std::vector<std::string> Entries() { return Store(); }
void SetSink(int fd) { g_sink = fd; }
void SetHook(Hook hook, void* context) {
    g_hook = hook;
    g_hookContext = context;
}

void Record(const char* name, const char* detail) {
    if (!g_enabled) return;
    std::string entry(name);
    if (detail != nullptr) {
        entry += '(';
        entry += detail;
        entry += ')';
    }
    if (g_sink >= 0) {
        const std::string line = entry + '\n';
        // A journal line that cannot be written is lost, never retried: the
        // sink is a test's pipe.
        if (write(g_sink, line.data(), line.size()) < 0) g_sink = -1;
    }
    if (g_hook != nullptr) g_hook(entry, g_hookContext);
    Store().push_back(std::move(entry));
}

}  // namespace comm_journal
