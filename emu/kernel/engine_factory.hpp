// Choosing and starting the engine under one guest process.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine.hpp"

namespace nuv {

enum class EngineKind {
    Unicorn,  // the processor emulated in this process: slower, counts instructions
    Native,   // the guest as a 32-bit host process of its own: full speed
    Auto,     // native where it starts and nothing needs counting, else Unicorn
};

// "unicorn", "native" or "auto"; false for anything else.
bool parse_engine_kind(std::string_view text, EngineKind& out);
const char* engine_kind_name(EngineKind kind);

struct EngineRequest {
    EngineKind kind = EngineKind::Unicorn;
    // Instruction counts or an instruction limit: only Unicorn has them.
    bool needs_counting = false;
    // A fixed time-stamp counter; make_engine sets tsc_done when the engine
    // took it at its start (the others take it through instrumentation()).
    std::optional<uint64_t> tsc;
    // The most address space the guest process may have (0: no bound).
    uint64_t max_address_space = 0;
    // An engine a debugger can stop: int3 and single steps end a run (see
    // EngineStop::Breakpoint and RunLimits::step) instead of faulting.
    bool debugging = false;
};

// One engine per process; create, run and destroy it on one host thread (the
// native engine's guest is traced by that thread). nullptr and a one-line
// reason in err when the requested engine cannot start.
std::unique_ptr<Engine> make_engine(const EngineRequest& req, bool& tsc_done, std::string& err);

// Why Auto fell back to Unicorn after the native engine failed to start in
// this program (empty: it has not).
std::string native_refusal();

}  // namespace nuv
