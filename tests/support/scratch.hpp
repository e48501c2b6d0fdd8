// Scratch memory for test data in a guest's address space: a read-write
// region mapped on first use, handed out bump-style and never freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "harness.hpp"

namespace nuvtest {

// n bytes aligned to align; throws when the region is used up.
uint32_t alloc(nuv::Harness& m, size_t n, uint32_t align = 8);
uint32_t put_string(nuv::Harness& m, std::string_view s);  // with its NUL
uint32_t put_bytes(nuv::Harness& m, std::span<const uint8_t> bytes);

}  // namespace nuvtest
