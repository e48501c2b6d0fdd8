// Searching strings. Bytes compare as unsigned values; a byte given as int is
// used through its low 8 bits.
#include <string.h>

extern "C" char* strchr(const char* s, int c) {
    if (s == nullptr) return nullptr;
    const char want = static_cast<char>(c);
    for (;; ++s) {
        if (*s == want) return const_cast<char*>(s);
        if (*s == 0) return nullptr;
    }
}

extern "C" char* strrchr(const char* s, int c) {
    if (s == nullptr) return nullptr;
    const char want = static_cast<char>(c);
    const char* last = nullptr;
    for (;; ++s) {
        if (*s == want) last = s;
        if (*s == 0) return const_cast<char*>(last);
    }
}

namespace {

using Byte = unsigned char;

// The maximal suffix of x[0, m) under the byte order, or under the reversed
// order when `reversed`: returns the index of the last byte before it (-1
// when the suffix is all of x) and stores the suffix's period in *period.
long maximal_suffix(const Byte* x, long m, bool reversed, long* period) {
    long before = -1;  // the candidate suffix starts at before + 1
    long j = 0;        // the suffix being compared with it starts at j + 1
    long k = 1, p = 1;
    while (j + k < m) {
        Byte a = x[j + k], b = x[before + k];
        if (a == b) {
            // Still matching: one more byte, or one more whole period.
            if (k == p) {
                j += p;
                k = 1;
            } else {
                ++k;
            }
        } else if ((a < b) != reversed) {
            // The compared suffix loses: everything up to here is one period.
            j += k;
            k = 1;
            p = j - before;
        } else {
            // The compared suffix wins and becomes the candidate.
            before = j;
            j = before + 1;
            k = p = 1;
        }
    }
    *period = p;
    return before;
}

// The two-way search: the needle is cut at a critical point into a left part
// x[0, cut] and a right part; each window is matched right part first, left to
// right, then left part, right to left. A mismatch in the right part shifts by
// the bytes matched; a mismatch in the left part shifts by the period. Every
// text byte is compared a bounded number of times, so the cost is linear in
// the text, and nothing is allocated. The text's length is not measured in
// advance: `known` counts the bytes seen to be non-NUL so far.
char* two_way(const Byte* text, const Byte* x) {
    // Measure the needle and the text side by side: a text shorter than the
    // needle holds no match, and finding that out costs no more than the
    // shorter of the two.
    long m = 0;
    for (; x[m] != 0; ++m) {
        if (text[m] == 0) return nullptr;
    }
    long known = m;
    long p1 = 0, p2 = 0;
    long cut1 = maximal_suffix(x, m, false, &p1);
    long cut2 = maximal_suffix(x, m, true, &p2);
    long cut = cut1 > cut2 ? cut1 : cut2;
    long period = cut1 > cut2 ? p1 : p2;
    // Whether the left part recurs one period further on: then the needle is
    // periodic, and after a full match the bytes of one shift are known.
    bool periodic = true;
    for (long i = 0; i <= cut; ++i) {
        if (x[i] != x[i + period]) {
            periodic = false;
            break;
        }
    }
    if (!periodic) {
        long left = cut + 1, right = m - cut - 1;
        period = (left > right ? left : right) + 1;
    }
    long memory = -1;  // periodic needles: x[0, memory] is known to match
    for (long j = 0;;) {
        // A window can only match where the text holds the needle's first
        // byte; skip to the next such place. Skipping windows that cannot
        // match is always safe, but what is known of the window is lost.
        // (Every shift is at most m, so text[j] lies at or before the NUL.)
        if (text[j] != x[0]) {
            do {
                if (text[j] == 0) return nullptr;
                ++j;
            } while (text[j] != x[0]);
            if (j >= known) known = j + 1;
            memory = -1;
        }
        // Make sure the window text[j, j + m) lies before the text's NUL.
        while (known < j + m) {
            if (text[known] == 0) return nullptr;
            ++known;
        }
        const Byte* y = text + j;
        long i = (cut > memory ? cut : memory) + 1;
        while (i < m && x[i] == y[i]) ++i;
        if (i == cut + 1) {
            // The first byte of the right part differs: the windows that
            // follow fail the same way until the text holds that byte there,
            // so scan for it (a NUL on the way ends every window to come).
            const Byte want = x[cut + 1];
            long t = j + cut + 2;
            while (text[t] != want) {
                if (text[t] == 0) return nullptr;
                ++t;
            }
            if (t >= known) known = t + 1;
            j = t - cut - 1;
            memory = -1;
            continue;
        }
        if (i < m) {
            j += i - cut;
            memory = -1;
            continue;
        }
        i = cut;
        while (i > memory && x[i] == y[i]) --i;
        if (i <= memory) return reinterpret_cast<char*>(const_cast<Byte*>(y));
        j += period;
        if (periodic) memory = m - period - 1;
    }
}

}  // namespace

extern "C" char* strstr(const char* s, const char* needle) {
    if (s == nullptr || needle == nullptr) return nullptr;
    if (*needle == 0) return const_cast<char*>(s);
    if (needle[1] == 0) return strchr(s, needle[0]);
    return two_way(reinterpret_cast<const Byte*>(s), reinterpret_cast<const Byte*>(needle));
}
