// A run's profile (emu/kernel/profile.hpp) written in formats that existing
// viewers open, with every sampled address named by its function and,
// where the image has debug information, its source line:
//
//   collapsed stacks, one line per distinct stack, outermost frame first,
//   rooted at the process's image, and its weight, for flame graph tools:
//       hot;_start;main;spin 1200000
//   a callgrind file: each function's own cost by source line and its calls
//   with their inclusive cost, for call-graph viewers;
//   a flame graph, as a self-contained SVG: one rectangle per frame, its
//   width its weight, its title (shown on hover) the name, the weight and
//   the share of the whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "profile.hpp"

namespace nuv::report {

enum class ProfileFormat { Collapsed, Callgrind, FlameGraph };

// By the file's name: "*.svg" a flame graph, "*.callgrind" or
// "callgrind.out*" a callgrind file, anything else collapsed stacks.
ProfileFormat profile_format(std::string_view path);

// The profile in one format.
std::string profile_text(const Profile& p, ProfileFormat format);

// What a weight is, for people: "instructions" or "nanoseconds".
const char* profile_unit(const Profile& p);

// A digest of a name (FNV-1a), the same on every run and every host.
uint32_t name_digest(std::string_view name);

// The flame graph of collapsed stacks (profile_text's Collapsed lines).
std::string flame_graph(std::string_view collapsed, std::string_view title, std::string_view unit);

}  // namespace nuv::report
