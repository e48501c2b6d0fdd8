#include <errno.h>

// One process-wide error code; only the heap ever stores into it.
int errno;
