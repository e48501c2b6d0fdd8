// How host-side failures are reported: what failed, as a kind the caller can
// act on, and a one-line message for people.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace nuv {

// What kind of host-side failure an Error is (guest faults are another
// matter: see GuestFault in engine.hpp).
enum class HostError {
    BadImage,     // not an image this system can load
    NoRoot,       // the sandbox root cannot be used
    TooMany,      // a limit on live guests or processes
    NoEngine,     // the CPU engine cannot start
    ArgsTooLong,  // the argument list does not fit
    Io,           // the host failed to read or write
};

struct Error {
    HostError kind;
    std::string message;
};

// A value, or the error that kept it from being made.
template <typename T>
class Result {
  public:
    Result(T value) : v_(std::move(value)) {}  // NOLINT: implicit on purpose
    Result(Error e) : v_(std::move(e)) {}      // NOLINT
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& operator*() { return std::get<0>(v_); }
    T* operator->() { return &std::get<0>(v_); }
    const Error& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, Error> v_;
};

// Success without a value.
struct Done {};
using Status = Result<Done>;

}  // namespace nuv
