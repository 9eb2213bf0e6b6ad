// Bytes a guest chose (names, messages, data), as a report may show them on a terminal:
// printable ASCII as it is, every other byte escaped, so that they can neither split a
// report's line nor send the terminal a control sequence. Header-only: vekos-info uses it too.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace vekos {

enum class Escapes {
    Hex,    // \xNN for every byte but printable ASCII, and for the backslash
    C,      // \n \t \r \\ by name, other bytes as Hex
    Quoted, // C, and \" too: for text shown between double quotes
};

inline std::string escape_bytes(std::string_view bytes, Escapes style) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        const char *named = nullptr;
        if (style != Escapes::Hex) {
            named = c == '\n'   ? "\\n"
                    : c == '\t' ? "\\t"
                    : c == '\r' ? "\\r"
                    : c == '\\' ? "\\\\"
                                : nullptr;
            if (c == '"' && style == Escapes::Quoted) named = "\\\"";
        }
        if (named != nullptr) {
            out += named;
        } else if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += char(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

} // namespace vekos
