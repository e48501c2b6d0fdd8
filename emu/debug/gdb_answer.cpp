// The GDB server's answers to its client's packets, and the description of
// the target it hands out.
#include <algorithm>

#include "gdb_protocol.hpp"
#include "gdb_server.hpp"
#include "kernel.hpp"

namespace nuv {
namespace {

using gdb::get_number;
using gdb::get_pair;
using gdb::kFloatStack;
using gdb::kGeneral;
using gdb::kRegisterCount;

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

}  // namespace

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
            if (args.size() >= 2 && args[0] >= '2' && args[0] <= '4' && args[1] == ',') {
                return watchpoint(m, args[0], args.substr(2), p[0] == 'Z');
            }
            return breakpoint(args, p[0] == 'Z');
        case 'c':
        case 's':
        case 'C':
        case 'S': {
            // c [addr], C sig[;addr]: signals are not delivered to the guest.
            std::string_view at = args;
            resume_signal_ = 0;
            if (p[0] == 'C' || p[0] == 'S') {
                size_t semi = args.find(';');
                uint32_t sig = 0;
                if (get_number(args.substr(0, semi), sig)) resume_signal_ = static_cast<int>(sig);
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
            watches_.clear();
            apply_watchpoints(m);
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
                resume_signal_ = 0;
                uint32_t sig = 0;
                if ((action == 'C' || action == 'S') &&
                    get_number(std::string_view(p).substr(7, p.find_first_of(";:", 7) - 7), sig)) {
                    resume_signal_ = static_cast<int>(sig);
                }
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
                       ";qXfer:features:read+;qXfer:siginfo:read+;swbreak+";
            }
            if (p.rfind("qXfer:features:read:", 0) == 0) return features(args.substr(19));
            if (p.rfind("qXfer:siginfo:read:", 0) == 0) return siginfo(args.substr(18));
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

std::string GdbServer::siginfo(std::string_view args) const {
    // ":offset,length" (no annex): the i386 siginfo of the fault the guest
    // stands at, as the core file's note has it, in the binary encoding.
    uint32_t offset = 0, length = 0;
    if (args.empty() || args[0] != ':' || !get_pair(args.substr(1), offset, length)) return "E01";
    if (fault_.signo == 0) return "E01";
    const std::array<int32_t, 32> words = nuv::siginfo(fault_);
    std::string_view all(reinterpret_cast<const char*>(words.data()), sizeof words);
    if (offset >= all.size()) return "l";
    std::string_view part =
        all.substr(offset, std::min<size_t>(length, GdbPackets::kMaxPacket / 2));
    std::string out = offset + part.size() >= all.size() ? "l" : "m";
    for (char c : part) {
        if (c == '#' || c == '$' || c == '}' || c == '*') {
            out += '}';
            c = static_cast<char>(c ^ 0x20);
        }
        out += c;
    }
    return out;
}

}  // namespace nuv
