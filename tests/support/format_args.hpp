// Test support for the formatters: argument lists for variadic guest calls,
// argument lists as va_list records in guest memory, and FILE records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harness.hpp"
#include "scratch.hpp"

namespace nuvtest {

// One variadic argument: a 32-bit word, a 64-bit value (two words), a string
// placed in guest memory, or a null pointer.
struct FArg {
    enum Kind { Word, Wide, Text };
    FArg(int32_t v) : kind(Word), value(static_cast<uint32_t>(v)) {}  // NOLINT
    FArg(uint32_t v) : kind(Word), value(v) {}                        // NOLINT
    FArg(const char* s) : kind(s ? Text : Word), text(s ? s : "") {}  // NOLINT
    FArg(std::nullptr_t) : kind(Word) {}                              // NOLINT
    static FArg u64(uint64_t v) {
        FArg a(0u);
        a.kind = Wide;
        a.value = v;
        return a;
    }
    Kind kind;
    uint64_t value = 0;
    std::string text;
};

// The cdecl words of the arguments, low word first for 64-bit values.
inline std::vector<uint32_t> arg_words(nuv::Harness& m, const std::vector<FArg>& args) {
    std::vector<uint32_t> w;
    for (const FArg& a : args) {
        switch (a.kind) {
            case FArg::Word:
                w.push_back(static_cast<uint32_t>(a.value));
                break;
            case FArg::Wide:
                w.push_back(static_cast<uint32_t>(a.value));
                w.push_back(static_cast<uint32_t>(a.value >> 32));
                break;
            case FArg::Text:
                w.push_back(nuvtest::put_string(m, a.text));
                break;
        }
    }
    return w;
}

// A va_list over the words: a pointer to them in guest memory. The words end
// exactly where scratch memory ends, so reading one word more than the format
// names faults. This takes the rest of the scratch memory: make it last.
inline uint32_t va_list_at_end(nuv::Harness& m, const std::vector<uint32_t>& words) {
    uint32_t probe = nuvtest::alloc(m, 0, 4);
    uint32_t end = nuv::Harness::kScratchBase + nuv::Harness::kScratchSize;
    uint32_t bytes = static_cast<uint32_t>(words.size() * 4);
    uint32_t at = end - bytes;
    nuvtest::alloc(m, at - probe, 1);
    uint32_t got = nuvtest::alloc(m, bytes, 1);
    if (!words.empty()) m.write(got, words.data(), bytes);
    return got;
}

// A FILE record (eleven words) in guest memory.
inline uint32_t make_file(nuv::Harness& m, int32_t kind, int32_t fd, uint32_t out_buf = 0,
                          uint32_t out_len = 0) {
    uint32_t f = nuvtest::alloc(m, 44, 4);
    std::vector<uint32_t> words(11, 0);
    words[0] = static_cast<uint32_t>(kind);
    words[1] = static_cast<uint32_t>(fd);
    words[6] = out_buf;
    words[7] = out_len;
    m.write(f, words.data(), 44);
    return f;
}

}  // namespace nuvtest
