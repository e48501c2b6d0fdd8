#include "gdb_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core_file.hpp"
#include "kernel.hpp"

namespace nuv {
namespace {

using Clock = std::chrono::steady_clock;

// The registers in the order of the description below: eight general ones,
// eip, eflags, six selectors, the x87 stack and its eight control registers.
constexpr unsigned kGeneral = 16, kFloatStack = 8, kFloatControl = 8;
constexpr unsigned kRegisterCount = kGeneral + kFloatStack + kFloatControl;
constexpr uint32_t Registers::*kOrder[10] = {
    &Registers::eax, &Registers::ecx, &Registers::edx, &Registers::ebx, &Registers::esp,
    &Registers::ebp, &Registers::esi, &Registers::edi, &Registers::eip, &Registers::eflags};
// What a user-mode 32-bit process has in its selectors (cs, ss, ds, es, fs, gs).
constexpr uint32_t kSelectors[6] = {0x23, 0x2b, 0x2b, 0x2b, 0, 0};

const char kTargetXml[] = R"(<?xml version="1.0"?>
<target version="1.0">
  <architecture>i386</architecture>
  <feature name="org.gnu.gdb.i386.core">
    <reg name="eax" bitsize="32" type="int32" regnum="0"/>
    <reg name="ecx" bitsize="32" type="int32"/>
    <reg name="edx" bitsize="32" type="int32"/>
    <reg name="ebx" bitsize="32" type="int32"/>
    <reg name="esp" bitsize="32" type="data_ptr"/>
    <reg name="ebp" bitsize="32" type="data_ptr"/>
    <reg name="esi" bitsize="32" type="int32"/>
    <reg name="edi" bitsize="32" type="int32"/>
    <reg name="eip" bitsize="32" type="code_ptr"/>
    <reg name="eflags" bitsize="32" type="int32"/>
    <reg name="cs" bitsize="32" type="int32"/>
    <reg name="ss" bitsize="32" type="int32"/>
    <reg name="ds" bitsize="32" type="int32"/>
    <reg name="es" bitsize="32" type="int32"/>
    <reg name="fs" bitsize="32" type="int32"/>
    <reg name="gs" bitsize="32" type="int32"/>
    <reg name="st0" bitsize="80" type="i387_ext"/>
    <reg name="st1" bitsize="80" type="i387_ext"/>
    <reg name="st2" bitsize="80" type="i387_ext"/>
    <reg name="st3" bitsize="80" type="i387_ext"/>
    <reg name="st4" bitsize="80" type="i387_ext"/>
    <reg name="st5" bitsize="80" type="i387_ext"/>
    <reg name="st6" bitsize="80" type="i387_ext"/>
    <reg name="st7" bitsize="80" type="i387_ext"/>
    <reg name="fctrl" bitsize="32" type="int" group="float"/>
    <reg name="fstat" bitsize="32" type="int" group="float"/>
    <reg name="ftag" bitsize="32" type="int" group="float"/>
    <reg name="fiseg" bitsize="32" type="int" group="float"/>
    <reg name="fioff" bitsize="32" type="int" group="float"/>
    <reg name="foseg" bitsize="32" type="int" group="float"/>
    <reg name="fooff" bitsize="32" type="int" group="float"/>
    <reg name="fop" bitsize="32" type="int" group="float"/>
  </feature>
</target>
)";

// The most memory one read or write packet moves.
constexpr uint32_t kMaxTransfer = 0x1000;

const char kHex[] = "0123456789abcdef";

void put_bytes(std::string& out, const void* data, size_t n) {
    const auto* b = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < n; ++i) {
        out += kHex[b[i] >> 4];
        out += kHex[b[i] & 15];
    }
}

void put_u32(std::string& out, uint32_t v) {
    put_bytes(out, &v, 4);  // the target's byte order: little-endian
}

bool get_bytes(std::string_view hex, std::vector<uint8_t>& out) {
    if (hex.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

// A hexadecimal number of at most 8 digits, all of text.
bool get_number(std::string_view text, uint32_t& out) {
    if (text.empty() || text.size() > 8) return false;
    out = 0;
    for (char c : text) {
        int d = hex_digit(c);
        if (d < 0) return false;
        out = out << 4 | static_cast<uint32_t>(d);
    }
    return true;
}

// "A,B" as two numbers.
bool get_pair(std::string_view text, uint32_t& a, uint32_t& b) {
    size_t comma = text.find(',');
    return comma != std::string_view::npos && get_number(text.substr(0, comma), a) &&
           get_number(text.substr(comma + 1), b);
}

std::string hex2(int v) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", v & 0xFF);
    return buf;
}

int poll_ms(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) return 1000;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, 1000));
}

}  // namespace

std::unique_ptr<GdbServer> GdbServer::listen(uint16_t port, std::string& err) {
    std::unique_ptr<GdbServer> s(new GdbServer());
    s->listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s->listen_fd_ < 0) {
        err = std::string("cannot make a socket: ") + std::strerror(errno);
        return nullptr;
    }
    int one = 1;
    setsockopt(s->listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(s->listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(s->listen_fd_, 1) != 0 ||
        getsockname(s->listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        err = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        return nullptr;
    }
    s->port_ = ntohs(a.sin_port);
    return s;
}

GdbServer::~GdbServer() {
    drop_client();
    if (listen_fd_ >= 0) close(listen_fd_);
}

void GdbServer::drop_client() {
    if (client_fd_ >= 0) close(client_fd_);
    client_fd_ = -1;
    packets_ = GdbPackets();
    interrupted_ = false;
    breakpoints_.clear();
}

GdbServer::Wait GdbServer::accept_client(Clock::time_point deadline) {
    while (client_fd_ < 0) {
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            client_fd_ = fd;
            return Wait::Ok;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
            return Wait::Closed;
        }
        if (Clock::now() >= deadline) return Wait::Deadline;
        pollfd p{listen_fd_, POLLIN, 0};
        poll(&p, 1, poll_ms(deadline));
    }
    return Wait::Ok;
}

GdbServer::Wait GdbServer::receive(std::string& data, Clock::time_point deadline) {
    for (;;) {
        switch (packets_.next(data)) {
            case GdbPackets::Item::Packet:
                send("+");
                return Wait::Ok;
            case GdbPackets::Item::BadPacket:
                send("-");
                continue;
            case GdbPackets::Item::Interrupt:
                continue;  // the guest stands already
            case GdbPackets::Item::None:
                break;
        }
        if (client_fd_ < 0) return Wait::Closed;
        if (Clock::now() >= deadline) return Wait::Deadline;
        pollfd p{client_fd_, POLLIN, 0};
        int n = poll(&p, 1, poll_ms(deadline));
        if (n < 0 && errno != EINTR) return Wait::Closed;
        if (n <= 0) continue;
        char buf[4096];
        ssize_t got = ::recv(client_fd_, buf, sizeof buf, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return Wait::Closed;
        packets_.feed(std::string_view(buf, static_cast<size_t>(got)));
    }
}

void GdbServer::send(std::string_view data) {
    std::string framed = data == "+" || data == "-" ? std::string(data) : GdbPackets::frame(data);
    size_t done = 0;
    while (client_fd_ >= 0 && done < framed.size()) {
        ssize_t n = ::send(client_fd_, framed.data() + done, framed.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            drop_client();
            return;
        }
        done += static_cast<size_t>(n);
    }
}

bool GdbServer::wants_stop() {
    if (client_fd_ < 0) {
        // A client that has just come finds the guest stopped.
        return accept_client(Clock::time_point::min()) == Wait::Ok;
    }
    // Bytes that come while the guest runs: an interruption, or packets
    // kept for the next stop.
    for (;;) {
        pollfd p{client_fd_, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) break;
        char buf[4096];
        ssize_t got = ::recv(client_fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (got <= 0) {
            drop_client();
            return false;
        }
        std::string_view bytes(buf, static_cast<size_t>(got));
        if (bytes.find('\x03') != std::string_view::npos) interrupted_ = true;
        packets_.feed(bytes);
    }
    announce_ = interrupted_;
    interrupted_ = false;
    return announce_;
}

std::string GdbServer::stop_reply() const {
    return stop_.empty() ? "S05" : stop_;
}

DebugGo GdbServer::stopped(Task& m, const DebugEvent& e, Clock::time_point deadline) {
    remove_breakpoints(m);
    switch (e.kind) {
        case DebugEvent::Start:
            stop_ = "S05";
            if (client_fd_ < 0) {
                if (!wait_) return DebugGo::Continue;
                if (accept_client(deadline) != Wait::Ok) return DebugGo::Timeout;
            }
            break;
        case DebugEvent::Breakpoint: {
            // At a breakpoint of the client's the guest stands on it.
            Registers r = m.engine().registers();
            if (breakpoints_.count(e.eip - 1) != 0) {
                r.eip = e.eip - 1;
                m.engine().set_registers(r);
                stop_ = "T05swbreak:;";
            } else {
                stop_ = "T05";
            }
            break;
        }
        case DebugEvent::Stepped:
            stop_ = "T05";
            break;
        case DebugEvent::Interrupted:
            // Asked for by the client (0x03), or a client that has just come.
            stop_ = announce_ ? "T02" : "S05";
            break;
        case DebugEvent::Fault:
            stop_ = "T" + hex2(fault_signal(e.message));
            break;
    }
    if (client_fd_ < 0) return DebugGo::Continue;
    // A client that has just come hears of the stop when it asks ('?').
    bool tell = e.kind != DebugEvent::Start && (e.kind != DebugEvent::Interrupted || announce_);
    announce_ = false;
    if (tell) send(stop_reply());
    for (;;) {
        std::string p;
        Wait w = receive(p, deadline);
        if (w == Wait::Deadline) return DebugGo::Timeout;
        if (w == Wait::Closed) {
            // Gone without a word: the guest goes on without it.
            drop_client();
            return DebugGo::Continue;
        }
        bool resume = false;
        DebugGo go = DebugGo::Continue;
        std::string reply = answer(m, p, resume, go);
        if (!resume) {
            send(reply);
            continue;
        }
        if (go == DebugGo::Continue && client_fd_ >= 0) insert_breakpoints(m);
        return go;
    }
}

void GdbServer::ended(const RunResult& r) {
    if (client_fd_ < 0) return;
    if (r.stop == Stop::Exited) {
        send("W" + hex2(r.status));
    } else if (r.message != "killed by the debugger") {
        int sig = r.stop == Stop::Fault ? fault_signal(r.message) : SIGKILL;
        send("X" + hex2(sig));
    }
    drop_client();
}

std::string GdbServer::answer(Task& m, const std::string& p, bool& resume, DebugGo& go) {
    resume = false;
    if (p.empty()) return "";
    std::string_view args = std::string_view(p).substr(1);
    switch (p[0]) {
        case '?':
            return stop_reply();
        case 'g':
            return read_registers(m);
        case 'G': {
            if (args.size() < kGeneral * 8) return "E01";
            for (unsigned i = 0; i < 10; ++i) {
                if (!write_register(m, i, args.substr(i * 8, 8))) return "E01";
            }
            return "OK";
        }
        case 'p': {
            uint32_t n = 0;
            if (!get_number(args, n) || n >= kRegisterCount) return "E01";
            std::string all = read_registers(m);
            size_t at = n < kGeneral ? n * 8
                        : n < kGeneral + kFloatStack
                            ? kGeneral * 8 + (n - kGeneral) * 20
                            : kGeneral * 8 + kFloatStack * 20 + (n - kGeneral - kFloatStack) * 8;
            size_t len = n >= kGeneral && n < kGeneral + kFloatStack ? 20 : 8;
            return all.substr(at, len);
        }
        case 'P': {
            size_t eq = args.find('=');
            uint32_t n = 0;
            if (eq == std::string_view::npos || !get_number(args.substr(0, eq), n)) return "E01";
            return write_register(m, n, args.substr(eq + 1)) ? "OK" : "E01";
        }
        case 'm':
            return read_memory(m, args);
        case 'M':
            return write_memory(m, args);
        case 'Z':
        case 'z':
            return breakpoint(args, p[0] == 'Z');
        case 'c':
        case 's':
        case 'C':
        case 'S': {
            // c [addr], C sig[;addr]: signals are not delivered to the guest.
            std::string_view at = args;
            if (p[0] == 'C' || p[0] == 'S') {
                size_t semi = args.find(';');
                at = semi == std::string_view::npos ? std::string_view() : args.substr(semi + 1);
            }
            if (!at.empty()) {
                uint32_t addr = 0;
                if (!get_number(at, addr)) return "E01";
                Registers r = m.engine().registers();
                r.eip = addr;
                m.engine().set_registers(r);
            }
            resume = true;
            go = p[0] == 'c' || p[0] == 'C' ? DebugGo::Continue : DebugGo::Step;
            return "";
        }
        case 'k':
            resume = true;
            go = DebugGo::Kill;
            return "";
        case 'D':
            send("OK");
            drop_client();
            resume = true;
            go = DebugGo::Continue;
            return "";
        case 'H':
            return "OK";  // one thread
        case 'T':
            return "OK";
        case 'v': {
            if (p == "vCont?") return "vCont;c;C;s;S";
            if (p.rfind("vKill", 0) == 0) {
                send("OK");
                resume = true;
                go = DebugGo::Kill;
                return "";
            }
            if (p.rfind("vCont;", 0) == 0) {
                // One thread: the first action is the one for it.
                char action = p.size() > 6 ? p[6] : 0;
                if (action == 'c' || action == 'C' || action == 's' || action == 'S') {
                    resume = true;
                    go = action == 'c' || action == 'C' ? DebugGo::Continue : DebugGo::Step;
                    return "";
                }
                return "E01";
            }
            return "";
        }
        case 'q':
            if (p.rfind("qSupported", 0) == 0) {
                return "PacketSize=" + std::to_string(GdbPackets::kMaxPacket) +
                       ";qXfer:features:read+;swbreak+";
            }
            if (p.rfind("qXfer:features:read:", 0) == 0) return features(args.substr(19));
            if (p == "qAttached") return "1";
            if (p == "qC") return "QC1";
            if (p == "qfThreadInfo") return "m1";
            if (p == "qsThreadInfo") return "l";
            if (p.rfind("qSymbol", 0) == 0) return "OK";
            return "";
        default:
            return "";
    }
}

std::string GdbServer::read_registers(Task& m) {
    Registers r = m.engine().registers();
    std::string out;
    for (auto f : kOrder) put_u32(out, r.*f);
    for (uint32_t s : kSelectors) put_u32(out, s);
    std::array<uint8_t, 10> top = m.engine().st0();
    put_bytes(out, top.data(), top.size());
    const uint8_t zero[10] = {};
    for (unsigned i = 1; i < kFloatStack; ++i) put_bytes(out, zero, sizeof zero);
    // Control word as the guest starts, the rest unknown to the engines.
    put_u32(out, 0x037F);
    for (unsigned i = 1; i < kFloatControl; ++i) put_u32(out, 0);
    return out;
}

bool GdbServer::write_register(Task& m, unsigned n, std::string_view hex) {
    std::vector<uint8_t> bytes;
    if (n >= 10 || hex.size() != 8 || !get_bytes(hex, bytes)) return false;
    uint32_t v = 0;
    std::memcpy(&v, bytes.data(), 4);
    Registers r = m.engine().registers();
    r.*kOrder[n] = v;
    m.engine().set_registers(r);
    return true;
}

std::string GdbServer::read_memory(Task& m, std::string_view args) {
    uint32_t addr = 0, len = 0;
    if (!get_pair(args, addr, len)) return "E01";
    len = std::min(len, kMaxTransfer);
    if (uint64_t{addr} + len > (uint64_t{1} << 32)) len = static_cast<uint32_t>(0 - addr);
    std::vector<uint8_t> buf(len);
    // What can be read, up to the first page that cannot.
    uint32_t got = 0;
    while (got < len) {
        uint32_t at = addr + got;
        uint32_t chunk = std::min(len - got, 0x1000 - (at & 0xFFF));
        if (!m.engine().read(at, buf.data() + got, chunk)) break;
        got += chunk;
    }
    if (got == 0 && len != 0) return "E14";
    std::string out;
    put_bytes(out, buf.data(), got);
    return out;
}

std::string GdbServer::write_memory(Task& m, std::string_view args) {
    size_t colon = args.find(':');
    uint32_t addr = 0, len = 0;
    std::vector<uint8_t> bytes;
    if (colon == std::string_view::npos || !get_pair(args.substr(0, colon), addr, len) ||
        !get_bytes(args.substr(colon + 1), bytes) || bytes.size() != len ||
        uint64_t{addr} + len > (uint64_t{1} << 32)) {
        return "E01";
    }
    if (len != 0 && !m.engine().write(addr, bytes.data(), len)) return "E14";
    return "OK";
}

std::string GdbServer::breakpoint(std::string_view args, bool insert) {
    // Software breakpoints only ("0,addr,kind"); others are not supported.
    if (args.size() < 2 || args[0] != '0' || args[1] != ',') return "";
    std::string_view rest = args.substr(2);
    size_t semi = rest.find(';');  // conditions are not evaluated here
    rest = rest.substr(0, semi);
    uint32_t addr = 0, kind = 0;
    if (!get_pair(rest, addr, kind)) return "E01";
    constexpr size_t kMaxBreakpoints = 4096;
    if (insert) {
        if (breakpoints_.size() >= kMaxBreakpoints && breakpoints_.count(addr) == 0) return "E01";
        breakpoints_.insert(addr);
    } else {
        breakpoints_.erase(addr);
    }
    return "OK";
}

std::string GdbServer::features(std::string_view args) const {
    // "target.xml:offset,length"
    size_t colon = args.find(':');
    uint32_t offset = 0, length = 0;
    if (colon == std::string_view::npos || args.substr(0, colon) != "target.xml") return "E00";
    if (!get_pair(args.substr(colon + 1), offset, length)) return "E01";
    std::string_view xml(kTargetXml, sizeof kTargetXml - 1);
    if (offset >= xml.size()) return "l";
    std::string_view part = xml.substr(offset, std::min<size_t>(length, GdbPackets::kMaxPacket));
    return (offset + part.size() >= xml.size() ? "l" : "m") + std::string(part);
}

void GdbServer::insert_breakpoints(Task& m) {
    uint32_t here = m.engine().registers().eip;
    for (uint32_t addr : breakpoints_) {
        // The one the guest stands on would stop it at once.
        if (addr == here) continue;
        uint8_t byte = 0;
        const uint8_t int3 = 0xCC;
        if (!m.engine().read(addr, &byte, 1) || !m.engine().write(addr, &int3, 1)) continue;
        inserted_[addr] = byte;
    }
}

void GdbServer::remove_breakpoints(Task& m) {
    for (const auto& [addr, byte] : inserted_) m.engine().write(addr, &byte, 1);
    inserted_.clear();
}

}  // namespace nuv
