// A GDB remote-protocol server for the first process of a run: a debugger on
// 127.0.0.1 reads and writes the guest's registers and memory, sets software
// breakpoints, steps and continues it, and learns why it stopped.
//
// The server talks to its client only while the guest stands still (at its
// start, a breakpoint, a step, a watchpoint, a fault, or where it stood when
// the client interrupted it or connected): while the guest runs, the run
// loop watches the connection (pause_fd()) and stops the guest when it
// stirs. Breakpoints are in the guest's memory only while it runs, so reads
// at a stop see its own bytes; watchpoints are the engine's (up to four, as
// the processor's debug registers).
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
#include <vector>

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
    // Whether a guest that faults is kept at the fault for a client (one is
    // waited for if none is connected): it then goes on only where the
    // client lets it on without the fault's signal.
    void keep_faults(bool on) { keep_faults_ = on; }

    DebugGo stopped(Task& m, const DebugEvent& e,
                    std::chrono::steady_clock::time_point deadline) override;
    bool wants_stop() override;
    void ended(const RunResult& r) override;
    int pause_fd() const override { return client_fd_ >= 0 ? client_fd_ : listen_fd_; }

  private:
    GdbServer() = default;
    enum class Wait { Ok, Closed, Deadline };
    Wait accept_client(std::chrono::steady_clock::time_point deadline);
    // One packet's data from the client; Closed when it went away.
    Wait receive(std::string& data, std::chrono::steady_clock::time_point deadline);
    void send(std::string_view data);
    void drop_client();
    // Talks with the client at a stop until it lets the guest go (tell:
    // the stop reply first).
    DebugGo converse(Task& m, const DebugEvent& e, std::chrono::steady_clock::time_point deadline,
                     bool tell);
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
    // Watchpoints (gdb_watchpoints.cpp): Z2/Z3/Z4 and their z, the engine's
    // set made from them, and the stop reply of one that fired.
    std::string watchpoint(Task& m, char type, std::string_view args, bool insert);
    bool apply_watchpoints(Task& m);
    std::string watch_reply(const Watchpoint& fired) const;

    int listen_fd_ = -1;
    int client_fd_ = -1;
    uint16_t port_ = 0;
    bool wait_ = false;
    bool keep_faults_ = false;
    GdbPackets packets_;
    bool interrupted_ = false;  // the client sent 0x03 while the guest ran
    bool announce_ = false;     // the stop it asked for is told without a '?'
    std::string stop_;          // the last stop reply
    FaultSignal fault_;         // the signal of the fault it stands at (signo 0: none)
    // Breakpoints set by the client, and those in memory with the guest's
    // own bytes while it runs.
    std::set<uint32_t> breakpoints_;
    std::map<uint32_t, uint8_t> inserted_;
    // Watchpoints as the client set them; whether the engine holds some.
    std::vector<Watchpoint> watches_;
    bool engine_watches_ = false;
    int resume_signal_ = 0;  // the signal the last resume carried (C, S)
};

}  // namespace nuv
