// Kernel calls on the address space: anonymous mappings.
#include "calls.hpp"

namespace nuv {

Outcome handle_mmap(CallContext& c, const SyscallArgs& a) {
    // Anonymous mappings only; every failure is -1, the one value the library
    // takes as failure. Memory is never writable and executable at once, so a
    // request for both fails like any other.
    uint32_t length = a.ecx, prot = a.edx, flags = a.esi;
    if ((flags & NUV_MAP_ANONYMOUS) == 0 ||
        (prot & ~uint32_t{NUV_PROT_READ | NUV_PROT_WRITE | NUV_PROT_EXEC}) != 0)
        return -1;
    if ((prot & NUV_PROT_WRITE) && (prot & NUV_PROT_EXEC)) return -1;
    uint32_t at = c.memory().map_anonymous(length, prot);
    return at == 0 ? -1 : static_cast<int32_t>(at);
}

Outcome handle_munmap(CallContext& c, const SyscallArgs& a) {
    return c.memory().unmap_anonymous(a.ebx, a.ecx) ? 0 : -NUV_EINVAL;
}

}  // namespace nuv
