// Test support for the sandbox and the file-system calls: a fresh directory
// tree on the host for each test, and helpers to look at host files.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "guest.hpp"

namespace nuvtest {

// The content of a regular file (links not followed); nullopt for anything else.
std::optional<std::string> regular_file(const std::filesystem::path& p);

// Every name below a directory, relative to it, links not followed.
std::set<std::string> listing(const std::filesystem::path& dir);

// A fixture around a machine whose sandbox root is a fresh directory tree:
// base_/root is the sandbox root and base_/outside holds what the guest must
// never reach. A test fills both in populate(), before the machine is made;
// everything goes when the test ends.
class SandboxTree : public LibTest {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Files, directories and links under root_ and outside_ (both exist).
    virtual void populate() {}

    static void put(const std::filesystem::path& p, const std::string& content) {
        write_file(p, content);
    }
    static std::optional<std::string> get(const std::filesystem::path& p) {
        return regular_file(p);
    }

    std::unique_ptr<ScratchDir> scratch_;
    std::filesystem::path base_, root_, outside_;
};

}  // namespace nuvtest
