// Member names as a terminal or a message line may show them.
//
// A name comes from whoever wrote the archive: ESC sequences would repaint
// the operator's screen, a newline would split a listing row and a NUL would
// cut a message short. Control characters are shown caret-escaped as unzip
// does ("^[" for ESC, "^@" for NUL, "^?" for DEL); bytes of 0x80 and above
// are left alone, they are the name's own characters in UTF-8 or a code page.
#pragma once

#include <string>
#include <string_view>

namespace zipdll {

inline bool isControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

inline bool hasControl(std::string_view name)
{
    for (unsigned char c : name)
        if (isControl(c))
            return true;
    return false;
}

// Escapes control characters; a name longer than maxBytes is cut (on a
// UTF-8 character boundary) and ends in "...", so the reason that follows it
// in a message still fits the callback's text.
inline std::string printableName(std::string_view name, size_t maxBytes = std::string::npos)
{
    std::string out;
    out.reserve(name.size());
    for (unsigned char c : name) {
        if (isControl(c)) {
            out += '^';
            out += c == 0x7F ? '?' : static_cast<char>(c + 0x40);
        } else {
            out += static_cast<char>(c);
        }
    }
    if (out.size() > maxBytes && maxBytes >= 3) {
        size_t cut = maxBytes - 3;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
            --cut;
        out.resize(cut);
        out += "...";
    }
    return out;
}

} // namespace zipdll
