// What a window needs of code page 936 beyond the two conversions: the
// length a text takes there, and text for display from bytes that may not
// all form characters.
#include "Cp936.h"

namespace {

// Length of the UTF-8 sequence that starts with lead (1 for a stray byte).
size_t SequenceLength(unsigned char lead) {
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 1;
}

}  // namespace

size_t Cp936ByteLength(std::string_view utf8) {
    size_t bytes = 0;
    std::string one;
    for (size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const size_t n = lead < 0x80 ? 1 : SequenceLength(lead);
        if (lead < 0x80) {
            ++bytes;
        } else {
            // A character the code page has no code for counts as a
            // Chinese one would.
            bytes += Utf8ToCp936(utf8.substr(i, n), &one) ? one.size() : 2;
        }
        i += n;
    }
    return bytes;
}

std::string Cp936ToUtf8Lossy(std::string_view cp936) {
    std::string utf8;
    if (Cp936ToUtf8(cp936, &utf8)) return utf8;
    // Some bytes form no character: decode the rest piece by piece.
    std::string text;
    std::string piece;
    for (size_t i = 0; i < cp936.size();) {
        const auto lead = static_cast<unsigned char>(cp936[i]);
        if (lead < 0x80) {
            text += static_cast<char>(lead);
            ++i;
            continue;
        }
        bool done = false;
        for (size_t width = 1; width <= 2 && i + width <= cp936.size() && !done; ++width) {
            if (Cp936ToUtf8(cp936.substr(i, width), &piece) && !piece.empty()) {
                text += piece;
                i += width;
                done = true;
            }
        }
        if (!done) {
            text += "\xEF\xBF\xBD";  // U+FFFD
            ++i;
        }
    }
    return text;
}
