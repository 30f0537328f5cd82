// tovrel-sim's --link: a symbolic link to the simulator's terminal at a
// path the user names, often in a folder others write (/tmp). Only a
// missing path or a symbolic link is ever replaced, and only a link that
// still names this simulator's terminal is ever removed: a second
// simulator on the same path takes it over, and the first, going, leaves
// the second's link alone.
#ifndef TOVREL_SIM_SIMLINK_H
#define TOVREL_SIM_SIMLINK_H

#include <string>

enum class LinkPlaced {
    kPlaced,
    kRefused,  // something other than a symbolic link is at the path: left as it was
    kFailed,   // the folder takes no link (missing, not writable, ...)
};

// Makes `path` a symbolic link to `terminal`, replacing a symbolic link
// there in one step. *error says why when it is not placed.
LinkPlaced PlaceTerminalLink(const std::string& path, const std::string& terminal, std::string* error);

// Removes `path` if it is still a symbolic link to `terminal`.
void RemoveTerminalLink(const std::string& path, const std::string& terminal);

#endif
