// Choosing and starting the engine under one guest process.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine.hpp"
#include "result.hpp"

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
    // The native engine may rewrite int 0x80 sites (NativeOptions); what
    // its guest may then do in its own process the kernel tells it
    // (Engine::in_process).
    bool rewrite_sites = true;
};

// Which engines this host can run: each is started once and ended again
// (the native engine costs a process start). A reason is the one-line
// error that a run asking for that engine would give.
struct EngineSurvey {
    bool native = false;
    std::string native_refusal;
    bool unicorn = false;
    std::string unicorn_refusal;
    std::string unicorn_version;  // "2.0.1": the emulator library in use
    // What `auto` picks for a run that counts nothing.
    EngineKind automatic() const { return native ? EngineKind::Native : EngineKind::Unicorn; }
};
EngineSurvey survey_engines();

// Makes the engines of one run's processes. One engine per process; create,
// run and destroy it on one host thread (the native engine's guest is traced
// by that thread).
class EngineFactory {
  public:
    // The engine, or a one-line reason (HostError::NoEngine) when the requested
    // engine cannot start.
    Result<std::unique_ptr<Engine>> make(const EngineRequest& req, bool& tsc_done);
    // Why Auto fell back to Unicorn after the native engine failed to start
    // (empty: it has not). A host that cannot run 32-bit programs, or that
    // forbids tracing (under a debugger), refuses every start alike, so
    // later processes go straight to the emulator.
    const std::string& native_refusal() const { return native_refused_; }

  private:
    std::string native_refused_;
};

}  // namespace nuv
