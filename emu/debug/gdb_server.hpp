// A GDB remote-protocol server for the first process of a run: a debugger on
// 127.0.0.1 reads and writes the guest's registers and memory, sets software
// breakpoints, steps and continues it, and learns why it stopped.
//
// The server talks to its client only while the guest stands still (at its
// start, a breakpoint, a step, a fault, or after a call when the client has
// interrupted it or has just connected): a client that connects to a guest
// computing without calls waits for its next call. Breakpoints are in the
// guest's memory only while it runs, so reads at a stop see its own bytes.
// Nothing a client sends ends nuvemu: a malformed packet is refused with
// '-' (a bad checksum) or an error reply, and the connection goes on.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "debugger.hpp"
#include "gdb_packets.hpp"
#include "core_file.hpp"
#include "engine.hpp"
#include "result.hpp"

namespace nuv {

class GdbServer final : public Debugger {
  public:
    // Listens on 127.0.0.1:port (0: a free port, see port()); nullptr and a
    // one-line reason in err when it cannot.
    static Result<std::unique_ptr<GdbServer>> listen(uint16_t port);
    ~GdbServer();
    GdbServer(const GdbServer&) = delete;
    GdbServer& operator=(const GdbServer&) = delete;

    uint16_t port() const { return port_; }
    // Whether the guest waits for a client before its first instruction.
    void wait_for_client(bool on) { wait_ = on; }

    DebugGo stopped(Task& m, const DebugEvent& e,
                    std::chrono::steady_clock::time_point deadline) override;
    bool wants_stop() override;
    void ended(const RunResult& r) override;

  private:
    GdbServer() = default;
    enum class Wait { Ok, Closed, Deadline };
    Wait accept_client(std::chrono::steady_clock::time_point deadline);
    // One packet's data from the client; Closed when it went away.
    Wait receive(std::string& data, std::chrono::steady_clock::time_point deadline);
    void send(std::string_view data);
    void drop_client();
    // Answers one packet; sets go when the guest is to move.
    std::string answer(Task& m, const std::string& p, bool& resume, DebugGo& go);
    std::string stop_reply() const;
    std::string read_registers(Task& m);
    bool write_register(Task& m, unsigned n, std::string_view hex);
    std::string read_memory(Task& m, std::string_view args);
    std::string write_memory(Task& m, std::string_view args);
    std::string breakpoint(std::string_view args, bool insert);
    std::string features(std::string_view args) const;
    std::string siginfo(std::string_view args) const;
    void insert_breakpoints(Task& m);
    void remove_breakpoints(Task& m);

    int listen_fd_ = -1;
    int client_fd_ = -1;
    uint16_t port_ = 0;
    bool wait_ = false;
    GdbPackets packets_;
    bool interrupted_ = false;  // the client sent 0x03 while the guest ran
    bool announce_ = false;     // the stop it asked for is told without a '?'
    std::string stop_;          // the last stop reply
    FaultSignal fault_;         // the signal of the fault it stands at (signo 0: none)
    // Breakpoints set by the client, and those in memory with the guest's
    // own bytes while it runs.
    std::set<uint32_t> breakpoints_;
    std::map<uint32_t, uint8_t> inserted_;
};

}  // namespace nuv
