// The kernel interface is written once, in the shared header: the call table,
// the documentation of the calls and the library's error names follow it.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include <nuvos/kernel.h>

#include "guest.hpp"
#include "calls.hpp"

namespace {

struct Listed {
    std::string name;
    int number;
    std::string kinds;
};

#define NUV_LISTED_(name, nr, kinds) {#name, nr, kinds},
const Listed kCalls[] = {NUV_CALLS(NUV_LISTED_)};
#undef NUV_LISTED_
#define NUV_LISTED_(name, code, text) {#name, code, text},
const Listed kErrors[] = {NUV_ERRORS(NUV_LISTED_)};
#undef NUV_LISTED_

std::string source(const std::string& relative) {
    return nuvtest::read_file(std::string(NUV_SOURCE_DIR) + "/" + relative);
}

// Rows "| number | name | ..." of the document's tables (the name may be in
// backquotes), by name, for names made of the characters in_name accepts and
// that is_name accepts as a whole.
std::map<std::string, int> table_rows(const std::string& text, bool (*in_name)(char),
                                      bool (*is_name)(const std::string&)) {
    std::map<std::string, int> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("| ", 0) != 0) continue;
        size_t at = 2, digits = 0;
        while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])))
            ++at, ++digits;
        if (digits == 0 || line.compare(at, 3, " | ") != 0) continue;
        at += 3;
        bool quoted = at < line.size() && line[at] == '`';
        if (quoted) ++at;
        size_t begin = at;
        while (at < line.size() && in_name(line[at])) ++at;
        std::string name = line.substr(begin, at - begin);
        if (quoted && at < line.size() && line[at] == '`') ++at;
        if (name.empty() || !is_name(name) || line.compare(at, 2, " |") != 0) continue;
        rows[name] = std::stoi(line.substr(2, digits));
    }
    return rows;
}

bool call_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}
bool error_char(char c) {
    return c >= 'A' && c <= 'Z';
}
bool any_name(const std::string&) {
    return true;
}
bool error_name(const std::string& n) {
    return n.size() >= 2 && n[0] == 'E';
}

TEST(KernelInterface, EveryCallIsServicedWithItsListedArguments) {
    std::set<uint32_t> numbers;
    for (const Listed& c : kCalls) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(numbers.insert(static_cast<uint32_t>(c.number)).second) << "number used twice";
        const nuv::SyscallDef* def = nullptr;
        for (const nuv::SyscallDef& d : nuv::default_syscalls()) {
            if (d.nr == static_cast<uint32_t>(c.number)) def = &d;
        }
        ASSERT_NE(def, nullptr);
        EXPECT_EQ(def->name, c.name);
        EXPECT_EQ(def->argc, static_cast<int>(c.kinds.size()));
        EXPECT_TRUE(def->handler);
        EXPECT_EQ(c.kinds.find_first_not_of("duxsbroOpmwniPvS"), std::string::npos);
    }
    EXPECT_EQ(nuv::default_syscalls().size(), std::size(kCalls));
}

TEST(KernelInterface, DocumentationListsExactlyTheCallsAndErrors) {
    const std::string doc = source("docs/kernel-calls.md");
    ASSERT_FALSE(doc.empty());
    std::map<std::string, int> calls, errors;
    for (const Listed& c : kCalls) calls[c.name] = c.number;
    for (const Listed& e : kErrors) errors[e.name] = e.number;
    EXPECT_EQ(table_rows(doc, call_char, any_name), calls);
    EXPECT_EQ(table_rows(doc, error_char, error_name), errors);
}

TEST(KernelInterface, LibraryNamesEveryErrorFromTheHeader) {
    const std::string errno_h = source("libc/include/errno.h");
    for (const Listed& e : kErrors) {
        EXPECT_NE(errno_h.find("#define " + e.name + " NUV_" + e.name + "\n"), std::string::npos)
            << e.name;
    }
    EXPECT_EQ(sizeof(nuv_spawn_block), 28u);
}

}  // namespace
