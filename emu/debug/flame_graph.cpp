// The flame graph: collapsed stacks drawn as an SVG that a browser shows
// with nothing else (profile_report.hpp). Each frame is a rectangle above
// its caller, as wide as its weight; its title tells the name, the weight
// and the share of the whole.
#include <cinttypes>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "profile_report.hpp"

namespace nuv::report {
namespace {

constexpr double kWidth = 1200, kMargin = 10, kFrameHeight = 16, kTop = 40;
constexpr double kNarrowest = 0.1;  // narrower frames are left out
constexpr double kCharWidth = 6.5;  // of the labels' 11-pixel font

struct Node {
    uint64_t weight = 0;
    std::map<std::string, std::unique_ptr<Node>> children;
};

// A name for XML: markup characters as entities, and bytes outside ASCII as
// '?' (a symbol table may hold any bytes, and a label cut short may split a
// character, either of which would make the document unreadable).
std::string escaped(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            out += '?';
            continue;
        }
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Warm colours, the same for the same name on every run.
std::string colour(std::string_view name) {
    const uint32_t h = name_digest(name);
    char buf[32];
    std::snprintf(buf, sizeof buf, "rgb(%u,%u,%u)", 205 + h % 50, 60 + (h >> 8) % 170,
                  (h >> 16) % 55);
    return buf;
}

struct Drawing {
    std::string svg;
    double scale = 0;  // pixels per unit of weight
    uint64_t total = 0;
    double bottom = 0;  // y of the lowest row
    std::string_view unit;
};

void draw(Drawing& d, const std::string& name, const Node& n, double x, int depth) {
    const double w = static_cast<double>(n.weight) * d.scale;
    if (w < kNarrowest) return;
    const double y = d.bottom - depth * kFrameHeight;
    char geometry[128];
    std::snprintf(geometry, sizeof geometry,
                  "<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\" fill=\"", x, y, w,
                  kFrameHeight - 1);
    char share[64];
    std::snprintf(share, sizeof share, " (%" PRIu64 " %.*s, %.2f%%)", n.weight,
                  static_cast<int>(d.unit.size()), d.unit.data(),
                  100.0 * static_cast<double>(n.weight) / static_cast<double>(d.total));
    d.svg += "<g><title>" + escaped(name) + share + "</title>" + geometry + colour(name) +
             "\" rx=\"2\"/>";
    const size_t fits = w > 6 ? static_cast<size_t>((w - 6) / kCharWidth) : 0;
    if (fits >= 3) {
        std::string label = name.size() <= fits ? name : name.substr(0, fits - 2) + "..";
        char at[64];
        std::snprintf(at, sizeof at, "<text x=\"%.2f\" y=\"%.1f\">", x + 3, y + kFrameHeight - 4);
        d.svg += at + escaped(label) + "</text>";
    }
    d.svg += "</g>\n";
    for (const auto& [child, node] : n.children) {
        draw(d, child, *node, x, depth + 1);
        x += static_cast<double>(node->weight) * d.scale;
    }
}

}  // namespace

std::string flame_graph(std::string_view collapsed, std::string_view title, std::string_view unit) {
    Node root;
    int depth = 0;
    size_t at = 0;
    while (at < collapsed.size()) {
        size_t end = collapsed.find('\n', at);
        if (end == std::string_view::npos) end = collapsed.size();
        const std::string_view line = collapsed.substr(at, end - at);
        at = end + 1;
        const size_t space = line.rfind(' ');
        if (space == std::string_view::npos) continue;
        uint64_t weight = 0;
        for (char c : line.substr(space + 1)) {
            if (c < '0' || c > '9') break;
            weight = weight * 10 + static_cast<uint64_t>(c - '0');
        }
        root.weight += weight;
        Node* n = &root;
        int d = 0;
        for (size_t from = 0; from <= space;) {
            size_t semi = line.find(';', from);
            if (semi == std::string_view::npos || semi > space) semi = space;
            auto& child = n->children[std::string(line.substr(from, semi - from))];
            if (!child) child = std::make_unique<Node>();
            child->weight += weight;
            n = child.get();
            ++d;
            from = semi + 1;
        }
        depth = std::max(depth, d);
    }
    Drawing d;
    d.total = root.weight == 0 ? 1 : root.weight;
    d.scale = (kWidth - 2 * kMargin) / static_cast<double>(d.total);
    d.unit = unit;
    const double height = kTop + (depth + 1) * kFrameHeight + kMargin;
    d.bottom = height - kMargin - kFrameHeight;
    char head[512];
    std::snprintf(head, sizeof head,
                  "<?xml version=\"1.0\" standalone=\"no\"?>\n"
                  "<svg version=\"1.1\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
                  "xmlns=\"http://www.w3.org/2000/svg\">\n"
                  "<style>text { font-family: monospace; font-size: 11px; fill: #000; "
                  "pointer-events: none; } rect:hover { stroke: #000; }</style>\n"
                  "<rect x=\"0\" y=\"0\" width=\"100%%\" height=\"100%%\" fill=\"#fbf8f0\"/>\n",
                  kWidth, height, kWidth, height);
    d.svg = head;
    char caption[128];
    std::snprintf(caption, sizeof caption, "<text x=\"%.0f\" y=\"24\" font-size=\"17\">", kMargin);
    d.svg += caption + escaped(title) + " (" + std::to_string(root.weight) + " " + escaped(unit) +
             ")</text>\n";
    draw(d, "all", root, kMargin, 0);
    d.svg += "</svg>\n";
    return d.svg;
}

}  // namespace nuv::report
