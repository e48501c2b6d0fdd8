// Guest paths resolved to host descriptors inside the root: in one confined
// host call, or one name at a time when the path is too long for the host.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <vector>

#include "host_fs.hpp"
#include "sandbox.hpp"

namespace nuv {
namespace {

using host_fs::kResolve;
using host_fs::on_kernel_file_system;
using host_fs::openat2_call;

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

}  // namespace nuv
