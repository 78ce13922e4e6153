/*
 * testframe.c - registry and runner of the test harness (q7testframe.h).
 */
#include "q7testframe.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define DEFAULT_VERBOSITY 4

int TestVerbosity = DEFAULT_VERBOSITY;

typedef struct test_entry {
    char       name[Q7TEST_NAME_MAX];
    TestFunc   run;
    TestFunc   cleanup;
    char      *description;
    int        selected;
    int        errors;
} test_entry;

static test_entry *tests;
static size_t      ntests;
static size_t      tests_room;
static test_entry *running;       /* test whose errors TestErrPrintf counts */
static int         last_errors;   /* errors of the last test that ran */
static int         total_errors;
static FILE       *output;

static FILE *out_stream(void)
{
    return output ? output : stdout;
}

void TestSetOutput(FILE *stream)
{
    output = stream;
}

int print_func(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int n = vfprintf(out_stream(), format, ap);
    va_end(ap);
    return n;
}

int TestErrPrintf(const char *format, ...)
{
    if (running)
        running->errors++;
    last_errors = running ? running->errors : last_errors + 1;
    total_errors++;
    va_list ap;
    va_start(ap, format);
    int n = vfprintf(out_stream(), format, ap);
    va_end(ap);
    return n;
}

int GetTestNumErrs(void)
{
    return running ? running->errors : last_errors;
}

int GetTestTotalErrs(void)
{
    return total_errors;
}

int AddTest(const char *name, TestFunc test, TestFunc cleanup, const char *description)
{
    if (!name || !*name || !test) {
        fprintf(stderr, "AddTest: a test needs a name and a function\n");
        return -1;
    }
    if (strlen(name) >= Q7TEST_NAME_MAX) {
        fprintf(stderr, "AddTest: test name \"%s\" is too long (at most %d characters)\n", name,
                Q7TEST_NAME_MAX - 1);
        return -1;
    }
    for (size_t i = 0; i < ntests; i++) {
        if (strcmp(tests[i].name, name) == 0) {
            fprintf(stderr, "AddTest: test \"%s\" is already registered\n", name);
            return -1;
        }
    }
    if (ntests == tests_room) {
        size_t room = tests_room ? 2 * tests_room : 16;
        test_entry *grown = realloc(tests, room * sizeof *grown);
        if (!grown) {
            fprintf(stderr, "AddTest: out of memory registering \"%s\"\n", name);
            return -1;
        }
        tests = grown;
        tests_room = room;
    }
    test_entry *t = &tests[ntests];
    memset(t, 0, sizeof *t);
    strcpy(t->name, name);
    t->run = test;
    t->cleanup = cleanup;
    t->description = strdup(description ? description : "");
    if (!t->description) {
        fprintf(stderr, "AddTest: out of memory registering \"%s\"\n", name);
        return -1;
    }
    ntests++;
    return 0;
}

void TestReset(void)
{
    for (size_t i = 0; i < ntests; i++)
        free(tests[i].description);
    free(tests);
    tests = NULL;
    ntests = tests_room = 0;
    running = NULL;
    last_errors = total_errors = 0;
    TestVerbosity = DEFAULT_VERBOSITY;
}

static void usage(const char *prog)
{
    fprintf(stderr,
            "usage: %s [-v N] [-o NAME]... [-l] [-h]\n"
            "  -v N     verbosity (default %d; above 5 tests print their banners)\n"
            "  -o NAME  run only the named test (may be repeated)\n"
            "  -l       list the tests and stop\n",
            prog, DEFAULT_VERBOSITY);
}

static int parse_verbosity(const char *text, int *value)
{
    char *end;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 100)
        return -1;
    *value = (int)v;
    return 0;
}

static test_entry *find_test(const char *name)
{
    for (size_t i = 0; i < ntests; i++)
        if (strcmp(tests[i].name, name) == 0)
            return &tests[i];
    return NULL;
}

int TestMain(int argc, char *argv[])
{
    const char *prog = argc > 0 && argv[0] ? argv[0] : "test";
    int only = 0;
    for (size_t i = 0; i < ntests; i++) {
        tests[i].selected = 0;
        tests[i].errors = 0;
    }
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "-v") == 0) {
            if (i + 1 >= argc || parse_verbosity(argv[i + 1], &TestVerbosity) < 0) {
                fprintf(stderr, "%s: -v needs a verbosity from 0 to 100\n", prog);
                usage(prog);
                return 2;
            }
            i++;
        } else if (strcmp(a, "-o") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "%s: -o needs a test name\n", prog);
                usage(prog);
                return 2;
            }
            test_entry *t = find_test(argv[++i]);
            if (!t) {
                fprintf(stderr, "%s: no test named \"%s\"\n", prog, argv[i]);
                return 2;
            }
            t->selected = 1;
            only = 1;
        } else if (strcmp(a, "-l") == 0) {
            for (size_t k = 0; k < ntests; k++)
                fprintf(out_stream(), "%-20s %s\n", tests[k].name, tests[k].description);
            return 0;
        } else if (strcmp(a, "-h") == 0) {
            usage(prog);
            return 0;
        } else {
            fprintf(stderr, "%s: unknown argument \"%s\"\n", prog, a);
            usage(prog);
            return 2;
        }
    }

    int passed = 0, failed = 0;
    for (size_t i = 0; i < ntests; i++) {
        test_entry *t = &tests[i];
        if (only && !t->selected)
            continue;
        if (TestVerbosity > 6)
            fprintf(out_stream(), "Running %s: %s\n", t->name, t->description);
        running = t;
        t->run();
        running = NULL;
        last_errors = t->errors;
        if (t->cleanup)
            t->cleanup();
        if (t->errors) {
            failed++;
            fprintf(out_stream(), "%s: FAILED with %d error%s\n", t->name, t->errors,
                    t->errors == 1 ? "" : "s");
        } else {
            passed++;
        }
    }
    fprintf(out_stream(), "%d passed, %d failed\n", passed, failed);
    fflush(out_stream());
    return failed ? 1 : 0;
}
