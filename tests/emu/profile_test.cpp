// Profiles (nuvemu --profile): a command with one hot function, profiled on
// each engine, its child's samples under the child's image, and every file
// read back by a small reader of its format.
#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "guest.hpp"
#include "profile_report.hpp"

namespace {

namespace fs = std::filesystem;
using nuv::EngineKind;

// Collapsed stacks: frames outermost first, and their weights.
struct Stack {
    std::vector<std::string> frames;
    uint64_t weight = 0;
};

// Reads collapsed stacks; a line that is not "frame;...;frame WEIGHT" fails.
std::vector<Stack> read_collapsed(const std::string& text) {
    std::vector<Stack> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t space = line.rfind(' ');
        Stack s;
        if (space == std::string::npos || space + 1 == line.size() ||
            line.find_first_not_of("0123456789", space + 1) != std::string::npos) {
            ADD_FAILURE() << "not a stack: " << line;
            continue;
        }
        s.weight = std::stoull(line.substr(space + 1));
        std::istringstream frames(line.substr(0, space));
        for (std::string f; std::getline(frames, f, ';');) s.frames.push_back(f);
        EXPECT_GT(s.weight, 0u) << line;
        EXPECT_GE(s.frames.size(), 2u) << line;  // the image and a frame at least
        EXPECT_EQ(std::count(s.frames.begin(), s.frames.end(), ""), 0) << line;
        out.push_back(std::move(s));
    }
    return out;
}

// The innermost frame with the most weight of the stacks under one image.
std::string top_self(const std::vector<Stack>& stacks, const std::string& image,
                     uint64_t* share_permille = nullptr) {
    std::map<std::string, uint64_t> self;
    uint64_t total = 0;
    for (const Stack& s : stacks) {
        if (s.frames[0] != image) continue;
        self[s.frames.back()] += s.weight;
        total += s.weight;
    }
    auto top = std::max_element(self.begin(), self.end(),
                                [](const auto& a, const auto& b) { return a.second < b.second; });
    if (top == self.end()) return "";
    if (share_permille != nullptr) *share_permille = top->second * 1000 / total;
    return top->first;
}

// A callgrind file read back: each function's own cost per line, and its
// calls (callee -> inclusive cost). Positions and costs must be numbers,
// every calls= line followed by the call's cost line.
struct Callgrind {
    std::string events;
    uint64_t summary = 0;
    std::map<std::string, std::map<int, uint64_t>> self;
    std::map<std::string, std::map<std::string, uint64_t>> calls;
};

Callgrind read_callgrind(const std::string& text) {
    Callgrind g;
    std::istringstream lines(text);
    std::string line, fn, cfn;
    bool call_cost = false, header = true;
    auto numbers = [](const std::string& l, uint64_t& a, uint64_t& b) {
        std::istringstream in(l);
        std::string rest;
        return static_cast<bool>(in >> a >> b) && !(in >> rest);
    };
    std::getline(lines, line);
    EXPECT_EQ(line, "# callgrind format");
    for (; std::getline(lines, line);) {
        if (line.empty()) {
            header = false;
            continue;
        }
        const size_t eq = line.find('='), colon = line.find(": ");
        if (header && colon != std::string::npos) {
            if (line.rfind("events: ", 0) == 0) g.events = line.substr(8);
            if (line.rfind("summary: ", 0) == 0) g.summary = std::stoull(line.substr(9));
            continue;
        }
        if (eq != std::string::npos && !std::isdigit(static_cast<unsigned char>(line[0]))) {
            const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
            EXPECT_FALSE(call_cost) << "no cost after calls=: " << line;
            if (key == "fn") fn = value;
            if (key == "cfn") cfn = value;
            if (key == "calls") {
                uint64_t n = 0, target = 0;
                EXPECT_TRUE(numbers(value, n, target)) << line;
                call_cost = true;
            }
            EXPECT_TRUE(key == "ob" || key == "fl" || key == "fn" || key == "cob" || key == "cfi" ||
                        key == "cfn" || key == "calls")
                << line;
            continue;
        }
        uint64_t position = 0, cost = 0;
        if (!numbers(line, position, cost)) {
            ADD_FAILURE() << "not a cost line: " << line;
            continue;
        }
        EXPECT_FALSE(fn.empty()) << "a cost before any fn=: " << line;
        if (call_cost) {
            g.calls[fn][cfn] += cost;
            call_cost = false;
        } else {
            g.self[fn][static_cast<int>(position)] += cost;
        }
    }
    EXPECT_FALSE(call_cost) << "the file ends after calls=";
    return g;
}

// The SVG's tags balance, every element closed in order; its titles.
std::vector<std::string> svg_titles(const std::string& svg) {
    std::vector<std::string> open, titles;
    size_t at = 0;
    while ((at = svg.find('<', at)) != std::string::npos) {
        const size_t end = svg.find('>', at);
        if (end == std::string::npos) {
            ADD_FAILURE() << "a tag that does not end";
            break;
        }
        const std::string tag = svg.substr(at + 1, end - at - 1);
        if (tag[0] == '?') {
        } else if (tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1)) {
                ADD_FAILURE() << "</" << tag.substr(1) << "> closes "
                              << (open.empty() ? "nothing" : open.back());
                return titles;
            }
            open.pop_back();
        } else if (tag.back() != '/') {
            const std::string name = tag.substr(0, tag.find(' '));
            open.push_back(name);
            if (name == "title")
                titles.push_back(svg.substr(end + 1, svg.find('<', end) - end - 1));
        }
        EXPECT_EQ(tag.find('<'), std::string::npos) << tag;
        at = end + 1;
    }
    EXPECT_TRUE(open.empty()) << open.size() << " elements left open";
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    return titles;
}

// The source line marked HOT in the guest.
int hot_line() {
    std::istringstream src(nuvtest::read_file(std::string(NUV_SOURCE_DIR) + "/tests/guest/hot.c"));
    int n = 0;
    for (std::string line; std::getline(src, line);) {
        ++n;
        if (line.find("/* HOT */") != std::string::npos) return n;
    }
    return 0;
}

class Profiles : public ::testing::TestWithParam<EngineKind> {
  protected:
    void SetUp() override {
        if (GetParam() == EngineKind::Native) NUVTEST_NEED_NATIVE_ENGINE();
        root_ = dir_.path();
        // Two names for the one image: the child is told apart by its own.
        fs::copy_file(nuvtest::image_path("hot"), root_ + "/hot");
        fs::copy_file(nuvtest::image_path("hot"), root_ + "/warm");
    }
    std::string engine() const {
        return std::string("--engine ") + nuv::engine_kind_name(GetParam()) + " ";
    }
    bool counted() const { return GetParam() == EngineKind::Unicorn; }
    // Rounds of burn: timed ten times as many, so that the run's start and
    // end (slow where the host's processor is itself emulated) weigh little.
    std::string rounds(unsigned n) const { return std::to_string(counted() ? n : 10 * n); }
    // A sample every 20,000 instructions or 200 microseconds.
    nuvtest::ToolRun profile(const std::string& options, const std::string& args) {
        return nuvtest::run_nuvemu(engine() + "--profile-every " + (counted() ? "20000" : "200") +
                                   " " + options + " --root " + root_ + " " + root_ + "/hot " +
                                   args);
    }
    nuvtest::ScratchDir dir_;
    std::string root_;
};

TEST_P(Profiles, TheHotFunctionLeadsInEveryFormat) {
    const std::string folded = root_ + "/out.folded", grind = root_ + "/out.callgrind",
                      svg = root_ + "/out.svg";
    nuvtest::ToolRun r = profile((counted() ? "--count " : "") + std::string("--profile ") +
                                     folded + " --profile=" + grind + " --profile " + svg,
                                 rounds(200));
    ASSERT_EQ(r.status, 0) << r.err;

    const std::vector<Stack> stacks = read_collapsed(nuvtest::read_file(folded));
    uint64_t share = 0;
    EXPECT_EQ(top_self(stacks, "hot", &share), "burn");
    EXPECT_GE(share, 800u);  // nearly all of the run
    uint64_t total = 0, in_burn = 0;
    for (const Stack& s : stacks) {
        total += s.weight;
        if (s.frames.back() != "burn") continue;
        in_burn += s.weight;
        // Whole stacks, outermost first: the entry, main, work, burn.
        const std::vector<std::string> want = {"hot", "_start", "main", "work", "burn"};
        EXPECT_EQ(s.frames, want);
    }
    EXPECT_GT(in_burn, 0u);
    if (counted()) {
        // Exactly the instructions the run counted.
        EXPECT_NE(r.err.find("nuvemu: " + std::to_string(total) + " instructions executed"),
                  std::string::npos)
            << r.err << " (profile total " << total << ")";
    }

    const Callgrind g = read_callgrind(nuvtest::read_file(grind));
    EXPECT_EQ(g.events, counted() ? "Ir" : "ns");
    EXPECT_EQ(g.summary, total);
    uint64_t self_total = 0;
    std::string top;
    uint64_t top_cost = 0;
    for (const auto& [fn, lines] : g.self) {
        uint64_t c = 0;
        for (const auto& [line, cost] : lines) c += cost;
        self_total += c;
        if (c > top_cost) top = fn, top_cost = c;
    }
    EXPECT_EQ(self_total, total);
    EXPECT_EQ(top, "burn");
    ASSERT_TRUE(g.self.count("burn"));
    const auto& burn_lines = g.self.at("burn");
    const auto hottest = std::max_element(burn_lines.begin(), burn_lines.end(),
                                          [](auto& a, auto& b) { return a.second < b.second; });
    EXPECT_EQ(hottest->first, hot_line());
    // The calls, each with what it cost inclusively.
    ASSERT_TRUE(g.calls.count("main") && g.calls.at("main").count("work")) << r.err;
    ASSERT_TRUE(g.calls.count("work") && g.calls.at("work").count("burn"));
    EXPECT_GE(g.calls.at("main").at("work"), g.calls.at("work").at("burn"));
    EXPECT_EQ(g.calls.at("work").at("burn"), in_burn);

    const std::vector<std::string> titles = svg_titles(nuvtest::read_file(svg));
    auto named = [&](const std::string& name) {
        return std::any_of(titles.begin(), titles.end(),
                           [&](const std::string& t) { return t.rfind(name + " (", 0) == 0; });
    };
    EXPECT_TRUE(named("all") && named("hot") && named("main") && named("burn"));
}

TEST_P(Profiles, AChildsSamplesStandUnderItsImage) {
    const std::string folded = root_ + "/child.folded";
    nuvtest::ToolRun r = profile("--profile " + folded, rounds(60) + " /warm " + rounds(300));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Stack> stacks = read_collapsed(nuvtest::read_file(folded));
    EXPECT_EQ(top_self(stacks, "warm"), "burn");
    EXPECT_EQ(top_self(stacks, "hot"), "burn");
    uint64_t parent = 0, child = 0;
    for (const Stack& s : stacks) {
        if (s.frames.back() != "burn") continue;
        EXPECT_TRUE(std::find(s.frames.begin(), s.frames.end(), "main") != s.frames.end());
        (s.frames[0] == "warm" ? child : parent) += s.weight;
    }
    // Five times the rounds: far more of the weight (timing leaves room).
    EXPECT_GT(child, 2 * parent) << "child " << child << ", parent " << parent;
}

TEST_P(Profiles, AFileThatCannotBeWrittenStopsTheRunBeforeItBegins) {
    nuvtest::ToolRun r = profile("--profile " + root_ + "/no/such/dir.svg", "1");
    EXPECT_EQ(r.status, 125);
    EXPECT_NE(r.err.find("cannot write profile file"), std::string::npos) << r.err;
}

// What a profile holds is bounded: past the stacks it keeps (here one), it
// keeps only the innermost frame of a new stack (and loses no weight), and a
// report cuts a name longer than it shows. A run has two stacks at least, in
// burn and at its end, wherever the samples of a processor that stops only
// between blocks (an emulating host) fall.
TEST_P(Profiles, ItsStacksAndNamesAreBounded) {
    nuv::Options o = nuvtest::test_options();
    o.engine = GetParam();
    o.count_instructions = counted();
    o.profile = std::make_shared<nuv::Profile>(50, std::chrono::microseconds(100), 1);
    std::unique_ptr<nuv::Harness> m = nuvtest::load_image("hot", o);
    m->task().set_name("/images/" + std::string(5000, 'h'));
    nuv::RunResult r = m->run({"hot", counted() ? "20" : "2000"});
    m->kernel().finish_profile();
    ASSERT_EQ(r.stop, nuv::Stop::Exited) << r.message;
    // Another image whose name differs only past the cut.
    std::unique_ptr<nuv::Harness> other = nuvtest::load_image("hot", o);
    other->task().set_name("/images/" + std::string(4999, 'h') + "g");
    ASSERT_EQ(other->run({"hot", "1"}).stop, nuv::Stop::Exited);
    other->kernel().finish_profile();
    EXPECT_GT(o.profile->cut(), 0u);
    for (const nuv::Profile::Root& root : o.profile->roots()) {
        EXPECT_GT(root.stacks.size(), 1u);
        const auto whole = std::count_if(root.stacks.begin(), root.stacks.end(),
                                         [](const auto& s) { return s.first.size() > 1; });
        EXPECT_LE(whole, 1);
    }
    if (counted()) {
        EXPECT_EQ(o.profile->total(), m->instructions() + other->instructions());
    }
    const std::vector<Stack> stacks = read_collapsed(
        nuv::report::profile_text(*o.profile, nuv::report::ProfileFormat::Collapsed));
    std::set<std::string> images;
    for (const Stack& s : stacks) images.insert(s.frames[0]);
    ASSERT_EQ(images.size(), 2u);
    for (const std::string& name : images) {
        EXPECT_EQ(name.size(), 512u);
        EXPECT_EQ(name.substr(0, 504), std::string(500, 'h') + "...~") << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Profiles,
                         ::testing::Values(EngineKind::Unicorn, EngineKind::Native),
                         [](const ::testing::TestParamInfo<EngineKind>& i) {
                             return std::string(nuv::engine_kind_name(i.param));
                         });

// The formats by file name, and names that would break a line or a tag.
TEST(ProfileFormats, ByNameAndEscaped) {
    using nuv::report::ProfileFormat;
    const std::pair<const char*, ProfileFormat> names[] = {
        {"out.svg", ProfileFormat::FlameGraph},
        {"dir.svg/out", ProfileFormat::Collapsed},
        {"a/b.callgrind", ProfileFormat::Callgrind},
        {"callgrind.out.123", ProfileFormat::Callgrind},
        {"x/callgrind.out", ProfileFormat::Callgrind},
        {"out.folded", ProfileFormat::Collapsed},
        {"svg", ProfileFormat::Collapsed},
    };
    for (const auto& [name, format] : names) {
        EXPECT_EQ(nuv::report::profile_format(name), format) << name;
    }
    const std::string svg =
        nuv::report::flame_graph("a<b;c&d 30\na<b;\"e\" 10\n", "t'itle", "instructions");
    const std::vector<std::string> titles = svg_titles(svg);
    const std::set<std::string> want = {
        "all (40 instructions, 100.00%)", "a&lt;b (40 instructions, 100.00%)",
        "c&amp;d (30 instructions, 75.00%)", "&quot;e&quot; (10 instructions, 25.00%)"};
    EXPECT_EQ(std::set<std::string>(titles.begin(), titles.end()), want);
    EXPECT_NE(svg.find("t&apos;itle"), std::string::npos);
    // Bytes outside ASCII (a symbol table may hold any) never reach the
    // document, where a character cut in two would make it unreadable.
    const std::string odd = nuv::report::flame_graph("f\xc3\xa9 5\n", "t", "instructions");
    EXPECT_NE(odd.find("<title>f?? (5 instructions"), std::string::npos) << odd;
    EXPECT_EQ(std::count_if(odd.begin(), odd.end(), [](char c) { return (c & 0x80) != 0; }), 0);
}

}  // namespace
