#include <iostream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include "Cli.h"
#include "CtrlCStop.h"

namespace {

const char kShellHelp[] =
    "Commands, one a line (quote names with spaces; # starts a comment):\n"
    "  open NAME            open or create a file on the disk\n"
    "  write TEXT           write text at the file pointer (\\n \\r \\t \\\\ \\xHH escapes)\n"
    "  writefile LOCAL      write a PC file at the file pointer\n"
    "  read COUNT           read up to COUNT bytes and show them\n"
    "  readfile LOCAL       read the open file (its size at open) into a PC file\n"
    "  seek OFFSET [start|cur|end]\n"
    "  close                close the open file\n"
    "  put [OPTIONS] LOCAL [REMOTE] | get [OPTIONS] REMOTE [LOCAL]\n"
    "                       OPTIONS: --verify --resume --retries N --wait MS --fast [RATE]\n"
    "                       as the commands of the same names (see tovrel-cli --help)\n"
    "  rm | mkdir | cd | rmdir NAME\n"
    "  info | set [--rate N] [--clock 'YY-MM-DD hh:mm:ss'] | search | ports\n"
    "  help | quit\n"
    "Ctrl+C during a transfer stops it after the chunk on the line and comes back here.\n"
    "A disk file left open is closed at quit, at the end of input and on a signal that ends the shell\n"
    "(Ctrl+C at the prompt, TERM, HUP, QUIT, ALRM, USR1, USR2).\n";

// Splits a line into words; "..." and '...' keep blanks. False when a
// quote is not closed.
bool Split(const std::string& line, std::vector<std::string>* words) {
    words->clear();
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : line) {
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else
                word += c;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
        } else if (c == '#' && !inWord) {
            break;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (inWord) words->push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words->push_back(word);
    return quote == 0;
}

#ifndef _WIN32
// INT, TERM, HUP, QUIT, ALRM, USR1 or USR2: the loop sees it, closes a disk
// file left open, then the shell ends on that signal. The handler only
// keeps it and stops a transfer between chunks (a transfer's own stop does
// the same but for INT, which stops only the transfer); no SA_RESTART, so
// a wait for input returns.
// Set while the loop waits for a line on standard input.
volatile sig_atomic_t g_awaitingInput = 0;

void OnEndingSignal(int signal) {
    NoteEndingSignal(signal);
    // A signal just before the read would otherwise leave it blocked: the
    // input becomes /dev/null, so the read ends at once.
    if (g_awaitingInput != 0) {
        const int none = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (none >= 0) {
            dup2(none, 0);
            close(none);
        }
    }
}

void AwaitInput(bool waiting) { g_awaitingInput = waiting ? 1 : 0; }

void CatchEndingSignals() {
    for (const int signal : kEndingSignals) {
        struct sigaction previous {};
        if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = OnEndingSignal;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
}

const char* SignalName(int signal) {
    switch (signal) {
        case SIGINT: return "INT";
        case SIGTERM: return "TERM";
        case SIGHUP: return "HUP";
        case SIGQUIT: return "QUIT";
        case SIGALRM: return "ALRM";
        case SIGUSR1: return "USR1";
        default: return "USR2";
    }
}
#else
void AwaitInput(bool) {}
void CatchEndingSignals() {}
const char* SignalName(int) { return ""; }
#endif

int EndingSignal() { return PendingEndingSignal(); }

// The disk must not be pulled while a file is open: one the user left open
// is closed on the way out, and the shell says so.
void CloseLeftOpen(Session& session, const std::string& why) {
    if (session.file == nullptr) return;
    const std::string name = session.fileName;
    const Result r = RunCommand(session, "close", {});
    if (r.ok())
        *session.err << "shell: " << name << " was still open at " << why << ": closed\n";
    else
        *session.err << "shell: " << name << " was still open at " << why << "; " << r.message << '\n';
}

}  // namespace

int RunShell(Session& session, std::istream& in, bool interactive) {
    session.inShell = true;
    CatchEndingSignals();
    int lastFailure = kExitOk;
    std::string line;
    std::vector<std::string> words;
    std::string why = "the end of input";
    bool outputClosed = false;
    for (;;) {
        if (EndingSignal() != 0) break;
        if (interactive) *session.out << "tovrel> " << std::flush;
        AwaitInput(&in == &std::cin);
        const bool got = EndingSignal() == 0 && static_cast<bool>(std::getline(in, line));
        AwaitInput(false);
        if (!got) break;
        if (!Split(line, &words)) {
            *session.err << "a quote is not closed\n";
            lastFailure = kExitBadInput;
            continue;
        }
        if (words.empty()) continue;
        const std::string command = words.front();
        words.erase(words.begin());
        if (command == "quit" || command == "exit") {
            why = command;
            break;
        }
        if (command == "help") {
            *session.out << kShellHelp;
        } else {
            const Result r = RunCommand(session, command, words);
            if (!r.ok()) {
                *session.err << r.message << '\n';
                lastFailure = r.code;
            }
        }
        // A reader that went away (| head -1): stop here rather than run
        // commands whose output nobody sees.
        if (!session.out->flush()) {
            outputClosed = true;
            why = "a closed standard output";
            break;
        }
    }
    const int signal = EndingSignal();
    if (signal != 0) why = std::string("signal ") + SignalName(signal);
    CloseLeftOpen(session, why);
    if (interactive && !outputClosed) *session.out << '\n' << std::flush;
#ifndef _WIN32
    if (signal != 0) {
        CleanUpAndRaise(signal);
        _exit(128 + signal);
    }
#endif
    if (outputClosed) {
        *session.err << "shell: standard output is closed; stopped\n";
        return kExitOutputClosed;
    }
    return lastFailure;
}
