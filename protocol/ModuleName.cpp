#include "ModuleName.h"

#include "DiskCommands.h"
#include "text/Cp936.h"

NameProblem EncodeModuleName(const std::string& utf8, std::string* bytes) {
    bytes->clear();
    if (utf8.empty()) return NameProblem::kEmpty;
    if (utf8.find('\0') != std::string::npos) return NameProblem::kNul;
    if (!Utf8ToCp936(utf8, bytes)) return NameProblem::kNotCp936;
    std::string back;
    if (bytes->find('\0') != std::string::npos || !Cp936ToUtf8(*bytes, &back) || back != utf8)
        return NameProblem::kNotAsTyped;
    if (bytes->size() > kMaxDiskNameBytes) return NameProblem::kTooLong;
    return NameProblem::kNone;
}
