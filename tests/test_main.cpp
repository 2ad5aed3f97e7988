// Entry point of every test program: the bench must run with the Japanese
// ANSI code page, or every CP932 comparison would test the wrong thing; a run
// of the English tests says which code page it wants (VANTA_CODE_PAGE).
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <gtest/gtest.h>
#include "test_helpers.h"

int main(int argc, char **argv)
{
    UINT wanted = getenv("VANTA_CODE_PAGE") ? (UINT)atoi(getenv("VANTA_CODE_PAGE")) : 932;
    if (GetACP() != wanted) {
        fprintf(stderr, "FATAL: the ANSI code page is %u, not %u; "
                        "run the tests with LC_ALL=ja_JP.UTF-8 (932) or en_US.UTF-8 (1252) under Wine\n", GetACP(), wanted);
        return 1;
    }
    if (argc >= 3 && strcmp(argv[1], "--child") == 0)
        return run_test_child(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
