// The C++ allocation functions over the heap, and the few runtime entry points
// that code built with -fno-exceptions -fno-rtti still calls. A plain new
// cannot report failure (there are no exceptions), so it ends the process with
// a message instead of returning a null pointer that the caller would not
// check; delete gives nothing back, as free does.
#include <new>
#include <stdio.h>
#include <stdlib.h>

#include "stdio/internal.h"

namespace std {
const nothrow_t nothrow{};
}

namespace {

// A block aligned to `align` bytes (a power of two; smaller values mean 4,
// the heap's own alignment), or null when the heap is full. The heap never
// takes blocks back, so the bytes skipped for alignment need no record.
void* allocate(std::size_t size, std::size_t align) {
    if (align <= 4) return malloc(size);
    if ((align & (align - 1)) != 0) return nullptr;
    std::size_t total;
    if (__builtin_add_overflow(size, align - 1, &total)) return malloc(~std::size_t{0});
    char* p = static_cast<char*>(malloc(total));
    if (p == nullptr) return nullptr;
    unsigned long at = reinterpret_cast<unsigned long>(p);
    return p + ((align - at % align) % align);
}

[[noreturn]] void out_of_memory() {
    static const char message[] = "out of memory\n";
    file_write_bytes(stderr, message, sizeof message - 1);
    abort();
}

void* allocate_or_die(std::size_t size, std::size_t align) {
    void* p = allocate(size, align);
    if (p == nullptr) out_of_memory();
    return p;
}

}  // namespace

void* operator new(std::size_t size) {
    return allocate_or_die(size, 4);
}
void* operator new[](std::size_t size) {
    return allocate_or_die(size, 4);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, 4);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, 4);
}
void* operator new(std::size_t size, std::align_val_t align) {
    return allocate_or_die(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align) {
    return allocate_or_die(size, static_cast<std::size_t>(align));
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<std::size_t>(align));
}

void operator delete(void* p) noexcept {
    free(p);
}
void operator delete[](void* p) noexcept {
    free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    free(p);
}
// An aligned block may not start where malloc's did; free ignores it anyway.
void operator delete(void*, std::align_val_t) noexcept {}
void operator delete[](void*, std::align_val_t) noexcept {}
void operator delete(void*, std::size_t, std::align_val_t) noexcept {}
void operator delete[](void*, std::size_t, std::align_val_t) noexcept {}
void operator delete(void*, std::align_val_t, const std::nothrow_t&) noexcept {}
void operator delete[](void*, std::align_val_t, const std::nothrow_t&) noexcept {}

extern "C" {

// Called through the table of a class whose pure virtual function was called
// during construction or destruction: a bug in the command.
[[noreturn]] void __cxa_pure_virtual() {
    static const char message[] = "pure virtual function called\n";
    file_write_bytes(stderr, message, sizeof message - 1);
    abort();
}

// Destructors of function-local statics are registered here; like atexit,
// nothing is kept, because nothing runs after exit.
int __cxa_atexit(void (*)(void*), void*, void*) {
    return 0;
}
void* __dso_handle = nullptr;

}  // extern "C"
