/* Small helpers shared by the example commands (built into libexamples.a by
 * the Makefile, and into the archive examples_util by CMakeLists.txt). */
#ifndef EXAMPLES_UTIL_H
#define EXAMPLES_UTIL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Opens a file for reading; "-" is standard input. On failure writes
 * "COMMAND: PATH: reason" and returns a negative value. */
int open_input(const char* command, const char* path);

/* Writes "COMMAND: WHAT: reason for a kernel error" and a newline. */
void complain(const char* command, const char* what, int error);

#ifdef __cplusplus
}
#endif

#endif
