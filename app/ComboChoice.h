// What text typed into a drop-down combo's edit field names.
//
// A user may pick an item from the list or type it. Typed text names an
// item when, with blanks around it dropped and ASCII letters compared
// without regard to case, it equals one of the item's names: its own text,
// or another name it is known by ("COM2" for 串口2, the device name of a
// listed port). Text that names no item is refused by the caller, never
// taken for the first item.
#ifndef TOVREL_APP_COMBOCHOICE_H
#define TOVREL_APP_COMBOCHOICE_H

#include <string>
#include <vector>

// The text without the spaces and tabs around it: what a user's stray
// blanks in a field leave.
std::string WithoutSurroundingBlanks(const std::string& text);

// An item's names, its text first.
using ComboItemNames = std::vector<std::string>;

// The index of the first item that `typed` names, or -1.
int ItemNamedBy(const std::string& typed, const std::vector<ComboItemNames>& items);

// The message for text that names no item: what was typed, that nothing
// was sent, and what is accepted.
std::string NoSuchItemMessage(const std::string& what, const std::string& typed,
                              const std::vector<std::string>& accepted);

#endif
