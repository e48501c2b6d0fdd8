// How the format check reads each of the library's dialects: the arguments a
// format takes, in order, what it finds wrong and where the scanner stops.
// tests/kit/format_check_test.sh runs the same check through the drivers.
#include <gtest/gtest.h>

#include <string>

#include "dialect.hpp"

namespace {

using nuvfmt::Dialect;
using nuvfmt::Want;

const char* code(Want w) {
    switch (w) {
        case Want::Int:
            return "i";
        case Want::WordLL:
            return "w";
        case Want::Int64:
            return "q";
        case Want::String:
            return "s";
        case Want::Pointer:
            return "p";
        case Want::IntOut:
            return "I";
        case Want::CharOut:
            return "C";
        case Want::StringOut:
            return "S";
    }
    return "?";
}

struct Case {
    Dialect dialect;
    bool record;  // stream: written to descriptor 1; scan: one token per call
    std::string format;
    const char* takes;    // one letter per argument, as code() spells them
    const char* problem;  // a fragment of the one problem expected, or "" for none
    bool ends_early;
};

const Case kCases[] = {
    // The buffer formatter.
    {Dialect::Buffer, false, "%-05d %+x %X %zu %ld %lu", "iiiiii", "", false},
    {Dialect::Buffer, false, "%lld %llx", "ww", "", false},
    {Dialect::Buffer, false, "%*.*s|%.3s|%p|%%|%5%", "iissp", "", false},
    {Dialect::Buffer, false, "%c%5c", "ii", "ignores the flags, width and precision of '%5c'",
     false},
    {Dialect::Buffer, false, "%8p", "p", "ignores the flags, width and precision of '%8p'", false},
    {Dialect::Buffer, false, "%5.2f%d", "i", "no floating-point conversions: '%5.2f' writes '%f'",
     false},
    {Dialect::Buffer, false, "% d", "", "has no flag ' '", false},
    {Dialect::Buffer, false, "%hhd", "", "has no length 'h': '%hhd'", false},
    {Dialect::Buffer, false, "%n", "", "has no conversion '%n'", false},
    {Dialect::Buffer, false, "%ls", "s", "the length 'l' of '%ls' has no effect", false},
    {Dialect::Buffer, false, "50%", "", "a lone '%' at the end", false},
    {Dialect::Buffer, false, "%-5", "", "'%-5' at the end of the format is incomplete", false},
    {Dialect::Buffer, false, std::string("%d\0%s", 5), "i", "", false},
    // The stream formatter.
    {Dialect::Stream, true, "%c%s", "iiis", "", false},
    {Dialect::Stream, false, "%c%s", "is", "", false},
    {Dialect::Stream, true, "x%c", "i", "", false},
    {Dialect::Stream, false, "%lld %lli %llu %llx %llp %ld %lx", "qqqqqii", "", false},
    {Dialect::Stream, false, "%*.*d %.3s %5p %%", "iiisp", "", false},
    {Dialect::Stream, false, "%-4d|", "", "has no flag '-': '%-4d' writes '%-'", false},
    {Dialect::Stream, false, "%#x", "", "has no flag '#'", false},
    {Dialect::Stream, false, "%05d", "i", "reads the '0' of '%05d' as a width digit", false},
    {Dialect::Stream, false, "%zu", "", "has no length 'z': '%zu'", false},
    {Dialect::Stream, false, "%X", "", "has no '%X'", false},
    {Dialect::Stream, false, "%5c", "i", "ignores the flags, width and precision of '%5c'", false},
    {Dialect::Stream, false, "%llc", "i", "the length 'll' of '%llc' has no effect", false},
    {Dialect::Stream, false, "%e", "", "no floating-point conversions", false},
    // The scanner.
    {Dialect::Scan, false, "%d %i %x %X %u %c %s %%", "IIIIICS", "", false},
    {Dialect::Scan, false, "%*d %*s %d", "I", "", false},
    {Dialect::Scan, false, "%d %ld %d", "I", "no length modifiers: '%ld' ends the scan", true},
    {Dialect::Scan, false, "%lf", "", "no length modifiers: '%lf'", true},
    {Dialect::Scan, false, "%d%f", "I", "no conversion '%f': the scan ends there", true},
    {Dialect::Scan, false, "%[a-z]", "", "no conversion '%['", true},
    {Dialect::Scan, false, "%12s", "S", "ignores widths: '%12s' stores the whole word", false},
    {Dialect::Scan, false, "%3", "", "'%3' at the end of the format is incomplete", true},
    {Dialect::Scan, true, "%d,%d:%c", "IIC", "", false},
    {Dialect::Scan, true, " %d", "I", "", false},
    {Dialect::Scan, true, "%d %d", "II", "one whitespace-delimited token per call: '%d'", false},
    {Dialect::Scan, true, "%s%c", "SC", "one whitespace-delimited token per call: '%c'", false},
    {Dialect::Scan, false, "%d %d", "II", "", false},
};

TEST(FormatDialect, ReadsEachFormatAsTheLibraryDoes) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.format);
        const nuvfmt::Call call{c.dialect, "f", c.dialect == Dialect::Stream && c.record,
                                c.dialect == Dialect::Scan && c.record};
        const nuvfmt::Reading r = nuvfmt::read_format(call, c.format);
        std::string takes;
        for (const nuvfmt::Need& n : r.needs) takes += code(n.want);
        EXPECT_EQ(takes, c.takes);
        if (*c.problem == '\0') {
            EXPECT_TRUE(r.problems.empty()) << r.problems.front();
        } else {
            ASSERT_EQ(r.problems.size(), 1u) << (r.problems.empty() ? "" : r.problems.back());
            EXPECT_NE(r.problems[0].find(c.problem), std::string::npos) << r.problems[0];
        }
        EXPECT_EQ(r.ends_early, c.ends_early);
    }
}

TEST(FormatDialect, NamesTheDirectiveAndRoleOfEachArgument) {
    const nuvfmt::Reading r =
        nuvfmt::read_format({Dialect::Stream, "printf", true, false}, "%c%*.*lld");
    ASSERT_EQ(r.needs.size(), 6u);
    EXPECT_EQ(r.needs[0].role, "control record");
    EXPECT_EQ(r.needs[3].role, "width");
    EXPECT_EQ(r.needs[4].role, "precision");
    EXPECT_EQ(r.needs[4].directive, "%*.*lld");
    EXPECT_EQ(r.needs[5].role, "");
    EXPECT_EQ(r.needs[5].want, Want::Int64);
}

}  // namespace
