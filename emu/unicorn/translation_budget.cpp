#include "translation_budget.hpp"

namespace nuv {

TranslationBudget::PageBits* TranslationBudget::make_page(uint32_t address) {
    auto& dir = top_[address >> (kPageBits + kDirBits)];
    if (!dir) dir = std::make_unique<Directory>();
    auto& page = (*dir)[(address >> kPageBits) & ((1u << kDirBits) - 1)];
    if (!page) page = std::make_unique<PageBits>();
    return page.get();
}

void TranslationBudget::forget(uint64_t begin, uint64_t end) {
    if (end > (uint64_t{1} << 32)) end = uint64_t{1} << 32;
    const uint64_t page_size = uint64_t{1} << kPageBits;
    uint64_t at = begin;
    while (at < end) {
        const uint64_t dir_size = page_size << kDirBits;
        Directory* dir = top_[at >> (kPageBits + kDirBits)].get();
        if (dir == nullptr) {
            at = (at | (dir_size - 1)) + 1;
            continue;
        }
        const uint64_t page_begin = at & ~(page_size - 1);
        const uint64_t page_end = page_begin + page_size;
        auto& page = (*dir)[(at >> kPageBits) & ((1u << kDirBits) - 1)];
        if (page && at == page_begin && end >= page_end) {
            page.reset();
        } else if (page) {
            const uint64_t stop = end < page_end ? end : page_end;
            for (uint64_t a = at; a < stop; ++a)
                (*page)[(a - page_begin) >> 6] &= ~(uint64_t{1} << (a & 63));
        }
        at = page_end;
    }
}

void TranslationBudget::emptied() {
    for (auto& dir : top_) dir.reset();
    estimate_ = 0;
    blocks_ = 0;
    ++emptied_;
}

}  // namespace nuv
