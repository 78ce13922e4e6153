// fuzz_common - what the fuzz targets share: a private scratch directory
// for the files a target writes, and quiet library start-up.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "quor7.h"

namespace q7fuzz {

// A directory of this process's own under $TMPDIR (or /tmp), made once.
// Never destroyed: the clean-up at exit still needs its name.
inline const std::string &scratch_dir() {
    static const std::string &dir = *new std::string([] {
        const char *base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/q7fuzz.XXXXXX";
        if (!mkdtemp(tmpl.data())) {
            perror("q7fuzz: mkdtemp");
            abort();
        }
        return tmpl;
    }());
    return dir;
}

inline std::string scratch_path(const char *name) { return scratch_dir() + "/" + name; }

// Writes size bytes to path, replacing it.  Aborts when the scratch
// directory cannot be written: every later result would be meaningless.
inline void write_bytes(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || (size && fwrite(data, 1, size, f) != size) || fclose(f) != 0) {
        perror(path.c_str());
        abort();
    }
}

// Removes every file in the scratch directory (the inputs and whatever
// the library left beside them), so no run sees the last one's files.
inline void clear_scratch() {
    DIR *d = opendir(scratch_dir().c_str());
    if (!d) return;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        unlink((scratch_dir() + "/" + name).c_str());
    }
    closedir(d);
}

// Opens the library once and stops it printing every refused input.
inline void quiet_library() {
    static bool done = [] {
        Q7open();
        Q7Eset_auto2(0, nullptr, nullptr);
        atexit([] {
            clear_scratch();
            rmdir(scratch_dir().c_str());
        });
        return true;
    }();
    (void)done;
}

// Reads up to this many bytes of one dataset or attribute: enough to
// reach every decoding path without letting a fuzzed extent exhaust
// memory.
constexpr uint64_t kReadLimit = uint64_t(1) << 22;

} // namespace q7fuzz
