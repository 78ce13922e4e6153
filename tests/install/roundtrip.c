/* A program of a user of the installed tree: writes a chunked int dataset
 * through plug-in filter 257 (client data {5}), reads it back from a second
 * open of the file and checks every value.  The plug-in must come from the
 * installed plug-in directory, so QUOR7_PLUGIN_PATH is expected unset. */
#include <quor7.h>

#include <stdio.h>
#include <stdlib.h>

enum { N = 1000, CHUNK = 64 };

static int fail(const char *what) {
    fprintf(stderr, "roundtrip: %s failed\n", what);
    Q7Eprint2(0, stderr);
    return 1;
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "roundtrip.q7";
    if (getenv("QUOR7_PLUGIN_PATH")) {
        fprintf(stderr, "roundtrip: run with QUOR7_PLUGIN_PATH unset\n");
        return 2;
    }
    static int out[N], in[N];
    for (int i = 0; i < N; ++i) out[i] = i * 7 - 300;
    q7size_t n = N, chunk = CHUNK;
    unsigned cd[1] = {5};

    q7id_t f = Q7Fcreate(path, Q7F_ACC_TRUNC, 0, 0);
    if (f < 0) return fail("Q7Fcreate");
    q7id_t space = Q7Screate_simple(1, &n, NULL);
    q7id_t dcpl = Q7Pcreate(Q7P_CLS_DATASET_CREATE_ID_g);
    if (space < 0 || dcpl < 0 || Q7Pset_chunk(dcpl, 1, &chunk) < 0 ||
        Q7Pset_filter(dcpl, 257, Q7Z_FLAG_MANDATORY, 1, cd) < 0)
        return fail("setting up the dataset");
    q7id_t d = Q7Dcreate2(f, "values", Q7T_NATIVE_INT_g, space, 0, dcpl, 0);
    if (d < 0) return fail("Q7Dcreate2");
    if (Q7Dwrite(d, Q7T_NATIVE_INT_g, Q7S_ALL, Q7S_ALL, 0, out) < 0) return fail("Q7Dwrite");
    if (Q7Dclose(d) < 0 || Q7Pclose(dcpl) < 0 || Q7Sclose(space) < 0 || Q7Fclose(f) < 0)
        return fail("closing the new file");

    f = Q7Fopen(path, Q7F_ACC_RDONLY, 0);
    if (f < 0) return fail("Q7Fopen");
    d = Q7Dopen2(f, "values", 0);
    if (d < 0) return fail("Q7Dopen2");
    if (Q7Dread(d, Q7T_NATIVE_INT_g, Q7S_ALL, Q7S_ALL, 0, in) < 0) return fail("Q7Dread");
    Q7Dclose(d);
    Q7Fclose(f);
    for (int i = 0; i < N; ++i)
        if (in[i] != out[i]) {
            fprintf(stderr, "roundtrip: element %d reads %d, wrote %d\n", i, in[i], out[i]);
            return 1;
        }
    printf("roundtrip: %d ints through filter 257 read back equal\n", N);
    return 0;
}
