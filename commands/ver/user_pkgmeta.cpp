// The package record of the ver package.
#include <nuvos/meta.h>

NUV_PACKAGE_RECORD(0, "ver", "3");
