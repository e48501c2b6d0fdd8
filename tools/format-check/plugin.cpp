// nuvos_format: the GCC plugin behind -Wnuvos-format. After the front end
// has parsed and folded each function (C or C++), it finds the calls of the
// library's formatters and scanner whose format is a constant, reads the
// format in that function's dialect (dialect.cpp) and reports what the
// library would do otherwise than its author meant, as warnings of GCC's own
// form. Loaded by nuvos-cc with -fplugin; plugin arguments: "off" (checks
// nothing), "error" and "no-error" (-Werror=nuvos-format, -Wno-error=...).
#include <gcc-plugin.h>
#include <plugin-version.h>

#include <c-family/c-pragma.h>
#include <diagnostic.h>
#include <stringpool.h>
#include <tree.h>
#include <tree-iterator.h>

#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "dialect.hpp"

int plugin_is_GPL_compatible;

namespace {

using nuvfmt::Dialect;
using nuvfmt::Want;

enum class Record { Never, Always, ByStream };

struct Function {
    const char* name;
    Dialect dialect;
    int format;  // index of the format argument
    int first;   // index of the first value, -1 for a va_list function
    Record record;
    bool one_token;
};

const Function kFunctions[] = {
    {"snprintf", Dialect::Buffer, 2, 3, Record::Never, false},
    {"sprintf", Dialect::Buffer, 1, 2, Record::Never, false},
    {"vsnprintf", Dialect::Buffer, 2, -1, Record::Never, false},
    {"vsprintf", Dialect::Buffer, 1, -1, Record::Never, false},
    {"printf", Dialect::Stream, 0, 1, Record::Always, false},
    {"fprintf", Dialect::Stream, 1, 2, Record::ByStream, false},
    {"vfprintf", Dialect::Stream, 1, -1, Record::ByStream, false},
    {"sscanf", Dialect::Scan, 1, 2, Record::Never, false},
    {"vsscanf", Dialect::Scan, 1, -1, Record::Never, false},
    {"fscanf", Dialect::Scan, 1, 2, Record::Never, true},
    {"scanf", Dialect::Scan, 0, 1, Record::Never, true},
};

bool g_off = false;
bool g_error = false;     // -Werror=nuvos-format
bool g_no_error = false;  // -Wno-error=nuvos-format

// #pragma nuvos format ignored / warning, in source order.
struct Switch {
    location_t where;
    bool ignored;
};
std::vector<Switch> g_switches;

location_t expansion_point(location_t loc) {
    return linemap_resolve_location(line_table, loc, LRK_MACRO_EXPANSION_POINT, nullptr);
}

bool ignored_at(location_t loc) {
    bool ignored = false;
    const location_t at = expansion_point(loc);
    for (const Switch& s : g_switches) {
        if (s.where <= at) ignored = s.ignored;
    }
    return ignored;
}

void handle_pragma(cpp_reader*) {
    tree word = NULL_TREE;
    location_t loc = input_location;
    if (pragma_lex(&word, &loc) == CPP_NAME) {
        const char* w = IDENTIFIER_POINTER(word);
        if (std::strcmp(w, "ignored") == 0 || std::strcmp(w, "warning") == 0) {
            g_switches.push_back({expansion_point(loc), w[0] == 'i'});
            return;
        }
    }
    warning_at(loc, OPT_Wpragmas,
               "expected %<ignored%> or %<warning%> after %<#pragma nuvos format%>");
}

// One diagnostic: text, or text, a type and more text.
struct Finding {
    Finding(location_t l, std::string t, tree ty = NULL_TREE, std::string a = "")
        : loc(l), text(std::move(t)), type(ty), after(std::move(a)) {}
    location_t loc;
    std::string text;
    tree type;
    std::string after;
};

void emit(const Finding& f) {
    if (global_dc->dc_inhibit_warnings || ignored_at(f.loc)) return;
    // Each instance of a template would repeat the same words at the same place.
    static std::set<std::tuple<location_t, std::string, tree>> said;
    if (!said.insert({f.loc, f.text + f.after, f.type}).second) return;
    const bool error = g_error || (global_dc->warning_as_error_requested && !g_no_error);
    const diagnostic_t kind = error ? DK_ERROR : DK_WARNING;
    const char* tag = error ? "[-Werror=nuvos-format]" : "[-Wnuvos-format]";
    // A warning without an option of GCC's own becomes an error under -Werror
    // whatever -Wno-error=nuvos-format says, unless -Werror is off meanwhile.
    const bool as_error = global_dc->warning_as_error_requested;
    global_dc->warning_as_error_requested = error;
    if (f.type == NULL_TREE) {
        emit_diagnostic(kind, f.loc, 0, "%s %s", f.text.c_str(), tag);
    } else {
        emit_diagnostic(kind, f.loc, 0, "%s%qT%s %s", f.text.c_str(), f.type, f.after.c_str(), tag);
    }
    global_dc->warning_as_error_requested = as_error;
}

// The constant text a format argument points at: a string literal, an
// offset into one, or a read-only variable initialised with either.
bool constant_text(tree t, std::string& out, int depth = 0) {
    if (t == NULL_TREE || depth > 8) return false;
    STRIP_NOPS(t);
    // "text" + k and &"text"[k]: the text from byte k on.
    tree base = NULL_TREE, offset = NULL_TREE;
    if (TREE_CODE(t) == POINTER_PLUS_EXPR) {
        base = TREE_OPERAND(t, 0);
        offset = TREE_OPERAND(t, 1);
    } else if (TREE_CODE(t) == ADDR_EXPR && TREE_CODE(TREE_OPERAND(t, 0)) == ARRAY_REF) {
        base = TREE_OPERAND(TREE_OPERAND(t, 0), 0);
        offset = TREE_OPERAND(TREE_OPERAND(t, 0), 1);
    }
    if (base != NULL_TREE) {
        std::string whole;
        if (!tree_fits_uhwi_p(offset) || !constant_text(base, whole, depth + 1)) return false;
        const unsigned HOST_WIDE_INT skip = tree_to_uhwi(offset);
        if (skip > whole.size()) return false;
        out = whole.substr(skip);
        return true;
    }
    if (TREE_CODE(t) == ADDR_EXPR) t = TREE_OPERAND(t, 0);
    if (TREE_CODE(t) == STRING_CST) {
        out.assign(TREE_STRING_POINTER(t), TREE_STRING_LENGTH(t));
        return true;
    }
    if (TREE_CODE(t) == VAR_DECL && TREE_READONLY(t) && !TREE_THIS_VOLATILE(t) &&
        DECL_INITIAL(t) != NULL_TREE && DECL_INITIAL(t) != error_mark_node) {
        return constant_text(DECL_INITIAL(t), out, depth + 1);
    }
    return false;
}

bool is_null_constant(tree arg) {
    STRIP_NOPS(arg);
    return integer_zerop(arg) &&
           (POINTER_TYPE_P(TREE_TYPE(arg)) || TREE_CODE(TREE_TYPE(arg)) == NULLPTR_TYPE);
}

bool integer_of(tree type, unsigned lo, unsigned hi) {
    return type != NULL_TREE && INTEGRAL_TYPE_P(type) && TYPE_PRECISION(type) >= lo &&
           TYPE_PRECISION(type) <= hi;
}

bool points_to(tree type, unsigned bits) {
    return POINTER_TYPE_P(type) && integer_of(TREE_TYPE(type), bits, bits);
}

bool fits(Want want, tree arg) {
    const tree type = TREE_TYPE(arg);
    switch (want) {
        case Want::Int:
        case Want::WordLL:
            return integer_of(type, 1, 32);
        case Want::Int64:
            return integer_of(type, 64, 64);
        case Want::String:
        case Want::StringOut:
            return points_to(type, 8) || is_null_constant(arg);
        case Want::CharOut:
            return points_to(type, 8);
        case Want::Pointer:
            return POINTER_TYPE_P(type) || TREE_CODE(type) == NULLPTR_TYPE;
        case Want::IntOut:
            return points_to(type, 32);
    }
    return false;
}

location_t where(tree t, location_t fallback) {
    return t != NULL_TREE && EXPR_HAS_LOCATION(t) ? EXPR_LOCATION(t) : fallback;
}

// What is wrong with one call, read with or without the control record.
std::vector<Finding> check(const Function& fn, tree call, const std::string& format, bool record) {
    const location_t call_loc = where(call, input_location);
    const location_t format_loc = where(CALL_EXPR_ARG(call, fn.format), call_loc);
    const nuvfmt::Call how{fn.dialect, fn.name, record, fn.one_token};
    const nuvfmt::Reading reading = nuvfmt::read_format(how, format);
    std::vector<Finding> out;
    for (const std::string& p : reading.problems) out.push_back({format_loc, p});
    if (fn.first < 0) return out;

    const int given = call_expr_nargs(call) - fn.first;
    const int taken = static_cast<int>(reading.needs.size());
    for (int k = 0; k < taken && k < given; ++k) {
        const nuvfmt::Need& need = reading.needs[k];
        tree arg = CALL_EXPR_ARG(call, fn.first + k);
        if (fits(need.want, arg)) continue;
        const std::string n = std::to_string(fn.first + k + 1);
        Finding f{where(arg, call_loc), "", TREE_TYPE(arg), ""};
        if (need.want == Want::WordLL && integer_of(TREE_TYPE(arg), 33, 64)) {
            f.text = std::string(fn.name) + " reads '" + need.directive +
                     "' as one 32-bit word, but argument " + n + " has type ";
            f.after =
                ": split the value into two 32-bit halves, or print it with printf or fprintf";
        } else if (!need.role.empty()) {
            f.text = "the " + need.role + " of '" + need.directive +
                     "' takes an int, but argument " + n + " has type ";
        } else {
            f.text = "'" + need.directive + "' takes " + nuvfmt::describe(need.want) +
                     ", but argument " + n + " has type ";
        }
        out.push_back(f);
    }
    if (given < taken) {
        std::string text = "the format takes " + std::to_string(taken) +
                           (taken == 1 ? " argument" : " arguments") +
                           " after it, but the call passes " + std::to_string(given);
        if (record)
            text +=
                " (a format that begins with '%c' written to descriptor 1 takes three ints for a "
                "console control record before the rest: print a character with putchar)";
        out.push_back({call_loc, text});
    } else if (given > taken && !reading.ends_early) {
        out.push_back({call_loc, "the call passes " + std::to_string(given) +
                                     (given == 1 ? " argument" : " arguments") +
                                     " after the format, but it takes " + std::to_string(taken)});
    }
    return out;
}

// Whether fprintf's stream is the console's descriptor 1 (stdout, stderr):
// 1 yes, 0 unknown.
bool console_stream(tree stream) {
    STRIP_NOPS(stream);
    if (TREE_CODE(stream) != VAR_DECL || DECL_NAME(stream) == NULL_TREE) return false;
    const char* n = IDENTIFIER_POINTER(DECL_NAME(stream));
    return std::strcmp(n, "stdout") == 0 || std::strcmp(n, "stderr") == 0;
}

void check_call(tree call) {
    tree callee = get_callee_fndecl(call);
    if (callee == NULL_TREE || DECL_NAME(callee) == NULL_TREE || !TREE_PUBLIC(callee)) return;
    const char* name = IDENTIFIER_POINTER(DECL_NAME(callee));
    for (const Function& fn : kFunctions) {
        if (std::strcmp(name, fn.name) != 0) continue;
        // The library's function itself, not a C++ function of the same name.
        if (std::strcmp(IDENTIFIER_POINTER(DECL_ASSEMBLER_NAME(callee)), fn.name) != 0) return;
        if (call_expr_nargs(call) <= fn.format) return;
        std::string format;
        if (!constant_text(CALL_EXPR_ARG(call, fn.format), format)) return;
        std::vector<Finding> found;
        if (fn.record == Record::ByStream && !console_stream(CALL_EXPR_ARG(call, 0))) {
            // A stream that may or may not be descriptor 1: either reading will do.
            found = check(fn, call, format, false);
            if (!found.empty() && format.compare(0, 2, "%c") == 0) {
                std::vector<Finding> as_record = check(fn, call, format, true);
                if (as_record.empty()) found.clear();
            }
        } else {
            found = check(fn, call, format, fn.record != Record::Never);
        }
        for (const Finding& f : found) emit(f);
        return;
    }
}

tree visit(tree* node, int*, void*) {
    if (TREE_CODE(*node) == CALL_EXPR) check_call(*node);
    return NULL_TREE;
}

void on_function(void* gcc_data, void*) {
    tree fndecl = static_cast<tree>(gcc_data);
    if (g_off || fndecl == NULL_TREE || DECL_SAVED_TREE(fndecl) == NULL_TREE) return;
    walk_tree_without_duplicates(&DECL_SAVED_TREE(fndecl), visit, nullptr);
}

void on_pragmas(void*, void*) {
    c_register_pragma("nuvos", "format", handle_pragma);
}

}  // namespace

int plugin_init(plugin_name_args* info, plugin_gcc_version* version) {
    if (!plugin_default_version_check(version, &gcc_version)) {
        error("%qs: built for GCC %s, loaded into GCC %s", "nuvos_format", gcc_version.basever,
              version->basever);
        return 1;
    }
    for (int i = 0; i < info->argc; ++i) {
        const char* key = info->argv[i].key;
        if (std::strcmp(key, "off") == 0)
            g_off = true;
        else if (std::strcmp(key, "on") == 0)
            g_off = false;
        else if (std::strcmp(key, "error") == 0)
            g_error = true, g_no_error = false;
        else if (std::strcmp(key, "no-error") == 0)
            g_no_error = true, g_error = false;
    }
    static plugin_info about = {"1", "warnings for formats the NUV-OS library reads otherwise"};
    register_callback(info->base_name, PLUGIN_INFO, nullptr, &about);
    register_callback(info->base_name, PLUGIN_PRE_GENERICIZE, on_function, nullptr);
    register_callback(info->base_name, PLUGIN_PRAGMAS, on_pragmas, nullptr);
    return 0;
}
