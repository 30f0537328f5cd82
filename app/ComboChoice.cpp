#include "ComboChoice.h"

std::string WithoutSurroundingBlanks(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

namespace {

// Bytes of UTF-8 beyond ASCII compare as they are: a Chinese name has no case.
bool SameIgnoringAsciiCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c; };
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

}  // namespace

int ItemNamedBy(const std::string& typed, const std::vector<ComboItemNames>& items) {
    const std::string wanted = WithoutSurroundingBlanks(typed);
    if (wanted.empty()) return -1;
    for (size_t i = 0; i < items.size(); ++i)
        for (const std::string& name : items[i])
            if (SameIgnoringAsciiCase(wanted, name)) return static_cast<int>(i);
    return -1;
}

std::string NoSuchItemMessage(const std::string& what, const std::string& typed,
                              const std::vector<std::string>& accepted) {
    std::string list;
    for (const std::string& name : accepted) list += (list.empty() ? "" : "、") + name;
    return "“" + WithoutSurroundingBlanks(typed) + "”不是可选的" + what + "，未发送任何数据。请从列表中选择，或输入：" + list + "。";
}
