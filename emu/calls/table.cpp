#include "calls.hpp"

namespace nuv {

const std::vector<SyscallDef>& default_syscalls() {
    static const std::vector<SyscallDef> table = [] {
#define NUV_CALL_ENTRY_(name, nr, kinds) \
    {#name, nr, static_cast<int>(sizeof(kinds) - 1), kinds, handle_##name},
        return std::vector<SyscallDef>{NUV_CALLS(NUV_CALL_ENTRY_)};
#undef NUV_CALL_ENTRY_
    }();
    return table;
}

}  // namespace nuv
