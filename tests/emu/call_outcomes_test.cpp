// What a call handler makes of a call it cannot answer yet: it says so (block,
// with a wake time for a sleep, or yield) and leaves running other processes
// to the kernel. The handlers are called directly, with a context of the
// test's own, on the pipes and sleeps where waiting happens.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "guest.hpp"

namespace {

using nuv::Outcome;
using Clock = std::chrono::steady_clock;

// The calling process of a loaded image, and nothing of a kernel behind it.
class LoneContext final : public nuv::CallContext {
  public:
    explicit LoneContext(nuv::Harness& h) : h_(h) {}
    nuv::Process& process() override { return h_.process(); }
    nuv::GuestMemory& memory() override { return h_.memory(); }
    bool resuming() const override { return resuming_; }
    std::optional<Clock::time_point> wake_time() const override { return wake_; }
    bool skip_sleep() const override { return skip_sleep_; }
    int32_t spawn(const std::string&, const std::vector<std::string>&, const Stdio&) override {
        return -NUV_EAGAIN;
    }
    Outcome waitpid(int32_t, uint32_t, int32_t) override { return -NUV_ECHILD; }
    int32_t stream_begin(std::string) override { return -NUV_EMFILE; }
    int32_t stream_write(int32_t, uint32_t, uint32_t) override { return -NUV_EBADF; }
    int32_t stream_end(int32_t) override { return -NUV_EBADF; }
    std::shared_ptr<nuv::PipeBuffer> named_pipe(uint64_t, uint64_t) override { return nullptr; }

    bool resuming_ = false, skip_sleep_ = false;
    std::optional<Clock::time_point> wake_;

  private:
    nuv::Harness& h_;
};

TEST(CallOutcomes, PipesAndSleepSayWhetherToWaitOrYield) {
    std::unique_ptr<nuv::Harness> h = nuvtest::load_image("libtest", nuvtest::test_options());
    ASSERT_TRUE(h);
    const uint32_t buf = nuv::Harness::kStackTop - 0x10000;  // mapped, and far from the top
    const Clock::time_point later = Clock::now() + std::chrono::hours(1);
    struct Case {
        const char* what;
        // Sets the pipe (or context) up and makes the call.
        std::function<Outcome(LoneContext&, nuv::PipeBuffer&, int32_t rd, int32_t wr)> call;
        Outcome::Kind kind;
        int32_t value;
        size_t left_in_pipe;
    };
    auto io = [&](uint32_t nr, bool read_end, bool nonblock, uint32_t n) {
        return [=](LoneContext& c, nuv::PipeBuffer&, int32_t rd, int32_t wr) {
            int32_t fd = read_end ? rd : wr;
            c.file(fd)->nonblock = nonblock;
            nuv::SyscallArgs a;
            a.nr = nr;
            a.ebx = static_cast<uint32_t>(fd);
            a.ecx = buf;
            a.edx = n;
            return nr == NUV_SYS_read ? nuv::handle_read(c, a) : nuv::handle_write(c, a);
        };
    };
    auto filled = [](size_t n, auto call) {
        return [=](LoneContext& c, nuv::PipeBuffer& p, int32_t rd, int32_t wr) {
            p.bytes.assign(n, 'x');
            return call(c, p, rd, wr);
        };
    };
    auto without = [](bool readers, auto call) {
        return [=](LoneContext& c, nuv::PipeBuffer& p, int32_t rd, int32_t wr) {
            c.close_file(readers ? rd : wr);
            return call(c, p, rd, wr);
        };
    };
    auto sleep = [&](uint32_t us, bool resuming, std::optional<Clock::time_point> wake, bool skip) {
        return [=](LoneContext& c, nuv::PipeBuffer&, int32_t, int32_t) {
            c.resuming_ = resuming;
            c.wake_ = wake;
            c.skip_sleep_ = skip;
            nuv::SyscallArgs a;
            a.nr = NUV_SYS_usleep;
            a.ebx = us;
            return nuv::handle_usleep(c, a);
        };
    };
    const size_t full = nuv::PipeBuffer::kCapacity;
    const Case cases[] = {
        {"read of an empty pipe", io(NUV_SYS_read, true, false, 4), Outcome::Block, 0, 0},
        {"non-blocking read of an empty pipe", io(NUV_SYS_read, true, true, 4), Outcome::Yield,
         -NUV_EAGAIN, 0},
        {"read of a pipe with bytes", filled(3, io(NUV_SYS_read, true, false, 4)), Outcome::Done, 3,
         0},
        {"read of an empty pipe nobody writes", without(false, io(NUV_SYS_read, true, false, 4)),
         Outcome::Done, 0, 0},
        {"write to a full pipe", filled(full, io(NUV_SYS_write, false, false, 4)), Outcome::Block,
         0, full},
        {"non-blocking write to a full pipe", filled(full, io(NUV_SYS_write, false, true, 4)),
         Outcome::Yield, -NUV_EAGAIN, full},
        {"write to a pipe with room", filled(full - 2, io(NUV_SYS_write, false, false, 4)),
         Outcome::Done, 2, full},
        {"write to a pipe nobody reads", without(true, io(NUV_SYS_write, false, false, 4)),
         Outcome::Done, -NUV_EPIPE, 0},
        {"sleep of 0", sleep(0, false, std::nullopt, false), Outcome::Yield, 0, 0},
        {"sleep skipped", sleep(5000000, false, std::nullopt, true), Outcome::Yield, 0, 0},
        {"sleep begun", sleep(5000000, false, std::nullopt, false), Outcome::Block, 0, 0},
        {"sleep made again before its time", sleep(5000000, true, later, false), Outcome::Block, 0,
         0},
        {"sleep made again after its time", sleep(5000000, true, Clock::now(), false),
         Outcome::Done, 0, 0},
    };
    for (const Case& c : cases) {
        LoneContext ctx(*h);
        auto pipe = std::make_shared<nuv::PipeBuffer>();
        int32_t rd = ctx.install_file(std::make_shared<nuv::PipeReadEnd>(pipe));
        int32_t wr = ctx.install_file(std::make_shared<nuv::PipeWriteEnd>(pipe));
        ASSERT_GE(rd, 0);
        ASSERT_GE(wr, 0);
        const Clock::time_point before = Clock::now();
        Outcome o = c.call(ctx, *pipe, rd, wr);
        EXPECT_EQ(o.kind, c.kind) << c.what;
        EXPECT_EQ(o.value, c.value) << c.what;
        EXPECT_EQ(pipe->bytes.size(), c.left_in_pipe) << c.what;
        if (o.kind == Outcome::Block && std::string(c.what).find("sleep") == 0) {
            // A sleep waits until its own wake time, kept when it is made again.
            ASSERT_TRUE(o.wake) << c.what;
            if (ctx.resuming_) {
                EXPECT_EQ(*o.wake, later) << c.what;
            } else {
                EXPECT_GE(*o.wake, before + std::chrono::microseconds(5000000)) << c.what;
            }
        } else {
            EXPECT_FALSE(o.wake) << c.what;
        }
        ctx.close_file(rd);
        ctx.close_file(wr);
    }
}

}  // namespace
