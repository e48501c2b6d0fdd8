// What a constant format asks of a call's arguments, and what in it the
// library reads otherwise than its author probably meant, in each of the
// library's three format dialects (docs/library-guide.md, "Formatted output"
// and "Formatted input"). Plain C++: the compiler plugin asks, this answers.
#pragma once

#include <string>
#include <vector>

namespace nuvfmt {

enum class Dialect {
    Buffer,  // snprintf, sprintf, vsnprintf, vsprintf
    Stream,  // printf, fprintf, vfprintf
    Scan,    // sscanf, vsscanf, fscanf, scanf
};

// The argument a directive takes, as the library's code reads it.
enum class Want {
    Int,        // an integer of at most 32 bits
    WordLL,     // the buffer formatter's %lld: still one 32-bit word
    Int64,      // the stream formatter's %lld: a 64-bit integer
    String,     // a pointer to char, or a null pointer
    Pointer,    // any pointer
    IntOut,     // the scanner stores an int through it
    CharOut,    // the scanner stores one char through it
    StringOut,  // the scanner stores a word through it, or nothing when null
};

struct Need {
    Want want;
    std::string directive;  // "%lld", "%*d", ...
    std::string role;       // "", "width", "precision" or "control record"
};

struct Reading {
    std::vector<Need> needs;            // in the order the function takes them
    std::vector<std::string> problems;  // one sentence each
    bool ends_early = false;            // the scan stops before its last argument
};

struct Call {
    Dialect dialect;
    const char* function;  // for the messages
    bool control_record;   // the stream formatter writes to descriptor 1
    bool one_token;        // fscanf, scanf: one whitespace-delimited token per call
};

// Reads a format as the library's formatter or scanner walks it (up to its
// first NUL).
Reading read_format(const Call& call, const std::string& format);

// "a 64-bit integer", "an 'int *'", ...: what a Want asks for, in words.
const char* describe(Want want);

}  // namespace nuvfmt
