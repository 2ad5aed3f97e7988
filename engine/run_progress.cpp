// The run's progress as a whole: where the run stands (for the dialog's bar
// and title), the time it has left, and what it has done (for the summary at
// its end). A run of hours needs all three; the passes only say how far each
// of them has come.
#include <stdio.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"

#define TIME_LEFT_AFTER_MS 10000u   // an estimate from less means little
#define SMOOTHING 0.3               // share of a new estimate in the one shown

RunTotals run_totals;
int run_on_solid_state;

static int run_active;
static int step_number, step_count, step_part, step_parts;
static int posted_position;
volatile LONG run_position;
volatile LONG run_position_queued;

// The run's position to the window, one message in its queue at most: a fast
// pass must not bury an Abort or a Close behind a thousand of them.
static void post_position(int position)
{
    InterlockedExchange(&run_position, position);
    if (!InterlockedExchange(&run_position_queued, 1))
        PostMessageA(run_context.owner, WM_RUN_PROGRESS, (WPARAM)position, 0);
}
static double run_fraction_reached;
// The share a run that went on from a later step had done before this part.
static double part_start_fraction;
// The run's time: the tick counter wraps after 49.7 days, and 35 passes over
// 20 TB take longer, so each reading adds what passed since the one before.
static DWORD last_tick;
static unsigned long long run_elapsed_ms;
// the estimate shown last, in seconds, and when; -1 before the first
static double time_left_shown = -1;
static unsigned long long time_left_at;

double run_fraction(int step, int count, int part, int parts, double pass_fraction)
{
    if (count <= 0 || parts <= 0)
        return 0;
    if (pass_fraction < 0)
        pass_fraction = 0;
    if (pass_fraction > 1)
        pass_fraction = 1;
    double fraction = (step - 1 + (part + pass_fraction) / parts) / count;
    return fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
}

double estimate_time_left(double previous, double since_previous, double elapsed, double fraction)
{
    if (fraction <= 0)
        return -1;
    double raw = elapsed * (1 - fraction) / fraction;
    if (previous < 0)
        return raw;
    // the last estimate has run on meanwhile; the new one only pulls at it,
    // so that one slow write doesn't make the figure jump
    double predicted = previous - since_previous;
    if (predicted < 0)
        predicted = 0;
    return predicted + SMOOTHING * (raw - predicted);
}

void format_time_left(char *text, size_t size, double seconds)
{
    char amount[64];
    unsigned whole = seconds <= 0 ? 0 : (unsigned)(seconds + 0.999);
    if (whole <= 55) {
        // in steps of five seconds: "about" means no more than that
        unsigned fives = (whole + 4) / 5 * 5;
        snprintf(amount, sizeof amount, program_text(IDS_SECONDS), fives ? fives : 5);
    } else {
        unsigned minutes = (whole + 59) / 60;
        if (minutes < 60)
            snprintf(amount, sizeof amount, program_text(IDS_MINUTES), minutes);
        else
            snprintf(amount, sizeof amount, program_text(IDS_HOURS_MINUTES), minutes / 60, minutes % 60);
    }
    snprintf(text, size, program_text(IDS_TIME_LEFT), amount);
}

void format_elapsed(char *text, size_t size, unsigned seconds)
{
    if (seconds < 60)
        snprintf(text, size, program_text(IDS_SECONDS), seconds);
    else if (seconds < 3600)
        snprintf(text, size, program_text(IDS_MINUTES_SECONDS), seconds / 60, seconds % 60);
    else
        snprintf(text, size, program_text(IDS_HOURS_MINUTES), seconds / 3600, seconds / 60 % 60);
}

void format_byte_count(char *text, size_t size, unsigned long long bytes)
{
    char digits[32];
    int length = snprintf(digits, sizeof digits, "%llu", bytes);
    size_t at = 0;
    for (int i = 0; i < length && at + 1 < size; ++i) {
        if (i > 0 && (length - i) % 3 == 0 && at + 2 < size)
            text[at++] = ',';
        text[at++] = digits[i];
    }
    text[at] = 0;
}

static unsigned long long elapsed_now(void)
{
    DWORD now = progress_tick();
    run_elapsed_ms += (DWORD)(now - last_tick);
    last_tick = now;
    return run_elapsed_ms;
}

void begin_run_progress(int count)
{
    memset(&run_totals, 0, sizeof run_totals);
    run_active = 1;
    step_number = 0, step_count = count, step_part = 0, step_parts = 1;
    posted_position = 0;
    InterlockedExchange(&run_position, 0);
    InterlockedExchange(&run_position_queued, 0);
    run_fraction_reached = 0;
    part_start_fraction = 0;
    last_tick = progress_tick();
    run_elapsed_ms = 0;
    time_left_shown = -1;
}

void skip_run_progress(int steps_done)
{
    part_start_fraction = run_fraction_reached = run_fraction(steps_done + 1, step_count, 0, 1, 0);
    report_pass_progress(0, 1);
}

void end_run_progress(int succeeded)
{
    if (!run_active)
        return;
    run_totals.elapsed_ms = elapsed_now();
    if (succeeded && posted_position < RUN_PROGRESS_FULL) {
        posted_position = RUN_PROGRESS_FULL;
        post_position(RUN_PROGRESS_FULL);
    }
    run_active = 0;
}

void begin_step_progress(int step, int part, int parts)
{
    step_number = step, step_part = part, step_parts = parts;
    report_pass_progress(0, 1);
}

void report_pass_progress(unsigned long long done, unsigned long long whole)
{
    if (!run_active)
        return;
    elapsed_now();
    double fraction = run_fraction(step_number, step_count, step_part, step_parts,
                                   whole ? (double)done / (double)whole : 1.0);
    // the bar never moves back, whatever a pass's figures do
    if (fraction > run_fraction_reached)
        run_fraction_reached = fraction;
    int position = (int)(run_fraction_reached * RUN_PROGRESS_FULL);
    // full is the run's end, when every step has done all it had to
    if (position >= RUN_PROGRESS_FULL)
        position = RUN_PROGRESS_FULL - 1;
    if (position > posted_position) {
        posted_position = position;
        post_position(position);
    }
}

const char *run_time_left_line(void)
{
    static char line[80];
    line[0] = 0;
    if (!run_active)
        return line;
    unsigned long long elapsed = elapsed_now();
    // what this part has done in its elapsed time (the whole run, unless it
    // went on from a later step) tells the time the rest will take
    double done = part_start_fraction < 1 ? (run_fraction_reached - part_start_fraction) / (1 - part_start_fraction) : 0;
    if (elapsed < TIME_LEFT_AFTER_MS || done <= 0)
        return line;
    time_left_shown = estimate_time_left(time_left_shown, (elapsed - time_left_at) / 1000.0,
                                         elapsed / 1000.0, done);
    time_left_at = elapsed;
    if (time_left_shown < 0)
        return line;
    line[0] = '\r', line[1] = '\n';
    format_time_left(line + 2, sizeof line - 2, time_left_shown);
    return line;
}

const char *run_summary_text(void)
{
    static char summary[STATUS_TEXT_SIZE];
    char written[40], verified[40], elapsed[64];
    format_byte_count(written, sizeof written, run_totals.bytes_written);
    format_byte_count(verified, sizeof verified, run_totals.bytes_verified);
    format_elapsed(elapsed, sizeof elapsed, (unsigned)(run_totals.elapsed_ms / 1000));
    if (run_totals.bytes_verified)
        snprintf(summary, sizeof summary, program_text(IDS_SUMMARY_VERIFIED), written,
                 run_totals.passes, verified, elapsed);
    else
        snprintf(summary, sizeof summary, program_text(IDS_SUMMARY), written, run_totals.passes,
                 elapsed);
    if (run_totals.bytes_out_of_reach) {
        char unreached[40];
        size_t length = strlen(summary);
        format_byte_count(unreached, sizeof unreached, run_totals.bytes_out_of_reach);
        summary[length++] = '\r', summary[length++] = '\n';
        snprintf(summary + length, sizeof summary - length, program_text(IDS_OUT_OF_REACH), unreached);
    }
    if (run_on_solid_state) {
        size_t length = strlen(summary);
        snprintf(summary + length, sizeof summary - length, "\r\n%s", program_text(IDS_SOLID_STATE));
    }
    return summary;
}
