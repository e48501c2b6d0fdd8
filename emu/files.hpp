// Open files of a guest process: what a descriptor refers to.
#pragma once

#include <csignal>
#include <cstdint>
#include <span>
#include <string>

#include <nuvos/kernel.h>

namespace nuv {

class OpenFile {
  public:
    virtual ~OpenFile() = default;
    bool nonblock = false;  // reads and writes that would wait fail with -NUV_EAGAIN
    // Each returns a byte count, or a negated error code.
    virtual int32_t read(std::span<uint8_t>) { return -NUV_EBADF; }
    virtual int32_t write(std::span<const uint8_t>) { return -NUV_EBADF; }
    virtual int32_t seek(int32_t /*offset*/, int32_t /*origin*/) { return -NUV_ESPIPE; }
};

// A descriptor of the host process (standard input, output or error).
class HostFile : public OpenFile {
  public:
    // interrupted: set from outside to end the run; a read or write that
    // would wait (a pipe, a terminal) then fails with -NUV_EIO instead.
    HostFile(int fd, bool readable, bool writable,
             const volatile std::sig_atomic_t* interrupted = nullptr)
        : fd_(fd), readable_(readable), writable_(writable), interrupted_(interrupted) {}
    int32_t read(std::span<uint8_t> out) override;
    int32_t write(std::span<const uint8_t> in) override;

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
    int32_t read(std::span<uint8_t> out) override;

  private:
    std::string data_;
    size_t pos_ = 0;
};

// Output collected into a string the host reads afterwards.
class StringOutput : public OpenFile {
  public:
    explicit StringOutput(std::string& sink) : sink_(sink) {}
    int32_t write(std::span<const uint8_t> in) override {
        sink_.append(reinterpret_cast<const char*>(in.data()), in.size());
        return static_cast<int32_t>(in.size());
    }

  private:
    std::string& sink_;
};

}  // namespace nuv
