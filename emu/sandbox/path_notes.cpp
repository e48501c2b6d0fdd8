#include "path_notes.hpp"

#include <vector>

#include "printable.hpp"

namespace nuv {

bool PathNotes::add(const std::string& path, std::string text) {
    if (paths_.size() > kMaxNotes || has(path)) return false;
    paths_.insert(path);
    if (paths_.size() > kMaxNotes) {
        text = "more paths outside the sandbox root were used; only the first " +
               std::to_string(kMaxNotes) + " are named";
    }
    texts_.push_back(text);
    if (sink_) sink_(texts_.back());
    return true;
}

namespace path_text {

std::string normal(std::string_view path) {
    std::vector<std::string_view> names;
    for (size_t i = 0; i < path.size();) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        std::string_view name = path.substr(i, j - i);
        if (name == "..") {
            if (!names.empty()) names.pop_back();
        } else if (!name.empty() && name != ".") {
            names.push_back(name);
        }
        i = j + 1;
    }
    std::string out;
    for (std::string_view n : names) {
        out += '/';
        out += n;
    }
    return out.empty() ? "/" : out;
}

std::string join(std::string_view base, std::string_view path) {
    if (!path.empty() && path[0] == '/') return std::string(path);
    std::string out(base);
    if (out.empty() || out.back() != '/') out += '/';
    out += path;
    return out;
}

bool below(std::string_view path, std::string_view dir) {
    if (dir == "/") return true;
    return path.compare(0, dir.size(), dir) == 0 &&
           (path.size() == dir.size() || path[dir.size()] == '/');
}

}  // namespace path_text

std::string outside_note(std::string_view guest_path, const std::string& guest_tidy,
                         const std::string& host_path, const std::string& host_root,
                         const std::function<bool(const std::string&)>& exists) {
    if (host_root == "/" || guest_path.empty()) return {};  // the guest sees the host's paths
    // The guest chose the name: shown with its control bytes escaped.
    const std::string quoted = "\"" + printable_text(guest_path) + "\"";
    if (!path_text::below(host_path, host_root)) {
        if (!exists(host_path)) return {};
        return quoted + " lies outside the sandbox root " + host_root +
               "; --root DIR sets the root";
    }
    // A place inside the root that the guest names otherwise: by its host
    // path, or by a ".." above the root and back into it.
    std::string inside = host_path.substr(host_root.size());
    if (inside.empty()) inside = "/";
    if (inside == guest_tidy || !exists(host_path)) return {};
    inside = printable_text(inside);
    if (guest_path[0] == '/') {
        return quoted + " is a host path; under the sandbox root " + host_root +
               " the guest names it \"" + inside + "\"";
    }
    return quoted + " climbs above the sandbox root " + host_root +
           "; the guest names that place \"" + inside + "\"";
}

}  // namespace nuv
