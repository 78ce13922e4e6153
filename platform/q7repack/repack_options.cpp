// The command line of q7repack and the rules that choose each dataset's
// pipeline and layout.
#include "repack.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace q7repack {

namespace {

// Filter names, identifiers and defaults come from the library's one
// table of built-in filters (Q7Zfilter_by_name and its neighbours).
q7filter_t builtin_id(const std::string &name) {
    if (name.empty() || name.find_first_not_of("0123456789") == std::string::npos) return Q7Z_FILTER_ERROR;
    const q7filter_t id = Q7Zfilter_by_name(name.c_str());
    if (id < 0) Q7Eclear2(0);  // an unknown name is reported by the caller
    return id;
}

std::string builtin_name(q7filter_t id) {
    char name[64] = "";
    return Q7Zbuiltin_filter_name(id, name, sizeof name) > 0 ? name : "";
}

// A whole decimal number without sign or spaces, at most `max`.
bool parse_unsigned(const std::string &text, unsigned long long max, unsigned long long *out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 10);
    if (errno || *end || v > max) return false;
    *out = v;
    return true;
}

// Splits "[PATH=]VALUE": the value never holds "=", so the last one ends
// the path (link names may hold "=").
void split_path_value(const std::string &arg, std::string *path, std::string *value) {
    const size_t eq = arg.rfind('=');
    if (eq == std::string::npos) {
        *path = "/";
        *value = arg;
    } else {
        *path = normalise_path(arg.substr(0, eq));
        *value = arg.substr(eq + 1);
    }
}

template <class Rule>
const Rule *most_specific(const std::vector<Rule> &rules, const std::string &path) {
    const Rule *best = nullptr;
    for (const Rule &r : rules)
        if (path_covers(r.path, path) && (!best || r.path.size() >= best->path.size())) best = &r;
    return best;
}

bool add_filter(Options &opts, const std::string &arg, std::string *error) {
    std::string path, value;
    split_path_value(arg, &path, &value);
    // FILTER+FILTER+... chains filters in order, as repeated --filter does.
    std::vector<FilterChoice> chain;
    bool is_none = false;
    for (size_t start = 0;;) {
        const size_t plus = value.find('+', start);
        const std::string one = value.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
        FilterChoice choice;
        bool none = false;
        std::string bad;
        if (!parse_filter_choice(one, choice, &none, &bad) || (none && value != one)) {
            *error = "bad filter '" + (bad.empty() ? one : bad) + "' in --filter " + arg;
            return false;
        }
        is_none = none;
        if (!none) chain.push_back(choice);
        if (plus == std::string::npos) break;
        start = plus + 1;
    }
    FilterRule *rule = nullptr;
    for (FilterRule &r : opts.filter_rules)
        if (r.path == path) rule = &r;
    if (!rule) {
        opts.filter_rules.push_back(FilterRule{path, {}});
        rule = &opts.filter_rules.back();
    }
    if (is_none) rule->filters.clear();
    rule->filters.insert(rule->filters.end(), chain.begin(), chain.end());
    return true;
}

bool add_chunk(Options &opts, const std::string &arg, std::string *error) {
    std::string path, value;
    split_path_value(arg, &path, &value);
    ChunkRule rule;
    std::string bad;
    if (!parse_chunk_shape(value, rule, &bad)) {
        *error = "bad chunk shape '" + bad + "' in --chunk " + arg;
        return false;
    }
    rule.path = path;
    for (ChunkRule &r : opts.chunk_rules)
        if (r.path == path) {
            r = rule;
            return true;
        }
    opts.chunk_rules.push_back(rule);
    return true;
}

enum class Opt { none, help, version, quiet, verbose, verify, force, filter, chunk, min_size };

struct LongOpt {
    const char *name;
    Opt opt;
    bool takes_value;
};
const LongOpt kLongOptions[] = {
    {"help", Opt::help, false},       {"version", Opt::version, false}, {"quiet", Opt::quiet, false},
    {"verbose", Opt::verbose, false}, {"verify", Opt::verify, false},   {"force", Opt::force, false},
    {"filter", Opt::filter, true},    {"chunk", Opt::chunk, true},      {"min-size", Opt::min_size, true},
};

} // namespace

std::string normalise_path(const std::string &path) {
    std::string out = "/";
    for (char c : path) {
        if (c == '/') {
            if (out.back() != '/') out.push_back('/');
        } else {
            out.push_back(c);
        }
    }
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

bool path_covers(const std::string &rule_path, const std::string &path) {
    if (rule_path == "/") return true;
    return path.compare(0, rule_path.size(), rule_path) == 0 &&
           (path.size() == rule_path.size() || path[rule_path.size()] == '/');
}

const FilterRule *filter_rule_for(const Options &opts, const std::string &path) {
    return most_specific(opts.filter_rules, path);
}

const ChunkRule *chunk_rule_for(const Options &opts, const std::string &path) {
    return most_specific(opts.chunk_rules, path);
}

bool parse_filter_choice(const std::string &text, FilterChoice &choice, bool *is_none, std::string *bad) {
    *is_none = false;
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    if (name == "none") {
        if (colon != std::string::npos) {
            *bad = text;
            return false;
        }
        *is_none = true;
        return true;
    }
    FilterChoice out;
    out.id = builtin_id(name);
    unsigned long long id = 0;
    if (out.id < 0) {
        if (!parse_unsigned(name, Q7Z_FILTER_MAX, &id) || id == 0) {
            *bad = name;
            return false;
        }
        out.id = static_cast<q7filter_t>(id);
    }
    if (colon != std::string::npos) {
        const std::string values = text.substr(colon + 1);
        size_t start = 0;
        for (;;) {
            const size_t comma = values.find(',', start);
            const std::string word = values.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            // A negative value (a zstd level) is stored as its two's complement.
            const bool negative = !word.empty() && word[0] == '-';
            unsigned long long v = 0;
            if (!parse_unsigned(negative ? word.substr(1) : word, negative ? 0x80000000ull : UINT32_MAX, &v)) {
                *bad = word.empty() ? text : word;
                return false;
            }
            out.cd.push_back(negative ? static_cast<unsigned>(0x100000000ull - v) : static_cast<unsigned>(v));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    } else {
        // The library's defaults (deflate's level 6, zstd's 3, lz4's 1),
        // written out so that listings show them.
        unsigned defaults[8];
        const int n = builtin_name(out.id).empty() ? 0 : Q7Zget_filter_defaults(out.id, 8, defaults);
        for (int i = 0; i < n && i < 8; ++i) out.cd.push_back(defaults[i]);
    }
    choice = out;
    return true;
}

bool parse_chunk_shape(const std::string &text, ChunkRule &rule, std::string *bad) {
    if (text == "contiguous") {
        rule.contiguous = true;
        rule.shape.clear();
        return true;
    }
    std::vector<q7size_t> shape;
    size_t start = 0;
    for (;;) {
        const size_t x = text.find('x', start);
        const std::string word = text.substr(start, x == std::string::npos ? std::string::npos : x - start);
        unsigned long long v = 0;
        if (!parse_unsigned(word, UINT64_MAX, &v) || v == 0) {
            *bad = word.empty() ? text : word;
            return false;
        }
        shape.push_back(v);
        if (x == std::string::npos) break;
        start = x + 1;
    }
    if (shape.size() > Q7_MAX_RANK) {
        *bad = text;
        return false;
    }
    rule.contiguous = false;
    rule.shape = shape;
    return true;
}

std::string pipeline_text(const std::vector<FilterChoice> &filters) {
    if (filters.empty()) return "none";
    std::string out;
    for (const FilterChoice &f : filters) {
        if (!out.empty()) out += "+";
        std::string name = builtin_name(f.id);
        out += name.empty() ? std::to_string(f.id) : name;
        for (size_t i = 0; i < f.cd.size(); ++i) out += (i ? "," : ":") + std::to_string(f.cd[i]);
    }
    return out;
}

Parsed parse_command_line(int argc, const char *const *argv, Options &opts, std::string *error) {
    opts = Options{};
    std::vector<std::string> operands;
    bool options_done = false;
    auto apply = [&](Opt opt, const std::string &spelled, const char *value) -> Parsed {
        switch (opt) {
        case Opt::help: return Parsed::help;
        case Opt::version: return Parsed::version;
        case Opt::quiet: opts.mode = Mode::quiet; break;
        case Opt::verbose: opts.mode = Mode::verbose; break;
        case Opt::verify: opts.verify = true; break;
        case Opt::force: opts.force = true; break;
        case Opt::filter:
            if (!add_filter(opts, value, error)) return Parsed::bad;
            break;
        case Opt::chunk:
            if (!add_chunk(opts, value, error)) return Parsed::bad;
            break;
        case Opt::min_size: {
            unsigned long long v = 0;
            if (!parse_unsigned(value, UINT64_MAX, &v)) {
                *error = "bad size '" + std::string(value) + "' for " + spelled + " (a whole number of bytes)";
                return Parsed::bad;
            }
            opts.min_size = v;
            break;
        }
        case Opt::none: break;
        }
        return Parsed::run;
    };

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] ? argv[i] : "";
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        Parsed p = Parsed::run;
        if (arg[1] == '-') {
            const size_t eq = arg.find('=');
            const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            const LongOpt *found = nullptr;
            for (const LongOpt &lo : kLongOptions)
                if (name == lo.name) found = &lo;
            if (!found) {
                *error = "unknown option '" + arg + "'";
                return Parsed::bad;
            }
            std::string value;
            if (found->takes_value) {
                if (eq != std::string::npos) {
                    value = arg.substr(eq + 1);
                } else if (i + 1 < argc && argv[i + 1]) {
                    value = argv[++i];
                } else {
                    *error = "option '--" + name + "' needs a value";
                    return Parsed::bad;
                }
            } else if (eq != std::string::npos) {
                *error = "option '--" + name + "' takes no value";
                return Parsed::bad;
            }
            p = apply(found->opt, "--" + name, value.c_str());
        } else {
            for (size_t k = 1; k < arg.size() && p == Parsed::run; ++k) {
                Opt opt = arg[k] == 'h' ? Opt::help
                          : arg[k] == 'V' ? Opt::version
                          : arg[k] == 'q' ? Opt::quiet
                          : arg[k] == 'v' ? Opt::verbose
                                          : Opt::none;
                if (opt == Opt::none) {
                    *error = std::string("unknown option '-") + arg[k] + "'";
                    return Parsed::bad;
                }
                p = apply(opt, std::string("-") + arg[k], nullptr);
            }
        }
        if (p != Parsed::run) return p;
    }
    if (operands.size() != 2) {
        *error = operands.size() < 2 ? "an input and an output file are needed" : "too many arguments";
        return Parsed::bad;
    }
    opts.in = operands[0];
    opts.out = operands[1];
    return Parsed::run;
}

} // namespace q7repack
