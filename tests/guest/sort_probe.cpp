// Comparators for the sorting tests: they count their calls and record the
// deepest stack frame they were called in.
extern "C" {

unsigned g_probe_compares;
unsigned g_probe_lowest_frame;

// The frame address of a function called straight from the host, to measure
// how much stack the sort itself takes below it.
unsigned probe_frame(void) {
    return reinterpret_cast<unsigned long>(__builtin_frame_address(0));
}

int probe_compare_ints(const void* a, const void* b) {
    ++g_probe_compares;
    unsigned frame = reinterpret_cast<unsigned long>(__builtin_frame_address(0));
    if (g_probe_lowest_frame == 0 || frame < g_probe_lowest_frame) g_probe_lowest_frame = frame;
    int x = *static_cast<const int*>(a), y = *static_cast<const int*>(b);
    return (x > y) - (x < y);
}

// Orders 3-byte records by their first byte only, so that equal keys with
// different payloads show whether elements move whole.
int probe_compare_first_byte(const void* a, const void* b) {
    ++g_probe_compares;
    return *static_cast<const unsigned char*>(a) - *static_cast<const unsigned char*>(b);
}

}  // extern "C"
