/*
 * compare_main.c - program entry of q7diff: starts the tools runtime with
 * the library's automatic error printing silenced, runs the comparison
 * that the command line asks for, prints the summary and turns the result
 * into the exit status (0 no differences, 1 differences or objects that
 * could not be compared, 2 error).
 */
#include <stdint.h>
#include <stdlib.h>

#include "q7tools.h"

void q7diff_exit(int32_t status) {
    q7tools_close();
    exit(status);
}

int main(int argc, char *argv[]) {
    Q7E_auto2_t func = NULL;
    void *client_data = NULL;
    Q7E_auto2_t tools_func = NULL;
    void *tools_client_data = NULL;
    const char *fname1 = NULL;
    const char *fname2 = NULL;
    const char *objname1 = NULL;
    const char *objname2 = NULL;
    diff_opt_t opts;
    uint64_t nfound;
    int32_t status;

    q7tools_setprogname("q7diff");
    q7tools_setstatus(0);

    /* Nothing that start-up or the parser records is printed on its own. */
    Q7Eget_auto2(0, &func, &client_data);
    Q7Eset_auto2(0, NULL, NULL);
    q7tools_init();
    Q7Eget_auto2(Q7tools_ERR_STACK_g, &tools_func, &tools_client_data);
    Q7Eset_auto2(Q7tools_ERR_STACK_g, NULL, NULL);

    parse_command_line(argc, (const char *const *)argv, &fname1, &fname2, &objname1, &objname2, &opts);

    if (enable_error_stack > 0) {
        Q7Eset_auto2(0, func, client_data);
        Q7Eset_auto2(Q7tools_ERR_STACK_g, tools_func, tools_client_data);
    }

    nfound = q7diff(fname1, fname2, objname1, objname2, &opts);
    print_info(&opts);

    status = 1;
    if (opts.equal_allowed)
        status = nfound != 0 ? 1 : 0;
    if (opts.err_stat)
        status = 2;
    q7diff_exit(status);
    return status; /* not reached: q7diff_exit ends the process */
}
