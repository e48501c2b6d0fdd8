// Guest memory accesses in Unicorn 2.0.1, cut down to what nuvemu's guests
// need. Where the library is linked in statically, the linker sends its calls
// to these steps through our own functions (--wrap):
// - Every store took the library's slow path, which looks for translated
//   code on the page stored to, to drop it: it enters every writable page in
//   its TLB as possibly holding code, and never learns otherwise. A guest
//   cannot store into code: no page is writable and executable at once (the
//   loader and mmap refuse it, and a store to a page that is not writable
//   faults first), and the engine drops the blocks of bytes it writes itself
//   and of pages that stop being executable. So while that holds, a page
//   enters the TLB as holding none, and stores to it take the fast path; a
//   store that still takes the slow path does not look. While any engine has
//   a page both writable and executable (a host program of the harness may
//   map one), every store looks as before.
// - Finding the mapping of an address on the slow path: the library searches
//   its mappings every time; a small cache per thread answers from the last
//   search of the same page, until any engine maps, unmaps or protects.
// - Stopping the guest at a faulting access: the library leaves EIP where
//   its block of translated code began, unless a memory hook makes every
//   access keep EIP up to date, which sends every access down the slow path.
//   Instead, the slow path's entries note where in the block they were
//   called from, and when an access faults (fault_pending()), the library's
//   request to stop has it put EIP and the flags' state at the faulting
//   instruction, as its own exceptions do.
#pragma once

#include <cstdint>

namespace nuv::slow_path {

// Whether this build sends the library's slow path through these functions
// (and so places faults without a memory hook).
bool in_use();
// A run begins on this thread: no entry of the slow path is open (one that
// faulted was left by longjmp, and its notes with it).
void run_begins();
// A guest data access on this thread is about to fault at `address`.
void fault_pending(uint32_t address);
// Some engine mapped, unmapped or protected memory, or was made or ended.
void mappings_changed();
// Pages both writable and executable: `delta` more (fewer when negative).
void writable_code(int64_t delta);
int64_t writable_code_pages();

}  // namespace nuv::slow_path
