// Open files of a guest process: what a descriptor refers to.
#pragma once

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
    HostFile(int fd, bool readable, bool writable)
        : fd_(fd), readable_(readable), writable_(writable) {}
    int32_t read(std::span<uint8_t> out) override;
    int32_t write(std::span<const uint8_t> in) override;

  private:
    int fd_;
    bool readable_, writable_;
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
