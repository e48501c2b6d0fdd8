#include "engine_factory.hpp"

#include "native_engine.hpp"
#include "unicorn_engine.hpp"

namespace nuv {
namespace {

Result<std::unique_ptr<NativeEngine>> start_native(const EngineRequest& req) {
    NativeOptions o;
    o.tsc = req.tsc;
    o.debugging = req.debugging;
    if (!req.rewrite_sites) o.rewrite_sites_after = 0;
    // The budget is kept host-side; the process's own bound only has to let
    // the start-up stub and the gate page through besides it.
    o.max_address_space = req.max_address_space == 0 ? 0 : req.max_address_space + (16u << 20);
    return NativeEngine::start(o);
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

EngineSurvey survey_engines() {
    EngineSurvey s;
    EngineRequest req;
    req.kind = EngineKind::Native;
    if (Result<std::unique_ptr<NativeEngine>> native = start_native(req)) {
        s.native = true;
    } else {
        s.native_refusal = native.error().message;
    }
    s.unicorn = UnicornEngine::create(false) != nullptr;
    if (!s.unicorn) s.unicorn_refusal = "cannot start the CPU emulator";
    s.unicorn_version = UnicornEngine::library_version();
    return s;
}

Result<std::unique_ptr<Engine>> EngineFactory::make(const EngineRequest& req, bool& tsc_done) {
    tsc_done = false;
    bool native = req.kind == EngineKind::Native ||
                  (req.kind == EngineKind::Auto && !req.needs_counting && native_refused_.empty());
    if (native) {
        if (req.needs_counting) {
            return Error{HostError::NoEngine,
                         "the native engine cannot count instructions (use --engine unicorn)"};
        }
        Result<std::unique_ptr<NativeEngine>> e = start_native(req);
        if (e) {
            tsc_done = true;
            return std::unique_ptr<Engine>(std::move(*e));
        }
        if (req.kind == EngineKind::Native) {
            return Error{HostError::NoEngine,
                         "cannot start the native engine: " + e.error().message};
        }
        native_refused_ = e.error().message.empty() ? "refused" : e.error().message;
    }
    std::unique_ptr<UnicornEngine> e = UnicornEngine::create(req.needs_counting, req.debugging);
    if (!e) return Error{HostError::NoEngine, "cannot start the CPU emulator"};
    return std::unique_ptr<Engine>(std::move(e));
}

}  // namespace nuv
