// The guest's call sites: where an int 0x80, the only way into the kernel,
// stands, and, on the direct path, their rewriting (see direct_call.h): once
// a guest has made enough calls, each int 0x80 that traps is turned into
// `call *%eax`, which reaches the handler through the sled page without a
// signal. The guest's code then runs through the site segment, and every
// executable page has a shadow (address_space.hpp). Whatever cannot be set
// up or kept (a mapping where a shadow or the sled would go) turns it all
// off again: the sites are restored and the guest runs through the flat
// selector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <vector>

#include "address_space.hpp"
#include "traced_process.hpp"

namespace nuv::native {

class CallSites {
  public:
    enum class State { Waiting, On, Off };

    // rewrite_after: the calls trapped before sites are rewritten; 0: never.
    CallSites(TracedProcess& process, AddressSpace& space, uint32_t rewrite_after)
        : p_(process), space_(space), rewrite_after_(rewrite_after) {}
    CallSites(const CallSites&) = delete;
    CallSites& operator=(const CallSites&) = delete;

    // Told when rewriting begins (true) or ends (false).
    void set_hook(std::function<void(bool on)> changed) { changed_ = std::move(changed); }
    State state() const { return state_; }

    // Whether the two bytes before ip are an int 0x80 outside the gate. The
    // last such ip found is remembered until the guest's code may have
    // changed (forget_call_site).
    bool at_call_site(uint64_t ip);
    void forget_call_site() { checked_ip_ = 0; }

    bool is_site(uint32_t at) const;  // a rewritten int 0x80 there
    // A call trapped at the int 0x80 at `at`: counted, and rewritten once on.
    void note_site(uint32_t at);
    // A guest stopped on its way from a rewritten site to the handler is
    // put back at the site; false where it is not on that way.
    bool back_to_site();
    bool on();
    void off();

    // Whether pages there would lie over the engine's sled or a shadow.
    bool in_the_way(uint32_t begin, uint32_t size) const;
    // Before the engine writes guest memory there: what it writes over is
    // the guest's own code again.
    void before_write(uint32_t address, size_t n);
    // After pages there became executable, or stopped being so (gone: unmapped).
    void exec_changed(uint32_t begin, uint32_t size, bool exec, bool gone);

  private:
    TracedProcess& p_;
    AddressSpace& space_;
    const uint32_t rewrite_after_;
    std::function<void(bool)> changed_;
    State state_ = State::Waiting;
    uint32_t site_calls_ = 0;
    uint64_t checked_ip_ = 0;           // a call site known to hold int 0x80; 0: none
    std::set<uint32_t> sites_;          // rewritten, while on
    std::vector<uint32_t> sled_pages_;  // the sled page and the flat entry's
};

}  // namespace nuv::native
