#include "sandbox.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host_fs.hpp"

namespace nuv {

using host_fs::host_path_of;
using host_fs::kResolve;
using host_fs::on_kernel_file_system;
using host_fs::openat2_call;

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int32_t host_error(int err) {
    switch (err) {
        case ENOENT:
            return -NUV_ENOENT;
        case EBADF:
            return -NUV_EBADF;
        case EACCES:
        case EPERM:
        case EROFS:
        case ETXTBSY:
        case ENXIO:
        case EXDEV:
            return -NUV_EACCES;
        case EFAULT:
            return -NUV_EFAULT;
        case EEXIST:
            return -NUV_EEXIST;
        case ENOTDIR:
            return -NUV_ENOTDIR;
        case EISDIR:
            return -NUV_EISDIR;
        case EINVAL:
            return -NUV_EINVAL;
        case EMFILE:
        case ENFILE:
            return -NUV_EMFILE;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return -NUV_ENOSPC;
        case ESPIPE:
            return -NUV_ESPIPE;
        case ENAMETOOLONG:
            return -NUV_ENAMETOOLONG;
        case ENOSYS:
            return -NUV_ENOSYS;
        case ENOTEMPTY:
            return -NUV_ENOTEMPTY;
        case ELOOP:
            return -NUV_ELOOP;
        default:
            return -NUV_EIO;
    }
}

Sandbox::Sandbox(UniqueFd root, std::string host_root, TemporaryKeeper* keeper,
                 std::shared_ptr<DiskBudget> budget, std::shared_ptr<PathNotes> notes)
    : root_(std::move(root)),
      host_root_(std::move(host_root)),
      keeper_(keeper),
      budget_(budget ? std::move(budget) : std::make_shared<DiskBudget>()),
      notes_(notes ? std::move(notes) : std::make_shared<PathNotes>()) {}

Result<std::unique_ptr<Sandbox>> Sandbox::open_root(const std::string& host_dir,
                                                    TemporaryKeeper* keeper,
                                                    std::shared_ptr<DiskBudget> budget) {
    const std::string dir = host_dir.empty() ? "." : host_dir;
    UniqueFd root(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root) {
        return Error{HostError::NoRoot,
                     "cannot use " + dir + " as the root: " + std::strerror(errno)};
    }
    // Confinement rests on openat2; without it there is no sandbox at all.
    UniqueFd probe(openat2_call(root.get(), ".", O_PATH | O_CLOEXEC, 0, kResolve));
    if (!probe) {
        return Error{HostError::NoRoot,
                     "cannot confine paths to " + dir +
                         " (the host kernel needs openat2, Linux 5.6): " + std::strerror(errno)};
    }
    if (on_kernel_file_system(root.get())) {
        return Error{HostError::NoRoot, "cannot use " + dir +
                                            " as the root: it lies on one of the host kernel's own "
                                            "file systems"};
    }
    std::string host_root = host_path_of(root.get());
    if (host_root.empty()) host_root = dir;
    return std::unique_ptr<Sandbox>(
        new Sandbox(std::move(root), std::move(host_root), keeper, std::move(budget), nullptr));
}

Result<std::unique_ptr<Sandbox>> Sandbox::share() const {
    UniqueFd root(fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
    if (!root) {
        return Error{HostError::TooMany,
                     std::string("cannot share the root: ") + std::strerror(errno)};
    }
    return std::unique_ptr<Sandbox>(
        new Sandbox(std::move(root), host_root_, keeper_, budget_, notes_));
}

std::string Sandbox::absolute(std::string_view guest_path) const {
    if (!guest_path.empty() && guest_path[0] == '/') return std::string(guest_path);
    std::string out = cwd_;
    if (out.back() != '/') out += '/';
    out += guest_path;
    return out;
}

int32_t Sandbox::open(std::string_view guest_path, int host_flags, mode_t mode,
                      UniqueFd& out) const {
    return explained(guest_path, resolve(guest_path, host_flags, mode, out, nullptr));
}

int32_t Sandbox::locate(std::string_view guest_path, Entry& out) const {
    return explained(guest_path, locate_entry(guest_path, out));
}

int32_t Sandbox::replace_file(std::string_view guest_path, uint64_t size,
                              const Filler& fill) const {
    return explained(guest_path, write_whole(guest_path, size, fill));
}

int32_t Sandbox::locate_entry(std::string_view guest_path, Entry& out) const {
    if (guest_path.empty()) return -NUV_ENOENT;
    std::string path(guest_path);
    out.trailing_slash = false;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
        out.trailing_slash = true;
    }
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // The root, "." and ".." name no entry of a parent.
    if (name.empty() || name == "." || name == "..") return -NUV_EINVAL;
    if (name.size() > kMaxName) return -NUV_ENAMETOOLONG;
    // The parent as the guest wrote it: a relative one is found from the
    // current directory however deep that is.
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    UniqueFd dirfd;
    if (int32_t e = resolve(dir, O_PATH | O_DIRECTORY, 0, dirfd, nullptr); e < 0) return e;
    out.dir = std::move(dirfd);
    out.name = std::move(name);
    out.dir_path = std::move(dir);
    return 0;
}

std::string Sandbox::guest_path_of(int fd) const {
    std::string host = host_path_of(fd);
    if (host.empty()) return {};
    if (host_root_ == "/") return host;
    if (host.compare(0, host_root_.size(), host_root_) == 0) {
        if (host.size() == host_root_.size()) return "/";
        if (host[host_root_.size()] == '/') return host.substr(host_root_.size());
    }
    return {};
}

int32_t Sandbox::change_dir(std::string_view guest_path) {
    UniqueFd dir;
    if (int32_t e = resolve(guest_path, O_PATH | O_DIRECTORY, 0, dir, nullptr); e < 0) {
        return explained(guest_path, e);
    }
    std::string cwd = guest_path_of(dir.get());
    // Too deep for the host to name: the walk names it on the way.
    if (cwd.empty()) {
        if (int32_t e = resolve(guest_path, O_PATH | O_DIRECTORY, 0, dir, &cwd); e < 0) return e;
    }
    cwd_ = std::move(cwd);
    return 0;
}

int32_t Sandbox::explained(std::string_view guest_path, int32_t result) const {
    // Only a name that is not there can be one outside the root; nothing is
    // outside a root of "/".
    if ((result != -NUV_ENOENT && result != -NUV_ENOTDIR) || host_root_ == "/") return result;
    // Once the notes are full, failures cost nothing more.
    if (guest_path.empty() || notes_->texts().size() > PathNotes::kMaxNotes ||
        notes_->has(std::string(guest_path))) {
        return result;
    }
    // What its user meant on the host: an absolute path is a host path; a
    // relative one starts from the current directory, and a ".." in it may
    // go on above the root.
    const bool is_absolute = guest_path[0] == '/';
    explain(guest_path, path_text::normal(is_absolute ? std::string(guest_path)
                                                      : host_root_ + absolute(guest_path)));
    return result;
}

void Sandbox::note_argument(std::string_view guest_path, const std::string& host_path) const {
    if (host_root_ == "/" || guest_path.empty() || notes_->has(std::string(guest_path))) return;
    UniqueFd probe;
    if (resolve(guest_path, O_PATH, 0, probe, nullptr) != -NUV_ENOENT) return;
    explain(guest_path, path_text::normal(host_path));
}

void Sandbox::explain(std::string_view guest_path, const std::string& host_path) const {
    // A host path counts when it exists there, or when the directory it
    // would be made in exists there and not under the root.
    auto exists = [&](const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) return true;
        size_t slash = path.rfind('/');
        std::string parent = slash == 0 ? "/" : path.substr(0, slash);
        if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
        std::string guest(guest_path);
        size_t cut = guest.rfind('/');
        std::string guest_parent = cut == std::string::npos ? "."
                                   : cut == 0               ? "/"
                                                            : guest.substr(0, cut);
        UniqueFd dir;
        return resolve(guest_parent, O_PATH | O_DIRECTORY, 0, dir, nullptr) < 0;
    };
    const std::string guest_tidy = path_text::normal(absolute(guest_path));
    std::string text = outside_note(guest_path, guest_tidy, host_path, host_root_, exists);
    if (!text.empty()) notes_->add(std::string(guest_path), std::move(text));
}

}  // namespace nuv
