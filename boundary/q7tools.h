/*
 * q7tools.h - the tools runtime: what the command-line tools share
 * (program name and exit status, the tools error stack, error messages,
 * traversal of a file's objects, and the comparison engine of q7diff).
 */
#ifndef Q7TOOLS_H
#define Q7TOOLS_H

#include <stdint.h>
#include "quor7.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Program name, status, start-up and shutdown                         */
/* ------------------------------------------------------------------ */

void        q7tools_setprogname(const char *progname);
const char *q7tools_getprogname(void);
void        q7tools_setstatus(int32_t status);
int32_t     q7tools_getstatus(void);
/* Registers the tools error class and its messages and creates the
 * tools error stack: afterwards the four globals below are valid. */
void        q7tools_init(void);
/* Releases what q7tools_init made.  Called right before exit(). */
void        q7tools_close(void);

/* Prints "<program name> error: <message>" on standard error. */
void        error_msg(const char *fmt, ...);
/* Prints "<program name> warning: <message>" on standard error. */
void        warn_msg(const char *fmt, ...);

/* Greater than 0 when error-stack printing was asked for on the command
 * line (set by parse_command_line). */
extern int32_t enable_error_stack;

extern q7id_t Q7tools_ERR_STACK_g;  /* the tools error stack       */
extern q7id_t Q7tools_ERR_CLS_g;    /* the tools error class        */
extern q7id_t Q7E_tools_g;          /* major message of the tools   */
extern q7id_t Q7E_tools_min_id_g;   /* minor message of the tools   */

/* ------------------------------------------------------------------ */
/* Traversal                                                           */
/* ------------------------------------------------------------------ */

/* Called once per object reached.  already_visited is null on the
 * object's first visit and points at the path of that first visit on
 * every later visit through another hard link. */
typedef int (*q7trav_obj_func_t)(const char *path_name, const Q7O_info2_t *oinfo,
                                 const char *already_visited, void *udata);
/* Called for every soft and external link (never followed). */
typedef int (*q7trav_lnk_func_t)(const char *path_name, const Q7L_info_t *linfo, void *udata);

/* Depth first, links of a group taken in name order.  A callback result
 * other than 0 stops the walk (negative: the walk fails).  Returns 0, or
 * a negative value on failure. */
int q7trav_visit(q7id_t file_id, const char *grp_name, int visit_root, int recurse,
                 q7trav_obj_func_t visit_obj, q7trav_lnk_func_t visit_lnk, void *udata,
                 unsigned fields);

/* ------------------------------------------------------------------ */
/* Comparison (q7diff)                                                 */
/* ------------------------------------------------------------------ */

struct q7diff_exclude_t;

/* Options of one comparison run, filled completely by parse_command_line. */
typedef struct diff_opt_t {
    int32_t  mode_quiet;        /* -q: no output at all                    */
    int32_t  mode_report;       /* -r: only the differences                */
    int32_t  mode_verbose;      /* -v: every object and the tolerances     */
    int32_t  delta_bool;        /* -d given                                */
    double   delta;             /* absolute tolerance                      */
    int32_t  percent_bool;      /* -p given                                */
    double   percent;           /* relative tolerance                      */
    int32_t  count_bool;        /* -n given                                */
    uint64_t count;             /* report at most this many per object     */
    int32_t  strict_nan;        /* --strict-nan                            */
    int32_t  statistics;        /* -S                                      */
    int32_t  n_exclude;         /* number of --exclude-path entries        */
    const char **exclude;       /* the excluded paths                      */
    int32_t  cmd_error;         /* the command line could not be used     */
    int32_t  err_stat;          /* error-status field: the run met an error */
    int32_t  equal_allowed;     /* equality-allowed field: 0 when objects
                                   could not be compared                   */
    uint64_t nfound;            /* differences found (for print_info)      */
    int32_t  n_not_compared;    /* objects that could not be compared      */
    int32_t  n_compared;        /* objects compared                        */
} diff_opt_t;

/* Fills the four text slots (file 1, file 2, object 1, object 2; the
 * objects may stay null) and every field of *opts.  --help and --version
 * print and end the process with 0; a bad command line prints the usage
 * on standard error and ends it with 2. */
int      parse_command_line(int argc, const char *const *argv, const char **fname1, const char **fname2,
                            const char **objname1, const char **objname2, diff_opt_t *opts);
/* Runs the comparison: the number of differences found.  Sets
 * opts->err_stat and opts->equal_allowed. */
uint64_t q7diff(const char *fname1, const char *fname2, const char *objname1, const char *objname2,
                diff_opt_t *opts);
/* Prints the run's summary line (nothing in quiet mode). */
void     print_info(diff_opt_t *opts);
/* Ends a q7diff run: shuts the tools runtime down and exits with status. */
void     q7diff_exit(int32_t status);

#ifdef __cplusplus
}
#endif

#endif /* Q7TOOLS_H */
