// Runs two-byte instruction encodings at the entry point of a fresh Unicorn
// instance, with or without the instruction guard, each batch in a child
// process so that an engine abort ends only that child, and counts how each
// run ended.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace nuvtest::sweep {

enum Outcome : uint8_t {
    Completed,    // ran on to the end address after the encoding
    Refused,      // the guard stopped before a refused instruction
    Invalid,      // the engine reported an invalid instruction
    MemoryFault,  // unmapped or protected memory
    Interrupt,    // a software interrupt or processor exception reached the hook
    Stopped,      // stopped elsewhere: a halt or the instruction limit
    OtherError,   // any other engine error
    Crashed,      // the engine killed its process (an abort or a fault in it)
    Hung,         // the child ran past its safety alarm
    kOutcomes
};

const char* outcome_name(Outcome o);

struct Config {
    bool guarded = true;
    uint8_t tail = 0x90;  // the byte that fills the code page after the encoding
};

// Code page: the two bytes (first byte = high byte of `encoding`), then `tail`.
Outcome run_encoding(uint16_t encoding, const Config& config);

struct Result {
    std::array<uint64_t, kOutcomes> counts{};
    std::vector<uint16_t> crashed;  // encodings that took the engine down
    std::vector<uint16_t> invalid;  // encodings stopped as invalid (guard or engine)
    uint64_t total() const;
    std::string summary() const;  // "Completed=.. Refused=.. ..."
};

// Runs every encoding, batched in forked children; a child that dies is
// replaced and its encoding counted as Crashed (or Hung after its alarm).
Result sweep(std::span<const uint16_t> encodings, const Config& config);

}  // namespace nuvtest::sweep
