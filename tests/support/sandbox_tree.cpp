#include "sandbox_tree.hpp"

namespace nuvtest {

namespace fs = std::filesystem;

std::optional<std::string> regular_file(const fs::path& p) {
    if (!fs::is_regular_file(fs::symlink_status(p))) return std::nullopt;
    return read_file(p);
}

std::set<std::string> listing(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        names.insert(e.path().lexically_relative(dir).string());
    }
    return names;
}

void SandboxTree::SetUp() {
    scratch_ = std::make_unique<ScratchDir>("nuvsandbox");
    base_ = scratch_->path();
    root_ = base_ / "root";
    outside_ = base_ / "outside";
    fs::create_directories(root_);
    fs::create_directories(outside_);
    populate();
    opts_.root = root_.string();
    LibTest::SetUp();
}

void SandboxTree::TearDown() {
    m_.reset();
    scratch_.reset();
}

}  // namespace nuvtest
