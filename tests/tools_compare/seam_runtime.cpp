// A stand-in tools runtime linked with the real q7diff entry point, so that
// the entry point's call order and exit-status rule can be driven with
// values no real comparison produces in a test (a difference count of
// exactly 2^32, for instance).  Every call is logged on standard output;
// the environment variables SEAM_COUNT, SEAM_ERR, SEAM_EQUAL and
// SEAM_ENABLE choose what the comparison reports and what the parser sets.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "q7tools.h"

int32_t enable_error_stack = 0;
q7id_t Q7tools_ERR_STACK_g = -1;
q7id_t Q7tools_ERR_CLS_g = -1;
q7id_t Q7E_tools_g = -1;
q7id_t Q7E_tools_min_id_g = -1;

namespace {

long long env_number(const char *name, long long fallback) {
    const char *v = getenv(name);
    return v ? strtoll(v, nullptr, 0) : fallback;
}

// Automatic-report functions installed before the entry point runs, so
// that a restore can be told apart from any other setting.
q7status_t startup_default_report(q7id_t, void *) { return 0; }
q7status_t startup_tools_report(q7id_t, void *) { return 0; }
int default_marker, tools_marker;

const char *describe(q7id_t stack, Q7E_auto2_t expected, void *expected_data) {
    Q7E_auto2_t func = nullptr;
    void *data = nullptr;
    if (Q7Eget_auto2(stack, &func, &data) < 0) return "unknown";
    if (!func && !data) return "off";
    if (func == expected && data == expected_data) return "restored";
    return "other";
}

// Runs before main: the library's default stack reports through a known
// function, as a user's setting would.
struct Startup {
    Startup() {
        Q7open();
        Q7Eset_auto2(0, startup_default_report, &default_marker);
    }
} const startup;

} // namespace

extern "C" {

void q7tools_setprogname(const char *progname) { printf("setprogname %s\n", progname); }
const char *q7tools_getprogname(void) { return "q7diff"; }
void q7tools_setstatus(int32_t status) { printf("setstatus %d\n", status); }
int32_t q7tools_getstatus(void) { return 0; }

void q7tools_init(void) {
    printf("init default=%s\n", describe(0, startup_default_report, &default_marker));
    Q7tools_ERR_STACK_g = Q7Ecreate_stack();
    Q7Eset_auto2(Q7tools_ERR_STACK_g, startup_tools_report, &tools_marker);
}

void q7tools_close(void) {
    printf("close\n");
    fflush(stdout);
}

int parse_command_line(int argc, const char *const *argv, const char **fname1, const char **fname2,
                       const char **objname1, const char **objname2, diff_opt_t *opts) {
    printf("parse argc=%d slots=%s tools=%s\n", argc,
           (!*fname1 && !*fname2 && !*objname1 && !*objname2) ? "null" : "set",
           describe(Q7tools_ERR_STACK_g, startup_tools_report, &tools_marker));
    memset(opts, 0, sizeof *opts);
    opts->err_stat = static_cast<int32_t>(env_number("SEAM_ERR", 0));
    opts->equal_allowed = static_cast<int32_t>(env_number("SEAM_EQUAL", 1));
    enable_error_stack = static_cast<int32_t>(env_number("SEAM_ENABLE", 0));
    *fname1 = argc > 1 ? argv[1] : "one";
    *fname2 = argc > 2 ? argv[2] : "two";
    *objname1 = "obj1";
    *objname2 = nullptr;
    return 0;
}

uint64_t q7diff(const char *fname1, const char *fname2, const char *objname1, const char *objname2,
                diff_opt_t *opts) {
    printf("diff %s %s %s %s default=%s tools=%s\n", fname1, fname2, objname1, objname2 ? objname2 : "(null)",
           describe(0, startup_default_report, &default_marker),
           describe(Q7tools_ERR_STACK_g, startup_tools_report, &tools_marker));
    opts->nfound = static_cast<uint64_t>(env_number("SEAM_COUNT", 0));
    return opts->nfound;
}

void print_info(diff_opt_t *opts) { printf("print_info err=%d equal=%d\n", opts->err_stat, opts->equal_allowed); }

} // extern "C"
