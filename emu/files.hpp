// Open files of a guest process: what a descriptor refers to.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace nuv {

// Error results of the kernel's calls, returned negated to the guest.
enum Errno : int32_t {
    E_NOENT = 2,
    E_IO = 5,
    E_BADF = 9,
    E_ACCES = 13,
    E_FAULT = 14,
    E_EXIST = 17,
    E_NOTDIR = 20,
    E_ISDIR = 21,
    E_INVAL = 22,
    E_MFILE = 24,
    E_NOSPC = 28,
    E_SPIPE = 29,
    E_NAMETOOLONG = 36,
    E_NOSYS = 38,
    E_NOTEMPTY = 39,
    E_LOOP = 40,
};

class OpenFile {
  public:
    virtual ~OpenFile() = default;
    // Each returns a byte count, or a negated Errno.
    virtual int32_t read(std::span<uint8_t>) { return -E_BADF; }
    virtual int32_t write(std::span<const uint8_t>) { return -E_BADF; }
    virtual int32_t seek(int32_t /*offset*/, int32_t /*origin*/) { return -E_SPIPE; }
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
