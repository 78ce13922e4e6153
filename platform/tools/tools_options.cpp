// Command line and summary of the comparison tool.
#include "q7tools.h"
#include "tools_internal.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The excluded paths outlive the parser: opts->exclude points here.
std::vector<const char *> g_excluded;

const char usage_text[] =
    "usage: %s [OPTIONS] FILE1 FILE2 [OBJECT1 [OBJECT2]]\n"
    "\n"
    "Compares two Quor7 files, or the object OBJECT1 of FILE1 with the object\n"
    "OBJECT2 of FILE2 (OBJECT2 defaults to OBJECT1).  Groups are compared\n"
    "recursively: their links, attributes and every dataset below them.\n"
    "\n"
    "Options:\n"
    "  -h, --help               print this help and exit\n"
    "  -V, --version            print the version and exit\n"
    "  -q, --quiet              print nothing; the exit status tells the result\n"
    "  -v, --verbose            also name every object compared and the tolerances\n"
    "  -r, --report             print only the differences, no per-object counts\n"
    "  -n, --count C            print at most C differences per object (C >= 1);\n"
    "                           counting goes on, so totals stay exact\n"
    "  -d, --delta D            numbers differ only when |a-b| > D (D >= 0)\n"
    "  -p, --relative R         numbers differ only when |a-b| > R*max(|a|,|b|)\n"
    "                           (R >= 0, a fraction: 0.01 is one percent);\n"
    "                           with -d as well, both bounds must be exceeded\n"
    "      --strict-nan         a NaN differs from everything, even a NaN\n"
    "                           (default: NaNs at the same place are equal)\n"
    "  -S, --statistics         per dataset: elements compared, differing count\n"
    "                           and share, largest absolute and relative difference\n"
    "      --exclude-path PATH  skip PATH and everything below it (repeatable)\n"
    "      --enable-error-stack[=N]\n"
    "                           print the library's error stacks on failures\n"
    "\n"
    "Exit status: 0 no differences, 1 differences found or objects that could\n"
    "not be compared, 2 error.\n";

void print_usage(FILE *stream) {
    fprintf(stream, usage_text, q7tools_getprogname());
}

[[noreturn]] void end_process(int status) {
    fflush(stdout);
    q7tools_close();
    exit(status);
}

[[noreturn]] void bad_command_line(diff_opt_t *opts, const std::string &why) {
    opts->cmd_error = 1;
    error_msg("%s", why.c_str());
    print_usage(stderr);
    end_process(2);
}

bool parse_count(const char *text, uint64_t *out) {
    if (!text || !*text || *text == '-' || *text == '+') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno || *end || v == 0) return false;
    *out = v;
    return true;
}

bool parse_tolerance(const char *text, double *out) {
    if (!text || !*text) return false;
    errno = 0;
    char *end = nullptr;
    double v = strtod(text, &end);
    if (errno || *end || !std::isfinite(v) || v < 0) return false;
    *out = v;
    return true;
}

bool parse_level(const char *text, int32_t *out) {
    if (!text || !*text) return false;
    errno = 0;
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno || *end || v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

enum class Opt { None, Help, Version, Quiet, Verbose, Report, Count, Delta, Relative, StrictNan, Statistics,
                 Exclude, ErrorStack };

struct LongOpt {
    const char *name;
    Opt opt;
    bool takes_value;
};

const LongOpt long_options[] = {
    {"help", Opt::Help, false},           {"version", Opt::Version, false},
    {"quiet", Opt::Quiet, false},         {"verbose", Opt::Verbose, false},
    {"report", Opt::Report, false},       {"count", Opt::Count, true},
    {"delta", Opt::Delta, true},          {"relative", Opt::Relative, true},
    {"strict-nan", Opt::StrictNan, false}, {"statistics", Opt::Statistics, false},
    {"exclude-path", Opt::Exclude, true}, {"enable-error-stack", Opt::ErrorStack, false},
};

Opt short_option(char c, bool *takes_value) {
    *takes_value = false;
    switch (c) {
    case 'h': return Opt::Help;
    case 'V': return Opt::Version;
    case 'q': return Opt::Quiet;
    case 'v': return Opt::Verbose;
    case 'r': return Opt::Report;
    case 'S': return Opt::Statistics;
    case 'n': *takes_value = true; return Opt::Count;
    case 'd': *takes_value = true; return Opt::Delta;
    case 'p': *takes_value = true; return Opt::Relative;
    default: return Opt::None;
    }
}

void set_mode(diff_opt_t *opts, Opt mode) {
    opts->mode_quiet = mode == Opt::Quiet;
    opts->mode_verbose = mode == Opt::Verbose;
    opts->mode_report = mode == Opt::Report;
}

// Applies one option; value is its argument (null for flags, and for
// --enable-error-stack without "=N").
void apply(diff_opt_t *opts, Opt opt, const char *spelled, const char *value) {
    switch (opt) {
    case Opt::Help:
        print_usage(stdout);
        end_process(0);
    case Opt::Version:
        printf("%s (Quor7 tools) %d.%d.%d\n", q7tools_getprogname(), Q7_VERS_MAJOR, Q7_VERS_MINOR,
               Q7_VERS_RELEASE);
        end_process(0);
    case Opt::Quiet:
    case Opt::Verbose:
    case Opt::Report:
        // The output modes exclude each other; the last one given wins.
        set_mode(opts, opt);
        break;
    case Opt::Count:
        if (!parse_count(value, &opts->count))
            bad_command_line(opts, q7tools_internal::format("%s needs a whole number of at least 1, not '%s'",
                                                            spelled, value ? value : ""));
        opts->count_bool = 1;
        break;
    case Opt::Delta:
        if (!parse_tolerance(value, &opts->delta))
            bad_command_line(opts, q7tools_internal::format("%s needs a finite number >= 0, not '%s'", spelled,
                                                            value ? value : ""));
        opts->delta_bool = 1;
        break;
    case Opt::Relative:
        if (!parse_tolerance(value, &opts->percent))
            bad_command_line(opts, q7tools_internal::format("%s needs a finite number >= 0, not '%s'", spelled,
                                                            value ? value : ""));
        opts->percent_bool = 1;
        break;
    case Opt::StrictNan:
        opts->strict_nan = 1;
        break;
    case Opt::Statistics:
        opts->statistics = 1;
        break;
    case Opt::Exclude:
        if (!value || !*value) bad_command_line(opts, "--exclude-path needs a path");
        g_excluded.push_back(value);
        break;
    case Opt::ErrorStack:
        if (!value) {
            enable_error_stack = 1;
        } else if (!parse_level(value, &enable_error_stack)) {
            bad_command_line(opts,
                             q7tools_internal::format("--enable-error-stack takes a whole number, not '%s'", value));
        }
        break;
    case Opt::None:
        break;
    }
}

} // namespace

extern "C" int parse_command_line(int argc, const char *const *argv, const char **fname1, const char **fname2,
                                  const char **objname1, const char **objname2, diff_opt_t *opts) {
    return q7tools_internal::api_call("parse_command_line", -1, [&]() -> int {
        // Missing places to put the result are a caller's mistake, not a bad
        // command line: fail without ending the process.
        if (!opts || !fname1 || !fname2 || !objname1 || !objname2 || argc < 0 || (argc > 1 && !argv)) {
            Q7TOOLS_PUSH("parse_command_line", "no argument vector or no place for the parsed command line");
            return -1;
        }
        memset(opts, 0, sizeof *opts);
        opts->equal_allowed = 1;
        g_excluded.clear();
        enable_error_stack = 0;
        *fname1 = *fname2 = *objname1 = *objname2 = nullptr;

        std::vector<const char *> operands;
        bool options_done = false;
        for (int i = 1; i < argc; i++) {
            const char *arg = argv[i];
            if (!arg) bad_command_line(opts, "the argument list ends early");
            if (options_done || arg[0] != '-' || arg[1] == '\0') {
                operands.push_back(arg);
                continue;
            }
            if (strcmp(arg, "--") == 0) {
                options_done = true;
                continue;
            }
            if (arg[1] == '-') {
                const char *name = arg + 2;
                const char *eq = strchr(name, '=');
                size_t len = eq ? static_cast<size_t>(eq - name) : strlen(name);
                const LongOpt *found = nullptr;
                for (const LongOpt &lo : long_options)
                    if (strlen(lo.name) == len && strncmp(lo.name, name, len) == 0) found = &lo;
                if (!found) bad_command_line(opts, q7tools_internal::format("unknown option '%s'", arg));
                const char *value = eq ? eq + 1 : nullptr;
                if (found->takes_value && !value) {
                    if (i + 1 >= argc)
                        bad_command_line(opts, q7tools_internal::format("option '%s' needs a value", arg));
                    value = argv[++i];
                } else if (!found->takes_value && value && found->opt != Opt::ErrorStack) {
                    bad_command_line(opts, q7tools_internal::format("option '--%s' takes no value", found->name));
                }
                std::string spelled = std::string("--") + found->name;
                apply(opts, found->opt, spelled.c_str(), value);
                continue;
            }
            // A cluster of short options; one that takes a value ends it,
            // taking the rest of the word or the next word.
            for (const char *p = arg + 1; *p; p++) {
                bool takes_value = false;
                Opt opt = short_option(*p, &takes_value);
                if (opt == Opt::None) bad_command_line(opts, q7tools_internal::format("unknown option '-%c'", *p));
                std::string spelled = std::string("-") + *p;
                if (!takes_value) {
                    apply(opts, opt, spelled.c_str(), nullptr);
                    continue;
                }
                const char *value = p[1] ? p + 1 : nullptr;
                if (!value) {
                    if (i + 1 >= argc)
                        bad_command_line(opts, q7tools_internal::format("option '%s' needs a value", spelled.c_str()));
                    value = argv[++i];
                }
                apply(opts, opt, spelled.c_str(), value);
                break;
            }
        }

        if (operands.size() < 2) bad_command_line(opts, "two files to compare are needed");
        if (operands.size() > 4) bad_command_line(opts, "too many arguments");
        *fname1 = operands[0];
        *fname2 = operands[1];
        if (operands.size() > 2) *objname1 = operands[2];
        if (operands.size() > 3) *objname2 = operands[3];
        opts->n_exclude = static_cast<int32_t>(g_excluded.size());
        opts->exclude = g_excluded.empty() ? nullptr : g_excluded.data();
        return 0;
    }, [&] {
        if (opts) opts->cmd_error = 1;
    });
}

extern "C" void print_info(diff_opt_t *opts) {
    q7tools_internal::api_call_void("print_info", [&] {
        if (!opts || opts->mode_quiet) return;
        std::string line;
        if (opts->mode_verbose)
            line += q7tools_internal::format("%d object%s compared, ", opts->n_compared, opts->n_compared == 1 ? "" : "s");
        line += q7tools_internal::format("%llu difference%s found", static_cast<unsigned long long>(opts->nfound),
                                         opts->nfound == 1 ? "" : "s");
        if (opts->n_not_compared > 0)
            line += q7tools_internal::format(", %d object%s not comparable", opts->n_not_compared,
                                             opts->n_not_compared == 1 ? "" : "s");
        if (opts->err_stat) line += ", the comparison met an error";
        printf("%s\n", line.c_str());
        fflush(stdout);
    });
}
