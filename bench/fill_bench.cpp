// Fill and verify throughput: lets the fill pass write the volume of the
// folder named on the command line full, with zeros and with "random", in
// alternating rounds (the work files are deleted after each), and prints each
// run, the median rate of each pattern and their ratio. After each zero fill
// the verify pass reads the work files back twice, once comparing every byte
// with 0 and once only reading, in alternating order. Asserts nothing about
// the figures. With "display" every pass runs as a run's step does: its
// progress posted for the bar and title, the time left worked out for its
// status texts. With "strict512" or "strict4096" every transfer goes
// through the tests' checks of Windows' unbuffered rules for that sector size
// (tests/engine/strict_io.h), to show what they cost, and whether the passes
// keep to the rules on a bigger volume. Every fill's flushes (each work file
// is flushed before it is closed) are counted and timed; with "noflush" none
// reaches the system, to show beside a run without it what they cost.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "bench_run.h"
#include "tests/engine/strict_io.h"

// bench/flush_count.cpp
void count_flushes(int skip);
unsigned long long flushes_made(void);
double flush_seconds(void);

#define MAX_ROUNDS 15

// Adds up the work files' sizes; deletes them afterwards when asked.
static unsigned long long work_file_bytes(const char *folder, int remove)
{
    char pattern[MAX_PATH], path[MAX_PATH];
    snprintf(pattern, sizeof pattern, "%s\\*", folder);
    unsigned long long total = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        total += ((unsigned long long)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        snprintf(path, sizeof path, "%s\\%s", folder, found.cFileName);
        if (remove)
            DeleteFileA(path);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return total;
}

static int display;

// The run's progress around one pass, as the runner keeps it, when asked for.
static void begin_display(void)
{
    if (!display)
        return;
    begin_run_progress(1);
    begin_step_progress(1, 0, 1);
}

static void end_display(void)
{
    if (!display)
        return;
    end_run_progress(0);
    // the bench's window has no loop: its queue is emptied here
    for (MSG message; PeekMessageA(&message, NULL, 0, 0, PM_REMOVE);)
        DispatchMessageA(&message);
}

struct Run {
    unsigned long long bytes;
    double seconds;
    double rate;      // bytes per second
    unsigned long long calls, files;   // the work folder's system calls, and the files they made
    unsigned long long flushes;        // the pass's flushes, and the seconds spent in them
    double flush_seconds;
};

// The work files in folder.
static unsigned long long work_file_count(const char *folder)
{
    char pattern[MAX_PATH];
    snprintf(pattern, sizeof pattern, "%s\\*", folder);
    unsigned long long count = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found))
        count += !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    return count;
}

// One pass over the whole volume; the files are gone again afterwards unless
// keep is set.
static int fill_once(const char *folder, const char *word, Run *run, int keep = 0)
{
    const char *args[3] = { "vanta", folder, word };
    begin_display();
    unsigned long long calls = work_folder_calls, flushes = flushes_made();
    double flushed = flush_seconds();
    double start = bench_seconds();
    int result = erase_free_space(word ? 3 : 2, args);
    run->seconds = bench_seconds() - start;
    end_display();
    run->calls = work_folder_calls - calls;
    run->flushes = flushes_made() - flushes;
    run->flush_seconds = flush_seconds() - flushed;
    run->files = work_file_count(folder);
    run->bytes = work_file_bytes(folder, !keep);
    run->rate = run->seconds > 0 ? (double)run->bytes / run->seconds : 0.0;
    return result;
}

// One verify pass over the work files of the folder: with a word, every byte
// is compared with it; without, the files are only read.
static int verify_once(const char *folder, const char *word, Run *run)
{
    char pattern[MAX_PATH];
    snprintf(pattern, sizeof pattern, "%s\\*.", folder);
    const char *args[3] = { "vanta", pattern, word };
    begin_display();
    double start = bench_seconds();
    set_status_text("");
    int result = verify_folder(word ? 3 : 2, args);
    run->seconds = bench_seconds() - start;
    end_display();
    run->bytes = work_file_bytes(folder, 0);
    // a differing byte shows in the status box only
    char status[MAX_PATH + 40];
    GetDlgItemTextA(run_context.owner, run_context.status_id, status, sizeof status);
    if (strncmp(status, "Verify error", 12) == 0 || strncmp(status, "ReadFile", 8) == 0) {
        fprintf(stderr, "fill_bench: %s\n", status);
        result |= 1;
    }
    run->rate = run->seconds > 0 ? (double)run->bytes / run->seconds : 0.0;
    return result;
}

// The median of the runs' rates, or with flush set of their flush
// milliseconds a GiB written.
static double median_rate(Run *runs, int count, int flush = 0)
{
    double rates[MAX_ROUNDS];
    for (int i = 0; i < count; ++i)
        rates[i] = !flush ? runs[i].rate
                 : runs[i].bytes ? runs[i].flush_seconds * 1000 * (1 << 30) / (double)runs[i].bytes : 0.0;
    for (int i = 1; i < count; ++i)
        for (int j = i; j > 0 && rates[j] < rates[j - 1]; --j) {
            double swap = rates[j];
            rates[j] = rates[j - 1];
            rates[j - 1] = swap;
        }
    return count % 2 ? rates[count / 2] : (rates[count / 2 - 1] + rates[count / 2]) / 2;
}

int main(int argc, char **argv)
{
    const char *mode = argc == 4 ? argv[3] : "";
    DWORD strict = strcmp(mode, "strict512") == 0 ? 512 : strcmp(mode, "strict4096") == 0 ? 4096 : 0;
    int noflush = strcmp(mode, "noflush") == 0;
    if (argc < 2 || argc > 4 || (argc == 4 && strcmp(mode, "display") && !strict && !noflush)) {
        fprintf(stderr, "usage: fill_bench FOLDER [ROUNDS [display|strict512|strict4096|noflush]]\n");
        return 2;
    }
    const char *folder = argv[1];
    int rounds = argc >= 3 ? atoi(argv[2]) : 5;
    display = strcmp(mode, "display") == 0;
    if (strict)
        strict_io_install(strict);
    // in front of the strict layer, when there is one
    count_flushes(noflush);
    if (rounds < 1 || rounds > MAX_ROUNDS) {
        fprintf(stderr, "fill_bench: 1 to %d rounds\n", MAX_ROUNDS);
        return 2;
    }
    CreateDirectoryA(folder, NULL);
    work_file_bytes(folder, 1);
    if (bench_start("fill_bench") != 0)
        return 1;

    Run zero[MAX_ROUNDS], random[MAX_ROUNDS], compared[MAX_ROUNDS], read[MAX_ROUNDS];
    // the volume's first fill also sets up its pages: not counted
    int result = fill_once(folder, NULL, &zero[0]);
    for (int round = 0; round < rounds && result == 0; ++round) {
        // alternate the order, so that neither pattern always runs second
        if (round % 2 == 0) {
            result |= fill_once(folder, NULL, &zero[round], 1);
            result |= verify_once(folder, "0", &compared[round]);
            result |= verify_once(folder, NULL, &read[round]);
            work_file_bytes(folder, 1);
            result |= fill_once(folder, "random", &random[round]);
        } else {
            result |= fill_once(folder, "random", &random[round]);
            result |= fill_once(folder, NULL, &zero[round], 1);
            result |= verify_once(folder, NULL, &read[round]);
            result |= verify_once(folder, "0", &compared[round]);
            work_file_bytes(folder, 1);
        }
        printf("round %d: zero %llu bytes %.3f s %.1f MB/s   random %llu bytes %.3f s %.1f MB/s\n",
               round + 1, zero[round].bytes, zero[round].seconds, zero[round].rate / 1e6,
               random[round].bytes, random[round].seconds, random[round].rate / 1e6);
        printf("round %d: verify 0 %llu bytes %.3f s %.1f MB/s   read only %.3f s %.1f MB/s\n",
               round + 1, compared[round].bytes, compared[round].seconds,
               compared[round].rate / 1e6, read[round].seconds, read[round].rate / 1e6);
        printf("round %d: flushes: zero fill %llu, %.3f ms   random fill %llu, %.3f ms%s\n", round + 1,
               zero[round].flushes, zero[round].flush_seconds * 1000, random[round].flushes,
               random[round].flush_seconds * 1000, noflush ? " (answered without the system)" : "");
    }
    release_transfer_buffer();
    for (const std::string &refusal : strict_refusals)
        printf("refused: %s\n", refusal.c_str());
    if (!strict_refusals.empty())
        result |= 1;
    if (result != 0) {
        printf("result %d\n", result);
        return 1;
    }

    double zero_rate = median_rate(zero, rounds);
    double random_rate = median_rate(random, rounds);
    printf("result 0\n");
    printf("zero_bytes %llu\n", zero[0].bytes);
    printf("zero_median %.0f\n", zero_rate);
    printf("random_median %.0f\n", random_rate);
    printf("ratio %.3f\n", random_rate / zero_rate);
    printf("verify_bytes %llu\n", compared[0].bytes);
    printf("verify_median %.0f\n", median_rate(compared, rounds));
    printf("read_median %.0f\n", median_rate(read, rounds));
    // each file: its open relative to the folder, the check of its handle,
    // and the folder held and let go once a pass
    printf("work_folder_calls %llu\n", zero[0].calls);
    printf("work_files %llu\n", zero[0].files);
    // the flushes of one fill, and what they cost for each GiB written
    printf("flushes %llu\n", zero[0].flushes);
    printf("zero_flush_ms_per_gib %.3f\n", median_rate(zero, rounds, 1));
    printf("random_flush_ms_per_gib %.3f\n", median_rate(random, rounds, 1));
    return 0;
}
