// The progress text on the test's own clocks: every band edge, the ring of 20
// samples, and when the status control gets a new text.
#include <gtest/gtest.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"
#include "test_helpers.h"

const long long S = 10000000;   // a second in 100-ns units
static DWORD fake_tick;
static long long fake_time;
static DWORD WINAPI read_tick(void) { return fake_tick; }
static long long read_time(void) { return fake_time; }
static std::string sample(long long time, unsigned long long free_bytes)
{
    progress_tick = read_tick, progress_time = read_time, fake_time = time;
    return format_progress(free_bytes);
}

// A pass's first sample, then its second: the text of the second.
TEST(Progress, EveryBandEdgeOfTheFreeAndSpeedLines)
{
    struct Case { unsigned long long first; long long elapsed; unsigned long long now; const char *text; };
    const Case cases[] = {
        { 0, S, 0, "0" }, { 1, S, 1, "1KB" }, { 1024, S, 1024, "1KB" }, { 2047, S, 2047, "1KB" }, { 2048, S, 2048, "2KB" },
        { 10239999, S, 10239999, "9999KB" }, { 10240000, S, 10240000, "9MB" }, { 5000000000ull, S, 5000000000ull, "4768MB" },
        { 10485759999ull, S, 10485759999ull, "9999MB" }, { 10485760000ull, S, 10485760000ull, "9GB" }, { ~0ull, S, ~0ull, "17179869183GB" },
        { 1, S, 0, "0\r\nspeed 1B/sec" }, { 1024, S, 0, "0\r\nspeed 1024B/sec" }, { 1025, S, 0, "0\r\nspeed 1KB/sec" },
        { 10239999, S, 0, "0\r\nspeed 9999KB/sec" }, { 10240000, S, 0, "0\r\nspeed 9MB/sec" },
        { 10485759999ull, S, 0, "0\r\nspeed 9999MB/sec" }, { 10485760000ull, S, 0, "0\r\nspeed 9GB/sec" },
        { 10000000000ull, 25000000, 9750000000ull, "9298MB\r\nspeed 95MB/sec" },
        { 5000, 25500000, 4745, "4KB\r\nspeed 102B/sec" },     // whole tenths: 2.5 s
        { 5000, S, 6000, "5KB" }, { 1000000000, 999999, 500000000, "476MB" },   // grew; under a tenth
    };
    for (const Case &c : cases) {
        reset_progress(), sample(0, c.first);
        EXPECT_EQ(c.text, sample(c.elapsed, c.now)) << c.first << " then " << c.now;
    }
}

// The first sample is far off the steady 100 bytes a second of the rest:
// a speed measured from it shows as KB/sec.
TEST(Progress, TheTwentyFirstSampleMeasuresFromTheSecondAndTakesEntryZero)
{
    reset_progress();
    EXPECT_EQ("9277KB", sample(0, 9500000));
    for (int k = 2; k <= 45; ++k) {
        unsigned long long free_bytes = 9000000 - 100 * (k - 2);
        std::string text = sample((k - 1) * S, free_bytes), speed = k == 20 ? "25KB" : "100B";
        EXPECT_TRUE(k < 20 || text == std::to_string(free_bytes >> 10) + "KB\r\nspeed " + speed + "/sec") << k << ": " << text;
    }
}

// From 1000 ms before the tick count wraps: 1000 ms or less shows nothing and
// takes no sample; an unchanged text leaves the control and the tick of the
// last showing alone; that second runs on across a new pass.
TEST(Progress, TheControlGetsAChangedTextAtMostOnceASecond)
{
    struct Step { DWORD after; long long time; unsigned long long free_bytes; bool new_pass, mark; const char *status; };
    const Step steps[] = {
        { 999, 0, 6000000000ull, false, false, "" }, { 1000, 0, 6000000000ull, false, false, "" },
        { 1001, 10 * S, 5000000000ull, false, false, "4768MB" }, { 2001, 20 * S, 4000000000ull, false, false, "4768MB" },
        { 2002, 20 * S, 4000000000ull, false, false, "3814MB\r\nspeed 95MB/sec" }, { 4003, 200500000, 3999500000ull, false, true, "marker" },
        { 4004, 30 * S, 3000000000ull, false, false, "2861MB\r\nspeed 95MB/sec" },
        { 4500, 40 * S, 2000000000ull, true, false, "2861MB\r\nspeed 95MB/sec" }, { 5005, 50 * S, 2000000000ull, false, false, "1907MB" },
    };
    run_context.owner = create_status_window(), run_context.status_id = 146, last_shown_tick = 0xFFFFFC18u;
    reset_progress();
    for (const Step &s : steps) {
        if (s.new_pass)
            reset_progress();
        if (s.mark)
            SetDlgItemTextA(run_context.owner, 146, "marker");
        progress_tick = read_tick, progress_time = read_time, fake_tick = 0xFFFFFC18u + s.after, fake_time = s.time;
        show_progress(s.free_bytes);
        EXPECT_EQ(s.status, window_text(run_context.owner, 146)) << "at +" << s.after << " ms";
    }
    DestroyWindow(run_context.owner);
}
