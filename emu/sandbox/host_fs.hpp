// The host kernel's calls the sandbox rests on: opens confined to a
// directory, the host's own name for a descriptor, and whether a descriptor
// lies on one of the host kernel's own file systems. Private to the sandbox.
#pragma once

#include <linux/openat2.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace nuv::host_fs {

// A path resolved as if dirfd were "/", never through the host's magic links.
constexpr uint64_t kResolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;

// openat2 with flags and mode (the mode only with O_CREAT), retried when the
// host kernel asks for it; the descriptor, or -1 with errno set.
int openat2_call(int dirfd, const char* path, int flags, mode_t mode, uint64_t resolve);

// Whether fd lies on one of the host kernel's own file systems (process and
// system information, control files): a guest reaches none of them, whatever
// the root holds, since their files act on the host itself (a process's
// memory, the kernel's settings) rather than hold data.
bool on_kernel_file_system(int fd);

// The host's own name for an open descriptor; empty when it cannot be had.
std::string host_path_of(int fd);

}  // namespace nuv::host_fs
