// The error names of <errno.h> with their values, for the tests to compare
// with the kernel's documented table and with what the kernel returns.
#include <errno.h>

extern "C" {

struct ProbeErrorName {
    const char* name;
    int value;
};

#define NUV_PROBE_ERROR(e) \
    { #e, e }
extern const ProbeErrorName g_probe_error_names[] = {
    NUV_PROBE_ERROR(ENOENT),    NUV_PROBE_ERROR(EIO),          NUV_PROBE_ERROR(ENOEXEC),
    NUV_PROBE_ERROR(EBADF),     NUV_PROBE_ERROR(ECHILD),       NUV_PROBE_ERROR(EAGAIN),
    NUV_PROBE_ERROR(ENOMEM),    NUV_PROBE_ERROR(EACCES),       NUV_PROBE_ERROR(EFAULT),
    NUV_PROBE_ERROR(EEXIST),    NUV_PROBE_ERROR(ENOTDIR),      NUV_PROBE_ERROR(EISDIR),
    NUV_PROBE_ERROR(EINVAL),    NUV_PROBE_ERROR(EMFILE),       NUV_PROBE_ERROR(ENOSPC),
    NUV_PROBE_ERROR(ESPIPE),    NUV_PROBE_ERROR(EPIPE),        NUV_PROBE_ERROR(ERANGE),
    NUV_PROBE_ERROR(EDEADLK),   NUV_PROBE_ERROR(ENAMETOOLONG), NUV_PROBE_ERROR(ENOSYS),
    NUV_PROBE_ERROR(ENOTEMPTY), NUV_PROBE_ERROR(ELOOP),
};
extern const unsigned g_probe_error_count =
    sizeof g_probe_error_names / sizeof g_probe_error_names[0];

}  // extern "C"
