// The progress text: free-space and speed bands, the ring of 20 samples the
// speed is measured over, and how often the status control gets a new text.
// The clocks are the test's own, so every figure is exact.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include <vector>
#include "engine/wipe_engine.h"
#include "support/messages.h"
#include "test_helpers.h"

namespace {

const long long SECOND = 10000000;   // 100-ns units

DWORD fake_tick;
long long fake_time;
DWORD WINAPI read_fake_tick(void) { return fake_tick; }
long long read_fake_time(void) { return fake_time; }

class ProgressText : public ::testing::Test {
protected:
    ProgressTickProc saved_tick;
    ProgressTimeProc saved_time;
    DWORD saved_last_shown;

    void SetUp() override
    {
        saved_tick = progress_tick;
        saved_time = progress_time;
        saved_last_shown = last_shown_tick;
        progress_tick = read_fake_tick;
        progress_time = read_fake_time;
        fake_tick = 0;
        fake_time = 0;
        reset_progress();
    }
    void TearDown() override
    {
        progress_tick = saved_tick;
        progress_time = saved_time;
        last_shown_tick = saved_last_shown;
    }

    // One sample taken at time (100-ns units) with free bytes; its text.
    std::string sample(long long time, unsigned long long free_bytes)
    {
        fake_time = time;
        return format_progress(free_bytes);
    }
    // The text of a pass's second sample: speed bytes filled in one second,
    // nothing left free.
    std::string after_one_second_at(long long speed)
    {
        reset_progress();
        sample(0, (unsigned long long)speed);
        return sample(SECOND, 0);
    }
};

// ---------------------------------------------------------------- free line

TEST_F(ProgressText, FreeSpaceLineAtEveryBandEdge)
{
    struct Case { unsigned long long free_bytes; const char *text; };
    const Case cases[] = {
        { 0, "0" },
        { 1, "1KB" },
        { 1024, "1KB" },
        { 1025, "1KB" },
        { 2047, "1KB" },
        { 2048, "2KB" },
        { 10239999, "9999KB" },
        { 10240000, "9MB" },
        { 5000000000ull, "4768MB" },
        { 10485759999ull, "9999MB" },
        { 10485760000ull, "9GB" },
        // a number past 32 bits: the print really is 64-bit
        { 0xFFFFFFFFFFFFFFFFull, "17179869183GB" },
    };
    for (const Case &c : cases) {
        reset_progress();
        EXPECT_EQ(c.text, sample(0, c.free_bytes)) << c.free_bytes;
    }
}

TEST_F(ProgressText, FirstCallOfAPassGivesTheFreeLineOnly)
{
    sample(0, 10000000000ull);
    ASSERT_EQ("9298MB\r\nspeed 95MB/sec", sample(25000000, 9750000000ull));
    // a new pass: the samples left in the ring must not give a speed
    reset_progress();
    EXPECT_EQ("8583MB", sample(50000000, 9000000000ull));
    EXPECT_EQ("8106MB\r\nspeed 47MB/sec", sample(150000000, 8500000000ull));
}

// ---------------------------------------------------------------- speed line

TEST_F(ProgressText, SpeedLineAtEveryBandEdge)
{
    struct Case { long long speed; const char *line; };
    const Case cases[] = {
        { 1, "speed 1B/sec" },
        { 1024, "speed 1024B/sec" },
        { 1025, "speed 1KB/sec" },
        { 2047, "speed 1KB/sec" },
        { 10239999, "speed 9999KB/sec" },
        { 10240000, "speed 9MB/sec" },
        { 10485759999LL, "speed 9999MB/sec" },
        { 10485760000LL, "speed 9GB/sec" },
        { 1LL << 50, "speed 1048576GB/sec" },
    };
    for (const Case &c : cases)
        EXPECT_EQ(std::string("0\r\n") + c.line, after_one_second_at(c.speed)) << c.speed;
}

TEST_F(ProgressText, ElapsedTimeCountsInWholeTenths)
{
    // 250,000,000 bytes in 2.5 s
    sample(0, 10000000000ull);
    EXPECT_EQ("9298MB\r\nspeed 95MB/sec", sample(25000000, 9750000000ull));

    // 255 bytes in 2.55 s: 2.5 s counted, so 102 rather than 100
    reset_progress();
    sample(0, 5000);
    EXPECT_EQ("4KB\r\nspeed 102B/sec", sample(25500000, 4745));

    // 1,000 bytes in 3 s: the speed truncates as well
    reset_progress();
    sample(0, 5000);
    EXPECT_EQ("3KB\r\nspeed 333B/sec", sample(3 * SECOND, 4000));
}

TEST_F(ProgressText, NoSpeedLineWhenNothingWasFilled)
{
    // the free space grew
    sample(0, 5000);
    EXPECT_EQ("5KB", sample(SECOND, 6000));
    // unchanged
    reset_progress();
    sample(0, 5000);
    EXPECT_EQ("4KB", sample(SECOND, 5000));
}

TEST_F(ProgressText, NoSpeedLineWithinATenthOfASecond)
{
    sample(0, 1000000000);
    EXPECT_EQ("476MB", sample(0, 500000000));             // the same instant
    EXPECT_EQ("476MB", sample(999999, 500000000));        // just short of a tenth
    // a whole tenth after the pass's first sample: 1,000 bytes in 0.1 s
    EXPECT_EQ("953MB\r\nspeed 9KB/sec", sample(1000000, 999999000));
}

// ---------------------------------------------------------------- the ring

TEST_F(ProgressText, TwentyFirstSampleMeasuresFromTheSecondAndTakesEntryZero)
{
    // The first sample sits far off the steady 100 bytes a second of the
    // others: any speed measured from it shows up as KB/sec.
    sample(0, 9500000);
    std::string text;
    for (int k = 2; k <= 20; ++k)
        text = sample((k - 1) * SECOND, 9000000 - 100 * (k - 2));
    EXPECT_EQ("8787KB\r\nspeed 25KB/sec", text) << "20th sample, measured from the 1st";

    for (int k = 21; k <= 45; ++k) {
        unsigned long long free_bytes = 9000000 - 100 * (k - 2);
        text = sample((k - 1) * SECOND, free_bytes);
        // the 40th is measured from entry 0: the 21st sample, if it went there
        EXPECT_EQ(std::to_string(free_bytes >> 10) + "KB\r\nspeed 100B/sec", text)
            << "sample " << k;
    }
}

// Irregular times and amounts over three full turns of the ring and a new
// pass: each speed must come from the pass's first sample while the ring
// fills, then from the sample taken 19 calls earlier.
TEST_F(ProgressText, SpeedIsMeasuredOverTheLastTwentySamplesOfThePass)
{
    for (int pass = 0; pass < 2; ++pass) {
        reset_progress();
        std::vector<long long> times;
        std::vector<unsigned long long> frees;
        unsigned long long free_bytes = 9000000 - 700000 * pass;
        for (int k = 0; k < (pass ? 30 : 65); ++k) {
            long long time = (100 + k) * SECOND + (k * 7919 % 13) * 90000;
            free_bytes -= 50 + (k * 37 % 200);
            times.push_back(time);
            frees.push_back(free_bytes);
            std::string text = sample(time, free_bytes);

            std::string expected = std::to_string(free_bytes >> 10) + "KB";
            if (k > 0) {
                size_t oldest = k < 20 ? 0 : k - 19;
                long long tenths = (time - times[oldest]) / 1000000;
                long long speed = (long long)(frees[oldest] - free_bytes) * 10 / tenths;
                expected += "\r\nspeed " + std::to_string(speed) + "B/sec";
            }
            ASSERT_EQ(expected, text) << "pass " << pass << " sample " << k + 1;
        }
    }
}

// ---------------------------------------------------------------- the real clocks

TEST(ProgressClocks, TimeStampIsTheSystemTimeInHundredNanoseconds)
{
    FILETIME system;
    GetSystemTimeAsFileTime(&system);
    long long expected = (long long)(((unsigned long long)system.dwHighDateTime << 32) |
                                     system.dwLowDateTime);
    long long stamp = progress_time();
    // the same clock read twice: far less than a second apart, unless the
    // units or the epoch are wrong
    EXPECT_LT(llabs(stamp - expected), SECOND);
}

// ---------------------------------------------------------------- the status control

class ShownProgress : public ProgressText {
protected:
    HWND owner = nullptr;
    HWND saved_owner;
    int saved_status_id;

    void SetUp() override
    {
        ProgressText::SetUp();
        saved_owner = run_context.owner;
        saved_status_id = run_context.status_id;
        owner = create_status_window();
        ASSERT_NE(nullptr, owner);
        run_context.owner = owner;
        run_context.status_id = 146;
        last_shown_tick = 100000;
    }
    void TearDown() override
    {
        run_context.owner = saved_owner;
        run_context.status_id = saved_status_id;
        if (owner)
            DestroyWindow(owner);
        ProgressText::TearDown();
    }

    std::string status() { return window_text(owner, 146); }
    void show_at(DWORD tick, long long time, unsigned long long free_bytes)
    {
        fake_tick = tick;
        fake_time = time;
        show_progress(free_bytes);
    }
    void mark_status() { SetDlgItemTextA(owner, 146, "marker"); }
};

TEST_F(ShownProgress, NotMoreOftenThanOnceASecond)
{
    show_at(100999, 0, 6000000000ull);
    show_at(101000, 0, 6000000000ull);                   // exactly 1000 ms: not yet
    EXPECT_EQ("", status());
    // 1001 ms: shown; the calls above took no sample, or there'd be a speed
    show_at(101001, 10 * SECOND, 5000000000ull);
    EXPECT_EQ("4768MB", status());

    show_at(102001, 20 * SECOND, 4000000000ull);
    EXPECT_EQ("4768MB", status());
    show_at(102002, 20 * SECOND, 4000000000ull);
    EXPECT_EQ("3814MB\r\nspeed 95MB/sec", status());
}

TEST_F(ShownProgress, UnchangedTextIsTriedAgainAtTheNextCall)
{
    show_at(101001, 0, 5000000000ull);
    ASSERT_EQ("4768MB", status());
    mark_status();

    // same text two seconds on: the control is left alone and the second
    // is not counted as a showing
    show_at(103001, 20 * SECOND, 5000000000ull);
    EXPECT_EQ("marker", status());
    // so one millisecond later a changed text goes straight in
    show_at(103002, 30 * SECOND, 4900000000ull);
    EXPECT_EQ("4673MB\r\nspeed 3255KB/sec", status());
}

TEST_F(ShownProgress, ANewPassShowsEvenTheSameTextAgain)
{
    show_at(101001, 0, 5000000000ull);
    mark_status();
    reset_progress();
    show_at(102002, 10 * SECOND, 5000000000ull);
    EXPECT_EQ("4768MB", status());
}

TEST_F(ShownProgress, TheSecondSinceTheLastShowingSpansANewPass)
{
    show_at(101001, 0, 5000000000ull);
    mark_status();
    reset_progress();
    show_at(101500, SECOND, 4000000000ull);
    show_at(102001, 2 * SECOND, 4000000000ull);
    EXPECT_EQ("marker", status());
    show_at(102002, 3 * SECOND, 4000000000ull);
    EXPECT_EQ("3814MB", status());                       // the pass's first sample
}

TEST_F(ShownProgress, TheSecondIsCountedAcrossTheTickCountWrap)
{
    last_shown_tick = 0xFFFFFF00u;
    show_at(0x100, 0, 5000000000ull);                    // 512 ms later
    show_at(0x2E8, 0, 5000000000ull);                    // 1000 ms later
    EXPECT_EQ("", status());
    show_at(0x2E9, 0, 5000000000ull);                    // 1001 ms later
    EXPECT_EQ("4768MB", status());
}

}  // namespace
