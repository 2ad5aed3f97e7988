// Entry point of every test program: the bench must run with the Japanese
// ANSI code page, or every CP932 comparison would test the wrong thing.
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <gtest/gtest.h>
#include "test_helpers.h"

int main(int argc, char **argv)
{
    if (GetACP() != 932) {
        fprintf(stderr, "FATAL: the ANSI code page is %u, not 932; "
                        "run the tests with LC_ALL=ja_JP.UTF-8 under Wine\n", GetACP());
        return 1;
    }
    if (argc >= 3 && strcmp(argv[1], "--child") == 0)
        return run_test_child(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
