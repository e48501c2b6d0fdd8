// The three dialects, walked the way libc/stdio/snprintf.cpp, vfprintf.cpp
// and scanf.cpp walk them: the same flags, widths, lengths and conversions,
// the same bytes written back for what a formatter lacks, the same point
// where the scanner gives up.
#include "dialect.hpp"

#include <cstring>

namespace nuvfmt {
namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool in(char c, const char* set) {
    return c != '\0' && std::strchr(set, c) != nullptr;
}
std::string quoted(const std::string& s) {
    return "'" + s + "'";
}

// The directive as its author wrote it, from '%' through the next conversion
// letter, for messages about a directive the library cuts short.
std::string as_written(const std::string& f, size_t start) {
    size_t e = start + 1;
    while (e < f.size() && in(f[e], "-+ #0123456789.*lhzjtLq")) ++e;
    return f.substr(start, e < f.size() ? e + 1 - start : e - start);
}

// Width and precision, by digits or '*', as both formatters read them; each
// '*' takes an int. Returns whether either was given.
bool read_field(const std::string& f, size_t& i, std::vector<Need>& stars) {
    bool any = false;
    if (i < f.size() && f[i] == '*') {
        stars.push_back({Want::Int, "", "width"});
        ++i;
        any = true;
    }
    while (i < f.size() && is_digit(f[i])) ++i, any = true;
    if (i < f.size() && f[i] == '.') {
        ++i;
        any = true;
        if (i < f.size() && f[i] == '*') {
            stars.push_back({Want::Int, "", "precision"});
            ++i;
        }
        while (i < f.size() && is_digit(f[i])) ++i;
    }
    return any;
}

// A conversion byte the formatter lacks: it writes '%' and the byte back.
std::string lacking(const Call& c, char conv, const std::string& written) {
    std::string fn = c.function;
    std::string back = quoted(std::string("%") + conv);
    if (in(conv, "eEfFgGaA"))
        return fn + " has no floating-point conversions: " + quoted(written) + " writes " + back +
               " and takes no argument";
    if (in(conv, "-+ #"))
        return fn + " has no flag " + quoted(std::string(1, conv)) + ": " + quoted(written) +
               " writes " + back + " and the rest as text, and takes no argument";
    if (in(conv, "hjztLq"))
        return fn + " has no length " + quoted(std::string(1, conv)) + ": " + quoted(written) +
               " writes " + back + " and the rest as text, and takes no argument";
    if (conv == 'X') return fn + " has no '%X' (use '%x'): it writes '%X' and takes no argument";
    return fn + " has no conversion " + back + ": it writes " + back + " and takes no argument";
}

void read_output(const Call& c, const std::string& f, Reading& r) {
    const bool buffer = c.dialect == Dialect::Buffer;
    const std::string fn = c.function;
    size_t i = 0;
    if (!buffer && c.control_record && f.compare(0, 2, "%c") == 0) {
        for (int k = 0; k < 3; ++k) r.needs.push_back({Want::Int, "%c", "control record"});
        i = 2;
    }
    while (i < f.size()) {
        if (f[i] != '%') {
            ++i;
            continue;
        }
        const size_t start = i++;
        if (i == f.size()) {
            r.problems.push_back("a lone '%' at the end of the format writes nothing");
            return;
        }
        bool flags = false;
        if (buffer) {
            while (in(f[i], "-0+")) ++i, flags = true;
        } else if (f[i] == '0') {
            r.problems.push_back(fn + " reads the '0' of " + quoted(as_written(f, start)) +
                                 " as a width digit: the field is filled with spaces, not zeros");
        }
        std::vector<Need> stars;
        const bool field = read_field(f, i, stars);
        std::string len;
        if (i < f.size() && f[i] == 'l') len = f[i + 1] == 'l' ? "ll" : "l";
        if (buffer && len.empty() && i < f.size() && f[i] == 'z') len = "z";
        i += len.size();
        if (i == f.size()) {
            r.problems.push_back(quoted(f.substr(start)) +
                                 " at the end of the format is incomplete and writes nothing");
            return;
        }
        const char conv = f[i++];
        const std::string dir = f.substr(start, i - start);
        for (Need& n : stars) {
            n.directive = dir;
            r.needs.push_back(n);
        }
        const bool wide = !buffer && len == "ll";
        if (!len.empty() && in(conv, "cs%")) {
            r.problems.push_back("the length '" + len + "' of " + quoted(dir) +
                                 " has no effect here: it reads as '%" + conv + "'");
        }
        switch (conv) {
            case 'd':
            case 'i':
            case 'u':
            case 'x':
                r.needs.push_back(
                    {wide ? Want::Int64 : (len == "ll" ? Want::WordLL : Want::Int), dir, ""});
                break;
            case 'X':
                if (!buffer) {
                    r.problems.push_back(lacking(c, conv, dir));
                    break;
                }
                r.needs.push_back({len == "ll" ? Want::WordLL : Want::Int, dir, ""});
                break;
            case 'c':
                if (field || flags)
                    r.problems.push_back(fn + " ignores the flags, width and precision of " +
                                         quoted(dir) + ": the character is written alone");
                r.needs.push_back({Want::Int, dir, ""});
                break;
            case 's':
                r.needs.push_back({Want::String, dir, ""});
                break;
            case 'p':
                if (buffer && (field || flags))
                    r.problems.push_back(fn + " ignores the flags, width and precision of " +
                                         quoted(dir));
                if (buffer && !len.empty())
                    r.problems.push_back("the length '" + len + "' of " + quoted(dir) +
                                         " has no effect here: it reads as '%p'");
                r.needs.push_back({wide ? Want::Int64 : Want::Pointer, dir, ""});
                break;
            case '%':
                break;
            default:
                r.problems.push_back(lacking(c, conv, as_written(f, start)));
                break;
        }
    }
}

void read_scan(const Call& c, const std::string& f, Reading& r) {
    const std::string fn = c.function;
    bool converted = false;    // a conversion has read part of the token
    bool token_spent = false;  // nothing of a one-token input is left to scan
    bool told = false;
    size_t i = 0;
    while (i < f.size()) {
        if (in(f[i], " \t\n\r\v\f")) {
            if (converted) token_spent = true;
            ++i;
            continue;
        }
        if (f[i] != '%') {
            ++i;
            continue;
        }
        const size_t start = i++;
        bool suppress = false;
        if (i < f.size() && f[i] == '*') suppress = true, ++i;
        const size_t digits = i;
        while (i < f.size() && is_digit(f[i])) ++i;
        if (i == f.size()) {
            r.problems.push_back(quoted(f.substr(start)) +
                                 " at the end of the format is incomplete");
            r.ends_early = true;
            return;
        }
        const char conv = f[i++];
        const std::string dir = f.substr(start, i - start);
        if (i - 1 > digits && in(conv, "csdiuxX"))
            r.problems.push_back(
                fn + " ignores widths: " + quoted(dir) +
                (conv == 's' ? " stores the whole word" : " reads as if it had none"));
        if (!in(conv, "csdiuxX%")) {
            const std::string written = as_written(f, start);
            r.problems.push_back(
                in(conv, "lhLjztq")
                    ? fn + " has no length modifiers: " + quoted(written) + " ends the scan"
                    : fn + " has no conversion " + quoted(written) + ": the scan ends there");
            r.ends_early = true;
            return;
        }
        if (c.one_token && token_spent && !told) {
            r.problems.push_back(
                fn + " scans one whitespace-delimited token per call: " + quoted(dir) +
                " after a space or a '%s' in the format finds nothing left to read");
            told = true;
        }
        if (conv == '%') continue;
        converted = true;
        if (conv == 's') token_spent = true;
        if (suppress) continue;
        r.needs.push_back({conv == 'c'   ? Want::CharOut
                           : conv == 's' ? Want::StringOut
                                         : Want::IntOut,
                           dir, ""});
    }
}

}  // namespace

Reading read_format(const Call& call, const std::string& format) {
    Reading r;
    const std::string f = format.substr(0, std::strlen(format.c_str()));
    if (call.dialect == Dialect::Scan) {
        read_scan(call, f, r);
    } else {
        read_output(call, f, r);
    }
    return r;
}

const char* describe(Want want) {
    switch (want) {
        case Want::Int:
            return "an integer of at most 32 bits";
        case Want::WordLL:
            return "one 32-bit word despite its 'll'";
        case Want::Int64:
            return "a 64-bit integer";
        case Want::String:
            return "a 'char *'";
        case Want::Pointer:
            return "a pointer";
        case Want::IntOut:
            return "an 'int *' to store through";
        case Want::CharOut:
            return "a 'char *' to store one character through";
        case Want::StringOut:
            return "a 'char *' to store a word through";
    }
    return "";
}

}  // namespace nuvfmt
