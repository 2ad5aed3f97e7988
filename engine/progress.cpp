// Progress and speed text: the free space left and the write speed measured
// over the last 20 samples; and the pass's figures with their words and units
// (which pass, done, left, speed), put into the status control at most once
// a second.
#include <stdio.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"

#define SPEED_RING_SIZE 20
#define PROGRESS_TEXT_SIZE 128
#define SHOWN_TEXT_SIZE 320   // the pass's figures with their words, the speed, the time left
#define SHOW_INTERVAL_MS 1000u
#define TICKS_PER_TENTH 1000000LL   // 100-ns units in a tenth of a second

struct SpeedSample {
    long long time;                 // 100-ns units of UTC
    unsigned long long free_bytes;
};

static char progress_text[PROGRESS_TEXT_SIZE];
static SpeedSample speed_ring[SPEED_RING_SIZE];
static int sample_count;
static int oldest_sample;
static int next_sample;
static char shown_text[SHOWN_TEXT_SIZE];
DWORD last_shown_tick;
// the speed the last sample measured, bytes a second; 0 when none could be
static long long measured_speed;
PassNumbers pass_numbers;

static long long system_time_stamp(void)
{
    SYSTEMTIME now;
    FILETIME stamp;
    GetSystemTime(&now);
    SystemTimeToFileTime(&now, &stamp);
    return (long long)(((unsigned long long)stamp.dwHighDateTime << 32) | stamp.dwLowDateTime);
}

ProgressTickProc progress_tick = GetTickCount;
ProgressTimeProc progress_time = system_time_stamp;

void reset_progress(void)
{
    shown_text[0] = 0;
    sample_count = 0;
    measured_speed = 0;
}

// Numbers print as signed 64-bit decimals. mingw's printf takes %I64d as
// well, but the compiler's format check misreads it; %lld prints the same.
static void format_free_line(unsigned long long free_bytes)
{
    if (free_bytes == 0)
        strcpy(progress_text, "0");
    else if (free_bytes <= 1024)
        strcpy(progress_text, "1KB");
    else if (free_bytes < 10240000ull)
        snprintf(progress_text, sizeof progress_text, "%lldKB", (long long)(free_bytes >> 10));
    else if (free_bytes < 10485760000ull)
        snprintf(progress_text, sizeof progress_text, "%lldMB", (long long)(free_bytes >> 20));
    else
        snprintf(progress_text, sizeof progress_text, "%lldGB", (long long)(free_bytes >> 30));
}

// The smallest band prints the byte count itself, not "1KB".
static void append_speed_line(long long speed)
{
    size_t used = strlen(progress_text);
    char *end = progress_text + used;
    size_t room = sizeof progress_text - used;
    if (speed <= 1024)
        snprintf(end, room, "\r\nspeed %lldB/sec", speed);
    else if (speed < 10240000LL)
        snprintf(end, room, "\r\nspeed %lldKB/sec", speed / 1024);
    else if (speed < 10485760000LL)
        snprintf(end, room, "\r\nspeed %lldMB/sec", speed / 1048576);
    else
        snprintf(end, room, "\r\nspeed %lldGB/sec", speed / 1073741824);
}

char *format_progress(unsigned long long free_bytes)
{
    format_free_line(free_bytes);
    measured_speed = 0;

    SpeedSample sample = { progress_time(), free_bytes };
    int index;
    if (sample_count == 0) {
        sample_count = 1;
        oldest_sample = 0;
        next_sample = 1;
        speed_ring[0] = sample;
        return progress_text;        // no speed from a single sample
    }
    if (sample_count < SPEED_RING_SIZE) {
        index = next_sample == SPEED_RING_SIZE ? 0 : next_sample;
        ++sample_count;
    } else {
        // the ring is full: the new sample takes the oldest one's place
        if (++oldest_sample == SPEED_RING_SIZE)
            oldest_sample = 0;
        index = next_sample == SPEED_RING_SIZE ? 0 : next_sample;
    }
    speed_ring[index] = sample;
    next_sample = index + 1;

    const SpeedSample *oldest = &speed_ring[oldest_sample];
    long long tenths = (sample.time - oldest->time) / TICKS_PER_TENTH;
    // samples less than a tenth apart give no speed, as a speed of 0 does
    if (tenths == 0)
        return progress_text;
    long long filled = (long long)(oldest->free_bytes - sample.free_bytes);
    long long speed = filled * 10 / tenths;
    if (speed > 0)
        append_speed_line(speed), measured_speed = speed;
    return progress_text;
}

void format_figure(char *text, size_t size, unsigned long long bytes, int per_second)
{
    char number[40];
    const char *unit = "KB";
    unsigned long long shown;
    if (per_second && bytes <= 1024)
        shown = bytes, unit = "B";
    else if (bytes < 10240000ull)
        // the free line's "1KB" for anything up to a kilobyte
        shown = per_second ? bytes / 1024 : bytes == 0 ? 0 : bytes <= 1024 ? 1 : bytes >> 10;
    else if (bytes < 10485760000ull)
        shown = bytes >> 20, unit = "MB";
    else
        shown = bytes >> 30, unit = "GB";
    format_byte_count(number, sizeof number, shown);
    snprintf(text, size, "%s %s", number, unit);
}

void show_pass_progress(int kind, unsigned long long done, unsigned long long left)
{
    char text[SHOWN_TEXT_SIZE], done_text[48], left_text[48], speed_text[48];
    DWORD now = progress_tick();
    // unsigned difference: right across the tick count's wrap after 49.7 days
    if (now - last_shown_tick <= SHOW_INTERVAL_MS)
        return;
    // the sample behind the speed; its own text is the figures without words
    format_progress(left);
    int number = kind == PASS_FILL ? pass_numbers.fill : pass_numbers.verify,
        count = kind == PASS_FILL ? pass_numbers.fills : pass_numbers.verifies;
    if (count <= 0 || number <= 0 || number > count)
        number = count = 1;
    format_figure(done_text, sizeof done_text, done, 0);
    format_figure(left_text, sizeof left_text, left, 0);
    snprintf(text, sizeof text, program_text(kind == PASS_FILL ? IDS_PROGRESS_FILL : IDS_PROGRESS_VERIFY), number,
             count, done_text, left_text);
    if (measured_speed > 0) {
        size_t have = strlen(text);
        format_figure(speed_text, sizeof speed_text, (unsigned long long)measured_speed, 1);
        snprintf(text + have, sizeof text - have, "\r\n");
        have = strlen(text);
        snprintf(text + have, sizeof text - have, program_text(IDS_PROGRESS_SPEED), speed_text);
    }
    // the run's time left on a line under them
    size_t have = strlen(text);
    snprintf(text + have, sizeof text - have, "%s", run_time_left_line());
    if (strcmp(text, shown_text) == 0)
        return;                      // tried again at the next write
    set_status_text(text);
    snprintf(shown_text, sizeof shown_text, "%s", text);
    last_shown_tick = now;
}
