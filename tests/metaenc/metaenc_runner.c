/* Test program: the metadata encoding test run in the test harness. */
#include <q7testframe.h>

#include "metaenc_test.h"

int main(int argc, char *argv[])
{
    if (AddTest("metadata", test_metadata, cleanup_metadata, "Encode/decode metadata integers") < 0)
        return 2;
    return TestMain(argc, argv);
}
