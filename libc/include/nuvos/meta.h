/* Image metadata records, read by the shell and package tooling from the
 * image file without running it.
 *
 *   NUV_COMMAND_RECORD(0, "ver", "Show system version information.");
 *   NUV_PACKAGE_RECORD(0, "ver", "3");
 *
 * Each macro defines one record (g_cmdmeta_<id> / g_pkgmeta_<id>) in a section of
 * its own: a four-byte magic, the version word 1 (little-endian), the texts packed
 * with their NULs, and one more zero byte ending the record. The arguments must
 * be string literals of plain ASCII without embedded NULs. */
#ifndef NUV_META_H
#define NUV_META_H

#ifdef __cplusplus
#define NUV_META_LINKAGE extern "C"
#define NUV_META_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define NUV_META_LINKAGE
#define NUV_META_ASSERT(cond, msg) __extension__ _Static_assert(cond, msg)
#endif

#define NUV_META_VERSION_1 "\x01\x00\x00\x00"

/* Command record: magic "NCMD", version, description, name, end byte. */
#define NUV_COMMAND_RECORD(id, name, description)                       \
    NUV_META_ASSERT(sizeof(name) > 1, "a command record needs a name"); \
    NUV_META_LINKAGE const char g_cmdmeta_##id[]                        \
        __attribute__((section(".nuvos.cmdmeta"), aligned(32), used)) = \
            "NCMD" NUV_META_VERSION_1 description "\0" name "\0"

/* Package record: magic "NPKG", version, package name, second text, end byte. */
#define NUV_PACKAGE_RECORD(id, name, text)                              \
    NUV_META_ASSERT(sizeof(name) > 1, "a package record needs a name"); \
    NUV_META_LINKAGE const char g_pkgmeta_##id[]                        \
        __attribute__((section(".nuvos.pkgmeta"), aligned(4), used)) =  \
            "NPKG" NUV_META_VERSION_1 name "\0" text "\0"

#endif
