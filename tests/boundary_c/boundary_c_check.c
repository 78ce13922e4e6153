/* Compiled as strict C11: uses declarations of the three public headers
 * and checks a few results, so a header that only compiles as C++ or a
 * library that does not link from C fails the build or the test. */
#include "quor7.h"
#include "quor7_fault.h"
#include "q7tools.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__,   \
                    __LINE__, #cond);                                 \
            ++failures;                                               \
        }                                                             \
    } while (0)

static q7status_t count_records(unsigned n, const Q7E_error2_t *err, void *data) {
    (void)n;
    (void)err;
    ++*(int *)data;
    return 0;
}

int main(void) {
    unsigned maj = 0, min = 0, rel = 0;
    q7id_t copy;
    q7id_t space;
    q7size_t dims[2] = {4, 6};
    int walked = 0;
    diff_opt_t opts;             /* tools record type is usable from C */
    Q7Z_class2_t cls;            /* filter class record layout is C */
    q7trav_obj_func_t visit = 0; /* tools callback type */

    memset(&opts, 0, sizeof opts);
    memset(&cls, 0, sizeof cls);
    (void)visit;

    CHECK(Q7open() >= 0);
    CHECK(Q7get_libversion(&maj, &min, &rel) >= 0);
    CHECK(maj == Q7_VERS_MAJOR && min == Q7_VERS_MINOR && rel == Q7_VERS_RELEASE);
    CHECK(Q7check_version(Q7_VERS_MAJOR, Q7_VERS_MINOR, Q7_VERS_RELEASE) >= 0);

    copy = Q7Tcopy(Q7T_NATIVE_INT_g);
    CHECK(copy >= 0);
    CHECK(Q7Tget_class(copy) == Q7T_INTEGER && Q7Tget_size(copy) == 4);
    CHECK(Q7Tclose(copy) >= 0);

    space = Q7Screate_simple(2, dims, NULL);
    CHECK(space >= 0);
    CHECK(Q7Sget_simple_extent_npoints(space) == 24);
    CHECK(Q7Sclose(space) >= 0);

    /* A failing call leaves a record that the error API can walk. */
    CHECK(Q7Eset_auto2(0, NULL, NULL) >= 0);
    CHECK(Q7Tclose(Q7T_NATIVE_INT_g) < 0);
    CHECK(Q7Ewalk2(0, Q7E_WALK_UPWARD, count_records, &walked) >= 0);
    CHECK(walked >= 1);

    if (Q7fault_enabled()) {
        Q7fault_arm("Q7Tcopy", 1, 1);
        CHECK(Q7Tcopy(Q7T_NATIVE_INT_g) < 0);
        copy = Q7Tcopy(Q7T_NATIVE_INT_g);
        CHECK(copy >= 0 && Q7Tclose(copy) >= 0);
    }
    CHECK(sizeof(Q7Z_class2_t) == 48);

    CHECK(Q7close() >= 0);
    if (failures) fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}
