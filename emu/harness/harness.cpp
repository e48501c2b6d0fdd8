#include "harness.hpp"

#include <cstring>
#include <stdexcept>

#include "instrumentation.hpp"

namespace nuv {
namespace {

Instrumentation& watches(Engine& e) {
    Instrumentation* in = e.instrumentation();
    if (in == nullptr) throw std::logic_error("this engine offers no watches");
    return *in;
}

}  // namespace

Result<std::unique_ptr<Harness>> Harness::made(Result<std::unique_ptr<Kernel>> k) {
    if (!k) return k.error();
    return std::unique_ptr<Harness>(new Harness(std::move(*k)));
}

Result<std::unique_ptr<Harness>> Harness::open(const std::string& path, const Options& opts) {
    return made(Kernel::boot(path, opts));
}

Result<std::unique_ptr<Harness>> Harness::open(std::vector<uint8_t> bytes, const Options& opts) {
    return made(Kernel::boot(Task::check_image(std::move(bytes)), opts));
}

std::unique_ptr<Harness> Harness::load(const std::string& path, const Options& opts,
                                       std::string& err) {
    Result<std::unique_ptr<Harness>> h = open(path, opts);
    if (!h) {
        err = h.error().message;
        return nullptr;
    }
    return std::move(*h);
}

std::unique_ptr<Harness> Harness::load(std::vector<uint8_t> bytes, const Options& opts,
                                       std::string& err) {
    Result<std::unique_ptr<Harness>> h = open(std::move(bytes), opts);
    if (!h) {
        err = h.error().message;
        return nullptr;
    }
    return std::move(*h);
}

RunResult Harness::run(const std::vector<std::string>& args) {
    std::vector<std::optional<std::string>> entries(args.begin(), args.end());
    return run_raw(static_cast<int32_t>(args.size()), entries);
}

RunResult Harness::run_raw(int32_t argc, const std::vector<std::optional<std::string>>& entries) {
    return kernel_->run(argc, entries);
}

RunResult Harness::call_words(uint32_t address, std::span<const uint32_t> words) {
    return kernel_->call(address, words);
}

RunResult Harness::call(uint32_t address, std::initializer_list<Arg> args) {
    std::vector<uint32_t> words;
    for (const Arg& a : args) {
        words.push_back(a.lo);
        if (a.wide) words.push_back(a.hi);
    }
    return call_words(address, words);
}

RunResult Harness::call(std::string_view symbol_name, std::initializer_list<Arg> args) {
    return call(symbol(symbol_name), args);
}

std::optional<uint32_t> Harness::find_symbol(std::string_view name) const {
    return task().find_symbol(name);
}

uint32_t Harness::symbol(std::string_view name) const {
    auto s = find_symbol(name);
    if (!s) throw std::out_of_range("no symbol " + std::string(name) + " in the image");
    return *s;
}

uint32_t Harness::eax() const {
    return task().engine().registers().eax;
}

uint64_t Harness::edx_eax() const {
    Registers r = task().engine().registers();
    return (uint64_t{r.edx} << 32) | r.eax;
}

std::array<uint8_t, 10> Harness::st0_bytes() const {
    return task().engine().st0();
}

long double Harness::st0() const {
    std::array<uint8_t, 10> b = st0_bytes();
    long double v = 0;
    static_assert(sizeof(long double) >= 10);
    std::memcpy(&v, b.data(), 10);
    return v;
}

bool Harness::read(uint32_t address, void* out, size_t n) const {
    return task().memory().peek(address, out, n);
}

bool Harness::write(uint32_t address, const void* data, size_t n) {
    return task().memory().load(address, data, n);
}

uint32_t Harness::u32(uint32_t address) const {
    uint32_t v = 0;
    if (!read(address, &v, 4)) {
        throw std::out_of_range("guest address " + hex(address) + " unmapped");
    }
    return v;
}

void Harness::set_u32(uint32_t address, uint32_t value) {
    if (!write(address, &value, 4)) {
        throw std::out_of_range("guest address " + hex(address) + " unmapped");
    }
}

std::string Harness::read_string(uint32_t address, size_t max) const {
    return task().memory().peek_string(address, max);
}

std::vector<uint8_t> Harness::read_bytes(uint32_t address, size_t n) const {
    std::vector<uint8_t> v(n);
    if (!read(address, v.data(), n)) {
        throw std::out_of_range("guest range " + hex(address) + " unmapped");
    }
    return v;
}

bool Harness::accessible(uint32_t address, uint64_t n, bool for_write) const {
    return task().memory().accessible(address, n, for_write);
}

uint32_t Harness::map_anonymous(uint32_t length, uint32_t prot) {
    return task().memory().map_anonymous(length, prot);
}

bool Harness::unmap_anonymous(uint32_t address, uint32_t length) {
    return task().memory().unmap_anonymous(address, length);
}

void Harness::set_handler(uint32_t nr, Handler h) {
    std::map<uint32_t, SyscallDef>& calls = task().calls();
    auto it = calls.find(nr);
    if (it == calls.end()) {
        calls[nr] = SyscallDef{"unknown", nr, 3, "xxx", std::move(h)};
    } else {
        it->second.handler = std::move(h);
    }
}

void Harness::set_handler(std::string_view name, Handler h) {
    for (auto& [nr, def] : task().calls()) {
        if (name == def.name) {
            def.handler = std::move(h);
            return;
        }
    }
    throw std::out_of_range("no system call named " + std::string(name));
}

void Harness::watch_exec(uint32_t address) {
    if (task().started()) throw std::logic_error("watches must be set before the first run");
    watches(task().engine()).watch_exec(address);
}

uint64_t Harness::exec_count(uint32_t address) const {
    Instrumentation* in = task().engine().instrumentation();
    return in == nullptr ? 0 : in->exec_count(address);
}

void Harness::watch_argument_vector() {
    if (task().started()) throw std::logic_error("watches must be set before the first run");
    watches(task().engine());
    task().watch_argument_vector();
}

uint64_t Harness::argument_vector_reads() const {
    Instrumentation* in = task().engine().instrumentation();
    return in == nullptr ? 0 : in->watched_reads();
}

}  // namespace nuv
