// Sorting and binary search over arrays of fixed-size elements.
//
// qsort is an introspective sort without recursion and without allocation:
// quicksort with a median-of-three (or, for long parts, of nine) pivot, whose
// larger part waits on a small fixed stack while the smaller part is sorted
// first, so at most log2(n) parts ever wait. A part that needs more than about
// 2 log2(n) partitioning rounds is finished by heapsort, and short parts by
// insertion sort, so every input costs O(n log n) comparisons. The sort is not
// stable.
#include <stdlib.h>

namespace {

using Compare = int (*)(const void*, const void*);

// Parts of at most this many elements are finished by insertion sort.
constexpr size_t kShort = 12;

struct Sorter {
    size_t size;
    Compare cmp;
    bool words;  // elements are whole, aligned 32-bit words

    char* at(char* base, size_t i) const { return base + i * size; }
    bool less(const char* a, const char* b) const { return cmp(a, b) < 0; }

    void swap(char* a, char* b) const {
        if (a == b) return;
        if (words) {
            unsigned* x = reinterpret_cast<unsigned*>(a);
            unsigned* y = reinterpret_cast<unsigned*>(b);
            for (size_t k = size / 4; k > 0; --k, ++x, ++y) {
                unsigned t = *x;
                *x = *y;
                *y = t;
            }
            return;
        }
        for (size_t k = size; k > 0; --k, ++a, ++b) {
            char t = *a;
            *a = *b;
            *b = t;
        }
    }

    void insertion(char* base, size_t n) const {
        for (size_t i = 1; i < n; ++i)
            for (size_t j = i; j > 0 && less(at(base, j), at(base, j - 1)); --j)
                swap(at(base, j), at(base, j - 1));
    }

    void sift_down(char* base, size_t root, size_t n) const {
        for (;;) {
            size_t child = 2 * root + 1;
            if (child >= n) return;
            if (child + 1 < n && less(at(base, child), at(base, child + 1))) ++child;
            if (!less(at(base, root), at(base, child))) return;
            swap(at(base, root), at(base, child));
            root = child;
        }
    }

    void heapsort(char* base, size_t n) const {
        for (size_t i = n / 2; i > 0; --i) sift_down(base, i - 1, n);
        for (size_t end = n - 1; end > 0; --end) {
            swap(base, at(base, end));
            sift_down(base, 0, end);
        }
    }

    // The median of three elements, by at most three comparisons.
    char* median(char* a, char* b, char* c) const {
        if (less(b, a)) {
            char* t = a;
            a = b;
            b = t;
        }
        if (less(c, b)) return less(c, a) ? a : c;
        return b;
    }

    // Moves a pivot to the front (the median of the first, middle and last
    // elements; for long parts the median of three such medians), partitions
    // the rest around it and returns the pivot's final index. Elements equal
    // to the pivot stop both scans, so a run of equal elements splits in the
    // middle instead of all going to one side.
    size_t partition(char* base, size_t n) const {
        char* first = base;
        char* mid;
        if (n > 40) {
            size_t step = n / 8;
            mid =
                median(median(base, at(base, step), at(base, 2 * step)),
                       median(at(base, n / 2 - step), at(base, n / 2), at(base, n / 2 + step)),
                       median(at(base, n - 1 - 2 * step), at(base, n - 1 - step), at(base, n - 1)));
        } else {
            mid = median(first, at(base, n / 2), at(base, n - 1));
        }
        swap(first, mid);
        const char* pivot = first;
        size_t i = 0, j = n;
        for (;;) {
            while (less(at(base, ++i), pivot))
                if (i == n - 1) break;
            while (less(pivot, at(base, --j))) {
            }
            if (i >= j) break;
            swap(at(base, i), at(base, j));
        }
        swap(first, at(base, j));
        return j;
    }
};

int floor_log2(size_t n) {
    int k = 0;
    while (n >>= 1) ++k;
    return k;
}

}  // namespace

extern "C" void qsort(void* base, size_t n, size_t size, Compare cmp) {
    if (base == nullptr || cmp == nullptr || size == 0 || n < 2) return;
    size_t bytes;
    if (__builtin_mul_overflow(n, size, &bytes)) return;
    const Sorter s{size, cmp, size % 4 == 0 && reinterpret_cast<unsigned long>(base) % 4 == 0};
    struct Part {
        char* base;
        size_t n;
        int budget;
    };
    // Each waiting part is larger than everything sorted before it is taken
    // up again, so fewer than 8 * sizeof(size_t) parts ever wait.
    Part waiting[8 * sizeof(size_t)];
    int nwaiting = 0;
    Part p{static_cast<char*>(base), n, 2 * floor_log2(n)};
    for (;;) {
        while (p.n > kShort) {
            if (p.budget == 0) {
                s.heapsort(p.base, p.n);
                p.n = 0;
                break;
            }
            --p.budget;
            size_t k = s.partition(p.base, p.n);
            Part left{p.base, k, p.budget};
            Part right{s.at(p.base, k + 1), p.n - k - 1, p.budget};
            if (left.n < right.n) {
                waiting[nwaiting++] = right;
                p = left;
            } else {
                waiting[nwaiting++] = left;
                p = right;
            }
        }
        if (p.n > 1) s.insertion(p.base, p.n);
        if (nwaiting == 0) return;
        p = waiting[--nwaiting];
    }
}

extern "C" void* bsearch(const void* key, const void* base, size_t n, size_t size, Compare cmp) {
    if (base == nullptr || cmp == nullptr || size == 0) return nullptr;
    const char* lo = static_cast<const char*>(base);
    while (n > 0) {
        const char* mid = lo + (n / 2) * size;
        int c = cmp(key, mid);
        if (c == 0) return const_cast<char*>(mid);
        if (c > 0) {
            lo = mid + size;
            n -= n / 2 + 1;
        } else {
            n /= 2;
        }
    }
    return nullptr;
}
