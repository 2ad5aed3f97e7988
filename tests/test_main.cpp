// Entry point of every test program: the bench must run with the Japanese
// ANSI code page, or every CP932 comparison would test the wrong thing; a run
// of the English tests says which code page it wants (VANTA_CODE_PAGE).
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <gtest/gtest.h>
#include "test_helpers.h"
#include "strict_windows.h"

// Every call the program makes is held to Windows' rules: a test that met a
// refusal fails, naming the call and the rule, and so does one during which
// the strict build of vanta.exe, run by the test, met one (VANTA_STRICT_LOG).
class StrictRefusals : public testing::EmptyTestEventListener {
    long log_size = 0;
    static long size_of(const char *path)
    {
        WIN32_FILE_ATTRIBUTE_DATA data;
        return path && GetFileAttributesExA(path, GetFileExInfoStandard, &data) ? (long)data.nFileSizeLow : 0;
    }
    void OnTestStart(const testing::TestInfo &) override
    {
        strict_take_refusals();
        log_size = size_of(getenv("VANTA_STRICT_LOG"));
    }
    void OnTestEnd(const testing::TestInfo &) override
    {
        for (const std::string &refusal : strict_take_refusals())
            ADD_FAILURE() << "Windows refuses " << refusal;
        const char *log = getenv("VANTA_STRICT_LOG");
        long now = size_of(log);
        if (now > log_size) {
            std::string text(now - log_size, 0);
            FILE *file = fopen(log, "rb");
            if (file && fseek(file, log_size, SEEK_SET) == 0)
                text.resize(fread(&text[0], 1, text.size(), file));
            if (file)
                fclose(file);
            ADD_FAILURE() << "Windows refuses these calls of vanta.exe:\n" << text;
        }
    }
};

int main(int argc, char **argv)
{
    UINT wanted = getenv("VANTA_CODE_PAGE") ? (UINT)atoi(getenv("VANTA_CODE_PAGE")) : 932;
    if (GetACP() != wanted) {
        fprintf(stderr, "FATAL: the ANSI code page is %u, not %u; "
                        "run the tests with LC_ALL=ja_JP.UTF-8 (932) or en_US.UTF-8 (1252) under Wine\n", GetACP(), wanted);
        return 1;
    }
    if (argc >= 3 && strcmp(argv[1], "--child") == 0) {
        // a child's refusals go where the strict vanta.exe's go
        strict_log_path = getenv("VANTA_STRICT_LOG") ? getenv("VANTA_STRICT_LOG") : "";
        strict_windows_install();
        return run_test_child(argv[2]);
    }
    testing::InitGoogleTest(&argc, argv);
    strict_windows_install();
    testing::UnitTest::GetInstance()->listeners().Append(new StrictRefusals);
    return RUN_ALL_TESTS();
}
