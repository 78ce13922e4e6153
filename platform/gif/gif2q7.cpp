// gif2q7 - imports a GIF file into a new Quor7 file: the global colour
// table becomes the palette "global", every image an 8-bit image
// "Image<n>" with that palette attached.
//
// The file is written under a temporary name beside the output and
// renamed into place only when it is complete, so a failed import never
// leaves a half-written file (nor replaces an existing one).
#include "q7gif.h"
#include "quor7.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char *kProgram = "gif2q7";

void print_usage(FILE *out) {
    std::fprintf(out,
                 "Usage: %s INPUT.gif OUTPUT.q7\n"
                 "\n"
                 "Imports a GIF file into a new Quor7 file.  The GIF's global colour table\n"
                 "is stored as the palette \"global\" and every image as an 8-bit indexed\n"
                 "image \"Image0\", \"Image1\", ... with that palette attached.  OUTPUT.q7 is\n"
                 "replaced only when the import succeeds.\n"
                 "\n"
                 "Odd but importable input (local colour tables, no global colour table,\n"
                 "images beyond the logical screen, colour indices beyond the colour table)\n"
                 "is imported with a warning on standard error.\n"
                 "\n"
                 "Options:\n"
                 "  -h, --help   show this help and exit\n"
                 "\n"
                 "Exit status: 0 on success, 1 when the input cannot be imported or the\n"
                 "output cannot be written.\n",
                 kProgram);
}

void print_warning(const char *message, void *user_data) {
    const char *input = static_cast<const char *>(user_data);
    std::fprintf(stderr, "%s warning: %s: %s\n", kProgram, input, message);
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A name beside output that no file has yet.
std::string temporary_name(const std::string &output) {
    for (unsigned n = 0;; ++n) {
        std::string candidate = output + ".part-" + std::to_string(getpid()) + "-" + std::to_string(n);
        if (!exists(candidate)) return candidate;
    }
}

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            print_usage(stdout);
            return 0;
        }
    }
    if (argc != 3) {
        std::fprintf(stderr, "%s: expected an input GIF and an output file\n", kProgram);
        print_usage(stderr);
        return 1;
    }
    const char *input = argv[1];
    const std::string output = argv[2];

    q7gif_t gif{};
    char error[512] = "";
    if (q7gif_read_file(input, &gif, print_warning, const_cast<char *>(input), error, sizeof error) != 0) {
        std::fprintf(stderr, "%s: cannot import %s: %s\n", kProgram, input, error);
        return 1;
    }

    const std::string partial = temporary_name(output);
    int32_t written = WriteQuor(gif, partial.c_str());
    q7gif_free(&gif);
    if (written != 0) {
        Q7close();  // closes the file the writer left open
        Q7Fdelete(partial.c_str());
        std::fprintf(stderr, "%s: could not write %s; nothing was written\n", kProgram, output.c_str());
        return 1;
    }
    // Q7Frename syncs the new file before the move and the directory after,
    // so a power cut leaves the earlier output or the complete new one.
    if (Q7Frename(partial.c_str(), output.c_str()) < 0) {
        Q7Fdelete(partial.c_str());
        std::fprintf(stderr, "%s: cannot create %s\n", kProgram, output.c_str());
        return 1;
    }
    Q7close();
    return 0;
}
