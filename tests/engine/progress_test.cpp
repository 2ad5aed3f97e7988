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
// last showing alone; that second runs on across a new pass. Each figure
// with its words and unit, in the program's language: which pass of how
// many, what it has written or verified, what is left, the speed.
TEST(Progress, TheControlGetsAChangedTextAtMostOnceASecond)
{
    enum { JA, EN };
    struct Step {
        DWORD after;
        long long time;
        int kind;
        unsigned long long done, left;
        PassNumbers numbers;
        bool new_pass, mark;
        int language;
        const char *status;
    };
    const PassNumbers one = {1, 1, 0, 0};
    const Step steps[] = {
        { 999, 0, PASS_FILL, 0, 6000000000ull, one, false, false, JA, "" },
        { 1000, 0, PASS_FILL, 0, 6000000000ull, one, false, false, JA, "" },
        { 1001, 10 * S, PASS_FILL, 1000000000ull, 5000000000ull, one, false, false, JA,
          "上書き 1/1 回目: 書き込み済み 953 MB、残り 4,768 MB" },
        { 2001, 20 * S, PASS_FILL, 2000000000ull, 4000000000ull, one, false, false, JA,
          "上書き 1/1 回目: 書き込み済み 953 MB、残り 4,768 MB" },
        { 2002, 20 * S, PASS_FILL, 2000000000ull, 4000000000ull, one, false, false, JA,
          "上書き 1/1 回目: 書き込み済み 1,907 MB、残り 3,814 MB\r\n速度 95 MB/秒" },
        { 4003, 200500000, PASS_FILL, 2000500000ull, 3999500000ull, one, false, true, JA, "marker" },
        { 4004, 30 * S, PASS_FILL, 3000000000ull, 3000000000ull, one, false, false, JA,
          "上書き 1/1 回目: 書き込み済み 2,861 MB、残り 2,861 MB\r\n速度 95 MB/秒" },
        { 4500, 40 * S, PASS_FILL, 0, 2000000000ull, {2, 3, 0, 0}, true, false, JA,
          "上書き 1/1 回目: 書き込み済み 2,861 MB、残り 2,861 MB\r\n速度 95 MB/秒" },
        // a new pass: no speed from its first sample
        { 5005, 50 * S, PASS_FILL, 0, 2000000000ull, {2, 3, 0, 0}, false, false, JA,
          "上書き 2/3 回目: 書き込み済み 0 KB、残り 1,907 MB" },
        { 6006, 60 * S, PASS_VERIFY, 1048576, 10240000, {3, 3, 2, 3}, true, false, EN,
          "Verify 2 of 3: 1,024 KB verified, 9 MB left" },
        { 7007, 61 * S, PASS_FILL, 512, 10239488, {3, 35, 0, 0}, false, false, EN,
          "Pass 3 of 35: 1 KB written, 9,999 KB left\r\nSpeed 512 B/s" },
        { 8008, 81 * S, PASS_FILL, 10485760000ull, 10485760000ull,
          {35, 35, 0, 0}, true, false, JA, "上書き 35/35 回目: 書き込み済み 9 GB、残り 9 GB" },
        // an unnumbered pass (run on its own): the first of one
        { 9009, 91 * S, PASS_FILL, 0, 1024, {0, 0, 0, 0}, false, false, EN,
          "Pass 1 of 1: 0 KB written, 1 KB left\r\nSpeed 999 MB/s" },
    };
    load_texts(GetModuleHandleA(NULL));
    run_context.owner = create_status_window(), run_context.status_id = 146, last_shown_tick = 0xFFFFFC18u;
    reset_progress();
    for (const Step &s : steps) {
        SCOPED_TRACE("at +" + std::to_string(s.after) + " ms");
        if (s.new_pass)
            reset_progress();
        if (s.mark)
            SetDlgItemTextA(run_context.owner, 146, "marker");
        program_language = s.language == EN ? LANGUAGE_ENGLISH : LANGUAGE_JAPANESE;
        pass_numbers = s.numbers;
        progress_tick = read_tick, progress_time = read_time, fake_tick = 0xFFFFFC18u + s.after, fake_time = s.time;
        show_pass_progress(s.kind, s.done, s.left);
        EXPECT_EQ(s.status, window_text(run_context.owner, 146));
    }
    program_language = LANGUAGE_JAPANESE, pass_numbers = PassNumbers{};
    DestroyWindow(run_context.owner);
}

// ---------------------------------------------------------------- the run's progress

// A window that keeps the positions posted to it.
static std::vector<int> posted;
static LRESULT CALLBACK keep_positions(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_RUN_PROGRESS) {   // as the dialog takes it: the latest position
        InterlockedExchange(&run_position_queued, 0);
        posted.push_back((int)run_position);
    }
    return DefWindowProcA(window, message, wparam, lparam);
}
// The run's window: a window that keeps the positions posted to it, on the
// test's clock from start_tick.
static void open_position_window(DWORD start_tick)
{
    load_texts(GetModuleHandleA(NULL));
    WNDCLASSA kind = {};
    kind.lpfnWndProc = keep_positions, kind.lpszClassName = "vanta positions";
    RegisterClassA(&kind);
    run_context.owner = CreateWindowA("vanta positions", "", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
    progress_tick = read_tick, fake_tick = start_tick;
}

static std::vector<int> positions_posted()
{
    posted.clear();
    for (MSG m; PeekMessageA(&m, run_context.owner, 0, 0, PM_REMOVE);)
        DispatchMessageA(&m);
    return posted;
}

// Step k of n holds the share (k - 1 + (part + the pass's fraction) / parts) / n.
TEST(RunProgress, TheRunsShareFromItsStepsPartsAndPassFractions)
{
    const struct { const char *name; int step, count, part, parts; double pass, share; } cases[] = {
        {"nothing done", 1, 1, 0, 1, 0, 0}, {"half of the one step", 1, 1, 0, 1, 0.5, 0.5},
        {"half of step 2 of 4", 2, 4, 0, 1, 0.5, 0.375}, {"half the verify of step 3 of 4", 3, 4, 1, 2, 0.5, 0.6875},
        {"the last verify done", 4, 4, 1, 2, 1, 1}, {"a pass past its whole", 1, 2, 0, 1, 1.7, 0.5},
        {"a pass below nothing", 2, 2, 0, 1, -0.3, 0.5}, {"no steps", 1, 0, 0, 1, 0.5, 0},
    };
    for (const auto &c : cases)
        EXPECT_DOUBLE_EQ(c.share, run_fraction(c.step, c.count, c.part, c.parts, c.pass)) << c.name;
}

// Times left in five seconds up to 55, then in whole minutes up to 59, then
// in hours and minutes, always rounded up; times taken to the second.
TEST(RunProgress, DurationsReadAsTheyShouldAtEveryBoundary)
{
    load_texts(GetModuleHandleA(NULL));
    const struct { double left; const char *text; } lefts[] = {
        {0, "残り約 5 秒"}, {0.2, "残り約 5 秒"}, {5, "残り約 5 秒"}, {5.5, "残り約 10 秒"}, {55, "残り約 55 秒"},
        {56, "残り約 1 分"}, {60, "残り約 1 分"}, {61, "残り約 2 分"}, {3540, "残り約 59 分"},
        {3541, "残り約 1 時間 0 分"}, {3601, "残り約 1 時間 1 分"}, {36000, "残り約 10 時間 0 分"},
    };
    for (const auto &c : lefts) {
        char text[80];
        format_time_left(text, sizeof text, c.left);
        EXPECT_EQ(c.text, std::string(text)) << c.left << " s left";
    }
    const struct { unsigned seconds; const char *text; } taken[] = {
        {0, "0 秒"}, {59, "59 秒"}, {60, "1 分 0 秒"}, {3599, "59 分 59 秒"}, {3600, "1 時間 0 分"}, {90061, "25 時間 1 分"},
    };
    for (const auto &c : taken) {
        char text[80];
        format_elapsed(text, sizeof text, c.seconds);
        EXPECT_EQ(c.text, std::string(text)) << c.seconds << " s taken";
    }
    const struct { unsigned long long bytes; const char *text; } counts[] = {
        {0, "0"}, {999, "999"}, {1000, "1,000"}, {1234567, "1,234,567"}, {~0ull, "18,446,744,073,709,551,615"},
    };
    for (const auto &c : counts) {
        char text[40];
        format_byte_count(text, sizeof text, c.bytes);
        EXPECT_EQ(c.text, std::string(text)) << c.bytes << " bytes";
    }
}

// On the test's clock: no estimate before ten seconds; then the raw figure,
// and later ones only pull the last estimate (run on by the time since) a
// third of the way towards them, so a sudden jump in the share done moves
// the figure gently. The bar is posted only when it grows, never back, and
// is full only at a successful end.
TEST(RunProgress, TheTimeLeftIsSmoothedAndTheBarNeverMovesBack)
{
    open_position_window(5000);
    begin_run_progress(2);
    const struct { DWORD at; int step, part, parts; unsigned long long done, whole; std::vector<int> posted; const char *line; } steps[] = {
        {5000, 1, 0, 1, 0, 100, {}, ""},
        {10000, 1, 0, 1, 10, 100, {50}, ""},                     // 5% after 5 s: too early
        {15000, 1, 0, 1, 20, 100, {100}, "\r\n残り約 2 分"},      // 10% after 10 s: 90 s
        {16000, 2, 0, 2, 0, 100, {500}, "\r\n残り約 2 分"},       // 50% after 11 s: 89 pulled towards 11, 65.6
        {17000, 2, 0, 2, 0, 100, {}, "\r\n残り約 50 秒"},         // 64.6 towards 12: 48.8
        {18000, 1, 0, 1, 30, 100, {}, "\r\n残り約 40 秒"},        // an earlier step again: no bar back; 47.8 towards 13: 37.4
        // all written, the deletion still to come: 36.4 towards 0; one
        // message in the queue stands for both positions
        {19000, 2, 1, 2, 100, 100, {999}, "\r\n残り約 30 秒"},
    };
    for (const auto &s : steps) {
        fake_tick = s.at;
        begin_step_progress(s.step, s.part, s.parts);
        report_pass_progress(s.done, s.whole);
        SCOPED_TRACE("at " + std::to_string(s.at) + " ms");
        EXPECT_EQ(s.posted, positions_posted());
        EXPECT_EQ(s.line, std::string(run_time_left_line()));
    }
    end_run_progress(0);
    EXPECT_EQ(std::vector<int>{}, positions_posted()) << "a failed run is not full, its last pass done or not";
    EXPECT_EQ("", std::string(run_time_left_line())) << "no run, no time left";
    begin_run_progress(1), end_run_progress(1);
    EXPECT_EQ(std::vector<int>{RUN_PROGRESS_FULL}, positions_posted());
    EXPECT_EQ(0u, run_totals.elapsed_ms);
    DestroyWindow(run_context.owner);
    run_context.owner = NULL, progress_tick = GetTickCount;
}

// 35 passes over 20 TB take about 54 days: the tick counter wraps after 49.7,
// and the run's time, its time left and its summary must not.
TEST(RunProgress, ARunLongerThanTheTickCountersFortyNineDaysKeepsItsTime)
{
    load_texts(GetModuleHandleA(NULL));
    run_context.owner = NULL;
    const DWORD day = 86400000;
    progress_tick = read_tick, fake_tick = 0xF0000000;   // the counter wraps 3 days in
    begin_run_progress(1);
    begin_step_progress(1, 0, 1);
    const struct { unsigned day; unsigned long long done; const char *line; } days[] = {
        // a sixth in 9 days: 45 left (1080 hours); each later estimate is on course
        {9, 1, "\r\n残り約 1080 時間 0 分"}, {18, 2, "\r\n残り約 864 時間 0 分"},
        {27, 3, "\r\n残り約 648 時間 0 分"}, {36, 4, "\r\n残り約 432 時間 0 分"}, {45, 5, "\r\n残り約 216 時間 0 分"},
    };
    for (const auto &d : days) {
        SCOPED_TRACE("day " + std::to_string(d.day));
        fake_tick = 0xF0000000 + d.day * day;   // wrapped round from day 3 on
        report_pass_progress(d.done, 6);
        EXPECT_EQ(d.line, std::string(run_time_left_line()));
    }
    fake_tick = 0xF0000000 + 54u * day;
    end_run_progress(1);
    EXPECT_EQ(54ull * day, run_totals.elapsed_ms);
    EXPECT_EQ("上書き 0 バイト（0 回）、所要時間 1296 時間 0 分", std::string(run_summary_text()));
    progress_tick = GetTickCount, run_totals = RunTotals();
}

// A run that goes on from step 2 of 4: the bar starts at a quarter, and the
// time left comes from this part's own pace, not from a quarter done in no
// time: half of step 2 in 10 s is an eighth of the run, with five eighths left.
TEST(RunProgress, ARunThatGoesOnFromALaterStepReckonsTheTimeLeftFromItsOwnPace)
{
    open_position_window(1000);
    begin_run_progress(4);
    skip_run_progress(1);
    EXPECT_EQ(std::vector<int>{250}, positions_posted()) << "the step done before counts";
    fake_tick = 11000;
    begin_step_progress(2, 0, 1);
    report_pass_progress(1, 2);
    EXPECT_EQ(std::vector<int>{375}, positions_posted());
    EXPECT_EQ("\r\n残り約 50 秒", std::string(run_time_left_line()));
    end_run_progress(0);
    DestroyWindow(run_context.owner);
    run_context.owner = NULL, progress_tick = GetTickCount;
}

// The summary under "finished": what was overwritten and verified, and a line
// of its own for free space the caller could not write, only when there was some.
TEST(RunProgress, TheSummaryNamesWhatWasDoneAndWhatWasOutOfReach)
{
    load_texts(GetModuleHandleA(NULL));
    const struct { const char *name; RunTotals totals; const char *text; } rows[] = {
        {"one pass", {3221225472ull, 0, 1, 0, 125000, 0, 0, 1}, "上書き 3,221,225,472 バイト（1 回）、所要時間 2 分 5 秒"},
        {"verified", {1024, 1000, 3, 0, 5000, 0, 0, 3}, "上書き 1,024 バイト（3 回）、検証 1,000 バイト、所要時間 5 秒"},
        {"a reserve out of reach", {4096, 0, 1, 53686272, 0, 0, 0, 1},
         "上書き 4,096 バイト（1 回）、所要時間 0 秒\r\nこのアカウントが書き込めない空き領域 53,686,272 バイト"
         "（ディスク クォータ、または管理者やシステム用の予約領域）は消去されていません。"},
    };
    for (const auto &r : rows) {
        run_totals = r.totals;
        EXPECT_EQ(r.text, std::string(run_summary_text())) << r.name;
    }
    run_totals = RunTotals();
}
