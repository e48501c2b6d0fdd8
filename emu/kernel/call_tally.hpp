// What the calls of a run cost: for each call, how often it was made, how
// often it failed and how long it took in all, measured from the trap to
// the answer (so a call that waits counts its wait), over every process of
// the run. The table it writes has the columns of the usual tracers'
// summaries.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

namespace nuv {

class CallTally {
  public:
    struct Row {
        std::string name;
        uint64_t calls = 0;
        uint64_t errors = 0;  // negative results
        std::chrono::nanoseconds time{0};
    };

    void add(uint32_t nr, const char* name, int32_t result, std::chrono::nanoseconds took);
    const std::map<uint32_t, Row>& rows() const { return rows_; }
    // The table, the most costly call first, then a total line.
    void write(std::FILE* out) const;

  private:
    std::map<uint32_t, Row> rows_;
};

}  // namespace nuv
