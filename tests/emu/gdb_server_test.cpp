// The GDB remote protocol server: packet framing, and a client that sends
// malformed and unsupported packets gets an error reply or '-' and can go on
// debugging the guest to its end; watchpoints as the engines hold them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine_factory.hpp"
#include "fault_report.hpp"
#include "files.hpp"
#include "gdb_server.hpp"
#include "guest.hpp"
#include "harness.hpp"

namespace {

using nuv::GdbPackets;
using Item = GdbPackets::Item;

std::vector<std::pair<Item, std::string>> items(const std::string& wire) {
    GdbPackets p;
    p.feed(wire);
    std::vector<std::pair<Item, std::string>> out;
    std::string data;
    for (Item i; (i = p.next(data)) != Item::None;) out.emplace_back(i, data);
    return out;
}

TEST(GdbPackets, FramesAreCheckedAndUnescaped) {
    const std::string odd = std::string("a#b$c}d*e") + '\0';
    struct Case {
        const char* what;
        std::string wire;
        std::vector<std::pair<Item, std::string>> want;
    };
    const Case cases[] = {
        {"plain", "$?#3f", {{Item::Packet, "?"}}},
        {"acks and noise around it", "+-x$g#67+", {{Item::Packet, "g"}}},
        {"interrupt", std::string("\x03$?#3f"), {{Item::Interrupt, ""}, {Item::Packet, "?"}}},
        {"wrong checksum", "$?#00$g#67", {{Item::BadPacket, ""}, {Item::Packet, "g"}}},
        {"checksum not hex", "$?#zz", {{Item::BadPacket, ""}}},
        {"escape at the end", "$}#7d", {{Item::BadPacket, ""}}},
        {"cut short", "$m0,4#f", {}},
        {"escaped bytes", GdbPackets::frame(odd), {{Item::Packet, odd}}},
        {"no end in sight",
         "$" + std::string(GdbPackets::kMaxPacket + 8, 'a'),
         {{Item::BadPacket, ""}}},
    };
    for (const Case& c : cases) EXPECT_EQ(items(c.wire), c.want) << c.what;
    // A flood that nobody reads (the guest running) is kept only so far.
    GdbPackets flood;
    for (int i = 0; i < 1024; ++i) flood.feed(std::string(4096, '$'));
    EXPECT_EQ(flood.buffered(), GdbPackets::kMaxBuffered);
}

// A client on its own thread: sends packets, reads the acknowledgement and
// the reply of each.
class Client {
  public:
    explicit Client(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{20, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { close(fd_); }
    bool connected() const { return connected_; }

    // The acknowledgement ('+' or '-') and, after '+', the reply's data.
    std::pair<char, std::string> ask(const std::string& wire) {
        ::send(fd_, wire.data(), wire.size(), MSG_NOSIGNAL);
        char ack = get();
        if (ack != '+') return {ack, ""};
        return {ack, reply()};
    }
    // Sends a packet and takes its acknowledgement; its reply, if any, comes
    // later (a resume's at the stop).
    void post(const std::string& packet) {
        const std::string wire = GdbPackets::frame(packet);
        ::send(fd_, wire.data(), wire.size(), MSG_NOSIGNAL);
        get();
    }
    std::string reply() {
        for (char c; (c = get()) != '$';) {
            if (c == 0) return "";  // nothing more comes
        }
        std::string data;
        for (char c; (c = get()) != '#' && c != 0;) data += c;
        get();
        get();
        ::send(fd_, "+", 1, MSG_NOSIGNAL);
        return data;
    }

    // Ctrl-C, as gdb sends it while the guest runs.
    void interrupt() { ::send(fd_, "\x03", 1, MSG_NOSIGNAL); }

  private:
    char get() {
        char c = 0;
        return ::recv(fd_, &c, 1, 0) == 1 ? c : 0;
    }
    int fd_ = -1;
    bool connected_ = false;
};

// An image, loaded for debugging on an engine, with a server on a free port
// that waits for its client.
void debug_session(nuv::EngineKind engine, std::unique_ptr<nuv::GdbServer>& server,
                   std::unique_ptr<nuv::Harness>& m, const char* image = "debuggee",
                   uint64_t timeout_us = 60'000'000) {
    auto listening = nuv::GdbServer::listen(0);
    ASSERT_TRUE(listening) << listening.error().message;
    server = std::move(*listening);
    server->wait_for_client(true);
    nuv::Options opts;
    opts.engine = engine;
    opts.debugging = true;
    opts.capture_output = true;
    opts.timeout_us = timeout_us;
    opts.root = NUV_IMAGE_DIR;
    std::string err;
    m = nuv::Harness::load(std::string(NUV_IMAGE_DIR) + "/" + image, opts, err);
    ASSERT_TRUE(m) << err;
    m->task().set_debugger(server.get());
}

// Standard input from a pipe that stays empty until the test writes into its
// other end, which it returns.
int pipe_input(nuv::Harness& m) {
    int ends[2];
    if (pipe(ends) != 0) return -1;
    m.install_file(std::make_shared<nuv::HostFile>(ends[0], true, false), 0);
    return ends[1];
}

// A port another server holds is refused with one line that names it.
TEST(GdbServer, APortInUseIsRefusedWithItsNumber) {
    auto first = nuv::GdbServer::listen(0);
    ASSERT_TRUE(first) << first.error().message;
    const std::string port = std::to_string((*first)->port());
    auto second = nuv::GdbServer::listen((*first)->port());
    ASSERT_FALSE(second);
    EXPECT_NE(second.error().message.find("127.0.0.1:" + port + ": "), std::string::npos)
        << second.error().message;
    EXPECT_EQ(second.error().message.find('\n'), std::string::npos);
}

TEST(GdbServer, MalformedPacketsGetErrorsAndTheSessionGoesOn) {
    std::unique_ptr<nuv::GdbServer> server;
    std::unique_ptr<nuv::Harness> m;
    ASSERT_NO_FATAL_FAILURE(debug_session(nuv::EngineKind::Unicorn, server, m));

    struct Case {
        const char* packet;
        const char* reply;
    };
    const Case cases[] = {
        {"m", "E01"},
        {"mzz,4", "E01"},
        {"m0,4", "E14"},  // unmapped
        {"m123456789,4", "E01"},
        {"M400000,2:zz", "E01"},
        {"M400000,4:00", "E01"},
        {"Mfffffffe,4:00000000", "E01"},
        {"p99", "E01"},
        {"P1", "E01"},
        {"Pzz=1", "E01"},
        {"P0=123", "E01"},
        {"G00", "E01"},
        {"Z1,400000,1", ""},
        {"Z0,zz", "E01"},
        {"qXfer:features:read:other.xml:0,10", "E00"},
        {"qXfer:features:read:target.xml:ffffff,10", "l"},
        {"vCont;x", "E01"},
        {"X400000,0:", ""},
        {"", ""},
        {"cz", "E01"},
        {"?", "S05"},
    };
    std::vector<std::string> failures;
    std::string registers, end;
    std::thread client([&] {
        Client c(server->port());
        if (!c.connected()) {
            failures.push_back("cannot connect");
            return;
        }
        for (const Case& k : cases) {
            auto [ack, got] = c.ask(GdbPackets::frame(k.packet));
            if (ack != '+' || got != k.reply) {
                failures.push_back(std::string(k.packet) + " -> " + ack + got);
            }
        }
        if (c.ask("$g#00").first != '-') failures.push_back("bad checksum not refused");
        registers = c.ask(GdbPackets::frame("g")).second;
        end = c.ask(GdbPackets::frame("c")).second;
    });
    nuv::RunResult r = m->run({"debuggee"});
    client.join();
    EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);
    // 16 words, 8 x87 registers of 10 bytes, 8 words: in hex.
    EXPECT_EQ(registers.size(), size_t{(16 * 4 + 8 * 10 + 8 * 4) * 2});
    EXPECT_EQ(registers.substr(64, 8), "00004000") << "eip at the entry";
    EXPECT_EQ(end, "W00");
    EXPECT_EQ(r.stop, nuv::Stop::Exited) << nuv::report::what(r);
    EXPECT_EQ(m->output(), "30\n");
}

// Watchpoints are cut into aligned runs of 1, 2 or 4 bytes (8 on the
// native engine, as its processor allows), four at most in all as the debug
// registers hold them: one that does not fit is refused and the others stay.
class GdbWatchpoints : public ::testing::TestWithParam<nuv::EngineKind> {};

TEST_P(GdbWatchpoints, AreCutIntoAtMostFourAlignedRuns) {
    const bool native = GetParam() == nuv::EngineKind::Native;
    if (native) NUVTEST_NEED_NATIVE_ENGINE();
    std::unique_ptr<nuv::GdbServer> server;
    std::unique_ptr<nuv::Harness> m;
    ASSERT_NO_FATAL_FAILURE(debug_session(GetParam(), server, m));

    struct Case {
        const char* packet;
        const char* reply;         // both engines
        const char* native_reply;  // where the native engine differs (nullptr: same)
    };
    // Addresses nothing maps: the guest runs to its end untouched.
    const Case cases[] = {
        {"Z2,zz,4", "E01", nullptr},        // no address
        {"Z2,10000000,0", "E01", nullptr},  // no bytes
        {"Z2,fffffffe,4", "E01", nullptr},  // past the end of memory
        {"Z2,10000000,4", "OK", nullptr},   // one run
        {"Z3,10000001,4", "OK", nullptr},   // 1 + 2 + 1: four in all
        {"Z4,10000010,1", "E01", nullptr},  // a fifth
        {"z3,10000001,4", "OK", nullptr},   // one left
        {"Z4,10000010,8", "OK", nullptr},   // 4 + 4, or one of 8
        {"Z2,10000020,8", "E01", "OK"},     // five, or three
        {"z2,10000020,8", "OK", nullptr},   // three, or two
        {"Z3,10000003,2", "E01", "OK"},     // 1 + 1: five, or four
        {"Z3,10000004,1", "OK", "E01"},     // four, or five
        {"z4,10000010,8", "OK", nullptr},   // two, or three
        {"Z3,10000004,1", "OK", nullptr},   // the same one twice
    };
    std::vector<std::string> failures;
    std::string end;
    std::thread client([&] {
        Client c(server->port());
        if (!c.connected()) {
            failures.push_back("cannot connect");
            return;
        }
        for (const Case& k : cases) {
            const char* want = native && k.native_reply != nullptr ? k.native_reply : k.reply;
            auto [ack, got] = c.ask(GdbPackets::frame(k.packet));
            if (ack != '+' || got != want) {
                failures.push_back(std::string(k.packet) + " -> " + ack + got);
            }
        }
        end = c.ask(GdbPackets::frame("c")).second;
    });
    nuv::RunResult r = m->run({"debuggee"});
    client.join();
    EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);
    EXPECT_EQ(end, "W00");
    EXPECT_EQ(r.stop, nuv::Stop::Exited) << nuv::report::what(r);
}

INSTANTIATE_TEST_SUITE_P(Engines, GdbWatchpoints,
                         ::testing::Values(nuv::EngineKind::Unicorn, nuv::EngineKind::Native),
                         [](const auto& info) { return nuv::engine_kind_name(info.param); });

// A whole session as gdb holds it, on each engine: a write and a read
// watchpoint fire after their instructions with the address; an interrupt
// (0x03) stops a guest that computes without calls, one that waits for a
// pipe's input, and one that waits for a child that computes; the guest
// stopped in its read takes the input that comes later, none of it lost.
// And a fault kept for a debugger.
class GdbSessions : public ::testing::TestWithParam<nuv::EngineKind> {
  protected:
    void SetUp() override {
        if (GetParam() == nuv::EngineKind::Native) NUVTEST_NEED_NATIVE_ENGINE();
    }
};

TEST_P(GdbSessions, WatchpointsFireAndInterruptsStopTheGuestWhereverItWaits) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        bool watch;        // watchpoints on counter and limit; else an interrupt
        const char* then;  // written into standard input after the stop (nullptr: kill)
    };
    const Case cases[] = {
        {"watchpoints", {"watchee"}, true, nullptr},
        {"a loop without calls", {"watchee", "spin"}, false, nullptr},
        {"a read of an empty pipe", {"watchee", "read"}, false, "x"},
        {"a child that computes", {"watchee", "wait", "/watchee", "spin"}, false, nullptr},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        std::unique_ptr<nuv::GdbServer> server;
        std::unique_ptr<nuv::Harness> m;
        ASSERT_NO_FATAL_FAILURE(debug_session(GetParam(), server, m, "watchee"));
        const int input = pipe_input(*m);
        ASSERT_GE(input, 0);
        const std::string counter = nuv::hex(m->symbol("counter"), 0).substr(2),
                          limit = nuv::hex(m->symbol("limit"), 0).substr(2);
        std::vector<std::string> replies;
        std::thread client([&] {
            Client c(server->port());
            if (!c.connected()) return;
            auto say = [&](const std::string& packet) {
                replies.push_back(c.ask(GdbPackets::frame(packet)).second);
            };
            if (k.watch) {
                for (const std::string& p :
                     {"Z2," + counter + ",4", "Z3," + limit + ",4", std::string("c"),
                      "m" + counter + ",4", "z2," + counter + ",4", std::string("c"),
                      "z3," + limit + ",4", std::string("c")}) {
                    say(p);
                }
                return;
            }
            c.post("c");
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            c.interrupt();
            replies.push_back(c.reply());
            if (k.then != nullptr) {
                EXPECT_EQ(write(input, k.then, 1), 1);
                say("c");
            } else {
                c.post("k");
            }
        });
        nuv::RunResult r = m->run(k.args);
        client.join();
        close(input);
        if (k.watch) {
            const std::vector<std::string> want = {"OK",       "OK", "T05watch:" + counter + ";",
                                                   "05000000", "OK", "T05rwatch:" + limit + ";",
                                                   "OK",       "W00"};
            EXPECT_EQ(replies, want);
            EXPECT_EQ(m->output(), "5 14\n");
        } else {
            ASSERT_FALSE(replies.empty());
            EXPECT_EQ(replies[0].substr(0, 3), "T02") << "stopped by the interrupt";
        }
        if (k.then != nullptr) {
            // The read made again when the guest went on got the byte.
            ASSERT_EQ(replies.size(), 2u);
            EXPECT_EQ(replies[1], "W01");
        }
        if (k.watch || k.then != nullptr) {
            EXPECT_EQ(r.stop, nuv::Stop::Exited) << nuv::report::what(r);
        } else {
            EXPECT_EQ(r.stop, nuv::Stop::Fault) << nuv::report::what(r);
            EXPECT_EQ(r.fault.kind, nuv::FaultKind::Killed) << nuv::report::what(r);
        }
    }
}

// A fault with no debugger yet is kept for one that comes later: it finds the
// guest at the faulting instruction, and the fault's signal then ends it.
TEST_P(GdbSessions, AFaultIsKeptForADebuggerThatComesLater) {
    std::unique_ptr<nuv::GdbServer> server;
    std::unique_ptr<nuv::Harness> m;
    ASSERT_NO_FATAL_FAILURE(debug_session(GetParam(), server, m));
    server->wait_for_client(false);
    server->keep_faults(true);
    const uint32_t from = m->symbol("read_through"), to = m->symbol("crash_below");
    std::vector<std::string> replies;
    std::string eip;
    std::thread client([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        Client c(server->port());
        if (!c.connected()) return;
        replies.push_back(c.ask(GdbPackets::frame("?")).second);
        // One that came before the fault found the guest running, and stopped it.
        if (replies.back() != "T0b") replies.push_back(c.ask(GdbPackets::frame("c")).second);
        eip = c.ask(GdbPackets::frame("p8")).second;
        replies.push_back(c.ask(GdbPackets::frame("C0b")).second);  // as gdb goes on
    });
    nuv::RunResult r = m->run({"debuggee", "crash"});
    client.join();
    ASSERT_GE(replies.size(), 2u);
    EXPECT_EQ(replies[replies.size() - 2], "T0b");
    EXPECT_EQ(replies.back(), "X0b");
    ASSERT_EQ(eip.size(), 8u);
    uint32_t pc = 0;
    for (int i = 3; i >= 0; --i) pc = pc << 8 | std::stoul(eip.substr(2 * i, 2), nullptr, 16);
    EXPECT_TRUE(pc >= from && pc < to) << nuv::hex(pc);
    EXPECT_EQ(r.stop, nuv::Stop::Fault) << nuv::report::what(r);
}

// Debugged, with no client, a guest that waits for input still meets its
// time limit: the run ends there, not when input comes (here, much later).
TEST_P(GdbSessions, ATimeLimitEndsAGuestWaitingForInput) {
    std::unique_ptr<nuv::GdbServer> server;
    std::unique_ptr<nuv::Harness> m;
    ASSERT_NO_FATAL_FAILURE(debug_session(GetParam(), server, m, "watchee", 1'000'000));
    server->wait_for_client(false);
    const int input = pipe_input(*m);
    ASSERT_GE(input, 0);
    std::atomic<bool> done{false};
    std::thread late([&] {
        for (int i = 0; i < 100 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_EQ(write(input, "x", 1), 1);
    });
    const auto began = std::chrono::steady_clock::now();
    nuv::RunResult r = m->run({"watchee", "read"});
    const auto took = std::chrono::steady_clock::now() - began;
    done = true;
    late.join();
    close(input);
    EXPECT_EQ(r.stop, nuv::Stop::Timeout) << nuv::report::what(r);
    EXPECT_LT(took, std::chrono::seconds(6)) << "it waited for the input";
}

INSTANTIATE_TEST_SUITE_P(Engines, GdbSessions,
                         ::testing::Values(nuv::EngineKind::Unicorn, nuv::EngineKind::Native),
                         [](const auto& info) { return nuv::engine_kind_name(info.param); });

}  // namespace
