// Lines of text for tests that check reports against sources: the line of a
// source file that carries a marker comment, and a text cut into its lines.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace nuvtest {

// The number of the line of `path` that holds "/* MARKER */"; -1 (and a
// test failure) when none does.
inline int line_of(const std::string& path, const std::string& marker) {
    std::ifstream in(path);
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (line.find("/* " + marker + " */") != std::string::npos) return n;
    }
    ADD_FAILURE() << "no marker " << marker << " in " << path;
    return -1;
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

}  // namespace nuvtest
