// The client's dealings with ports rather than with the module: opening the
// session's port (and saying why it would not open), the port list, the
// search over COM1, COM2 and that list, and a port that went away.
#include <cctype>
#include <ostream>

#include "Cli.h"
#include "protocol/ModuleSearch.h"
#include "serial/PortLock.h"
#include "serial/SerialChannel.h"
#include "serial/SerialPorts.h"

namespace {

// Why the last open of theSerialChannel failed, for "cannot open X: ...".
std::string OpenRefusal() {
    const PortLockNotes notes = LastPortLockNotes();
    if (!notes.heldBecause.empty()) return notes.heldBecause;
    switch (theSerialChannel.LastError()) {
        case ERROR_FILE_NOT_FOUND:
#ifdef _WIN32
        case ERROR_PATH_NOT_FOUND:
#endif
            return "no such port";
        case ERROR_SHARING_VIOLATION: return "another program holds it";
#ifdef _WIN32
        case ERROR_ACCESS_DENIED: return "another program holds it";
#else
        case ERROR_ACCESS_DENIED:
            return "permission denied (serial ports belong to the dialout group: sudo adduser $USER dialout, "
                   "then log in again)";
#endif
        default: return "it is missing or another program holds it";
    }
}

// "A", "A or B", "A, B or C" (with "and" likewise).
std::string Listed(const std::vector<std::string>& names, const char* last) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += i + 1 == names.size() ? std::string(" ") + last + " " : ", ";
        text += names[i];
    }
    return text;
}

// How to name a port so that a kernel's console is used after all.
std::string HowToName(const std::string& port) {
    const bool com = port.compare(0, 3, "COM") == 0;
    return "name it to use it: --port " + (com ? port.substr(3) : port) + ", or " +
           (com ? "set TOVREL_" + port : std::string("list it in TOVREL_PORTS"));
}

// What a search met on its way: which ports could not be opened at all,
// and which it left out as the kernel's console.
struct SearchWatch {
    std::vector<std::string> names;  // COM1, COM2, then the listed ports
    std::vector<bool> unopened;
    std::vector<bool> skipped;
    std::ostream* err = nullptr;     // where attempts are shown; null: nowhere
    std::ostream* notes = nullptr;   // where skipped ports are told, --json or not
    int lastPort = -1;

    // An attempt whose opening failed leaves the channel closed.
    void NoteLastAttempt() {
        if (lastPort < 0 || theSerialChannel.m_hComm != nullptr || unopened[lastPort]) return;
        unopened[lastPort] = true;
        if (err != nullptr) *err << names[lastPort] << ": cannot be opened\n";
    }
    bool NoneOpened() const {
        for (size_t i = 0; i < names.size(); ++i)
            if (!unopened[i] && !skipped[i]) return false;
        return true;
    }
    std::string Failure() const {
        std::vector<std::string> opened, closed, left;
        for (size_t i = 0; i < names.size(); ++i) (skipped[i] ? left : unopened[i] ? closed : opened).push_back(names[i]);
        std::string text;
        if (opened.empty() && closed.size() == 2 && names.size() == 2) {
            text = "search: neither COM1 nor COM2 could be opened";
        } else if (opened.empty() && closed.size() == 1) {
            text = "search: " + closed[0] + " could not be opened";
        } else if (opened.empty() && !closed.empty()) {
            text = "search: none of " + Listed(closed, "or") + " could be opened";
        } else if (opened.empty()) {
            text = "search: no port to search";
        } else {
            text = "search: no answer on " + Listed(opened, "or") + " at any rate";
            if (!closed.empty()) text += "; " + Listed(closed, "and") + " could not be opened";
        }
        if (!left.empty()) text += "; " + Listed(left, "and") + " not searched: the kernel's console";
        return text;
    }
};

// The length of the well-formed UTF-8 sequence that starts at text[i], or
// 0: no overlong forms, no surrogates, nothing past U+10FFFF.
size_t Utf8SequenceAt(const std::string& text, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = at(i);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - i < length || at(i + 1) < low || at(i + 1) > high) return 0;
    for (size_t k = 2; k < length; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
    return length;
}

// "COMn" for a port that --port names as the window's port combo does: a
// number 1 to 6, or COMn in any case of letters ("com2"), blanks around it
// aside. Empty for anything else, such as a path, whose case matters.
std::string ComPortName(const std::string& typed) {
    const size_t first = typed.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    std::string text = typed.substr(first, typed.find_last_not_of(" \t") - first + 1);
    long number = 0;
    if (text.find_first_not_of("0123456789") == std::string::npos)
        return ParseInt(text, 1, 6, &number) ? "COM" + text : std::string();
    for (size_t i = 0; i < text.size() && i < 3; ++i)
        text[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    const std::string digits = text.size() > 3 ? text.substr(3) : std::string();
    const bool isCom = text.compare(0, 3, "COM") == 0 && !digits.empty() && digits[0] != '0' && digits.size() <= 3 &&
                       digits.find_first_not_of("0123456789") == std::string::npos;
    return isCom ? text : std::string();
}

void OnSearchAttempt(int portIndex, int baudIndex, void* context) {
    auto& watch = *static_cast<SearchWatch*>(context);
    watch.NoteLastAttempt();
    watch.lastPort = portIndex;
    if (watch.err != nullptr)
        *watch.err << "trying " << watch.names[portIndex] << " at " << kModuleBaudRates[baudIndex] << " bit/s\n";
}

void OnSearchSkip(int portIndex, void* context) {
    auto& watch = *static_cast<SearchWatch*>(context);
    watch.NoteLastAttempt();
    watch.lastPort = -1;
    watch.skipped[portIndex] = true;
    const std::string& name = watch.names[portIndex];
    *watch.notes << name << ": not searched: it is the kernel's console (" << HowToName(name) << ")\n";
}

}  // namespace

std::string JsonString(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const size_t length = Utf8SequenceAt(text, i);
        if (length == 0) {
            // A byte that is no UTF-8 (a device path may hold any byte): the
            // replacement character, so the output stays valid JSON.
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += text[i];
        } else if (byte < 0x20) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out + '"';
}

Result PortLostFailure(const std::string& what, const std::string& detail) {
    std::string message =
        what + ": port lost: " + theSerialChannel.m_pszPortName + " went away (adapter pulled, or the line hung up)";
    if (!detail.empty()) message += "; " + detail;
    return Failure(kExitPortLost, message);
}

Result SelectPort(const Session& s) {
    const std::string com = ComPortName(s.port);
    long number = 0;
    if (!com.empty() && ParseInt(com.substr(3), 1, 6, &number)) {
        theSerialChannel.SelectPort(static_cast<int>(number));
    } else if (!com.empty()) {
        theSerialChannel.SelectPortName(com.c_str());
    } else if (!s.port.empty() && s.port.find_first_not_of("0123456789") != std::string::npos) {
        theSerialChannel.SelectPortName(s.port.c_str());
    } else {
        return Failure(kExitBadInput, "--port " + s.port + ": not a port; --port takes 1 to 6 for COM1 to COM6, or a "
                                      "port's name such as COM7 or /dev/ttyUSB0");
    }
    if (BaudIndex(s.baud) < 0) return Failure(kExitBadInput, "--baud takes one of " + RateList());
    return {};
}

int RateIndexOf(const std::string& text) {
    for (int i = 0; i < 8; ++i)
        if (text == std::to_string(kModuleBaudRates[i])) return i;
    return -1;
}

std::string RateList() {
    std::string list;
    for (const int rate : kModuleBaudRates) list += (list.empty() ? "" : " ") + std::to_string(rate);
    return list;
}

Result OpenPort(const Session& s) {
    Result r = SelectPort(s);
    if (!r.ok()) return r;
    theSerialChannel.Close(true);
    theSerialChannel.SelectBaudRate(s.baud);
    const std::string name = theSerialChannel.m_pszPortName;
    if (!s.portNamed && IsUnnamedKernelConsole(name.c_str()))
        return Failure(kExitPortFailed, "cannot open " + name + ": it is the kernel's console (" + HowToName(name) + ")");
    if (theSerialChannel.Open(8, 0, 0) != kSerialOk)
        return Failure(kExitPortFailed, std::string("cannot open ") + theSerialChannel.m_pszPortName + ": " + OpenRefusal());
    const PortLockNotes notes = LastPortLockNotes();
    if (s.trace && !notes.unlockedBecause.empty()) {
        *s.err << "note: " << theSerialChannel.m_pszPortName << " is held by flock alone, without a lock file: "
               << notes.unlockedBecause << '\n';
    }
    return {};
}

Result ListPorts(Session& s) {
    const std::vector<SerialPortInfo> ports = ListSerialPorts();
    std::ostream& out = *s.out;
    if (s.json) {
        // One line, as every --json answer, so that a script reads the shell's
        // answers line by line.
        out << '[';
        for (size_t i = 0; i < ports.size(); ++i) {
            const SerialPortInfo& p = ports[i];
            out << (i == 0 ? "" : ", ") << "{\"name\": " << JsonString(p.name)
                << ", \"description\": " << JsonString(p.description) << ", \"vendor\": " << JsonString(p.vendor)
                << ", \"model\": " << JsonString(p.model) << ", \"serial\": " << JsonString(p.serial) << '}';
        }
        out << "]\n";
        return {};
    }
    if (ports.empty()) *s.err << "ports: no serial ports besides COM1 and COM2\n";
    for (const SerialPortInfo& p : ports) out << p.name << "  " << p.description << '\n';
    return {};
}

Result Search(Session& s) {
    SearchWatch watch;
    watch.names = {"COM1", "COM2"};
    std::vector<std::string> listed;
    for (const SerialPortInfo& p : ListSerialPorts()) listed.push_back(p.name);
    watch.names.insert(watch.names.end(), listed.begin(), listed.end());
    watch.unopened.assign(watch.names.size(), false);
    watch.skipped.assign(watch.names.size(), false);
    if (!s.json) watch.err = s.err;
    watch.notes = s.err;

    SearchOptions options;
    options.attempted = OnSearchAttempt;
    options.skipped = OnSearchSkip;
    options.context = &watch;
    // SelectPort has turned --port into the channel's name for it; a copy,
    // as the search selects other names.
    const std::string named = theSerialChannel.m_pszPortName;
    if (s.portNamed) options.namedPort = named.c_str();
    ModuleFound found;
    if (!SearchModule(listed, &found, options)) {
        watch.NoteLastAttempt();
        return Failure(watch.NoneOpened() ? kExitPortFailed : kExitNoAnswer, watch.Failure());
    }
    s.port = found.portName;
    s.baud = kModuleBaudRates[found.baudIndex];
    if (!s.json) *s.out << "found: " << found.portName << " at " << s.baud << " bit/s\n";
    PrintInfo(s, found.info);
    return {};
}
