// Running NUV-OS images by name: a binfmt_misc rule that hands every file
// that looks like one of our images to nuvemu, so that "./wc file" runs it.
// Images are told apart by the fields the image linker script (cmake/nuvos.ld)
// fixes, not by being any i386 program: an ELF32 little-endian i386
// executable (ET_EXEC, System V), entry at 0x400000, program headers at 52,
// 32 bytes each, three of them, the first a read-and-execute PT_LOAD at
// 0x400000.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace nuv::cli::binfmt {

// The name nuvemu registers under unless told another.
inline constexpr const char* kDefaultName = "nuvos";
// Where the host kernel's binfmt_misc lives.
inline constexpr const char* kDirectory = "/proc/sys/fs/binfmt_misc";

// The bytes compared from the start of a file, and which bits of each count.
struct Pattern {
    std::string magic, mask;
};
const Pattern& pattern();

// Whether the first bytes of a file are an image's, as the rule sees them.
bool matches(std::span<const uint8_t> head);

// The line written to binfmt_misc's register file: the pattern, the
// interpreter (an absolute path) and the F flag (the interpreter is opened
// when registering, so it runs in any mount namespace or root later).
std::string rule(const std::string& name, const std::string& interpreter);

// Whether a binfmt_misc entry (the text of its file) is a rule for our
// images: a magic rule whose magic and mask are ours, whatever nuvemu it
// names. A rule of another program is never replaced or removed.
bool ours(const std::string& entry);

// Whether a name can be registered: letters, digits, '.', '_' and '-', at
// most 64 of them, and not one of binfmt_misc's own files.
bool valid_name(const std::string& name);

// nuvemu --binfmt VERB [NAME]: register, unregister or status. What
// happened goes to out, why it could not to err; nuvemu's exit status.
// status: 0 registered, 1 not registered.
int command(const std::string& verb, const std::string& name, std::FILE* out, std::FILE* err);

}  // namespace nuv::cli::binfmt
