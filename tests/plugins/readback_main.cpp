// Test helper run as a separate process: opens a file read-only, reads one
// dataset through its pipeline in its own datatype and writes the raw
// bytes to standard output.  With "--filter-name ID" it prints the name of
// the filter the plug-in search path yields for that identifier instead.
// Exit status 0 on success, 1 on any failure (the error stack goes to
// standard error).
#include "quor7.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char **argv) {
    if (Q7open() < 0) return 1;
    if (argc == 3 && std::strcmp(argv[1], "--filter-name") == 0) {
        char name[256];
        const bool found = Q7Zget_filter_name(static_cast<q7filter_t>(std::atoi(argv[2])), name, sizeof name) >= 0;
        if (found) std::printf("%s\n", name);
        Q7close();
        return found ? 0 : 1;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FILE DATASET | --filter-name ID\n", argv[0]);
        return 2;
    }
    int status = 1;
    q7id_t file = Q7Fopen(argv[1], Q7F_ACC_RDONLY, 0);
    q7id_t dset = file >= 0 ? Q7Dopen2(file, argv[2], 0) : -1;
    q7id_t type = dset >= 0 ? Q7Dget_type(dset) : -1;
    q7id_t space = dset >= 0 ? Q7Dget_space(dset) : -1;
    if (type >= 0 && space >= 0) {
        const q7ssize_t points = Q7Sget_simple_extent_npoints(space);
        const size_t element = Q7Tget_size(type);
        if (points >= 0 && element > 0) {
            std::vector<unsigned char> data(static_cast<size_t>(points) * element + 1);
            if (Q7Dread(dset, type, 0, 0, 0, data.data()) >= 0 &&
                std::fwrite(data.data(), 1, data.size() - 1, stdout) == data.size() - 1)
                status = 0;
        }
    }
    if (space >= 0) Q7Sclose(space);
    if (type >= 0) Q7Tclose(type);
    if (dset >= 0) Q7Dclose(dset);
    if (file >= 0) Q7Fclose(file);
    Q7close();
    return status;
}
