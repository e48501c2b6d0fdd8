// Coverage counts of commands built with `nuvos-cc --coverage`. Such an image
// lists, in its section .gcov_info, where each of its object files keeps its
// profile in memory (GCC 12's layout, written by the compiler, never run by
// the guest: nothing runs after exit). When a process of the image ends, on
// an exit, a fault, a limit or the end of the run, nuvemu reads that profile
// from the process's memory and adds it into the object's data file
// (NAME.gcda beside NAME.gcno) as a host program's own start-up code would,
// so that gcov, gcovr and lcov read it as they read a host program's:
// counters summed, the run count one higher, a file of another compilation
// (another stamp) replaced.
//
// The names come from the guest's memory, so nothing is trusted: a data file
// is written only where the compiler's notes file of the same compilation
// lies beside it, never through a symbolic link, and every count and size is
// bounded. Whatever is refused is one line on the warning stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "elf32.hpp"
#include "guest_memory.hpp"
#include "result.hpp"

namespace nuv {

class Task;

namespace coverage {

// The compiler's profile layout that this reader knows: GCC 12 ("B2", then
// the minor version and the release state, in the version word's bytes).
constexpr uint32_t kVersionMask = 0xFFFF0000u;
constexpr uint32_t kVersionFamily = 0x42320000u;

// Bounds on what a guest's profile may claim, all its objects together.
constexpr uint32_t kMaxObjects = 1u << 16;            // object files in one image
constexpr uint32_t kMaxFunctions = 1u << 17;          // functions in one image
constexpr uint64_t kMaxCounters = uint64_t{1} << 22;  // counters in one image
constexpr uint32_t kMaxName = 4095;                   // bytes of a data file's name

// Counter kinds: GCC 12 has eight; these add up from run to run.
constexpr uint32_t kKinds = 8;
constexpr bool additive(uint32_t kind) {
    return kind <= 2 || kind == 5;
}

struct Function {
    // false: the record names a function kept in another object; it has no
    // data here (an empty record in the file).
    bool present = true;
    uint32_t ident = 0, lineno_checksum = 0, cfg_checksum = 0;
    std::vector<std::vector<uint64_t>> counters;  // one list per kind of Object::kinds
};

// One object file's profile.
struct Object {
    uint32_t version = 0, stamp = 0, checksum = 0;
    std::string data_file;        // the data file the compiler named (NAME.gcda)
    std::vector<uint32_t> kinds;  // the kinds it counts, in ascending order
    std::vector<Function> functions;
};

// The profiles an image lists, read from the memory of a process of it; none
// when the image lists none. An error (one line) when the list cannot be read
// or is not GCC 12's.
Result<std::vector<Object>> read_objects(const elf::File& image, const GuestMemory& memory);

// A data file's summary: the runs it counts and the sum of each run's
// largest arc count.
struct Summary {
    uint32_t runs = 0, sum_max = 0;
};
// Adds the counts of an older data file into o and gives its summary: none
// for an empty file, or one of another compilation (version, stamp or
// checksum), which is replaced. An error when the file is not a data file or
// its records do not match o's.
Result<Summary> merge(Object& o, std::span<const uint8_t> old);
// The largest arc count of one run's profile.
uint64_t run_max(const Object& o);
// The data file of o with the given summary.
std::vector<uint8_t> encode(const Object& o, const Summary& summary);

// Where a data file goes: with prefix (GCOV_PREFIX) set and not empty, an
// absolute name loses its first `strip` directories (GCOV_PREFIX_STRIP) and
// goes under prefix.
std::string relocate(const std::string& name, const char* prefix, const char* strip);

// Adds o's counts into the data file at path, with the checks above. A
// one-line reason when nothing was written.
Status write(Object o, const std::string& path);

// What save() did.
struct Saved {
    int written = 0, refused = 0;
};
// Saves the counts of an ended process, if its image lists any, into their
// data files (GCOV_PREFIX and GCOV_PREFIX_STRIP from the environment); each
// refusal is one line on warn, beginning with "nuvemu: coverage: ", the
// first kMaxWarnings of them, then one line for the rest.
constexpr int kMaxWarnings = 8;
Saved save(const Task& t, std::FILE* warn);

}  // namespace coverage
}  // namespace nuv
