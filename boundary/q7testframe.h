/*
 * q7testframe.h - the small test harness that library test modules run in.
 *
 * A test module provides a test function and a clean-up function; the
 * program that hosts it registers both with AddTest and hands its command
 * line to TestMain.  While a test runs, every TestErrPrintf call prints the
 * message and counts one error against that test.  TestMain ends with one
 * line "N passed, N failed".
 *
 * Command line of TestMain:
 *   -v N     verbosity (TestVerbosity); default 4
 *   -o NAME  run only the named test (may be repeated)
 *   -l       list the registered tests with their descriptions and stop
 *   -h       usage
 */
#ifndef Q7TESTFRAME_H
#define Q7TESTFRAME_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define Q7TEST_NAME_MAX 64

/* Verbosity of the running program; test modules read it to decide how
 * much they print. */
extern int TestVerbosity;

/* Prints like printf to the harness output (standard output unless
 * TestSetOutput chose another stream). */
int print_func(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* Prints like printf to the harness output and counts one error against
 * the test that is running (or against no test, outside a run). */
int TestErrPrintf(const char *format, ...) __attribute__((format(printf, 1, 2)));

typedef void (*TestFunc)(void);

/* Registers a test.  name must be unique and shorter than Q7TEST_NAME_MAX;
 * cleanup may be null.  Returns 0, or -1 (with a message on standard
 * error) for a bad or duplicate registration. */
int AddTest(const char *name, TestFunc test, TestFunc cleanup, const char *description);

/* Parses the command line, runs the selected tests in registration order
 * (each test, then its clean-up), prints the summary line and returns the
 * program's exit status: 0 when every test passed, 1 when one failed, 2 on
 * a bad command line. */
int TestMain(int argc, char *argv[]);

/* Errors counted against the running test so far (or, after a run,
 * against the last one). */
int GetTestNumErrs(void);
/* Errors counted in total since the start (or the last TestReset). */
int GetTestTotalErrs(void);

/* Where print_func and TestErrPrintf write; null restores standard output. */
void TestSetOutput(FILE *stream);

/* Forgets every registered test and every count, and sets the verbosity
 * back to its default. */
void TestReset(void);

#ifdef __cplusplus
}
#endif

#endif /* Q7TESTFRAME_H */
