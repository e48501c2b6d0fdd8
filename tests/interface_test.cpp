// The kernel interface is written once, in the shared header: the call table,
// the documentation of the calls and the library's error names follow it.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <nuvos/kernel.h>

#include "guest.hpp"
#include "syscalls.hpp"

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

// Rows "| number | name | ..." of the document's tables, by name.
std::map<std::string, int> table_rows(const std::string& text, const std::string& name_pattern) {
    std::map<std::string, int> rows;
    std::regex row("^\\| (\\d+) \\| `?(" + name_pattern + ")`? \\|");
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, row)) rows[m[2]] = std::stoi(m[1]);
    }
    return rows;
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
        EXPECT_EQ(c.kinds.find_first_not_of("dux sb"), std::string::npos);
    }
    EXPECT_EQ(nuv::default_syscalls().size(), std::size(kCalls));
}

TEST(KernelInterface, DocumentationListsExactlyTheCallsAndErrors) {
    const std::string doc = source("docs/kernel-calls.md");
    ASSERT_FALSE(doc.empty());
    std::map<std::string, int> calls, errors;
    for (const Listed& c : kCalls) calls[c.name] = c.number;
    for (const Listed& e : kErrors) errors[e.name] = e.number;
    EXPECT_EQ(table_rows(doc, "[a-z_0-9]+"), calls);
    EXPECT_EQ(table_rows(doc, "E[A-Z]+"), errors);
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
