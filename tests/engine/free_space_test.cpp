// The free-space probe: which query gives the figure, how failures are
// reported, and what the fill does with the figure on a volume that holds
// space back for root (Q: is ext4 with 10% reserved blocks).
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include "engine/wipe_engine.h"
#include "engine_checks.h"
#include "support/messages.h"
#include "test_helpers.h"

class FreeSpaceProbe : public ::testing::Test {
protected:
    PassScope scope;
    ScriptedBoxes boxes;
    std::string root;
    std::string work;

    void SetUp() override
    {
        root = volume_root("quota_ext4");
        ASSERT_FALSE(root.empty()) << "no volume quota_ext4 on this bench";
        clear_volume(root);
        work = root + WORK_FOLDER_NAME;
        ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
        // the probe runs while the fill pass has made the work folder current
        SetCurrentDirectoryA(work.c_str());
        strcpy(probe_path, current_directory().c_str());
        SetWindowTextA(GetDlgItem(scope.owner, 146), "status before the probe");
    }
    void TearDown() override
    {
        SetCurrentDirectoryA(scope.saved_directory.c_str());
        if (!root.empty())
            clear_volume(root);
    }
    std::string status() { return window_text(scope.owner, 146); }
};

// Stand-ins for the two queries: fixed figures, a count of calls, the path asked about.
static int ex_calls;
static std::string ex_path;
static ULONGLONG ex_available, ex_total, ex_total_free;
static DWORD basic_sectors, basic_bytes, basic_free, basic_total;

static BOOL WINAPI fixed_ex(LPCSTR path, PULARGE_INTEGER available, PULARGE_INTEGER total,
                            PULARGE_INTEGER total_free)
{
    ++ex_calls;
    ex_path = path ? path : "(null)";
    available->QuadPart = ex_available;
    total->QuadPart = ex_total;
    total_free->QuadPart = ex_total_free;
    return TRUE;
}

static BOOL WINAPI fixed_basic(LPCSTR, LPDWORD sectors, LPDWORD bytes, LPDWORD free_clusters,
                               LPDWORD total_clusters)
{
    *sectors = basic_sectors;
    *bytes = basic_bytes;
    *free_clusters = basic_free;
    *total_clusters = basic_total;
    return TRUE;
}

static BOOL WINAPI not_ready_basic(LPCSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_READY);
    return FALSE;
}

TEST_F(FreeSpaceProbe, TheExtendedQueryGivesTheCallersShareForTheWorkFolder)
{
    ex_calls = 0;
    ex_available = 111 * 4096;
    ex_total = 999 * 4096;
    ex_total_free = 222 * 4096;
    get_free_ex = fixed_ex;
    unsigned long long free_bytes = 0;
    EXPECT_EQ(0u, query_free_bytes(&free_bytes));
    // the first output: what this user may still fill, not the volume's free bytes
    EXPECT_EQ(111ull * 4096, free_bytes);
    EXPECT_EQ(1, ex_calls);
    EXPECT_EQ(work, ex_path);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(FreeSpaceProbe, WithoutTheExtendedQueryTheClusterProductCountsInSixtyFourBits)
{
    get_free_ex = NULL;
    get_free_basic = fixed_basic;
    basic_sectors = 128;
    basic_bytes = 4096;
    basic_free = 0xFFFFFFFFu;
    basic_total = 0xFFFFFFFFu;
    unsigned long long free_bytes = 0;
    EXPECT_EQ(0u, query_free_bytes(&free_bytes));
    EXPECT_EQ(128ull * 4096 * 0xFFFFFFFFull, free_bytes);

    // and on the real volume, the real query's product
    get_free_basic = GetDiskFreeSpaceA;
    DWORD sectors, bytes, free_clusters, total;
    ASSERT_TRUE(GetDiskFreeSpaceA(NULL, &sectors, &bytes, &free_clusters, &total));
    EXPECT_EQ(0u, query_free_bytes(&free_bytes));
    EXPECT_EQ((unsigned long long)sectors * bytes * free_clusters, free_bytes);
    EXPECT_GT(free_bytes, 0u);
}

TEST_F(FreeSpaceProbe, OnARealVolumeTheFigureIsTheExtendedQuerysAvailableBytes)
{
    look_up_free_ex();
    ASSERT_NE(nullptr, get_free_ex);
    ULARGE_INTEGER available, total, total_free;
    ASSERT_TRUE(GetDiskFreeSpaceExA(work.c_str(), &available, &total, &total_free));
    unsigned long long free_bytes = 0;
    EXPECT_EQ(0u, query_free_bytes(&free_bytes));
    EXPECT_EQ(available.QuadPart, free_bytes);
    EXPECT_GT(free_bytes, 0u);
}

TEST_F(FreeSpaceProbe, AFailingBasicQueryIsReportedAndTheExtendedOneIsNotAsked)
{
    ex_calls = 0;
    ex_available = ex_total = ex_total_free = 1 << 20;
    get_free_ex = fixed_ex;
    get_free_basic = not_ready_basic;
    unsigned long long free_bytes = 12345;

    EXPECT_EQ((DWORD)ERROR_NOT_READY, query_free_bytes(&free_bytes));
    EXPECT_EQ(0, ex_calls);
    std::string expected = "GetDiskFreeSpace(): " + system_text(ERROR_NOT_READY);
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(expected, boxes.shown[0].text);
    EXPECT_EQ(scope.owner, boxes.shown[0].owner);
    EXPECT_EQ((UINT)(MB_OK | MB_ICONWARNING), boxes.shown[0].style);
    EXPECT_EQ(expected, status());
    EXPECT_EQ((DWORD)ERROR_NOT_READY, run_context.last_error);

    // each failing probe shows its own box
    EXPECT_EQ((DWORD)ERROR_NOT_READY, query_free_bytes(&free_bytes));
    EXPECT_EQ(2u, boxes.shown.size());
}

TEST_F(FreeSpaceProbe, AFailingExtendedQueryIsReportedWithItsOwnName)
{
    look_up_free_ex();
    std::string missing = work + "\\no such folder\\deeper";
    ULARGE_INTEGER available, total, total_free;
    ASSERT_FALSE(GetDiskFreeSpaceExA(missing.c_str(), &available, &total, &total_free));
    DWORD code = GetLastError();
    ASSERT_NE(0u, code);

    strcpy(probe_path, missing.c_str());
    unsigned long long free_bytes = 0;
    EXPECT_EQ(code, query_free_bytes(&free_bytes));
    std::string expected = "GetDiskFreeSpaceEx(): " + system_text(code);
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(expected, boxes.shown[0].text);
    EXPECT_EQ(expected, status());
    EXPECT_EQ(code, run_context.last_error);
}

// Root may write into ext4's reserved blocks, though the probe counts them as
// taken. The fill sizes its writes by the probe, then goes on with 512-byte
// writes for as long as the volume accepts them: what root could still use
// gets overwritten too, and the pass ends only when the volume refuses.
static GetDiskFreeSpaceExProc real_free_ex;
static int probes_at_zero;

static BOOL WINAPI counting_ex(LPCSTR path, PULARGE_INTEGER available, PULARGE_INTEGER total,
                               PULARGE_INTEGER total_free)
{
    BOOL ok = real_free_ex(path, available, total, total_free);
    ex_path = path;
    if (ok && available->QuadPart == 0)
        ++probes_at_zero;
    return ok;
}

TEST_F(FreeSpaceProbe, TheFillGoesOnPastAZeroFigureWhileTheVolumeTakesWrites)
{
    SetCurrentDirectoryA(scope.saved_directory.c_str());
    unsigned long long available_before = free_bytes_of(root);
    ASSERT_GT(available_before, (unsigned long long)TRANSFER_SIZE);
    real_free_ex = (GetDiskFreeSpaceExProc)(void (*)(void))GetProcAddress(GetModuleHandleA("kernel32.dll"),
                                                          "GetDiskFreeSpaceExA");
    get_free_ex = counting_ex;
    get_free_ex_ready = 1;
    probes_at_zero = 0;

    EXPECT_EQ(0, erase_step(scope.owner, 146, 147, &scope.abort_flag, nullptr, work.c_str()));
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(work, ex_path) << "the extended query was asked about another path";

    WorkFiles files = check_work_files(work, block_of(0).data());
    ASSERT_EQ("", files.problem);
    EXPECT_EQ(0u, free_bytes_of(root));
    // the reserve (10% of the volume) took 512-byte writes after the probe said 0
    EXPECT_GT(probes_at_zero, 1000);
    EXPECT_GT(files.total, available_before + 4 * 1024 * 1024);
}
