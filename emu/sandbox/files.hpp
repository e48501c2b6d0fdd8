// Open files of a guest process: what a descriptor refers to.
#pragma once

#include <csignal>
#include <cstdint>
#include <span>
#include <string>

#include <nuvos/kernel.h>

namespace nuv {

// Whether a read or write must wait for another process.
enum class IoWait {
    None,   // done: the result says how
    Block,  // nothing done yet; made again once others have run
    Yield,  // done (a non-blocking end found nothing), and others should run
};

// A byte count or a negated error code, and whether to wait.
struct IoResult {
    IoResult(int32_t v) : value(v) {}  // NOLINT: a plain result converts
    IoResult(int32_t v, IoWait w) : value(v), wait(w) {}
    int32_t value;
    IoWait wait = IoWait::None;
};

class OpenFile {
  public:
    virtual ~OpenFile() = default;
    bool nonblock = false;  // reads and writes that would wait fail with -NUV_EAGAIN
    // Each returns a byte count, or a negated error code; reads and writes
    // that would wait say so (unless nonblock).
    virtual IoResult read(std::span<uint8_t>) { return -NUV_EBADF; }
    virtual IoResult write(std::span<const uint8_t>) { return -NUV_EBADF; }
    virtual int32_t seek(int32_t /*offset*/, int32_t /*origin*/) { return -NUV_ESPIPE; }
    // The host descriptor whose reads and writes these are, plainly (fd -1:
    // none); reading it may wait unless it is a regular file.
    struct Host {
        int fd = -1;
        bool read = false, write = false, regular = false;
    };
    virtual Host host() const { return {}; }
    // Waits until a read would find input (or an end, or an error) without
    // waiting on the host, until `attention` becomes readable, or for
    // `most_ms` milliseconds, whichever comes first; false: no input came,
    // and the caller gives way (to look at attention and at its deadline).
    // Files whose reads never wait on the host answer true at once.
    virtual bool await_input(int /*attention*/, int /*most_ms*/) { return true; }
};

// A descriptor of the host process (standard input, output or error).
class HostFile : public OpenFile {
  public:
    // interrupted: set from outside to end the run; a read or write that
    // would wait (a pipe, a terminal) then fails with -NUV_EIO instead.
    HostFile(int fd, bool readable, bool writable,
             const volatile std::sig_atomic_t* interrupted = nullptr)
        : fd_(fd), readable_(readable), writable_(writable), interrupted_(interrupted) {}
    IoResult read(std::span<uint8_t> out) override;
    IoResult write(std::span<const uint8_t> in) override;
    Host host() const override;
    bool await_input(int attention, int most_ms) override;

  private:
    bool cut_short() const { return interrupted_ != nullptr && *interrupted_ != 0; }
    int fd_;
    bool readable_, writable_;
    const volatile std::sig_atomic_t* interrupted_;
};

// Input from a string the host supplies (tests, scripted runs).
class StringInput : public OpenFile {
  public:
    explicit StringInput(std::string data) : data_(std::move(data)) {}
    IoResult read(std::span<uint8_t> out) override;

  private:
    std::string data_;
    size_t pos_ = 0;
};

// Output collected into a string the host reads afterwards.
class StringOutput : public OpenFile {
  public:
    explicit StringOutput(std::string& sink) : sink_(sink) {}
    IoResult write(std::span<const uint8_t> in) override {
        sink_.append(reinterpret_cast<const char*>(in.data()), in.size());
        return static_cast<int32_t>(in.size());
    }

  private:
    std::string& sink_;
};

}  // namespace nuv
