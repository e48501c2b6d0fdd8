#include "engine_factory.hpp"

#include <mutex>

#include "native_engine.hpp"
#include "unicorn_engine.hpp"

namespace nuv {
namespace {

// Why the native engine would not start, once it failed under Auto: a host
// that cannot run 32-bit programs, or that forbids tracing (under a
// debugger), refuses every start alike, so later processes go straight to
// the emulator.
std::mutex g_native_mutex;
std::string g_native_refused;

std::unique_ptr<NativeEngine> start_native(const EngineRequest& req, std::string& why) {
    NativeOptions o;
    o.tsc = req.tsc;
    o.debugging = req.debugging;
    // The budget is kept host-side; the process's own bound only has to let
    // the start-up stub and the gate page through besides it.
    o.max_address_space = req.max_address_space == 0 ? 0 : req.max_address_space + (16u << 20);
    return NativeEngine::start(o, why);
}

}  // namespace

bool parse_engine_kind(std::string_view text, EngineKind& out) {
    if (text == "unicorn") {
        out = EngineKind::Unicorn;
    } else if (text == "native") {
        out = EngineKind::Native;
    } else if (text == "auto") {
        out = EngineKind::Auto;
    } else {
        return false;
    }
    return true;
}

const char* engine_kind_name(EngineKind kind) {
    switch (kind) {
        case EngineKind::Unicorn:
            return "unicorn";
        case EngineKind::Native:
            return "native";
        case EngineKind::Auto:
            return "auto";
    }
    return "?";
}

std::unique_ptr<Engine> make_engine(const EngineRequest& req, bool& tsc_done, std::string& err) {
    tsc_done = false;
    bool native = req.kind == EngineKind::Native;
    if (req.kind == EngineKind::Auto && !req.needs_counting) {
        std::lock_guard<std::mutex> lock(g_native_mutex);
        native = g_native_refused.empty();
    }
    if (native) {
        if (req.needs_counting) {
            err = "the native engine cannot count instructions (use --engine unicorn)";
            return nullptr;
        }
        std::string why;
        std::unique_ptr<NativeEngine> e = start_native(req, why);
        if (e) {
            tsc_done = true;
            return e;
        }
        if (req.kind == EngineKind::Native) {
            err = "cannot start the native engine: " + why;
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(g_native_mutex);
        g_native_refused = why.empty() ? "refused" : why;
    }
    std::unique_ptr<UnicornEngine> e = UnicornEngine::create(req.needs_counting, req.debugging);
    if (!e) err = "cannot start the CPU emulator";
    return e;
}

std::string native_refusal() {
    std::lock_guard<std::mutex> lock(g_native_mutex);
    return g_native_refused;
}

}  // namespace nuv
