// The library that `nuvos-cc --coverage` links in place of the compiler's own
// profiling runtime, which is built for a hosted system. A coverage build
// names a merge function in each object's profile; nuvemu does the merging
// on the host when the process ends (emu/debug/coverage.hpp), so the function
// is only named, never called.
extern "C" void __gcov_merge_add(long long* counters, unsigned count) {
    (void)counters;
    (void)count;
}
