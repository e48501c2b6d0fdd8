#include "process.hpp"

#include <unistd.h>

#include <cstdlib>

namespace nuv {

Process::Process(int32_t pid, int32_t ppid, std::unique_ptr<Sandbox> sandbox)
    : pid_(pid), ppid_(ppid), sandbox_(std::move(sandbox)) {}

Result<std::unique_ptr<Process>> Process::first(const std::string& host_root,
                                                const std::optional<std::string>& input,
                                                bool capture,
                                                const volatile std::sig_atomic_t* interrupted,
                                                TemporaryKeeper* keeper,
                                                std::shared_ptr<DiskBudget> budget) {
    Result<std::unique_ptr<Sandbox>> root =
        Sandbox::open_root(host_root, keeper, std::move(budget));
    if (!root) return root.error();
    std::unique_ptr<Process> p(new Process(1, 0, std::move(*root)));
    // The guest starts where the host's current directory lies inside the
    // root ("/" when they are the same), so relative paths mean the same to
    // both; elsewhere it starts at "/".
    if (char* here = ::getcwd(nullptr, 0)) {
        const std::string cwd(here);
        std::free(here);
        const std::string& top = p->sandbox_->host_root();
        if (top == "/" && cwd != "/") {
            p->sandbox_->change_dir(cwd);
        } else if (cwd.size() > top.size() + 1 && cwd.compare(0, top.size(), top) == 0 &&
                   cwd[top.size()] == '/') {
            p->sandbox_->change_dir(cwd.substr(top.size()));
        }
    }
    p->files_.resize(3);
    if (input) {
        p->files_[0] = std::make_shared<StringInput>(*input);
    } else {
        p->files_[0] = std::make_shared<HostFile>(0, true, false, interrupted);
    }
    if (capture) {
        p->files_[1] = std::make_shared<StringOutput>(p->out_);
        p->files_[2] = std::make_shared<StringOutput>(p->err_);
    } else {
        p->files_[1] = std::make_shared<HostFile>(1, false, true, interrupted);
        p->files_[2] = std::make_shared<HostFile>(2, false, true, interrupted);
    }
    return p;
}

Result<std::unique_ptr<Process>> Process::child(int32_t pid, const Process& parent,
                                                std::vector<std::shared_ptr<OpenFile>> files) {
    Result<std::unique_ptr<Sandbox>> root = parent.sandbox().share();
    if (!root) return root.error();
    std::unique_ptr<Process> p(new Process(pid, parent.pid(), std::move(*root)));
    p->sandbox_->change_dir(parent.sandbox().cwd());
    p->files_ = std::move(files);
    return p;
}

std::shared_ptr<OpenFile> Process::file(int32_t fd) const {
    if (fd < 0 || static_cast<size_t>(fd) >= files_.size()) return nullptr;
    return files_[static_cast<size_t>(fd)];
}

int32_t Process::install_file(std::shared_ptr<OpenFile> f, int32_t at) {
    ++files_changed_;
    if (at < 0) {
        for (size_t i = 0; i < files_.size(); ++i) {
            if (!files_[i]) {
                files_[i] = std::move(f);
                return static_cast<int32_t>(i);
            }
        }
        if (files_.size() >= kMaxFiles) return -NUV_EMFILE;
        files_.push_back(std::move(f));
        return static_cast<int32_t>(files_.size() - 1);
    }
    if (at >= kMaxFiles) return -NUV_EBADF;
    if (static_cast<size_t>(at) >= files_.size()) files_.resize(static_cast<size_t>(at) + 1);
    files_[static_cast<size_t>(at)] = std::move(f);
    return at;
}

bool Process::close_file(int32_t fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= files_.size() || !files_[static_cast<size_t>(fd)]) {
        return false;
    }
    files_[static_cast<size_t>(fd)].reset();
    ++files_changed_;
    return true;
}

}  // namespace nuv
