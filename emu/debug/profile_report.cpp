// Writing a profile: names for its addresses, collapsed stacks and callgrind
// (profile_report.hpp); the flame graph is in flame_graph.cpp.
#include "profile_report.hpp"

#include <map>
#include <set>
#include <tuple>

#include "hex.hpp"

namespace nuv::report {
namespace {

// A frame as the formats name it.
struct Named {
    std::string function;  // the function, or the address when unknown
    std::string file;      // "" when the image has no line for it
    int line = 0;
    int entry_line = 0;  // the function's first line, where known
};

// The longest name a report keeps whole: names come from the image, and a
// report repeats them in every stack.
constexpr size_t kMaxName = 512;

// A name that cannot break a format's line: no separators or controls, and
// no longer than kMaxName. A longer one is cut and marked so, with a digest
// of the whole name: names that differ only past the cut (C++ names often
// do) stay apart.
std::string clean(std::string_view s) {
    constexpr size_t kDigest = 12;  // "...~" and eight hexadecimal digits
    const bool cut = s.size() > kMaxName;
    const uint32_t digest = cut ? name_digest(s) : 0;
    if (cut) s = s.substr(0, kMaxName - kDigest);
    std::string out;
    if (cut) out.reserve(kMaxName);
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        out += u < 0x20 || u == 0x7F || c == ';' ? '_' : c;
    }
    if (cut) out += "...~" + hex(digest).substr(2);
    return out.empty() ? "?" : out;
}

std::string base_name(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return clean(slash == std::string::npos ? path : path.substr(slash + 1));
}

// Names an image's addresses once each. An outer frame's address is a
// return address: its call (the address before) names the line.
class Namer {
  public:
    explicit Namer(const Symbols& s) : s_(s) {}
    const Named& name(uint32_t pc, bool outer) {
        const uint32_t at = outer ? pc - 1 : pc;
        auto [it, added] = cache_.emplace(at, Named{});
        if (!added) return it->second;
        const Symbols::Place p = s_.where(at);
        Named& n = it->second;
        n.function = p.function.empty() ? hex(pc) : clean(p.function);
        n.file = clean(p.file);
        if (p.file.empty()) n.file.clear();
        n.line = p.line;
        n.entry_line = p.function.empty() ? p.line : s_.where(at - p.offset).line;
        return n;
    }

  private:
    const Symbols& s_;
    std::map<uint32_t, Named> cache_;
};

std::string collapsed(const Profile& p) {
    std::map<std::string, uint64_t> lines;
    for (const Profile::Root& r : p.roots()) {
        Namer namer(*r.symbols);
        const std::string root = base_name(r.name);
        for (const auto& [stack, weight] : r.stacks) {
            std::string line = root;
            for (size_t i = stack.size(); i-- > 0;) {
                line += ";" + namer.name(stack[i], i != 0).function;
            }
            lines[line] += weight;
        }
    }
    std::string out;
    for (const auto& [line, weight] : lines) out += line + " " + std::to_string(weight) + "\n";
    return out;
}

// Callgrind: per function (file, name) its own cost by line, and its calls
// (callee, call line) with their inclusive cost and the samples that saw them.
struct Call {
    uint64_t cost = 0, samples = 0;
    std::string callee_file;
    int callee_line = 0;
};
struct Function {
    std::map<int, uint64_t> self;                        // line -> cost
    std::map<std::tuple<std::string, int>, Call> calls;  // (callee, call line)
};

std::string position_file(const Named& n) {
    return n.file.empty() ? "???" : n.file;
}

std::string callgrind(const Profile& p) {
    std::string out = "# callgrind format\nversion: 1\ncreator: nuvemu\npositions: line\n";
    out += std::string("events: ") + (p.unit() == Profile::Unit::Instructions ? "Ir" : "ns") + "\n";
    out += "summary: " + std::to_string(p.total()) + "\n";
    for (const Profile::Root& r : p.roots()) {
        Namer namer(*r.symbols);
        std::map<std::pair<std::string, std::string>, Function> functions;  // (file, name)
        for (const auto& [stack, weight] : r.stacks) {
            const Named& top = namer.name(stack[0], false);
            functions[{position_file(top), top.function}].self[top.line] += weight;
            // Each call counted once per stack, however deep a recursion.
            std::set<std::tuple<std::string, std::string, int, std::string>> seen;
            for (size_t i = 1; i < stack.size(); ++i) {
                const Named caller = namer.name(stack[i], true);
                const Named& callee = namer.name(stack[i - 1], i - 1 != 0);
                auto key = std::make_tuple(caller.function, position_file(caller), caller.line,
                                           callee.function);
                if (!seen.insert(key).second) continue;
                Call& c = functions[{position_file(caller), caller.function}]
                              .calls[{callee.function, caller.line}];
                c.cost += weight;
                ++c.samples;
                c.callee_file = position_file(callee);
                c.callee_line = callee.entry_line;
            }
        }
        out += "\nob=" + base_name(r.name) + "\n";
        for (const auto& [id, f] : functions) {
            out += "\nfl=" + id.first + "\nfn=" + id.second + "\n";
            for (const auto& [line, cost] : f.self) {
                out += std::to_string(line) + " " + std::to_string(cost) + "\n";
            }
            for (const auto& [key, c] : f.calls) {
                out += "cob=" + base_name(r.name) + "\ncfi=" + c.callee_file +
                       "\ncfn=" + std::get<0>(key) + "\ncalls=" + std::to_string(c.samples) + " " +
                       std::to_string(c.callee_line) + "\n" + std::to_string(std::get<1>(key)) +
                       " " + std::to_string(c.cost) + "\n";
            }
        }
    }
    return out;
}

}  // namespace

uint32_t name_digest(std::string_view name) {
    uint32_t h = 2166136261u;
    for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    return h;
}

ProfileFormat profile_format(std::string_view path) {
    const size_t slash = path.find_last_of('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    auto ends = [&](std::string_view e) {
        return name.size() >= e.size() && name.substr(name.size() - e.size()) == e;
    };
    if (ends(".svg")) return ProfileFormat::FlameGraph;
    if (ends(".callgrind") || name.starts_with("callgrind.out")) return ProfileFormat::Callgrind;
    return ProfileFormat::Collapsed;
}

const char* profile_unit(const Profile& p) {
    return p.unit() == Profile::Unit::Instructions ? "instructions" : "nanoseconds";
}

std::string profile_text(const Profile& p, ProfileFormat format) {
    switch (format) {
        case ProfileFormat::Collapsed:
            return collapsed(p);
        case ProfileFormat::Callgrind:
            return callgrind(p);
        case ProfileFormat::FlameGraph:
            break;
    }
    std::string title = "nuvemu profile";
    for (const Profile::Root& r : p.roots()) title += " " + base_name(r.name);
    return flame_graph(collapsed(p), title, profile_unit(p));
}

}  // namespace nuv::report
