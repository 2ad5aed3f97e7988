// Entry point of every test program: the bench must run with the Japanese
// ANSI code page, or every CP932 comparison would test the wrong thing.
#include <windows.h>
#include <stdio.h>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    UINT acp = GetACP();
    if (acp != 932) {
        fprintf(stderr, "FATAL: the ANSI code page is %u, not 932; "
                        "run the tests with LC_ALL=ja_JP.UTF-8 under Wine\n", acp);
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
