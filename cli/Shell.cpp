#include <iostream>
#include <string>
#include <vector>

#include "Cli.h"

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
    "  put LOCAL [REMOTE] | get REMOTE [LOCAL] | rm | mkdir | cd | rmdir NAME\n"
    "  info | set [--rate N] [--clock 'YY-MM-DD hh:mm:ss'] | search | ports\n"
    "  help | quit\n"
    "Ctrl+C during a transfer stops it after the chunk on the line and comes back here.\n";

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

}  // namespace

int RunShell(Session& session, std::istream& in, bool interactive) {
    int lastFailure = kExitOk;
    std::string line;
    std::vector<std::string> words;
    for (;;) {
        if (interactive) *session.out << "tovrel> " << std::flush;
        if (!std::getline(in, line)) break;
        if (!Split(line, &words)) {
            *session.err << "a quote is not closed\n";
            lastFailure = kExitBadInput;
            continue;
        }
        if (words.empty()) continue;
        const std::string command = words.front();
        words.erase(words.begin());
        if (command == "quit" || command == "exit") break;
        if (command == "help") {
            *session.out << kShellHelp;
            continue;
        }
        const Result r = RunCommand(session, command, words);
        if (!r.ok()) {
            *session.err << r.message << '\n';
            lastFailure = r.code;
        }
    }
    if (interactive) *session.out << '\n';
    return lastFailure;
}
