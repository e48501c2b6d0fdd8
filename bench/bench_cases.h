// The calls the benchmarks time (natively) and count (in the emulator): one
// table for both, so that every row means the same call everywhere.
//
// Each case lays its data out in a 64 KiB area and gives the call's argument
// words. The area is addressed twice: `host` is where the data is written,
// `addr` is where the called code sees it (the same place natively, a guest
// address in the emulator).
#pragma once

#include <cstdint>
#include <cstring>

namespace nuvbench {

constexpr uint32_t kArea = 64u << 10;

// Places inside the area (all 16-aligned).
constexpr uint32_t kSrc = 0x1000, kDst = 0x3000, kText = 0x6000, kCopy = 0x8000, kOut = 0xA000,
                   kSmall = 0xF000;

// The functions compared, in the order of the implementations' tables.
enum Fn {
    kMemcpy,
    kMemmove,
    kMemset,
    kStrchr,
    kStrrchr,
    kStrcpy,
    kStrcmp,
    kMemcmp,
    kStrstr,
    kSnprintf,
    kStrtod,
    kSscanf,
    kStrtol,
    kFnCount
};

inline const char* const kFnNames[kFnCount] = {"memcpy", "memmove", "memset", "strchr", "strrchr",
                                               "strcpy", "strcmp",  "memcmp", "strstr", "snprintf",
                                               "strtod", "sscanf",  "strtol"};

struct Args {
    uint32_t w[6] = {};
};

struct Place {
    uint8_t* host;
    uint32_t addr;
    uint32_t at(uint32_t offset) const { return addr + offset; }
    char* text(uint32_t offset) const { return reinterpret_cast<char*>(host + offset); }
    uint32_t put(uint32_t offset, const char* s) const {
        std::memcpy(host + offset, s, std::strlen(s) + 1);
        return at(offset);
    }
};

// 4095 bytes of the letters a to z, then the NUL.
inline void letters(const Place& p, uint32_t offset, uint32_t n = 4095) {
    for (uint32_t i = 0; i < n; ++i) p.host[offset + i] = static_cast<uint8_t>('a' + i % 26);
    p.host[offset + n] = 0;
}

// Running English-like text of n bytes with the phrase after it.
inline void prose(const Place& p, uint32_t offset, uint32_t n, const char* phrase) {
    static const char* const kWords[] = {
        "the",   "of",    "and",   "a",      "to",   "in",   "is",    "you",    "that",  "it",
        "he",    "was",   "for",   "on",     "are",  "as",   "with",  "his",    "they",  "at",
        "be",    "this",  "have",  "from",   "or",   "one",  "had",   "by",     "word",  "but",
        "not",   "what",  "all",   "were",   "when", "your", "can",   "said",   "there", "use",
        "an",    "each",  "which", "she",    "do",   "how",  "their", "if",     "will",  "up",
        "other", "about", "out",   "many",   "then", "them", "these", "so",     "some",  "her",
        "would", "make",  "like",  "him",    "into", "time", "has",   "look",   "two",   "more",
        "write", "go",    "see",   "number", "no",   "way",  "could", "people", "my",    "than",
        "first", "water", "been",  "called", "who",  "oil",  "its",   "now",    "find",  "long",
        "down",  "day",   "did",   "get",    "come", "made"};
    uint32_t k = 0, w = 7;
    char* t = p.text(offset);
    while (k < n) {
        w = (w * 1103515245u + 12345u) & 0x7fffffffu;
        const char* word = kWords[(w >> 8) % (sizeof kWords / sizeof kWords[0])];
        for (; *word && k < n; ++word) t[k++] = *word;
        if (k < n) t[k++] = ' ';
    }
    std::strcpy(t + n, phrase);
}

struct Case {
    const char* name;
    Fn fn;
    bool returns_double;
    void (*setup)(const Place&, Args&);
};

inline const Case kCases[] = {
    {"memcpy 16 B aligned", kMemcpy, false,
     [](const Place& p, Args& a) {
         a = {{p.at(kDst), p.at(kSrc), 16}};
     }},
    {"memcpy 256 B aligned", kMemcpy, false,
     [](const Place& p, Args& a) {
         a = {{p.at(kDst), p.at(kSrc), 256}};
     }},
    {"memcpy 4 KiB aligned", kMemcpy, false,
     [](const Place& p, Args& a) {
         a = {{p.at(kDst), p.at(kSrc), 4096}};
     }},
    {"memcpy 4 KiB, dst-src not a multiple of 4", kMemcpy, false,
     [](const Place& p, Args& a) {
         a = {{p.at(kDst + 1), p.at(kSrc), 4096}};
     }},
    {"memmove backwards 4 KiB (dst = src+64)", kMemmove, false,
     [](const Place& p, Args& a) {
         a = {{p.at(kSrc + 64), p.at(kSrc), 4096}};
     }},
    {"memset 16 B", kMemset, false,
     [](const Place& p, Args& a) {
         a = {{p.at(kDst), 0x5A, 16}};
     }},
    {"memset 4 KiB aligned", kMemset, false,
     [](const Place& p, Args& a) {
         a = {{p.at(kDst), 0x5A, 4096}};
     }},
    {"strchr 4 KiB, no match", kStrchr, false,
     [](const Place& p, Args& a) {
         letters(p, kText);
         a = {{p.at(kText), '#'}};
     }},
    {"strrchr 4 KiB, no match", kStrrchr, false,
     [](const Place& p, Args& a) {
         letters(p, kText);
         a = {{p.at(kText), '#'}};
     }},
    {"strcpy 4 KiB", kStrcpy, false,
     [](const Place& p, Args& a) {
         letters(p, kText);
         a = {{p.at(kDst), p.at(kText)}};
     }},
    {"strcmp 4 KiB equal", kStrcmp, false,
     [](const Place& p, Args& a) {
         letters(p, kText);
         letters(p, kCopy);
         a = {{p.at(kText), p.at(kCopy)}};
     }},
    {"memcmp 4 KiB equal", kMemcmp, false,
     [](const Place& p, Args& a) {
         letters(p, kText);
         letters(p, kCopy);
         a = {{p.at(kText), p.at(kCopy), 4096}};
     }},
    {"strstr ordinary text, needle after 4,000 B", kStrstr, false,
     [](const Place& p, Args& a) {
         prose(p, kText, 4000, "quick brown fox");
         a = {{p.at(kText), p.put(kSmall, "quick brown fox")}};
     }},
    {"strstr letters a-w, \"needle\" at 4,000 B", kStrstr, false,
     [](const Place& p, Args& a) {
         char* t = p.text(kText);
         for (uint32_t i = 0; i < 4096; ++i) t[i] = static_cast<char>('a' + i % 23);
         std::memcpy(t + 4000, "needle", 6);
         t[4096] = 0;
         a = {{p.at(kText), p.put(kSmall, "needle")}};
     }},
    {"strstr worst case (a^4096, a^63 b)", kStrstr, false,
     [](const Place& p, Args& a) {
         std::memset(p.host + kText, 'a', 4096);
         p.host[kText + 4096] = 0;
         std::memset(p.host + kSmall, 'a', 63);
         p.host[kSmall + 63] = 'b';
         p.host[kSmall + 64] = 0;
         a = {{p.at(kText), p.at(kSmall)}};
     }},
    {"snprintf \"<%s>\", 1,000 characters", kSnprintf, false,
     [](const Place& p, Args& a) {
         letters(p, kText, 1000);
         a = {{p.at(kOut), 2048, p.put(kSmall, "<%s>"), p.at(kText)}};
     }},
    {"snprintf \"%s=%d (%5.2x)\\n\"", kSnprintf, false,
     [](const Place& p, Args& a) {
         a = {{p.at(kOut), 256, p.put(kSmall, "%s=%d (%5.2x)\n"), p.put(kSmall + 64, "key"), 12345,
               0xAB}};
     }},
    {"strtod \"3.14159265358979\"", kStrtod, true,
     [](const Place& p, Args& a) {
         a = {{p.put(kSmall, "3.14159265358979"), p.at(kOut)}};
     }},
    {"sscanf \"12345 678\" \"%d %d\"", kSscanf, false,
     [](const Place& p, Args& a) {
         a = {
             {p.put(kSmall, "12345 678"), p.put(kSmall + 32, "%d %d"), p.at(kOut), p.at(kOut + 4)}};
     }},
    {"strtol \"-123456789\"", kStrtol, false,
     [](const Place& p, Args& a) {
         a = {{p.put(kSmall, "-123456789"), p.at(kOut), 10}};
     }},
};

constexpr int kCaseCount = sizeof kCases / sizeof kCases[0];

}  // namespace nuvbench
