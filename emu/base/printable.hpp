// Text from an image or a guest (a symbol's or a file's name, a path) as a
// terminal may be shown it: control bytes, DEL and '\\' as "\\xNN", at most
// `limit` bytes, then "...". Nothing a guest names can move the cursor,
// colour the output or start a line of its own.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace nuv {

inline std::string printable_text(std::string_view text, size_t limit = 200) {
    std::string out;
    for (unsigned char c : text.substr(0, limit)) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (text.size() > limit) out += "...";
    return out;
}

}  // namespace nuv
