// What nuvemu tells its user, besides the guest's own error, when a guest
// path fails because it names a place outside the sandbox root: a ".."
// climbing above the root, or a host path that exists on the host but not
// under the root. The guest sees only its error; the note goes to whoever
// supervises the run (the command prints it on standard error), once per path.
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace nuv {

class PathNotes {
  public:
    // Paths named at most; after them one last note says that more are left out.
    static constexpr size_t kMaxNotes = 16;

    using Sink = std::function<void(const std::string& text)>;
    // Each new note goes to sink as it is made (none: kept only).
    void set_sink(Sink sink) { sink_ = std::move(sink); }

    // Adds a note about a path unless that path has one already (or the
    // notes are full); whether it was added.
    bool add(const std::string& path, std::string text);
    // Whether a path has its note already.
    bool has(const std::string& path) const { return paths_.count(path) != 0; }
    const std::vector<std::string>& texts() const { return texts_; }

  private:
    Sink sink_;
    std::set<std::string> paths_;
    std::vector<std::string> texts_;
};

namespace path_text {

// A path made absolute and lexically tidy: "." and empty names dropped, ".."
// taking away the name before it (at "/" it stays there).
std::string normal(std::string_view path);

// An absolute path joined to a base: base/path, or path when it is absolute.
// Neither is tidied.
std::string join(std::string_view base, std::string_view path);

// Whether an absolute tidy path lies at or below an absolute tidy directory.
bool below(std::string_view path, std::string_view dir);

}  // namespace path_text

// The note for a guest path that did not resolve under host_root (absolute,
// tidy), given the path as the guest resolved it (absolute, tidy: a ".."
// stays at the root) and the host path it names as its user meant it
// (absolute, tidy: a ".." goes on above the root); empty when the failure
// has nothing to do with the root. exists tells whether a host path exists.
std::string outside_note(std::string_view guest_path, const std::string& guest_tidy,
                         const std::string& host_path, const std::string& host_root,
                         const std::function<bool(const std::string&)>& exists);

}  // namespace nuv
