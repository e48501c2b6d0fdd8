#include "sandbox.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace nuv {
namespace {

constexpr uint64_t kResolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
// The host kernel asks for a retry when a rename raced with a confined lookup.
constexpr int kRetries = 8;
constexpr size_t kChunk = 1u << 20;

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

// The host's own name for an open descriptor; empty when it cannot be had.
std::string host_path_of(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = readlink(link, buf.data(), buf.size() - 1);
    if (n <= 0 || buf[0] != '/') return {};
    return std::string(buf.data(), static_cast<size_t>(n));
}

// "/a/./b/../c" as "/a/c", by the text alone; ".." stops at "/".
std::string normalise(const std::string& absolute_path) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < absolute_path.size()) {
        size_t j = absolute_path.find('/', i);
        if (j == std::string::npos) j = absolute_path.size();
        std::string part = absolute_path.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        i = j + 1;
    }
    std::string out;
    for (const std::string& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

// The length of an absolute guest path as the host is given it: relative to
// the root descriptor, without the leading '/'. The path limit applies to
// this, so a relative path in "/" may be as long as an absolute one.
size_t host_length(const std::string& absolute_path) {
    size_t skip = absolute_path.find_first_not_of('/');
    return skip == std::string::npos ? 1 : absolute_path.size() - skip;
}

bool write_all(int fd, const uint8_t* data, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
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

namespace {

// The new content of a file, written where nothing else can see or take it
// and given its name only when complete. Where the host file system can, it
// has no name at all until then (O_TMPFILE), so that nothing is left behind
// however nuvemu ends; elsewhere it has a random name beside the target and
// is removed on failure.
class TempFile {
  public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        fd_.reset();
        if (!name_.empty()) unlinkat(dir_, name_.c_str(), 0);
    }

    int fd() const { return fd_.get(); }

    int32_t create(int dir, mode_t mode) {
        dir_ = dir;
        int fd = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        if (fd >= 0) {
            fd_.reset(fd);
            return 0;
        }
        // Only a file system without unnamed files falls back to names.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return host_error(errno);
        for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
            std::string name;
            if (!random_name(name)) return -NUV_EIO;
            fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd >= 0) {
                fd_.reset(fd);
                name_ = std::move(name);
                return 0;
            }
            if (errno != EEXIST) return host_error(errno);
        }
        return -NUV_EIO;
    }

    // Gives the complete file the name target in the directory, replacing
    // what was there. 0 or a negated error code.
    int32_t commit(const std::string& target, bool replacing) {
        if (name_.empty()) {
            // An unnamed file: a missing target is linked in directly; an
            // existing one is replaced by a named link renamed over it.
            if (!replacing) {
                if (link_to(target) == 0) {
                    fd_.reset();
                    return 0;
                }
                if (errno != EEXIST) return host_error(errno);
            }
            for (int attempt = 0; name_.empty(); ++attempt) {
                std::string name;
                if (attempt == kNameAttempts || !random_name(name)) return -NUV_EIO;
                if (link_to(name) == 0) {
                    name_ = std::move(name);
                } else if (errno != EEXIST) {
                    return host_error(errno);
                }
            }
        }
        if (::close(fd_.release()) != 0) return host_error(errno);
        if (renameat(dir_, name_.c_str(), dir_, target.c_str()) != 0) return host_error(errno);
        name_.clear();
        return 0;
    }

  private:
    static constexpr int kNameAttempts = 16;

    // Links the unnamed file under name: through its /proc entry, which needs
    // no privilege, else by descriptor, which does.
    int link_to(const std::string& name) const {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_.get());
        if (linkat(AT_FDCWD, self, dir_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
        if (errno == EEXIST) return -1;
        return linkat(fd_.get(), "", dir_, name.c_str(), AT_EMPTY_PATH);
    }

    // A name no guest can guess: 64 random bits.
    static bool random_name(std::string& out) {
        uint64_t bits = 0;
        if (getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) return false;
        char buf[48];
        std::snprintf(buf, sizeof buf, ".nuvemu-write-%016llx",
                      static_cast<unsigned long long>(bits));
        out = buf;
        return true;
    }

    UniqueFd fd_;
    int dir_ = -1;
    std::string name_;  // the temporary's name while it has one
};

}  // namespace

Sandbox::Sandbox(UniqueFd root, std::string host_root)
    : root_(std::move(root)), host_root_(std::move(host_root)) {}

Result<std::unique_ptr<Sandbox>> Sandbox::open_root(const std::string& host_dir) {
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
    std::string host_root = host_path_of(root.get());
    if (host_root.empty()) host_root = dir;
    return std::unique_ptr<Sandbox>(new Sandbox(std::move(root), std::move(host_root)));
}

Result<std::unique_ptr<Sandbox>> Sandbox::share() const {
    UniqueFd root(fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
    if (!root) {
        return Error{Fault::TooMany, std::string("cannot share the root: ") + std::strerror(errno)};
    }
    return std::unique_ptr<Sandbox>(new Sandbox(std::move(root), host_root_));
}

std::string Sandbox::absolute(std::string_view guest_path) const {
    if (!guest_path.empty() && guest_path[0] == '/') return std::string(guest_path);
    std::string out = cwd_;
    if (out.back() != '/') out += '/';
    out += guest_path;
    return out;
}

int32_t Sandbox::open_at_root(const std::string& absolute_path, int host_flags, mode_t mode,
                              UniqueFd& out) const {
    // Given to the host relative to the root descriptor, which resolves it as
    // it would the absolute path: a relative guest path made absolute against
    // "/" is then no longer than the guest wrote it.
    if (host_length(absolute_path) > kMaxPath) return -NUV_ENAMETOOLONG;
    size_t skip = absolute_path.find_first_not_of('/');
    std::string host = skip == std::string::npos ? "." : absolute_path.substr(skip);
    int fd = openat2_call(root_.get(), host.c_str(), host_flags | O_CLOEXEC, mode, kResolve);
    if (fd < 0) return host_error(errno);
    out.reset(fd);
    return 0;
}

int32_t Sandbox::open(std::string_view guest_path, int host_flags, mode_t mode,
                      UniqueFd& out) const {
    if (guest_path.empty()) return -NUV_ENOENT;
    return open_at_root(absolute(guest_path), host_flags, mode, out);
}

int32_t Sandbox::locate(std::string_view guest_path, Entry& out) const {
    if (guest_path.empty()) return -NUV_ENOENT;
    std::string path = absolute(guest_path);
    if (host_length(path) > kMaxPath) return -NUV_ENAMETOOLONG;
    out.trailing_slash = false;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
        out.trailing_slash = true;
    }
    size_t slash = path.rfind('/');
    std::string name = path.substr(slash + 1);
    // The root itself, "." and ".." name no entry of a parent.
    if (name.empty() || name == "." || name == "..") return -NUV_EINVAL;
    if (name.size() > kMaxName) return -NUV_ENAMETOOLONG;
    std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    UniqueFd dirfd;
    if (int32_t e = open_at_root(dir, O_PATH | O_DIRECTORY, 0, dirfd); e < 0) return e;
    out.dir = std::move(dirfd);
    out.name = std::move(name);
    out.dir_path = std::move(dir);
    return 0;
}

int32_t Sandbox::replace_file(std::string_view guest_path, uint64_t size,
                              const Filler& fill) const {
    if (guest_path.empty()) return -NUV_ENOENT;
    std::string path = absolute(guest_path);
    Entry e;
    mode_t mode = 0666;  // for a new file, less the host's umask
    bool exists = false;
    for (int links = 0;; ++links) {
        if (int32_t r = locate(path, e); r < 0) {
            // The root, "." or "..": directories, which a file cannot replace.
            return r == -NUV_EINVAL ? -NUV_EISDIR : r;
        }
        struct stat st {};
        if (fstatat(e.dir.get(), e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return host_error(errno);
            if (e.trailing_slash) return -NUV_EISDIR;
            break;
        }
        if (S_ISLNK(st.st_mode)) {
            // Follow the link by its text; locate() confines the result again.
            if (links == kMaxLinks) return -NUV_ELOOP;
            std::vector<char> target(PATH_MAX + 1);
            ssize_t n = readlinkat(e.dir.get(), e.name.c_str(), target.data(), target.size() - 1);
            if (n < 0) return host_error(errno);
            if (n == 0) return -NUV_ENOENT;
            std::string text(target.data(), static_cast<size_t>(n));
            path = text[0] == '/' ? text : e.dir_path + (e.dir_path == "/" ? "" : "/") + text;
            if (e.trailing_slash) path += '/';
            continue;
        }
        if (S_ISDIR(st.st_mode)) return -NUV_EISDIR;
        if (e.trailing_slash) return -NUV_ENOTDIR;
        // Only regular files are replaced: not pipes, devices or sockets.
        if (!S_ISREG(st.st_mode)) return -NUV_EACCES;
        if (faccessat(e.dir.get(), e.name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
            return host_error(errno);
        }
        mode = st.st_mode & 07777;
        exists = true;
        break;
    }

    TempFile out;
    if (int32_t r = out.create(e.dir.get(), mode); r < 0) return r;
    if (exists && fchmod(out.fd(), mode) != 0) return host_error(errno);
    std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(size, kChunk)));
    for (uint64_t done = 0; done < size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, kChunk));
        std::span<uint8_t> piece(chunk.data(), n);
        if (!fill(done, piece)) return -NUV_EFAULT;
        if (!write_all(out.fd(), piece.data(), n)) return host_error(errno);
        done += n;
    }
    return out.commit(e.name, exists);
}

std::string Sandbox::guest_path_of(int fd, const std::string& fallback) const {
    std::string host = host_path_of(fd);
    if (!host.empty() && host_root_ == "/") return host;
    if (!host.empty() && host.compare(0, host_root_.size(), host_root_) == 0) {
        if (host.size() == host_root_.size()) return "/";
        if (host[host_root_.size()] == '/') return host.substr(host_root_.size());
    }
    return normalise(fallback);
}

int32_t Sandbox::change_dir(std::string_view guest_path) {
    if (guest_path.empty()) return -NUV_ENOENT;
    std::string path = absolute(guest_path);
    UniqueFd dir;
    if (int32_t e = open_at_root(path, O_PATH | O_DIRECTORY, 0, dir); e < 0) return e;
    cwd_ = guest_path_of(dir.get(), path);
    return 0;
}

int32_t SandboxFile::read(std::span<uint8_t> out) {
    if (!readable_) return -NUV_EBADF;
    for (;;) {
        ssize_t r = ::read(fd_.get(), out.data(), out.size());
        if (r >= 0) return static_cast<int32_t>(r);
        if (errno != EINTR) return host_error(errno);
    }
}

int32_t SandboxFile::write(std::span<const uint8_t> in) {
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
