// Progress and speed text: the free space left and the write speed measured
// over the last 20 samples, put into the status control at most once a second.
#include <stdio.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"

#define SPEED_RING_SIZE 20
#define PROGRESS_TEXT_SIZE 128
#define SHOWN_TEXT_SIZE (PROGRESS_TEXT_SIZE + 80)   // the progress text and the time left
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
        append_speed_line(speed);
    return progress_text;
}

void show_progress(unsigned long long free_bytes)
{
    char text[SHOWN_TEXT_SIZE];
    DWORD now = progress_tick();
    // unsigned difference: right across the tick count's wrap after 49.7 days
    if (now - last_shown_tick <= SHOW_INTERVAL_MS)
        return;
    // the run's time left on a line under the free space and the speed
    snprintf(text, sizeof text, "%s%s", format_progress(free_bytes), run_time_left_line());
    if (strcmp(text, shown_text) == 0)
        return;                      // tried again at the next write
    set_status_text(text);
    snprintf(shown_text, sizeof shown_text, "%s", text);
    last_shown_tick = now;
}
