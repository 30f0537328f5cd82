// A file or directory name as the module takes it: its bytes in code page
// 936, at least one and at most kMaxDiskNameBytes of them, without a NUL
// (the name travels as a C string: "KEEP.TXT\0.bak" would be KEEP.TXT
// there), and reading back as typed, so the module acts on the name the
// user meant. Every caller that sends a name encodes it here.
#ifndef TOVREL_PROTOCOL_MODULENAME_H
#define TOVREL_PROTOCOL_MODULENAME_H

#include <string>

enum class NameProblem {
    kNone,
    kEmpty,       // no name at all
    kNul,         // a NUL byte
    kNotCp936,    // a character code page 936 cannot hold
    kNotAsTyped,  // it would not reach the module as typed
    kTooLong,     // more than kMaxDiskNameBytes bytes in code page 936
};

// The module's bytes for a UTF-8 name in *bytes, or what is wrong with it.
NameProblem EncodeModuleName(const std::string& utf8, std::string* bytes);

#endif
