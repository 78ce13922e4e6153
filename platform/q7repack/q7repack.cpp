// q7repack - copies a Quor7 file into a new one, rewriting datasets with
// other filter pipelines or chunk shapes.
//
// Exit status: 0 done (and equal with --verify), 1 --verify found
// differences, 2 error (nothing is left at OUT).
#include <cstdio>

#include "q7tools.h"
#include "repack.hpp"

namespace {

const char kUsage[] =
    "usage: q7repack [OPTIONS] IN OUT\n"
    "\n"
    "Copies everything of the Quor7 file IN into the new file OUT - groups,\n"
    "datasets, attributes, soft, external and hard links, images with their\n"
    "palettes - and rewrites datasets as the options say.\n"
    "\n"
    "Options:\n"
    "  -h, --help               print this help and exit\n"
    "  -V, --version            print the version and exit\n"
    "  -q, --quiet              print nothing on standard output\n"
    "  -v, --verbose            one line per dataset: path, pipeline, stored\n"
    "                           bytes before and after, ratio\n"
    "      --filter [PATH=]FILTER\n"
    "                           build the pipeline of the datasets at or below\n"
    "                           PATH (every dataset without PATH); repeat to add\n"
    "                           filters in order.  FILTER: deflate, shuffle,\n"
    "                           fletcher32 or a filter identifier, optionally\n"
    "                           followed by :V1,V2,... client data; none removes\n"
    "                           every filter\n"
    "      --chunk [PATH=]SHAPE chunk shape D1xD2x... (one per dimension) or\n"
    "                           contiguous\n"
    "      --min-size BYTES     leave datasets of fewer bytes as they are\n"
    "      --verify             compare OUT with IN afterwards, as q7diff does\n"
    "      --force              replace an existing OUT\n"
    "\n"
    "The most specific PATH wins.  Plug-in filters are found through\n"
    "QUOR7_PLUGIN_PATH.\n"
    "\n"
    "Exit status: 0 done (and equal with --verify), 1 --verify found\n"
    "differences, 2 error.\n";

int finish(int status) {
    fflush(stdout);
    q7tools_close();
    return status;
}

} // namespace

int main(int argc, char *argv[]) {
    q7tools_setprogname("q7repack");
    q7tools_setstatus(0);
    Q7open();
    // Failures are reported by this program in its own words.
    Q7Eset_auto2(0, nullptr, nullptr);
    q7tools_init();
    Q7Eset_auto2(Q7tools_ERR_STACK_g, nullptr, nullptr);

    q7repack::Options opts;
    std::string error;
    switch (q7repack::parse_command_line(argc, argv, opts, &error)) {
    case q7repack::Parsed::help:
        fputs(kUsage, stdout);
        return finish(0);
    case q7repack::Parsed::version:
        printf("q7repack (Quor7 tools) %d.%d.%d\n", Q7_VERS_MAJOR, Q7_VERS_MINOR, Q7_VERS_RELEASE);
        return finish(0);
    case q7repack::Parsed::bad:
        error_msg("%s", error.c_str());
        fputs("Try 'q7repack --help'.\n", stderr);
        return finish(q7repack::kError);
    case q7repack::Parsed::run: break;
    }
    return finish(q7repack::run(opts));
}
