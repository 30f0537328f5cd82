// tovrel-cli: see kUsage, and the man page tovrel-cli(1).
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <signal.h>
#endif

#include "Cli.h"
#include "CtrlCStop.h"
#include "Terminal.h"
#include "pcfiles/PcFiles.h"
#include "protocol/DeviceCommands.h"
#include "protocol/DiskCommands.h"
#include "serial/PortLock.h"
#include "serial/StandardDescriptors.h"
#ifdef _WIN32
#include "text/WideText.h"
#endif

namespace {

#ifndef _WIN32
// A signal that ends the client (Ctrl+C, kill, a closed terminal, an alarm,
// a user signal) outside a transfer ends it at once, without leaving its
// port's lock file or a half-made PC file behind. During put and get one
// stops the transfer first and closes the disk file (CtrlCStop).
void EndOnSignal(int signal) { CleanUpAndRaise(signal); }

void CleanUpOnSignals() {
    for (const int signal : kEndingSignals) {
        struct sigaction previous {};
        // One ignored at the start stays ignored.
        if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = EndOnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
    // A closed output pipe shows as EPIPE on the write, which the client
    // turns into its own exit after cleaning up.
    signal(SIGPIPE, SIG_IGN);
}
#endif

// Arguments as UTF-8, on Windows from the wide command line.
std::vector<std::string> Arguments(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    std::vector<std::string> args;
    int n = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
    for (int i = 1; wide != nullptr && i < n; ++i) args.push_back(Narrow(wide[i]));
    LocalFree(wide);
    SetConsoleOutputCP(CP_UTF8);
    return args;
#else
    return std::vector<std::string>(argv + 1, argv + argc);
#endif
}

}  // namespace

#ifndef _WIN32
void CleanUpAndRaise(int signal) {
    RemoveHeldPortLocks();
    RemovePartialPcFiles();
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
}
#endif

int main(int argc, char** argv) {
    // Output to a standard output closed at the start is lost, as to one
    // closed later: its stream's failure ends the client (kExitOutputClosed).
    if (FillClosedStandardDescriptors().output) std::cout.setstate(std::ios::badbit);
    const std::vector<std::string> args = Arguments(argc, argv);
    Session session;
    session.out = &std::cout;
    session.err = &std::cerr;

    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return kExitOk;
        } else if (a == "--version") {
            std::cout << "tovrel-cli 1.0.0.1\n";
            return kExitOk;
        } else if ((a == "--port" || a == "--baud") && !hasValue) {
            std::cerr << a << " needs a value (try --help)\n";
            return kExitBadInput;
        } else if (a == "--port") {
            session.port = args[++i];
            session.portNamed = true;
        } else if (a == "--baud") {
            const std::string& rate = args[++i];
            const int index = RateIndexOf(rate);
            if (index < 0) {
                std::cerr << "--baud " << rate << ": not a rate; --baud takes one of " << RateList() << '\n';
                return kExitBadInput;
            }
            session.baud = kModuleBaudRates[index];
        } else if (a == "--trace") {
            session.trace = true;
        } else if (a == "--json") {
            session.json = true;
        } else if (a == "--progress") {
            session.progress = true;
        } else if (!a.empty() && a[0] == '-') {
            std::cerr << "unknown option " << a << " (try --help)\n";
            return kExitBadInput;
        } else {
            break;
        }
    }
    if (i == args.size()) {
        std::cerr << kUsage;
        return kExitBadInput;
    }
    const std::string& command = args[i];
    const std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
    session.progress = session.progress || StderrIsTerminal();
    if (session.trace) InstallFrameTrace(&std::cerr);

#ifndef _WIN32
    CleanUpOnSignals();
#endif
    DiskProtocolReset();
    // The search finds its own port: a missing --port must not stop it. The
    // port list opens nothing.
    const Result opened = command == "search" ? SelectPort(session) : command == "ports" ? Result{} : OpenPort(session);
    if (!opened.ok()) {
        std::cerr << opened.message << '\n';
        return opened.code;
    }
    if (command == "shell") {
        if (!rest.empty()) {
            std::cerr << "usage: shell\n";
            return kExitBadInput;
        }
        return RunShell(session, std::cin, StdinIsTerminal());
    }
    const Result r = RunCommand(session, command, rest);
    if (!r.ok()) std::cerr << r.message << '\n';
#ifndef _WIN32
    // A signal that stopped a transfer ends the client now that the disk
    // file is closed.
    if (PendingEndingSignal() != 0) {
        std::cout.flush();
        CleanUpAndRaise(PendingEndingSignal());
    }
#endif
    if (!std::cout.flush() && r.ok()) {
        std::cerr << command << ": standard output is closed; what it printed is lost\n";
        return kExitOutputClosed;
    }
    return r.code;
}
