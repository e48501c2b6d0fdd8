// The guest's file system: one host directory, the root, which the guest sees
// as "/", and a current directory inside it. Every path is resolved by the
// host kernel confined to the root (openat2 with RESOLVE_IN_ROOT): absolute
// paths start at the root, ".." stops there and symbolic links, absolute ones
// included, are followed as if the root were "/". A path too long for the
// host to take whole (a long relative one in a deep current directory) is
// walked one name at a time under the same rules. Operations on a name work
// on an open descriptor of its parent directory with the *at() calls.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "disk_budget.hpp"
#include "files.hpp"
#include "path_notes.hpp"
#include "result.hpp"

namespace nuv {

// A host descriptor, closed when the object goes away.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// The negated error code for a host errno value.
int32_t host_error(int err);

// Told of the names that a file's new content takes for a moment, between
// being made beside its target and being renamed over it, so that whoever
// supervises this process can remove one left behind by a crash. Holding a
// second name releases the first.
class TemporaryKeeper {
  public:
    // file_ino 0: whatever regular file has the name (a name held before
    // the file is made).
    virtual void hold(int dir, const std::string& name, uint64_t file_ino) = 0;
    virtual void release() = 0;

  protected:
    ~TemporaryKeeper() = default;
};

class Sandbox {
  public:
    // The longest path a guest may pass, without its NUL (checked where it
    // is read from guest memory), and the longest name in it. A relative
    // path is measured as written, not joined to the current directory:
    // the sandbox itself resolves paths of any length.
    static constexpr size_t kMaxPath = NUV_PATH_MAX;
    static constexpr size_t kMaxName = NUV_NAME_MAX;
    // Symbolic links followed by one replace_file() before it gives up.
    static constexpr int kMaxLinks = 40;

    // Opens host_dir (empty: the current directory) as the root; a NoRoot
    // error with a one-line reason when it is not a directory or the host
    // kernel cannot confine paths to it.
    // Temporary names go to keeper when there is one.
    // What the run may add under the root is budget's (none: no limit); a
    // shared sandbox shares it.
    static Result<std::unique_ptr<Sandbox>> open_root(const std::string& host_dir,
                                                      TemporaryKeeper* keeper = nullptr,
                                                      std::shared_ptr<DiskBudget> budget = nullptr);
    // A sandbox on the same open root directory (never reopened by its host
    // path, which may since name something else), at "/".
    Result<std::unique_ptr<Sandbox>> share() const;

    // The root's host path, as the host kernel names it.
    const std::string& host_root() const { return host_root_; }
    int root_fd() const { return root_.get(); }
    DiskBudget& budget() const { return *budget_; }
    const std::shared_ptr<DiskBudget>& shared_budget() const { return budget_; }
    // What this run tells its user of paths outside the root; shared by
    // every sandbox shared from this one.
    PathNotes& notes() const { return *notes_; }
    // The current directory as a guest path, "/" at first.
    const std::string& cwd() const { return cwd_; }

    // The guest path made absolute against the current directory; text only,
    // nothing is resolved.
    std::string absolute(std::string_view guest_path) const;

    // Opens a guest path with host open flags and mode (the mode only counts
    // with O_CREAT); O_CLOEXEC is always added. 0 and the descriptor in out,
    // or a negated error code.
    int32_t open(std::string_view guest_path, int host_flags, mode_t mode, UniqueFd& out) const;

    // A guest path split for operations on a name: its parent directory,
    // opened (O_PATH) inside the root, and its last component, which is never
    // empty, "." or ".." and holds no '/'. Symbolic links in the parent part
    // are followed; the last component is not.
    struct Entry {
        UniqueFd dir;
        std::string name;
        std::string dir_path;         // the guest path of the parent, as given
        bool trailing_slash = false;  // the path ended in '/'
    };
    int32_t locate(std::string_view guest_path, Entry& out) const;

    // Replaces the whole content of the file at a guest path with size bytes,
    // which fill(offset, chunk) supplies chunk by chunk (false: the bytes
    // cannot be had, and the call fails with -NUV_EFAULT). The new content is
    // written to an unnamed file in the target's directory (a randomly named
    // one where the host cannot make unnamed files) and then linked or renamed
    // over the target, so a failure leaves the old file as it was. A missing file is created; a
    // symbolic link in the last component is followed inside the root; an
    // existing file keeps its permission bits. What the new content adds to
    // the old comes from the budget, all of it or -NUV_ENOSPC. 0 or a
    // negated error code.
    using Filler = std::function<bool(uint64_t offset, std::span<uint8_t> chunk)>;
    int32_t replace_file(std::string_view guest_path, uint64_t size, const Filler& fill) const;

    // Makes a directory inside the root the current directory. 0 or a
    // negated error code.
    int32_t change_dir(std::string_view guest_path);

    // A path on the run's command line, which names host_path (absolute)
    // on the host: when it does not resolve here and the reason is the
    // root, the notes say so before the guest even tries it.
    void note_argument(std::string_view guest_path, const std::string& host_path) const;

  private:
    Sandbox(UniqueFd root, std::string host_root, TemporaryKeeper* keeper,
            std::shared_ptr<DiskBudget> budget, std::shared_ptr<PathNotes> notes);
    // result, after a note when the guest path failed to resolve because of
    // the root (see path_notes.hpp).
    int32_t explained(std::string_view guest_path, int32_t result) const;
    void explain(std::string_view guest_path, const std::string& host_path) const;
    int32_t locate_entry(std::string_view guest_path, Entry& out) const;
    int32_t write_whole(std::string_view guest_path, uint64_t size, const Filler& fill) const;
    // Opens a guest path of any length: in one host call when the host takes
    // the path made absolute whole, else by walk(). With canonical, always
    // walks and stores there the guest path of what it opened, without links,
    // "." or "..".
    // Nothing on the host kernel's own file systems (proc, sysfs, ...) is
    // opened: -NUV_EACCES.
    int32_t resolve(std::string_view guest_path, int host_flags, mode_t mode, UniqueFd& out,
                    std::string* canonical) const;
    int32_t find(std::string_view guest_path, int host_flags, mode_t mode, UniqueFd& out,
                 std::string* canonical) const;
    int32_t walk(const std::string& absolute_path, int host_flags, mode_t mode, UniqueFd& out,
                 std::string* canonical) const;
    // replace_file's new content for the entry e, written and committed.
    int32_t write_new(const Entry& e, mode_t mode, bool exists, uint64_t size,
                      const Filler& fill) const;
    // The guest path of an open descriptor by the host's name for it; empty
    // when the host cannot name it or names it outside the root.
    std::string guest_path_of(int fd) const;

    UniqueFd root_;
    std::string host_root_;
    TemporaryKeeper* keeper_ = nullptr;
    std::shared_ptr<DiskBudget> budget_;
    std::shared_ptr<PathNotes> notes_;
    std::string cwd_ = "/";
};

// A host file opened through the sandbox, as a guest descriptor refers to it.
// A write that makes it grow is charged to the budget (none: no limit).
class SandboxFile : public OpenFile {
  public:
    SandboxFile(UniqueFd fd, bool readable, bool writable,
                std::shared_ptr<DiskBudget> budget = nullptr)
        : fd_(std::move(fd)),
          readable_(readable),
          writable_(writable),
          budget_(std::move(budget)) {}
    IoResult read(std::span<uint8_t> out) override;
    // Past the file's end, only as many bytes as the budget covers (a short
    // count, as on a full disk); -NUV_ENOSPC when it covers none, the file
    // then left as it was.
    IoResult write(std::span<const uint8_t> in) override;
    // Origins 0, 1 and 2: from the start, the current position, the end. The
    // new position must lie between 0 and 2^31 - 1.
    int32_t seek(int32_t offset, int32_t origin) override;
    int host_fd() const { return fd_.get(); }
    Host host() const override;

  private:
    IoResult write_all(std::span<const uint8_t> in);
    UniqueFd fd_;
    bool readable_, writable_;
    std::shared_ptr<DiskBudget> budget_;
};

}  // namespace nuv
