// nuvmeta: shows the command and package records of NUV-OS images.
#include <cstdio>
#include <string>
#include <vector>

#include "metadata.hpp"
#include "nuv_version.h"

namespace {

void usage(std::FILE* to) {
    std::fputs(
        "usage: nuvmeta [--json] IMAGE...\n"
        "       nuvmeta --version\n"
        "Shows the command record (.nuvos.cmdmeta) and package record (.nuvos.pkgmeta)\n"
        "of each image. --json writes one JSON array with an object for each image read.\n"
        "Exit status 1 when an image or record cannot be read, 2 on bad usage.\n",
        to);
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    std::vector<std::string> images;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (!options_done && a == "--") {
            options_done = true;
        } else if (!options_done && (a == "-h" || a == "--help")) {
            usage(stdout);
            return 0;
        } else if (!options_done && a == "--version") {
            std::printf("nuvmeta (NUV-OS toolkit) %s\n", NUV_VERSION);
            return 0;
        } else if (!options_done && a == "--json") {
            json = true;
        } else if (!options_done && !a.empty() && a[0] == '-') {
            std::fprintf(stderr, "nuvmeta: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else {
            images.push_back(a);
        }
    }
    if (images.empty()) {
        usage(stderr);
        return 2;
    }
    int status = 0;
    // --json: always one array, whatever the number of images (even none read).
    std::string out = json ? "[" : "";
    bool first = true;
    for (const std::string& path : images) {
        std::string err;
        auto file = nuv::elf::read_file(path);
        if (!file) err = file.error().message;
        std::optional<nuv::meta::CommandRecord> cmd;
        std::optional<nuv::meta::PackageRecord> pkg;
        if (file) cmd = nuv::meta::read_command(*file, err);
        if (cmd) pkg = nuv::meta::read_package(*file, err);
        if (!pkg) {
            std::fprintf(stderr, "nuvmeta: %s: %s\n", path.c_str(), err.c_str());
            status = 1;
            continue;
        }
        using nuv::meta::json_escape;
        if (json) {
            if (!first) out += ",";
            out += "{\"image\":\"" + json_escape(path) +
                   "\",\"command\":{\"version\":" + std::to_string(cmd->version) + ",\"name\":\"" +
                   json_escape(cmd->name) + "\",\"description\":\"" +
                   json_escape(cmd->description) +
                   "\"},\"package\":{\"version\":" + std::to_string(pkg->version) + ",\"name\":\"" +
                   json_escape(pkg->name) + "\",\"text\":\"" + json_escape(pkg->text) + "\"}}";
        } else {
            if (images.size() > 1) out += path + ":\n";
            out += "command:     " + cmd->name + "\n";
            out += "description: " + cmd->description + "\n";
            out += "package:     " + pkg->name + "\n";
            out += "text:        " + pkg->text + "\n";
        }
        first = false;
    }
    if (json) out += "]\n";
    std::fputs(out.c_str(), stdout);
    return status;
}
