// Starting an image and calling its functions from the host, the results
// they leave and the guest memory around them: what tests and tools use.
#include <cstring>
#include <stdexcept>

#include "instrumentation.hpp"
#include "machine.hpp"

namespace nuv {
namespace {

Instrumentation& watches(Engine& e) {
    Instrumentation* in = e.instrumentation();
    if (in == nullptr) throw std::logic_error("this engine offers no watches");
    return *in;
}

}  // namespace

void Machine::watch_exec(uint32_t address) {
    if (started_) throw std::logic_error("watches must be set before the first run");
    watches(*engine_).watch_exec(address);
}

uint64_t Machine::exec_count(uint32_t address) const {
    Instrumentation* in = engine_->instrumentation();
    return in == nullptr ? 0 : in->exec_count(address);
}

void Machine::watch_argument_vector() {
    if (started_) throw std::logic_error("watches must be set before the first run");
    watches(*engine_);
    watch_argv_ = true;
}

uint64_t Machine::argument_vector_reads() const {
    Instrumentation* in = engine_->instrumentation();
    return in == nullptr ? 0 : in->watched_reads();
}

uint32_t Machine::build_stack(int32_t argc, const std::vector<std::optional<std::string>>& entries,
                              uint32_t& vector_addr, bool& ok) {
    // From the top down: the strings, then the count, the vector and a null entry.
    uint64_t string_bytes = 0;
    for (const auto& e : entries) string_bytes += e ? e->size() + 1 : 0;
    uint64_t vector_bytes = 4 * (uint64_t{entries.size()} + 2);
    ok = string_bytes + vector_bytes <= kMaxArgBytes;
    if (!ok) return 0;
    uint32_t at = kStackTop - 16;
    std::vector<uint32_t> words;
    words.push_back(static_cast<uint32_t>(argc));
    for (const auto& e : entries) {
        if (!e) {
            words.push_back(0);
            continue;
        }
        at -= static_cast<uint32_t>(e->size() + 1);
        write(at, e->c_str(), e->size() + 1);
        words.push_back(at);
    }
    words.push_back(0);
    at = (at - static_cast<uint32_t>(words.size() * 4)) & ~15u;
    write(at, words.data(), words.size() * 4);
    vector_addr = at + 4;
    return at;
}

RunResult Machine::run(const std::vector<std::string>& args) {
    std::vector<std::optional<std::string>> entries(args.begin(), args.end());
    return run_raw(static_cast<int32_t>(args.size()), entries);
}

RunResult Machine::run_raw(int32_t argc, const std::vector<std::optional<std::string>>& entries) {
    RunResult r;
    if (!prepare_start(argc, entries, r.message)) return r;
    return emulate(image_.entry);
}

bool Machine::prepare_start(int32_t argc, const std::vector<std::optional<std::string>>& entries,
                            std::string& err) {
    bool ok = false;
    uint32_t vector_addr = 0;
    uint32_t sp = build_stack(argc, entries, vector_addr, ok);
    if (!ok) {
        err = "argument list longer than " + std::to_string(kMaxArgBytes) + " bytes";
        return false;
    }
    if (watch_argv_ && !started_) {
        watches(*engine_).watch_reads(vector_addr,
                                      vector_addr + 4 * static_cast<uint32_t>(entries.size() + 1));
    }
    Registers r;
    r.esp = sp;
    r.eip = image_.entry;
    engine_->set_registers(r);
    engine_->reset_fpu();
    return true;
}

RunResult Machine::call_words(uint32_t address, std::span<const uint32_t> words) {
    uint32_t sp = (kStackTop - 64 - static_cast<uint32_t>(words.size()) * 4) & ~15u;
    write(sp, words.data(), words.size() * 4);
    sp -= 4;
    set_u32(sp, kReturnAddress);
    Registers r = engine_->registers();
    r.esp = sp;
    engine_->set_registers(r);
    engine_->reset_fpu();
    return emulate(address);
}

RunResult Machine::call(uint32_t address, std::initializer_list<Arg> args) {
    std::vector<uint32_t> words;
    for (const Arg& a : args) {
        words.push_back(a.lo);
        if (a.wide) words.push_back(a.hi);
    }
    return call_words(address, words);
}

RunResult Machine::call(std::string_view symbol_name, std::initializer_list<Arg> args) {
    return call(symbol(symbol_name), args);
}

std::optional<uint32_t> Machine::find_symbol(std::string_view name) const {
    auto it = image_.symbols.find(name);
    if (it == image_.symbols.end()) return std::nullopt;
    return it->second.value;
}

uint32_t Machine::symbol(std::string_view name) const {
    auto s = find_symbol(name);
    if (!s) throw std::out_of_range("no symbol " + std::string(name) + " in the image");
    return *s;
}

uint32_t Machine::eax() const {
    return engine_->registers().eax;
}

uint64_t Machine::edx_eax() const {
    Registers r = engine_->registers();
    return (uint64_t{r.edx} << 32) | r.eax;
}

std::array<uint8_t, 10> Machine::st0_bytes() const {
    return engine_->st0();
}

long double Machine::st0() const {
    std::array<uint8_t, 10> b = st0_bytes();
    long double v = 0;
    static_assert(sizeof(long double) >= 10);
    std::memcpy(&v, b.data(), 10);
    return v;
}

bool Machine::read(uint32_t address, void* out, size_t n) const {
    return memory_->peek(address, out, n);
}

bool Machine::write(uint32_t address, const void* data, size_t n) {
    return memory_->load(address, data, n);
}

uint32_t Machine::u32(uint32_t address) const {
    uint32_t v = 0;
    if (!read(address, &v, 4))
        throw std::out_of_range("guest address " + hex(address) + " unmapped");
    return v;
}

void Machine::set_u32(uint32_t address, uint32_t value) {
    if (!write(address, &value, 4)) {
        throw std::out_of_range("guest address " + hex(address) + " unmapped");
    }
}

std::string Machine::read_string(uint32_t address, size_t max) const {
    std::string s;
    char c = 0;
    while (s.size() < max && read(address + static_cast<uint32_t>(s.size()), &c, 1) && c != 0) {
        s.push_back(c);
    }
    return s;
}

std::vector<uint8_t> Machine::read_bytes(uint32_t address, size_t n) const {
    std::vector<uint8_t> v(n);
    if (!read(address, v.data(), n))
        throw std::out_of_range("guest range " + hex(address) + " unmapped");
    return v;
}

}  // namespace nuv
