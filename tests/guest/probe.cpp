// Small guest functions that exercise the emulator itself.
extern "C" {

long double probe_long_double(int numerator, int denominator) {
    return static_cast<long double>(numerator) / denominator;
}

unsigned long long probe_u64(unsigned long long a, unsigned long long b) {
    return a / b + 1;
}

void probe_spin(void) {
    for (;;) asm volatile("");
}

int probe_load(const int* p) {
    return *p;
}

void probe_store(int* p, int v) {
    *p = v;
}

void probe_halt(void) {
    asm volatile("hlt");
}

void probe_invalid(void) {
    asm volatile("ud2");
}

void probe_int3(void) {
    asm volatile("int3");
}

int probe_trap(int nr, int a, int b, int c) {
    int r;
    asm volatile("int $0x80" : "=a"(r) : "a"(nr), "b"(a), "c"(b), "d"(c) : "memory");
    return r;
}

void probe_jump(unsigned address) {
    reinterpret_cast<void (*)()>(address)();
}
}

// The plain search that strstr must agree with: every start position in turn,
// comparing until the needle ends or a byte differs.
extern "C" char* probe_strstr_plain(const char* s, const char* needle) {
    if (s == nullptr || needle == nullptr) return nullptr;
    if (*needle == 0) return const_cast<char*>(s);
    for (; *s; ++s) {
        if (*s != *needle) continue;
        unsigned i = 1;
        while (needle[i] != 0 && s[i] == needle[i]) ++i;
        if (needle[i] == 0) return const_cast<char*>(s);
    }
    return nullptr;
}
