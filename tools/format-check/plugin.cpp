// A GCC plugin that checks calls of the library's printf and scanf families against the
// grammar of the engine each call reaches. vekos-cc loads it for C and C++; it looks at
// every function body before it is lowered, when calls still show their argument types
// after the default promotions.
//
// Plugin arguments: error=yes makes findings errors (-Werror=vekos-format), error=no keeps
// them warnings under -Werror (-Wno-error=vekos-format); without one, -Werror decides.
#include "check.h"

#include <cstring>
#include <exception>
#include <string>

#include "gcc-plugin.h"
#include "plugin-version.h"

#include "cpplib.h"
#include "diagnostic.h"
#include "stringpool.h"
#include "substring-locations.h"
#include "tree-pretty-print.h"
#include "tree.h"

int plugin_is_GPL_compatible;

namespace {

namespace fmt = vekos::format;

enum class Severity { follow_werror, warning, error };
Severity g_severity = Severity::follow_werror;

struct FormatString {
    tree string = NULL_TREE;                // the STRING_CST
    location_t location = UNKNOWN_LOCATION; // of the literal in the call, for carets inside it
};

// The string constant behind a format argument: a literal, or a const variable whose
// initial value the compiler sees.
FormatString find_format(tree arg, int depth = 0) {
    FormatString found;
    if (!arg || depth > 4) return found;
    location_t location = EXPR_LOCATION(arg);
    STRIP_NOPS(arg);
    STRIP_ANY_LOCATION_WRAPPER(arg);
    if (TREE_CODE(arg) == ADDR_EXPR) {
        if (location == UNKNOWN_LOCATION) location = EXPR_LOCATION(arg);
        arg = TREE_OPERAND(arg, 0);
        STRIP_ANY_LOCATION_WRAPPER(arg);
        if (TREE_CODE(arg) == ARRAY_REF && integer_zerop(TREE_OPERAND(arg, 1)))
            arg = TREE_OPERAND(arg, 0);
    }
    if (TREE_CODE(arg) == STRING_CST) {
        found.string = arg;
        found.location = depth == 0 ? location : UNKNOWN_LOCATION;
        return found;
    }
    if (VAR_P(arg) && TREE_READONLY(arg) && DECL_INITIAL(arg) &&
        DECL_INITIAL(arg) != error_mark_node)
        return find_format(DECL_INITIAL(arg), depth + 1);
    return found;
}

std::string type_name(tree type) {
    char *text = print_generic_expr_to_str(type);
    std::string name = text;
    free(text);
    return name;
}

unsigned size_of(tree type) {
    tree size = TYPE_SIZE_UNIT(type);
    return size && tree_fits_uhwi_p(size) ? unsigned(tree_to_uhwi(size)) : 0;
}

// The array a pointer argument was taken from, when its size is known.
void describe_array(tree arg, fmt::Argument &a) {
    STRIP_NOPS(arg);
    if (TREE_CODE(arg) != ADDR_EXPR) return;
    arg = TREE_OPERAND(arg, 0);
    if (TREE_CODE(arg) == ARRAY_REF && integer_zerop(TREE_OPERAND(arg, 1)))
        arg = TREE_OPERAND(arg, 0);
    if (TREE_CODE(TREE_TYPE(arg)) != ARRAY_TYPE) return;
    a.array_bytes = size_of(TREE_TYPE(arg));
    tree name = DECL_P(arg)                       ? DECL_NAME(arg)
                : TREE_CODE(arg) == COMPONENT_REF ? DECL_NAME(TREE_OPERAND(arg, 1))
                                                  : NULL_TREE;
    if (name) a.array_name = IDENTIFIER_POINTER(name);
}

fmt::Argument describe(tree arg) {
    using Kind = fmt::Argument::Kind;
    using Target = fmt::Argument::Target;
    fmt::Argument a;
    tree type = TREE_TYPE(arg);
    a.type = type_name(type);
    a.bytes = size_of(type);
    if (TREE_CODE(type) == NULLPTR_TYPE) {
        a.kind = Kind::null_pointer;
    } else if (POINTER_TYPE_P(type)) {
        a.kind = integer_zerop(arg) ? Kind::null_pointer : Kind::pointer;
        tree target = TYPE_MAIN_VARIANT(TREE_TYPE(type));
        if (VOID_TYPE_P(target))
            a.target = Target::none;
        else if (target == char_type_node || target == signed_char_type_node ||
                 target == unsigned_char_type_node)
            a.target = Target::character;
        else if (INTEGRAL_TYPE_P(target))
            a.target = Target::integer;
        else
            a.target = Target::other;
        a.target_bytes = size_of(target);
        describe_array(arg, a);
    } else if (INTEGRAL_TYPE_P(type)) {
        a.kind = Kind::integer;
    } else if (SCALAR_FLOAT_TYPE_P(type)) {
        a.kind = Kind::floating;
    } else {
        a.kind = Kind::other;
    }
    return a;
}

// True when `stream` is the variable stdout or stderr, both on the console.
bool is_console(tree stream) {
    STRIP_NOPS(stream);
    if (!VAR_P(stream) || !DECL_NAME(stream)) return false;
    const char *name = IDENTIFIER_POINTER(DECL_NAME(stream));
    return !std::strcmp(name, "stdout") || !std::strcmp(name, "stderr");
}

// A function of the library: one whose calls reach the library's symbol, so it has external
// C linkage (its symbol is its plain name). A user's own template, member, static or
// C++-linkage function of the same name is not the library's.
const fmt::Function *library_function(tree call) {
    tree callee = get_callee_fndecl(call);
    if (!callee || !DECL_NAME(callee) || !TREE_PUBLIC(callee)) return nullptr;
    const fmt::Function *function = fmt::find_function(IDENTIFIER_POINTER(DECL_NAME(callee)));
    if (!function || decl_assembler_name(callee) != DECL_NAME(callee)) return nullptr;
    return function;
}

void report(location_t location, const std::string &message) {
    std::string text = message + " [-Wvekos-format]";
    bool werror = global_dc->warning_as_error_requested;
    if (global_dc->dc_inhibit_warnings && g_severity != Severity::error) return; // -w
    if (g_severity == Severity::error || (g_severity == Severity::follow_werror && werror)) {
        error_at(location, "%s", text.c_str());
        return;
    }
    global_dc->warning_as_error_requested = false;
    warning_at(location, 0, "%s", text.c_str());
    global_dc->warning_as_error_requested = werror;
}

location_t finding_location(const fmt::Finding &f, const FormatString &format, tree call,
                            unsigned first_argument) {
    location_t fallback = EXPR_LOCATION(call);
    if (f.at == fmt::Finding::npos) {
        tree arg = CALL_EXPR_ARG(call, first_argument + unsigned(f.argument));
        return EXPR_HAS_LOCATION(arg) ? EXPR_LOCATION(arg) : fallback;
    }
    if (format.location == UNKNOWN_LOCATION) return fallback;
    substring_loc place(format.location, TREE_TYPE(format.string), int(f.at), int(f.from),
                        int(f.to));
    location_t inside;
    if (place.get_location(&inside) == nullptr) return inside;
    return format.location;
}

void check_call(tree call) {
    const fmt::Function *function = library_function(call);
    if (!function) return;
    unsigned count = unsigned(call_expr_nargs(call));
    if (count <= function->format_index) return;
    for (unsigned i = 0; i < count; i++) { // a call the compiler has already rejected
        tree arg = CALL_EXPR_ARG(call, i);
        if (arg == error_mark_node || !TREE_TYPE(arg) || TREE_TYPE(arg) == error_mark_node) return;
    }
    FormatString format = find_format(CALL_EXPR_ARG(call, function->format_index));
    if (!format.string) return;

    fmt::Call c;
    c.function = function;
    // The format as the engine reads it: up to its first NUL.
    std::string_view text(TREE_STRING_POINTER(format.string),
                          size_t(TREE_STRING_LENGTH(format.string)));
    c.format = text.substr(0, text.find('\0'));
    unsigned first_argument = function->format_index + 1;
    if (function->variadic) {
        for (unsigned i = first_argument; i < count; i++)
            c.arguments.push_back(describe(CALL_EXPR_ARG(call, i)));
    }
    c.console_stream = function->reaches_console || (function->grammar == &fmt::stream_grammar &&
                                                     is_console(CALL_EXPR_ARG(call, 0)));
    for (const fmt::Finding &f : fmt::check(c))
        report(finding_location(f, format, call, first_argument), f.message);
}

// A fault of the checker skips the check of that call, with a note; it never stops the
// compiler.
void check_call_guarded(tree call) {
    try {
        check_call(call);
    } catch (const std::exception &e) {
        inform(EXPR_LOCATION(call), "vekos-format: this call is not checked (internal error: %s)",
               e.what());
    } catch (...) {
        inform(EXPR_LOCATION(call), "vekos-format: this call is not checked (internal error)");
    }
}

// Walks a function body once: every tree is visited at most once, locals' initial values
// included, so nesting costs linear time.
tree visit(tree *node, int *, void *data) {
    auto *visited = static_cast<hash_set<tree> *>(data);
    if (TREE_CODE(*node) == CALL_EXPR) check_call_guarded(*node);
    // A local's initial value is not an operand of its declaration statement.
    if (TREE_CODE(*node) == DECL_EXPR && VAR_P(DECL_EXPR_DECL(*node)) &&
        DECL_INITIAL(DECL_EXPR_DECL(*node)))
        walk_tree(&DECL_INITIAL(DECL_EXPR_DECL(*node)), visit, visited, visited);
    return NULL_TREE;
}

void check_function(void *gcc_data, void *) {
    tree function = static_cast<tree>(gcc_data);
    hash_set<tree> visited;
    if (DECL_SAVED_TREE(function)) walk_tree(&DECL_SAVED_TREE(function), visit, &visited, &visited);
}

plugin_info g_info = {"0.1", "checks the formats of the vekos printf and scanf families "
                             "(arguments: error=yes|no)"};

} // namespace

int plugin_init(plugin_name_args *info, plugin_gcc_version *version) {
    if (!plugin_default_version_check(version, &gcc_version)) {
        error("%s: built for GCC %s, loaded by another GCC", info->base_name, gcc_version.basever);
        return 1;
    }
    for (int i = 0; i < info->argc; i++) {
        const plugin_argument &arg = info->argv[i];
        std::string value = arg.value ? arg.value : "";
        if (!std::strcmp(arg.key, "error") && (value == "yes" || value == "no")) {
            g_severity = value == "yes" ? Severity::error : Severity::warning;
        } else {
            error("%s: unknown argument %s=%s", info->base_name, arg.key, value.c_str());
            return 1;
        }
    }
    register_callback(info->base_name, PLUGIN_INFO, nullptr, &g_info);
    register_callback(info->base_name, PLUGIN_PRE_GENERICIZE, check_function, nullptr);
    return 0;
}
