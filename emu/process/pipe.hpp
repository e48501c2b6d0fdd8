// Pipes: a bounded byte queue with a reading end and a writing end. An end
// stays open while any descriptor of any process refers to it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <span>

#include "files.hpp"

namespace nuv {

struct PipeBuffer {
    static constexpr size_t kCapacity = NUV_PIPE_SIZE;
    std::deque<uint8_t> bytes;
    int readers = 0, writers = 0;
    // A named pipe waits for its first reader and writer instead of ending.
    bool named = false;
    bool had_reader = false, had_writer = false;
};

// Reads wait while the pipe is empty and a writer remains; 0 at the end.
class PipeReadEnd : public OpenFile {
  public:
    explicit PipeReadEnd(std::shared_ptr<PipeBuffer> p) : p_(std::move(p)) {
        ++p_->readers;
        p_->had_reader = true;
    }
    ~PipeReadEnd() override { --p_->readers; }
    IoResult read(std::span<uint8_t> out) override;

  private:
    std::shared_ptr<PipeBuffer> p_;
};

// Writes wait while the pipe is full; -NUV_EPIPE once no reader remains.
class PipeWriteEnd : public OpenFile {
  public:
    explicit PipeWriteEnd(std::shared_ptr<PipeBuffer> p) : p_(std::move(p)) {
        ++p_->writers;
        p_->had_writer = true;
    }
    ~PipeWriteEnd() override { --p_->writers; }
    IoResult write(std::span<const uint8_t> in) override;

  private:
    std::shared_ptr<PipeBuffer> p_;
};

// A wait, or -NUV_EAGAIN for a non-blocking end.
IoResult wait_or_again(bool nonblock);

}  // namespace nuv
