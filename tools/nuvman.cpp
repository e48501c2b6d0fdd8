// nuvman: writes the kit's manual pages from the texts they document, so that
// a page never says other than its source:
//   nuvman help PAGE NAME SECTION SUMMARY SEE_ALSO PROGRAM   from PROGRAM --help
//   nuvman guide PAGE NAME SECTION SUMMARY SEE_ALSO FILE     from a Markdown guide
// writes the page to the file PAGE. A help text is read as the tools write
// it: "usage:" lines, paragraphs, options indented by two spaces with their
// description after a run of spaces (continued on more deeply indented
// lines), other indented lines kept as they are, and "Exit status",
// "Environment" and "Examples" paragraphs as sections of their own. A guide
// is the Markdown the documentation uses: headings, paragraphs, "- " lists,
// fenced code, tables (each row becomes a tagged paragraph) and the inline
// marks `code`, **bold** and [text](link). A blank line in a help text
// separates two paragraphs.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "nuv_version.h"

namespace {

bool starts_with(std::string_view s, std::string_view p) {
    return s.substr(0, p.size()) == p;
}

std::string trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return "";
    size_t e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

// Text made safe for roff: backslashes escaped, and a line that would begin
// with a control character guarded.
std::string escape(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    return out;
}

std::string guard_line(std::string line) {
    if (!line.empty() && (line[0] == '.' || line[0] == '\'')) line.insert(0, "\\&");
    return line;
}

// Inline Markdown: `code` and **bold** in bold, [text](link) as its text.
std::string inline_marks(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        if (s[i] == '`') {
            size_t end = s.find('`', i + 1);
            if (end != std::string_view::npos) {
                out += "\\fB" + escape(s.substr(i + 1, end - i - 1)) + "\\fR";
                i = end + 1;
                continue;
            }
        } else if (s.substr(i, 2) == "**") {
            size_t end = s.find("**", i + 2);
            if (end != std::string_view::npos) {
                out += "\\fB" + inline_marks(s.substr(i + 2, end - i - 2)) + "\\fR";
                i = end + 2;
                continue;
            }
        } else if (s[i] == '[') {
            size_t close = s.find("](", i);
            size_t end = close == std::string_view::npos ? close : s.find(')', close);
            if (end != std::string_view::npos) {
                out += inline_marks(s.substr(i + 1, close - i - 1));
                i = end + 1;
                continue;
            }
        } else if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '|') {
            out += '|';
            i += 2;
            continue;
        }
        out += escape(s.substr(i, 1));
        ++i;
    }
    return out;
}

void header(const std::string& name, const std::string& section, const std::string& summary) {
    std::string upper;
    for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::cout << ".TH " << upper << " " << section << " \"\" \"NUV-OS kit " << NUV_VERSION
              << "\" \"NUV-OS\"\n.SH NAME\n"
              << escape(name) << " \\- " << escape(summary) << "\n";
}

void see_also(const std::string& list) {
    if (list.empty()) return;
    std::cout << ".SH SEE ALSO\n" << escape(list) << "\n";
}

// ---- help texts -------------------------------------------------------------

void from_help(std::istream& in) {
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    size_t i = 0;
    std::cout << ".SH SYNOPSIS\n.nf\n";
    while (i < lines.size() &&
           (starts_with(lines[i], "usage: ") || (i > 0 && starts_with(lines[i], "       ")))) {
        std::cout << guard_line(escape(
                         trim(starts_with(lines[i], "usage: ") ? lines[i].substr(7) : lines[i])))
                  << "\n";
        ++i;
    }
    std::cout << ".fi\n.SH DESCRIPTION\n";
    bool in_options = false, in_verbatim = false;
    for (; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const bool indented = starts_with(line, "  ");
        if (in_verbatim && !indented) {
            std::cout << ".fi\n";
            in_verbatim = false;
        }
        if (line.empty()) {
            std::cout << ".PP\n";
            in_options = false;
            continue;
        }
        if (!indented) {
            if (in_options) std::cout << ".PP\n";
            in_options = false;
            static const char* const kSections[] = {"Exit status", "Environment", "Examples"};
            bool section = false;
            for (const char* s : kSections) {
                if (!starts_with(line, s)) continue;
                std::string title;
                for (const char* c = s; *c; ++c) title += static_cast<char>(std::toupper(*c));
                std::cout << ".SH " << title << "\n";
                std::string rest = line.substr(std::string_view(s).size());
                if (starts_with(rest, ":")) {
                    rest = trim(rest.substr(1));
                    if (!rest.empty()) rest[0] = static_cast<char>(std::toupper(rest[0]));
                } else {
                    rest = line;
                }
                if (!rest.empty()) std::cout << guard_line(escape(rest)) << "\n";
                section = true;
                break;
            }
            if (!section) std::cout << guard_line(escape(trim(line))) << "\n";
            continue;
        }
        const std::string body = trim(line);
        const size_t depth = line.find_first_not_of(' ');
        if (depth == 2 && starts_with(body, "-")) {
            // An option: its name up to a run of two spaces, then its text.
            size_t gap = body.find("  ");
            std::cout << (in_options ? "" : ".PP\n") << ".TP\n"
                      << "\\fB" << escape(body.substr(0, gap)) << "\\fR\n";
            if (gap != std::string::npos)
                std::cout << guard_line(escape(trim(body.substr(gap)))) << "\n";
            in_options = true;
        } else if (in_options && depth > 2) {
            std::cout << guard_line(escape(body)) << "\n";
        } else {
            if (!in_verbatim) std::cout << ".PP\n.nf\n";
            in_verbatim = true;
            std::cout << guard_line(escape(line.substr(2))) << "\n";
        }
    }
    if (in_verbatim) std::cout << ".fi\n";
}

// ---- guides -----------------------------------------------------------------

std::vector<std::string> table_cells(const std::string& row) {
    std::vector<std::string> cells;
    std::string cell;
    for (size_t i = 1; i < row.size(); ++i) {
        if (row[i] == '\\' && i + 1 < row.size() && row[i + 1] == '|') {
            cell += "\\|";
            ++i;
        } else if (row[i] == '|') {
            cells.push_back(trim(cell));
            cell.clear();
        } else {
            cell += row[i];
        }
    }
    return cells;
}

void from_guide(std::istream& in) {
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::string paragraph;
    auto flush = [&] {
        if (paragraph.empty()) return;
        std::cout << ".PP\n" << guard_line(inline_marks(paragraph)) << "\n";
        paragraph.clear();
    };
    bool described = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (starts_with(line, "# ")) {
            flush();
            continue;  // the page's title is in its header
        }
        if (!described && !trim(line).empty()) {
            std::cout << ".SH DESCRIPTION\n";
            described = true;
        }
        if (starts_with(line, "## ") || starts_with(line, "### ")) {
            flush();
            const bool sub = starts_with(line, "### ");
            std::string title = trim(line.substr(sub ? 4 : 3));
            if (!sub) {
                for (char& c : title)
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            std::cout << (sub ? ".SS " : ".SH ") << inline_marks(title) << "\n";
        } else if (starts_with(line, "```")) {
            flush();
            std::cout << ".PP\n.nf\n.RS 4\n";
            for (++i; i < lines.size() && !starts_with(lines[i], "```"); ++i) {
                std::cout << guard_line(escape(lines[i])) << "\n";
            }
            std::cout << ".RE\n.fi\n";
        } else if (starts_with(line, "|")) {
            flush();
            // The first row names the columns; the second only draws a line.
            std::vector<std::string> heads = table_cells(line);
            if (i + 1 < lines.size() && starts_with(lines[i + 1], "|")) ++i;
            for (; i + 1 < lines.size() && starts_with(lines[i + 1], "|"); ++i) {
                std::vector<std::string> cells = table_cells(lines[i + 1]);
                if (cells.empty()) continue;
                std::cout << ".TP\n" << guard_line(inline_marks(cells[0])) << "\n";
                for (size_t c = 1; c < cells.size(); ++c) {
                    if (cells[c].empty()) continue;
                    if (c > 1) std::cout << ".br\n";
                    std::string head = c < heads.size() ? heads[c] : "";
                    std::cout << guard_line(
                                     (head.empty() ? "" : "\\fI" + inline_marks(head) + ":\\fR ") +
                                     inline_marks(cells[c]))
                              << "\n";
                }
            }
        } else if (starts_with(line, "- ")) {
            flush();
            std::string item = line.substr(2);
            while (i + 1 < lines.size() && starts_with(lines[i + 1], "  ") &&
                   !trim(lines[i + 1]).empty()) {
                item += " " + trim(lines[++i]);
            }
            std::cout << ".IP \\(bu 2\n" << guard_line(inline_marks(item)) << "\n";
        } else if (trim(line).empty()) {
            flush();
        } else {
            paragraph += (paragraph.empty() ? "" : " ") + trim(line);
        }
    }
    flush();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view kind = argc == 8 ? argv[1] : "";
    if (kind != "help" && kind != "guide") {
        std::fprintf(stderr,
                     "usage: nuvman help|guide PAGE NAME SECTION SUMMARY SEE_ALSO PROGRAM|FILE\n");
        return 2;
    }
    std::stringstream text;
    if (kind == "help") {
        const std::string command = std::string("'") + argv[7] + "' --help";
        std::FILE* p = ::popen(command.c_str(), "r");
        if (p == nullptr) {
            std::perror("nuvman: popen");
            return 1;
        }
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, p)) > 0;) text.write(chunk, n);
        if (::pclose(p) != 0) {
            std::fprintf(stderr, "nuvman: %s failed\n", command.c_str());
            return 1;
        }
    } else {
        std::ifstream file(argv[7]);
        if (!file) {
            std::fprintf(stderr, "nuvman: cannot read %s\n", argv[7]);
            return 1;
        }
        text << file.rdbuf();
    }
    std::ofstream page(argv[2]);
    std::streambuf* console = std::cout.rdbuf(page.rdbuf());
    header(argv[3], argv[4], argv[5]);
    if (kind == "help") {
        from_help(text);
    } else {
        from_guide(text);
    }
    see_also(argv[6]);
    std::cout.flush();
    std::cout.rdbuf(console);
    if (!page.good()) {
        std::fprintf(stderr, "nuvman: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
