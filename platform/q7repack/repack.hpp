// repack.hpp - the engine of q7repack: the command line, the rules that
// give each dataset its pipeline and layout, and the copy of a file.
#pragma once

#include <string>
#include <vector>

#include "quor7.h"

namespace q7repack {

// Exit statuses of a run.
constexpr int kDone = 0;
constexpr int kDiffers = 1;
constexpr int kError = 2;

// One filter of a --filter option: identifier and client data values.
struct FilterChoice {
    q7filter_t id = 0;
    std::vector<unsigned> cd;
};

// The pipeline that --filter options build for the datasets at or below
// one path.  `none` empties what was built so far.
struct FilterRule {
    std::string path;  // normalised; "/" covers every dataset
    std::vector<FilterChoice> filters;
};

// The layout that --chunk gives the datasets at or below one path.
struct ChunkRule {
    std::string path;
    bool contiguous = false;
    std::vector<q7size_t> shape;
};

enum class Mode { quiet, normal, verbose };

struct Options {
    std::vector<FilterRule> filter_rules;  // one per path, in order of first use
    std::vector<ChunkRule> chunk_rules;    // one per path, the last given wins
    q7size_t min_size = 0;
    bool verify = false;
    bool force = false;
    Mode mode = Mode::normal;
    std::string in, out;
};

// What parse_command_line decided.
enum class Parsed { run, help, version, bad };

// Fills opts from argv.  On Parsed::bad, *error says what was wrong,
// quoting the offending word.
Parsed parse_command_line(int argc, const char *const *argv, Options &opts, std::string *error);

// "deflate", "shuffle", "fletcher32", an identifier 1..65535, each
// optionally followed by ":" and comma-separated client values; or "none"
// (*is_none set, choice untouched).  On failure *bad is the wrong word.
bool parse_filter_choice(const std::string &text, FilterChoice &choice, bool *is_none, std::string *bad);
// "D1xD2x..." (each at least 1) or "contiguous".
bool parse_chunk_shape(const std::string &text, ChunkRule &rule, std::string *bad);

// One spelling per path: a leading "/", no repeated or trailing "/".
std::string normalise_path(const std::string &path);
// True when `path` is `rule_path` or lies below it.
bool path_covers(const std::string &rule_path, const std::string &path);
// The most specific rule covering the dataset at `path`, or null.
const FilterRule *filter_rule_for(const Options &opts, const std::string &path);
const ChunkRule *chunk_rule_for(const Options &opts, const std::string &path);

// A pipeline in the spelling of --filter: "shuffle+deflate:9", or "none".
std::string pipeline_text(const std::vector<FilterChoice> &filters);

// Copies opts.in into opts.out as the options say, verifies when asked,
// and returns the exit status.  Messages go to standard error as
// "q7repack error: ...".
int run(const Options &opts);

} // namespace q7repack
