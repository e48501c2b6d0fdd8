#include "sandbox.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

namespace nuv {
namespace {

constexpr uint64_t kResolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
// The host kernel asks for a retry when a rename raced with a confined lookup.
constexpr int kRetries = 8;

int openat2_call(int dirfd, const char* path, int flags, mode_t mode, uint64_t resolve) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = resolve;
    for (int i = 0;; ++i) {
        long fd = syscall(SYS_openat2, dirfd, path, &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        if ((errno != EAGAIN && errno != EINTR) || i == kRetries) return -1;
    }
}

// Whether fd lies on one of the host kernel's own file systems (process and
// system information, control files): a guest reaches none of them, whatever
// the root holds, since their files act on the host itself (a process's
// memory, the kernel's settings) rather than hold data.
bool on_kernel_file_system(int fd) {
    struct statfs st {};
    if (fstatfs(fd, &st) != 0) return true;
    switch (static_cast<uint64_t>(st.f_type)) {
        case 0x9fa0:      // proc
        case 0x62656572:  // sysfs
        case 0x64626720:  // debugfs
        case 0x74726163:  // tracefs
        case 0x73636673:  // securityfs
        case 0x27e0eb:    // cgroup
        case 0x63677270:  // cgroup2
        case 0xcafe4a11:  // bpf
        case 0x62656570:  // configfs
        case 0xde5e81e4:  // efivarfs
        case 0x6165676c:  // pstore
        case 0x42494e4d:  // binfmt_misc
        case 0x65735543:  // fusectl
        case 0xf97cff8c:  // selinuxfs
        case 0x1cd1:      // devpts
            return true;
        default:
            return false;
    }
}

// The host's own name for an open descriptor; empty when it cannot be had.
std::string host_path_of(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = readlink(link, buf.data(), buf.size() - 1);
    if (n <= 0 || static_cast<size_t>(n) == buf.size() - 1 || buf[0] != '/') return {};
    return std::string(buf.data(), static_cast<size_t>(n));
}

// The longest path the host takes in one call, without its NUL.
constexpr size_t kHostPathMax = PATH_MAX - 1;

// The length of an absolute guest path as the host is given it: relative to
// the root descriptor, without the leading '/'.
size_t host_length(const std::string& absolute_path) {
    size_t skip = absolute_path.find_first_not_of('/');
    return skip == std::string::npos ? 1 : absolute_path.size() - skip;
}

// The names of a path in order, empty ones left out; a path ending in '/'
// ends in ".", so that its last name must be a directory.
void push_names(std::string_view path, std::deque<std::string>& names) {
    std::deque<std::string> add;
    for (size_t i = 0; i < path.size();) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        if (j > i) add.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    if (!path.empty() && path.back() == '/') add.emplace_back(".");
    names.insert(names.begin(), add.begin(), add.end());
}

// A directory's identity on the host.
struct Identity {
    dev_t dev;
    ino_t ino;
    bool operator==(const Identity&) const = default;
};

bool identity_of(int fd, Identity& out) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    out = {st.st_dev, st.st_ino};
    return true;
}

}  // namespace

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

Sandbox::Sandbox(UniqueFd root, std::string host_root, TemporaryKeeper* keeper)
    : root_(std::move(root)), host_root_(std::move(host_root)), keeper_(keeper) {}

Result<std::unique_ptr<Sandbox>> Sandbox::open_root(const std::string& host_dir,
                                                    TemporaryKeeper* keeper) {
    const std::string dir = host_dir.empty() ? "." : host_dir;
    UniqueFd root(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root) {
        return Error{Fault::NoRoot, "cannot use " + dir + " as the root: " + std::strerror(errno)};
    }
    // Confinement rests on openat2; without it there is no sandbox at all.
    UniqueFd probe(openat2_call(root.get(), ".", O_PATH | O_CLOEXEC, 0, kResolve));
    if (!probe) {
        return Error{Fault::NoRoot,
                     "cannot confine paths to " + dir +
                         " (the host kernel needs openat2, Linux 5.6): " + std::strerror(errno)};
    }
    if (on_kernel_file_system(root.get())) {
        return Error{Fault::NoRoot, "cannot use " + dir +
                                        " as the root: it lies on one of the host kernel's own "
                                        "file systems"};
    }
    std::string host_root = host_path_of(root.get());
    if (host_root.empty()) host_root = dir;
    return std::unique_ptr<Sandbox>(new Sandbox(std::move(root), std::move(host_root), keeper));
}

Result<std::unique_ptr<Sandbox>> Sandbox::share() const {
    UniqueFd root(fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
    if (!root) {
        return Error{Fault::TooMany, std::string("cannot share the root: ") + std::strerror(errno)};
    }
    return std::unique_ptr<Sandbox>(new Sandbox(std::move(root), host_root_, keeper_));
}

std::string Sandbox::absolute(std::string_view guest_path) const {
    if (!guest_path.empty() && guest_path[0] == '/') return std::string(guest_path);
    std::string out = cwd_;
    if (out.back() != '/') out += '/';
    out += guest_path;
    return out;
}

int32_t Sandbox::resolve(std::string_view guest_path, int host_flags, mode_t mode, UniqueFd& out,
                         std::string* canonical) const {
    int32_t r = find(guest_path, host_flags, mode, out, canonical);
    if (r == 0 && on_kernel_file_system(out.get())) {
        out.reset();
        return -NUV_EACCES;
    }
    return r;
}

int32_t Sandbox::find(std::string_view guest_path, int host_flags, mode_t mode, UniqueFd& out,
                      std::string* canonical) const {
    if (guest_path.empty()) return -NUV_ENOENT;
    std::string path = absolute(guest_path);
    // Given to the host relative to the root descriptor, which resolves it as
    // it would the absolute path, in one call when the host takes it whole.
    if (host_length(path) > kHostPathMax || canonical != nullptr) {
        return walk(path, host_flags, mode, out, canonical);
    }
    size_t skip = path.find_first_not_of('/');
    std::string host = skip == std::string::npos ? "." : path.substr(skip);
    int fd = openat2_call(root_.get(), host.c_str(), host_flags | O_CLOEXEC, mode, kResolve);
    if (fd < 0) return host_error(errno);
    out.reset(fd);
    return 0;
}

int32_t Sandbox::walk(const std::string& absolute_path, int host_flags, mode_t mode, UniqueFd& out,
                      std::string* canonical) const {
    // One name at a time, each opened by the host beneath the directory
    // reached so far and never through a link: links are read and their
    // names walked in turn, an absolute one from the root. ".." goes back
    // to the directory the walk came from, checked to be that very one, and
    // stays put at the root, so the walk cannot leave it.
    constexpr uint64_t kOneName = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    std::deque<std::string> names;
    push_names(absolute_path, names);
    if (names.empty()) names.emplace_back(".");
    UniqueFd cur(fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
    if (!cur) return host_error(errno);
    std::vector<Identity> above;    // the directories between the root and cur
    std::vector<std::string> path;  // their names, and cur's
    int links = 0;
    auto follow = [&](int dir, const std::string& name) -> int32_t {
        if (++links > kMaxLinks) return -NUV_ELOOP;
        std::vector<char> text(PATH_MAX + 1);
        ssize_t n = readlinkat(dir, name.c_str(), text.data(), text.size() - 1);
        if (n < 0) return host_error(errno);
        if (n == 0) return -NUV_ENOENT;
        std::string_view body(text.data(), static_cast<size_t>(n));
        if (body[0] == '/') {
            UniqueFd root(fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
            if (!root) return host_error(errno);
            cur = std::move(root);
            above.clear();
            path.clear();
        }
        push_names(body, names);
        return 0;
    };
    while (!names.empty()) {
        std::string name = std::move(names.front());
        names.pop_front();
        bool last = names.empty();
        if (name == "..") {
            if (!above.empty()) {
                UniqueFd up(openat(cur.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
                Identity id{};
                if (!up || !identity_of(up.get(), id)) return host_error(errno);
                // Moved while walked: the way back is gone.
                if (!(id == above.back())) return -NUV_ENOENT;
                above.pop_back();
                path.pop_back();
                cur = std::move(up);
            }
            name = ".";
        }
        if (name == "." && !last) continue;
        if (last) {
            int fd = openat2_call(cur.get(), name.c_str(), host_flags | O_CLOEXEC, mode, kOneName);
            if (fd >= 0) {
                out.reset(fd);
                if (canonical != nullptr) {
                    if (name != ".") path.push_back(name);
                    canonical->clear();
                    for (const std::string& p : path) *canonical += "/" + p;
                    if (canonical->empty()) *canonical = "/";
                }
                return 0;
            }
            int err = errno;
            // A final link is followed unless the caller asked otherwise.
            if (err != ELOOP || (host_flags & O_NOFOLLOW)) return host_error(err);
            if (int32_t e = follow(cur.get(), name); e < 0)
                return e == -NUV_EINVAL ? -NUV_ELOOP : e;
            continue;
        }
        UniqueFd next(openat2_call(cur.get(), name.c_str(), O_PATH | O_NOFOLLOW, 0, kOneName));
        struct stat st {};
        if (!next || fstat(next.get(), &st) != 0) return host_error(errno);
        if (S_ISLNK(st.st_mode)) {
            if (int32_t e = follow(cur.get(), name); e < 0) return e;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) return -NUV_ENOTDIR;
        Identity here{};
        if (!identity_of(cur.get(), here)) return host_error(errno);
        above.push_back(here);
        path.push_back(std::move(name));
        cur = std::move(next);
    }
    return -NUV_ENOENT;  // not reached: the last name returns
}

int32_t Sandbox::open(std::string_view guest_path, int host_flags, mode_t mode,
                      UniqueFd& out) const {
    return resolve(guest_path, host_flags, mode, out, nullptr);
}

int32_t Sandbox::locate(std::string_view guest_path, Entry& out) const {
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
    if (int32_t e = resolve(guest_path, O_PATH | O_DIRECTORY, 0, dir, nullptr); e < 0) return e;
    std::string cwd = guest_path_of(dir.get());
    // Too deep for the host to name: the walk names it on the way.
    if (cwd.empty()) {
        if (int32_t e = resolve(guest_path, O_PATH | O_DIRECTORY, 0, dir, &cwd); e < 0) return e;
    }
    cwd_ = std::move(cwd);
    return 0;
}

IoResult SandboxFile::read(std::span<uint8_t> out) {
    if (!readable_) return -NUV_EBADF;
    for (;;) {
        ssize_t r = ::read(fd_.get(), out.data(), out.size());
        if (r >= 0) return static_cast<int32_t>(r);
        if (errno != EINTR) return host_error(errno);
    }
}

IoResult SandboxFile::write(std::span<const uint8_t> in) {
    if (!writable_) return -NUV_EBADF;
    for (;;) {
        ssize_t r = ::write(fd_.get(), in.data(), in.size());
        if (r >= 0) return static_cast<int32_t>(r);
        if (errno != EINTR) return host_error(errno);
    }
}

int32_t SandboxFile::seek(int32_t offset, int32_t origin) {
    int whence = 0;
    switch (origin) {
        case NUV_SEEK_SET:
            whence = SEEK_SET;
            break;
        case NUV_SEEK_CUR:
            whence = SEEK_CUR;
            break;
        case NUV_SEEK_END:
            whence = SEEK_END;
            break;
        default:
            return -NUV_EINVAL;
    }
    off_t before = ::lseek(fd_.get(), 0, SEEK_CUR);
    if (before < 0) return host_error(errno);
    off_t at = ::lseek(fd_.get(), offset, whence);
    if (at < 0) return host_error(errno);
    if (at > INT32_MAX) {
        // Beyond what the guest can be told: stay where we were.
        ::lseek(fd_.get(), before, SEEK_SET);
        return -NUV_EINVAL;
    }
    return static_cast<int32_t>(at);
}

}  // namespace nuv
