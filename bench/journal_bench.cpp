// What the run's journal costs a step: ROUNDS journals written into FOLDER
// (the work folder of a bench volume, held as a run holds it) one after
// another, each replacing the one before as a run does at the start of each
// step and sealed under the run's key, then read back once. Prints the time
// a journal takes; asserts nothing about it.
//
//   journal_bench FOLDER ROUNDS
#include <stdlib.h>
#include "bench_run.h"
#include "steps/step_runner.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: journal_bench FOLDER ROUNDS\n");
        return 2;
    }
    const char *folder = argv[1];
    int rounds = atoi(argv[2]);
    if (bench_start("journal_bench"))
        return 1;
    snprintf(work_folder_path, sizeof work_folder_path, "%s", folder);
    int made = 0;
    DWORD held = hold_work_folder(&made);
    if (held || begin_journal_key(0)) {
        fprintf(stderr, "journal_bench: the folder could not be held, or the key kept (error %lu)\n", held);
        return 1;
    }
    RunJournal journal = {};
    journal.folder = work_folder_identity;
    snprintf(journal.run_id, sizeof journal.run_id, "%s", "3f2504e0-4f89-41d3-9a0c-0305e82c3301");
    journal_local_time(journal.started, sizeof journal.started);
    journal.steps = 35;
    double worst = 0, start = bench_seconds();
    for (int round = 0; round < rounds; ++round) {
        journal.step = round % 35 + 1;
        double one = bench_seconds();
        DWORD failed = write_journal(&journal);
        one = bench_seconds() - one;
        worst = one > worst ? one : worst;
        if (failed) {
            fprintf(stderr, "journal_bench: the journal could not be written (error %lu)\n", failed);
            return 1;
        }
    }
    double taken = bench_seconds() - start;
    RunJournal read;
    double read_start = bench_seconds();
    close_journal();
    DWORD failed = read_journal(&read);
    double read_taken = bench_seconds() - read_start;
    delete_journal();
    work_folder_created = 1;
    const char *text = "";
    remove_work_folder(NULL, &text);
    printf("%d journals written, each replacing the one before: %.2f ms each, %.2f ms the slowest;"
           " read back in %.2f ms (%s)\n", rounds, taken * 1000 / rounds, worst * 1000, read_taken * 1000,
           failed ? "failed" : "as written");
    return 0;
}
