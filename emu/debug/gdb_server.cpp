// The GDB server's connection to its client, and the stops it tells of:
// what the guest hears of the debugger while it runs and when it stands.
#include "gdb_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "core_file.hpp"
#include "gdb_protocol.hpp"
#include "kernel.hpp"

namespace nuv {
namespace {

using Clock = std::chrono::steady_clock;
using gdb::hex2;

int poll_ms(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) return 1000;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, 1000));
}

}  // namespace

Result<std::unique_ptr<GdbServer>> GdbServer::listen(uint16_t port) {
    std::unique_ptr<GdbServer> s(new GdbServer());
    s->listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s->listen_fd_ < 0) {
        return Error{HostError::Io, std::string("cannot make a socket: ") + std::strerror(errno)};
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
        return Error{HostError::Io, "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                                        std::strerror(errno)};
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
    // Asked once, it stays asked until the stop is told.
    if (interrupted_) announce_ = true;
    interrupted_ = false;
    return announce_;
}

std::string GdbServer::stop_reply() const {
    return stop_.empty() ? "S05" : stop_;
}

DebugGo GdbServer::stopped(Task& m, const DebugEvent& e, Clock::time_point deadline) {
    remove_breakpoints(m);
    fault_ = FaultSignal{};
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
        case DebugEvent::Watched:
            stop_ = watch_reply(e.watch);
            break;
        case DebugEvent::Fault:
            fault_ = fault_signal(e.fault);
            stop_ = "T" + hex2(fault_.signo);
            if (client_fd_ < 0 && keep_faults_) {
                std::fprintf(stderr,
                             "nuvemu: gdb: the guest faulted at eip %s (%s); waiting for the "
                             "debugger on 127.0.0.1:%u\n",
                             hex(e.fault.eip).c_str(), strsignal(fault_.signo),
                             static_cast<unsigned>(port_));
                if (accept_client(deadline) != Wait::Ok) return DebugGo::Timeout;
                // The client asks why the guest stands ('?').
                announce_ = false;
                return converse(m, e, deadline, false);
            }
            break;
    }
    if (client_fd_ < 0) {
        // Watchpoints left by a client that went away are let go.
        if (engine_watches_) {
            watches_.clear();
            apply_watchpoints(m);
        }
        return e.kind == DebugEvent::Fault ? DebugGo::Deliver : DebugGo::Continue;
    }
    // A client that has just come hears of the stop when it asks ('?').
    bool tell = e.kind != DebugEvent::Start && (e.kind != DebugEvent::Interrupted || announce_);
    announce_ = false;
    return converse(m, e, deadline, tell);
}

DebugGo GdbServer::converse(Task& m, const DebugEvent& e, Clock::time_point deadline, bool tell) {
    if (tell) send(stop_reply());
    for (;;) {
        std::string p;
        Wait w = receive(p, deadline);
        if (w == Wait::Deadline) return DebugGo::Timeout;
        if (w == Wait::Closed) {
            // Gone without a word: the guest goes on without it.
            drop_client();
            return e.kind == DebugEvent::Fault ? DebugGo::Deliver : DebugGo::Continue;
        }
        bool resume = false;
        DebugGo go = DebugGo::Continue;
        std::string reply = answer(m, p, resume, go);
        if (!resume) {
            send(reply);
            continue;
        }
        if (e.kind == DebugEvent::Fault && (go == DebugGo::Continue || go == DebugGo::Step)) {
            // From a fault the guest goes on only when it is kept for the
            // client and not given the fault's signal, which ends it.
            if (!keep_faults_ || resume_signal_ != 0 || client_fd_ < 0) return DebugGo::Deliver;
        }
        if (go == DebugGo::Continue && client_fd_ >= 0) insert_breakpoints(m);
        return go;
    }
}

void GdbServer::ended(const RunResult& r) {
    if (client_fd_ < 0) return;
    if (r.stop == Stop::Exited) {
        send("W" + hex2(r.status));
    } else if (!(r.stop == Stop::Fault && r.fault.kind == FaultKind::Killed)) {
        // A limit, or an engine that failed, ends it as a kill would.
        int sig = r.stop == Stop::Fault && r.fault.kind != FaultKind::None
                      ? fault_signal(r.fault).signo
                      : SIGKILL;
        send("X" + hex2(sig));
    }
    drop_client();
}

}  // namespace nuv
