// Calls in the guest's own process on the direct path (see direct_call.h):
// the kernel grants them (InProcessPolicy), and this only carries its grant
// out: the host descriptors installed in the guest process, what the
// handler may do with each, the position and file size limits on the page
// and the process's file size limit.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "direct_call.h"
#include "native_direct.hpp"

namespace nuv::native {
namespace {

// The i386 numbers of the calls that hand a descriptor over.
constexpr uint32_t kLinuxClose = 6, kLinuxDup2 = 63, kLinuxRecvmsg = 372;
constexpr uint8_t kReadWrite = NUV_FD_READ | NUV_FD_WRITE;

// Whether the open file behind fd can do nothing but what flags say.
bool allows_only(int fd, uint8_t flags) {
    int mode = fcntl(fd, F_GETFL);
    if (mode < 0) return false;
    mode &= O_ACCMODE;
    bool reads = mode == O_RDONLY || mode == O_RDWR, writes = mode == O_WRONLY || mode == O_RDWR;
    return (!reads || (flags & NUV_FD_READ) != 0) && (!writes || (flags & NUV_FD_WRITE) != 0);
}

// An output that is neither a regular file nor a socket (a terminal, a
// device, a pipe) opened once more for writing alone, as it was otherwise:
// the same place with no position to share; -1 where it cannot be. The
// caller closes it.
int output_only(int fd, uint8_t flags) {
    struct stat st {};
    int mode = fcntl(fd, F_GETFL);
    if ((flags & kReadWrite) != NUV_FD_WRITE || mode < 0 || fstat(fd, &st) != 0 ||
        !(S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) {
        return -1;
    }
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    return open(self.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | (mode & (O_APPEND | O_NONBLOCK)));
}

// What the handler may do with one descriptor under the policy.
uint8_t marks(const InProcessPolicy& p, const InProcessPolicy::Descriptor& d) {
    if (d.fd < 0) return 0;
    uint8_t m = 0;
    if (d.read && (p.calls & InProcessPolicy::kRead) != 0) m |= NUV_FD_READ;
    if (d.write && (p.calls & InProcessPolicy::kWrite) != 0) m |= NUV_FD_WRITE;
    if (m != 0 && (p.calls & InProcessPolicy::kSeek) != 0) m |= NUV_FD_SEEK;
    if ((m & NUV_FD_WRITE) != 0 && d.sized) m |= NUV_FD_SIZED;
    return m;
}

}  // namespace

int DirectChannel::make_socket() {
    int s[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, s) != 0) return -1;
    sock_ = s[0];
    return s[1];
}

bool DirectChannel::set_limits(uint32_t max_position, uint32_t max_size) {
    // The handler's own checks (the page), then what holds the guest to
    // them past the handler: the filter for positions, and for writes the
    // process's file size limit, set from here (the guest cannot change it).
    store(page_->max_position, max_position);
    store(page_->max_size, max_size);
    if (file_size_limit_ == max_size) return true;
    rlimit r{max_size, NUV_DIRECT_POSITION_END - 1};
    if (prlimit(p_.pid(), RLIMIT_FSIZE, &r, nullptr) != 0) return false;
    file_size_limit_ = max_size;
    return true;
}

void DirectChannel::in_process(const InProcessPolicy& policy) {
    if (!in_process_) return;
    // Never more than a guest can be told of, whatever the policy says.
    const uint32_t max_position = std::min(policy.max_position, NUV_DIRECT_POSITION_END - 1);
    const uint32_t max_size = std::min(policy.max_file_size, max_position);
    if (!set_limits(max_position, max_size)) return lose_descriptors();
    for (uint32_t g = 0; g < NUV_DIRECT_FD_COUNT; ++g) {
        InProcessPolicy::Descriptor want =
            g < policy.descriptors.size() ? policy.descriptors[g] : InProcessPolicy::Descriptor{};
        uint8_t flags = marks(policy, want);
        // The guest process may read and write what it holds however its
        // open file allows, past the handler's checks: one that allows more
        // than the guest may do gets an open file of its own that does not
        // (see output_only()), or stays with the kernel (a file open for
        // writing behind an input, a socket).
        int own = -1;
        if (flags != 0 && !allows_only(want.fd, flags)) {
            own = output_only(want.fd, flags);
            if (own < 0) flags = 0;
        }
        Installed& have = installed_[g];
        if (flags != 0 && have.flags != 0 && have.id == want.id && have.fd == want.fd &&
            (have.flags & kReadWrite) == (flags & kReadWrite)) {
            // The same open file, granted the same access: only the marks change.
            if (own >= 0) close(own);
            have.flags = flags;
            page_->fds[g] = flags;
            continue;
        }
        if (have.flags == 0 && flags == 0) continue;
        // The handler stops using it first; the guest's descriptor is then
        // replaced (dup2 closes what was there) or closed.
        page_->fds[g] = 0;
        int64_t r = 0;
        const uint32_t slot = NUV_DIRECT_FD_BASE + g;
        if (flags == 0) {
            if (have.flags != 0 && !p_.remote(kLinuxClose, {slot}, r)) return lose_descriptors();
            have = {};
            continue;
        }
        have = {nullptr, want.fd, 0};  // closed again should the hand-over fail
        bool sent = send_descriptor(own >= 0 ? own : want.fd, slot);
        if (own >= 0) close(own);
        if (!sent) return lose_descriptors();
        have = {want.id, want.fd, flags};
        page_->fds[g] = flags;
    }
}

void DirectChannel::lose_descriptors() {
    // Every call goes to the kernel from now on, and the guest process
    // keeps none of the descriptors it was given: one it cannot be made to
    // close is not let run again.
    in_process_ = false;
    if (page_ != nullptr) std::memset(page_->fds, 0, sizeof page_->fds);
    for (uint32_t g = 0; g < NUV_DIRECT_FD_COUNT; ++g) {
        if (installed_[g].flags == 0 && installed_[g].fd < 0) continue;
        int64_t r = 0;
        if (!p_.remote(kLinuxClose, {NUV_DIRECT_FD_BASE + g}, r)) {
            p_.end();
            return;
        }
        installed_[g] = {};
    }
}

bool DirectChannel::send_descriptor(int fd, uint32_t slot) {
    // Sent here, received by the guest process at the gate into a message
    // laid out at the bottom of the handler's stack, then moved to its slot.
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    if (sendmsg(sock_, &m, MSG_DONTWAIT) != 1) return false;
    // i386: msghdr (7 words), iovec (2), cmsghdr (3) and the descriptor, the byte.
    const uint32_t at = p_.gate() + NUV_GATE_STACK;
    const uint32_t msg[14] = {0,       0, at + 28, 1,          at + 36,    16,  0,
                              at + 52, 1, 16,      SOL_SOCKET, SCM_RIGHTS, ~0u, 0};
    int64_t got = -1, r = -1;
    uint32_t received = ~0u;
    bool ok = space_.poke(at, msg, sizeof msg) &&
              p_.remote(kLinuxRecvmsg, {NUV_DIRECT_FD_SOCKET, at, 0}, got) && got == 1 &&
              space_.peek(at + 48, &received, 4) && received < 1024;
    if (!ok) return false;
    ok = p_.remote(kLinuxDup2, {received, slot}, r) && r == int64_t{slot};
    return p_.remote(kLinuxClose, {received}, r) && ok;
}

}  // namespace nuv::native
