#include "syscalls.hpp"

#include <algorithm>

namespace nuv {
// The most bytes one read or write call moves; the library loops for the rest.
constexpr uint32_t kMaxTransfer = NUV_IO_MAX;

int32_t sys_write(Machine& m, const SyscallArgs& a) {
    auto f = m.file(static_cast<int32_t>(a.ebx));
    if (!f) return -NUV_EBADF;
    uint32_t n = std::min(a.edx, kMaxTransfer);
    std::vector<uint8_t> data(n);
    if (int32_t e = m.memory().read(a.ecx, data.data(), n); e < 0) return e;
    return f->write(data);
}

int32_t sys_read(Machine& m, const SyscallArgs& a) {
    auto f = m.file(static_cast<int32_t>(a.ebx));
    if (!f) return -NUV_EBADF;
    uint32_t n = std::min(a.edx, kMaxTransfer);
    // Checked first, so that no input is consumed for a bad buffer.
    if (int32_t e = m.memory().check(a.ecx, n, true); e < 0) return e;
    std::vector<uint8_t> data(n);
    int32_t r = f->read(data);
    if (r > 0) m.memory().write(a.ecx, data.data(), static_cast<uint32_t>(r));
    return r;
}

int32_t sys_exit(Machine& m, const SyscallArgs& a) {
    m.exit_process(static_cast<int32_t>(a.ebx));
    return 0;
}

int32_t sys_close(Machine& m, const SyscallArgs& a) {
    return m.close_file(static_cast<int32_t>(a.ebx)) ? 0 : -NUV_EBADF;
}

const std::vector<SyscallDef>& default_syscalls() {
    static const std::vector<SyscallDef> table = [] {
#define NUV_CALL_ENTRY_(name, nr, kinds) \
    {#name, nr, static_cast<int>(sizeof(kinds) - 1), kinds, sys_##name},
        return std::vector<SyscallDef>{NUV_CALLS(NUV_CALL_ENTRY_)};
#undef NUV_CALL_ENTRY_
    }();
    return table;
}

}  // namespace nuv
