// Replacing a whole file in the sandbox: the new content is written to a
// temporary beside the target and takes its name only when complete.
#include "sandbox.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

namespace nuv {
namespace {

constexpr size_t kChunk = 1u << 20;

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

// The new content of a file, written where nothing else can see or take it
// and given its name only when complete. Where the host file system can, it
// has no name at all until then (O_TMPFILE); elsewhere it has a random name
// beside the target and is removed on failure. A name it has is held with
// the supervisor for as long as it lasts, so that it goes even when the
// engine's process is killed.
class TempFile {
  public:
    explicit TempFile(TemporaryKeeper* keeper) : keeper_(keeper) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        fd_.reset();
        if (!name_.empty()) unlinkat(dir_, name_.c_str(), 0);
        release();
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
            hold(dir, name, 0);
            fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd >= 0) {
                fd_.reset(fd);
                name_ = std::move(name);
                return 0;
            }
            int err = errno;
            release();
            if (err != EEXIST) return host_error(err);
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
            struct stat st {};
            if (fstat(fd_.get(), &st) != 0) return host_error(errno);
            for (int attempt = 0; name_.empty(); ++attempt) {
                std::string name;
                if (attempt == kNameAttempts || !random_name(name)) return -NUV_EIO;
                hold(dir_, name, st.st_ino);
                if (link_to(name) == 0) {
                    name_ = std::move(name);
                    continue;
                }
                int err = errno;
                release();
                if (err != EEXIST) return host_error(err);
            }
        }
        if (::close(fd_.release()) != 0) return host_error(errno);
        if (renameat(dir_, name_.c_str(), dir_, target.c_str()) != 0) return host_error(errno);
        name_.clear();
        release();
        return 0;
    }

  private:
    static constexpr int kNameAttempts = 16;

    void hold(int dir, const std::string& name, uint64_t file_ino) {
        if (keeper_ != nullptr) keeper_->hold(dir, name, file_ino);
    }
    void release() {
        if (keeper_ != nullptr) keeper_->release();
    }

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
    TemporaryKeeper* keeper_;
};

}  // namespace

int32_t Sandbox::write_whole(std::string_view guest_path, uint64_t size, const Filler& fill) const {
    if (guest_path.empty()) return -NUV_ENOENT;
    std::string path = absolute(guest_path);
    Entry e;
    mode_t mode = 0666;  // for a new file, less the host's umask
    bool exists = false;
    uint64_t old_size = 0;  // of an existing file
    for (int links = 0;; ++links) {
        if (int32_t r = locate_entry(path, e); r < 0) {
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
        old_size = static_cast<uint64_t>(st.st_size);
        exists = true;
        break;
    }

    // What the file grows by (a new one: its size and its name) is taken
    // whole before anything is written, and given back when the file is not
    // replaced after all. (The temporary and the old file are both on the
    // host for the moment between.)
    const uint64_t growth =
        exists ? (size > old_size ? size - old_size : 0) : size + DiskBudget::kNameBytes;
    if (!budget_->take(growth)) return -NUV_ENOSPC;
    int32_t r = write_new(e, mode, exists, size, fill);
    if (r < 0) budget_->give_back(growth);
    return r;
}

int32_t Sandbox::write_new(const Entry& e, mode_t mode, bool exists, uint64_t size,
                           const Filler& fill) const {
    TempFile out(keeper_);
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

}  // namespace nuv
