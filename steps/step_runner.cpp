// Step-script runner: runs one erase method's script from the transfer buffer
// to the deletion of the work files.
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "steps/step_runner.h"
#include "engine/wipe_engine.h"
#include "support/messages.h"
#include "ui/work_folder.h"

ModuleFileNameProc module_file_name = GetModuleFileNameA;
DWORD delete_retry_ms = DELETE_RETRY_MS;
int run_exit_code;
char run_script_steps[STATUS_TEXT_SIZE];

// The final deletion goes on after an abort: it gives the space back.
static volatile LONG never_aborted;
int run_resumed_from;
int run_resume_step;
int resume_found_nothing;
volatile LONG keep_journal_at_stop;
// What the work folder's journal says (read at the start, written at each
// step), and the step the journal on the disk names (0: none is there).
static RunJournal run_journal;
static int journal_step_on_disk;
static char runner_status[STATUS_TEXT_SIZE];
static char step_text[STATUS_TEXT_SIZE];
static char deletion_status[STATUS_TEXT_SIZE];

const char *step_argument(const char *line)
{
    const char *p = line;
    while (*p && *p != ' ' && *p != '\t')
        ++p;
    if (!*p)
        return NULL;
    while (*p == ' ' || *p == '\t')
        ++p;
    return *p ? p : NULL;
}

// A number as strtol reads it with base 0, and nothing after it.
static int is_whole_number(const char *text, size_t length)
{
    char item[STEP_LINE_SIZE], *end;
    if (length == 0 || length >= sizeof item)
        return 0;
    memcpy(item, text, length);
    item[length] = 0;
    strtol(item, &end, 0);
    return *end == 0 && end != item;
}

int word_unreadable(const char *line)
{
    const char *word = step_argument(line);
    if (!word || _stricmp(word, "random") == 0 || _stricmp(word, "dod") == 0 ||
        _stricmp(word, "/nomft") == 0)
        return 0;
    // a verify step takes any word that starts with random as "no comparison"
    if (_strnicmp(line, "verify", 6) == 0 && _strnicmp(word, "random", 6) == 0)
        return 0;
    if (_strnicmp(line, "erase", 5) != 0 && _strnicmp(line, "verify", 6) != 0)
        return 0;
    // a number, or numbers with commas between them (an empty one is 0)
    for (const char *item = word;;) {
        const char *comma = strchr(item, ',');
        size_t length = comma ? (size_t)(comma - item) : strlen(item);
        if (length && !is_whole_number(item, length))
            return 1;
        if (!comma)
            return 0;
        item = comma + 1;
    }
}

// The keywords in the order they are matched: "erase" is a prefix of
// "erase,verify", so the longer one goes first.
enum { STEP_ERASE_VERIFY, STEP_ERASE, STEP_VERIFY, STEP_KEYWORDS };
static const char *const step_keywords[STEP_KEYWORDS] = { "erase,verify", "erase", "verify" };

// The keyword a step line begins with, or -1 for a line that only shows its text.
static int step_keyword(const char *line)
{
    for (int k = 0; k < STEP_KEYWORDS; ++k)
        if (_strnicmp(line, step_keywords[k], strlen(step_keywords[k])) == 0)
            return k;
    return -1;
}

int keyword_mistyped(const char *line)
{
    int keyword = step_keyword(line);
    return keyword >= 0 && strcspn(line, " \t") != strlen(step_keywords[keyword]);
}

static void end_at_trailing_blanks(char *line)
{
    size_t length = strlen(line);
    while (length > 0 && strchr(" \t\r\n", line[length - 1]))
        line[--length] = 0;
}

// Work files that could not be deleted: each named with its reason in the
// status box and kept as a failure of the run, one box for them all.
static char left_box[2048];

static void note_file_left(HWND owner, int status_id, const char *folder, const char *name)
{
    format_system_error(deletion_status, STATUS_TEXT_LIMIT, "%s\\%s ", folder, name);
    SetDlgItemTextA(owner, status_id, deletion_status);
    note_run_failure(deletion_status);
    // the box gives the reason a line of its own, as every box of a file does
    size_t have = strlen(left_box);
    format_system_error(left_box + have, (unsigned)(sizeof left_box - 1 - have), "%s\\%s\r\n", folder, name);
}

static int report_files_left(HWND owner)
{
    if (!left_box[0])
        return RUN_DONE;
    show_message_box(owner, left_box, MB_OK | MB_ICONWARNING);
    return RUN_REPORTED;
}

// Scanners, indexers and sync clients open new files for a moment without
// letting them be deleted: such a file is tried again for a while.
static int is_held(DWORD code)
{
    // a deletion cut by the session's end's cancel of a transfer is tried again too
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
           code == ERROR_ACCESS_DENIED || code == ERROR_OPERATION_ABORTED;
}

// One work file by its full path: 0 deleted, else the system's code.
static DWORD delete_work_file(const char *folder, const char *name)
{
    char path[MAX_PATH];
    // always by the full path: never a name relative to some other folder
    int length = snprintf(path, sizeof path, "%s\\%s", folder, name);
    if (length < 0 || length >= (int)sizeof path)
        return ERROR_FILENAME_EXCED_RANGE;
    return DeleteFileA(path) ? 0 : GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
}

static char held_names[HELD_FILES_MAX][MAX_PATH];

int delete_work_files(HWND owner, int status_id, int step_id, volatile LONG *abort_flag,
                      const char *folder)
{
    (void)step_id;
    // room for the longest work folder path a Start admits and "\*."
    char pattern[MAX_PATH + 8];
    int held = 0;

    left_box[0] = 0;
    // an empty folder would list the root of the current drive
    if (!folder[0]) {
        run_context.last_error = ERROR_BAD_PATHNAME;
        note_file_left(owner, status_id, folder, "*.");
        return report_files_left(owner);
    }
    int length = snprintf(pattern, sizeof pattern, "%s\\*.", folder);
    if (length < 0 || length >= (int)sizeof pattern) {
        // a cut pattern would list some other folder
        run_context.last_error = ERROR_BUFFER_OVERFLOW;
        note_file_left(owner, status_id, folder, "*.");
        return report_files_left(owner);
    }

    struct _finddata_t entry;
    intptr_t listing = _findfirst(pattern, &entry);
    if (listing == -1)
        return RUN_DONE;

    // every file that can go goes: one that can't is named, and the rest
    // still give their space back
    int result = RUN_DONE;
    do {
        if (abort_requested(abort_flag)) {
            result = RUN_STOPPED;
            break;
        }
        if ((entry.attrib & _A_SUBDIR) || !is_work_file_name(entry.name))
            continue;
        DWORD code = delete_work_file(folder, entry.name);
        if (code && is_held(code) && held < HELD_FILES_MAX && strlen(entry.name) < MAX_PATH) {
            strcpy(held_names[held++], entry.name);
        } else if (code) {
            run_context.last_error = code;
            note_file_left(owner, status_id, folder, entry.name);
        }
    } while (_findnext(listing, &entry) == 0);
    _findclose(listing);

    // the held ones again, until they go or the time is up
    DWORD start = GetTickCount();
    while (held > 0 && result == RUN_DONE) {
        int still = 0;
        int last_round = GetTickCount() - start >= delete_retry_ms;
        if (!last_round)
            Sleep(DELETE_RETRY_STEP_MS);
        for (int i = 0; i < held; ++i) {
            DWORD code = delete_work_file(folder, held_names[i]);
            if (!code)
                continue;
            if (is_held(code) && !last_round) {
                memmove(held_names[still++], held_names[i], MAX_PATH);
                continue;
            }
            run_context.last_error = code;
            note_file_left(owner, status_id, folder, held_names[i]);
        }
        held = still;
        if (abort_requested(abort_flag))
            result = RUN_STOPPED;
    }
    if (report_files_left(owner) != RUN_DONE && result == RUN_DONE)
        result = RUN_REPORTED;
    return result;
}

// The script of a method: the executable's path without its extension, the
// method index and ".run". 0, or the result that ends the run.
static int script_path(char *script, size_t size, int method_index)
{
    char module[MAX_PATH];
    DWORD length = module_file_name(NULL, module, MAX_PATH);
    // no path at all names no script either
    if (length == 0 || length > MAX_MODULE_PATH) {
        set_status_text("ModuleFileName too long");
        return RUN_INTERNAL;
    }
    module[length] = 0;
    int keep = length >= 4 ? (int)length - 4 : 0;
    snprintf(script, size, "%.*s%d.run", keep, module, method_index);
    return RUN_DONE;
}

// One step line: the calls of the first keyword it begins with. An erase
// whose files a later step verifies keeps them whole for it, as the
// erase half of "erase,verify" does: the record-slack pass would otherwise
// cut them to nothing, and the verify would read nothing.
static int run_step_line(HWND owner, int status_id, int step_id, volatile LONG *abort_flag,
                         const char *line, int step, int verify_follows)
{
    // a verify gives each file's space back as it reads it, unless a later
    // step reads the file again
    verify_gives_space_back = !verify_follows;
    const char *word = step_argument(line);
    const char *folder = work_folder_path;
    int keyword = step_keyword(line);
    int result;

    if (keyword == STEP_ERASE_VERIFY) {
        if ((result = delete_work_files(owner, status_id, step_id, abort_flag, folder)) != 0)
            return result;
        begin_step_progress(step, 0, 2);
        if ((result = erase_step_nomft(owner, status_id, step_id, abort_flag, word, folder)) != 0)
            return result;
        begin_step_progress(step, 1, 2);
        return verify_step(owner, status_id, step_id, abort_flag, word, folder);
    }
    if (keyword == STEP_ERASE) {
        if ((result = delete_work_files(owner, status_id, step_id, abort_flag, folder)) != 0)
            return result;
        begin_step_progress(step, 0, 1);
        return (verify_follows ? erase_step_nomft : erase_step)(owner, status_id, step_id, abort_flag,
                                                                 word, folder);
    }
    begin_step_progress(step, 0, 1);
    if (keyword == STEP_VERIFY)
        return verify_step(owner, status_id, step_id, abort_flag, word, folder);
    // any other line is a step that only shows its text, done as it is shown
    report_pass_progress(1, 1);
    return RUN_DONE;
}

// True when the next of the script's steps_left steps that does something
// (a line without a keyword only shows its text) is a verify: it reads the
// files of the erase before it. The script is left where it was.
static int verify_follows(TextFile *steps, int steps_left)
{
    char next[STEP_LINE_SIZE];
    size_t at = steps->at;
    int keyword = -1;
    for (; steps_left > 0 && keyword < 0 && next_text_line(steps, next, sizeof next); --steps_left)
        keyword = step_keyword(next);
    steps->at = at;
    return keyword == STEP_VERIFY;
}

// The exit code of a run that went through its steps with this result.
static int exit_code_of(int result)
{
    if (result == RUN_STOPPED)
        return EXIT_CODE_STOPPED;
    if (result == RUN_DONE)
        return EXIT_CODE_DONE;
    if (run_failure_count() > run_totals.differing_files)
        return EXIT_CODE_FAILED;
    if (run_totals.differing_files > 0)
        return EXIT_CODE_DIFFERS;
    return result == RUN_INTERNAL ? EXIT_CODE_METHOD : EXIT_CODE_FAILED;
}

// A line the passes would take otherwise than it reads: the user says whether
// to go on with what they make of it; unattended, no one can, and the run
// stops with runner_status (already composed) in the status box.
static int go_on_with_line(HWND owner, const char *question)
{
    if (!unattended && show_message_box(owner, question, MB_YESNO | MB_ICONWARNING) == IDYES)
        return 1;
    set_status_text(runner_status);
    return 0;
}

// Reads the step lines of the script (whose count line has been read) before
// anything is written: each must be there, and each word must be one the
// passes can read, or the user must say to go on with what they make of it
// (unattended: the run stops). 0, or RUN_INTERNAL with the text shown.
static int check_script(HWND owner, TextFile *steps, const char *script, int count)
{
    char line[STEP_LINE_SIZE];
    run_script_steps[0] = 0;
    for (int step = 1; step <= count; ++step) {
        if (!next_text_line(steps, line, sizeof line)) {
            snprintf(runner_status, sizeof runner_status, program_text(IDS_SCRIPT_SHORT), script,
                     step - 1, count);
            set_status_text(runner_status);
            return RUN_INTERNAL;
        }
        char *cr = strchr(line, '\r');
        if (cr)
            *cr = 0;
        end_at_trailing_blanks(line);
        size_t have = strlen(run_script_steps);
        snprintf(run_script_steps + have, sizeof run_script_steps - have, "%s%s", have ? " / " : "",
                 line);
        const char *word = step_argument(line);
        char question[STATUS_TEXT_SIZE];
        if (keyword_mistyped(line)) {
            // "erase,verfy 0" runs as "erase 0": the verify would be dropped without a word
            char token[STEP_LINE_SIZE], runs_as[STEP_LINE_SIZE + 8];
            snprintf(token, sizeof token, "%.*s", (int)strcspn(line, " \t"), line);
            snprintf(runs_as, sizeof runs_as, "%.*s%s%s", (int)strlen(step_keywords[step_keyword(line)]),
                     line, word ? " " : "", word ? word : "");
            snprintf(question, sizeof question, program_text(IDS_KEYWORD_QUESTION), script, step + 1,
                     line, token, runs_as);
            snprintf(runner_status, sizeof runner_status, program_text(IDS_KEYWORD_UNREADABLE), script,
                     step + 1, line);
            if (!go_on_with_line(owner, question))
                return RUN_INTERNAL;
        }
        if (word_unreadable(line)) {
            snprintf(question, sizeof question, program_text(IDS_WORD_QUESTION), script, step + 1, word,
                     (unsigned)(strtol(word, NULL, 0) & 0xFF));
            snprintf(runner_status, sizeof runner_status, program_text(IDS_WORD_UNREADABLE), script,
                     step + 1, word);
            if (!go_on_with_line(owner, question))
                return RUN_INTERNAL;
        }
    }
    return RUN_DONE;
}

// The journal of an interrupted run in the work folder. 0: none this run can
// take for its own (none, one that fails its check, another folder's: the
// rules for an existing folder hold); 1: the folder is ours, run_journal
// holds what the journal says and *resume the step to go on from (0: step
// 1); -1: the user said not to start.
static int consider_journal(HWND owner, int method_index, unsigned long long hash, int *resume)
{
    char question[STATUS_TEXT_SIZE];
    *resume = 0;
    if (read_journal(work_folder_path, &run_journal) != 0 || _stricmp(run_journal.folder, work_folder_path) != 0)
        return 0;
    // another method, or a script changed since, can't go on where it stopped
    int same = hash && run_journal.method == method_index && run_journal.script_hash == hash;
    if (unattended) {
        if (!resume_interrupted_run)
            return 0;
        *resume = same ? run_journal.step : 0;
        return 1;
    }
    if (same) {
        snprintf(question, sizeof question, program_text(IDS_RESUME_QUESTION), run_journal.started,
                 run_journal.step, run_journal.steps, run_journal.step);
        if (show_message_box(owner, question, MB_YESNO | MB_ICONQUESTION) == IDYES)
            *resume = run_journal.step;
        return 1;
    }
    snprintf(question, sizeof question, program_text(IDS_RESUME_IMPOSSIBLE), run_journal.started,
             run_journal.step, run_journal.steps);
    return show_message_box(owner, question, MB_YESNO | MB_ICONQUESTION) == IDYES ? 1 : -1;
}

// Before anything is written: the transfer buffer, the work folder (with an
// interrupted run's leftovers deleted when its journal shows they are ours),
// and the method's script read whole and checked, its cursor after its count
// line. 0 with *steps, *step_count and *resume (the step to go on from, 0 for
// none) set, or the result that ends the run (the script released, the reason
// in the status box).
static int open_method(HWND owner, int method_index, char *script, size_t script_size,
                       TextFile *steps, int *step_count, int *resume)
{
    char line[STEP_LINE_SIZE];
    const char *text = "";
    unsigned long long hash = 0;

    // a run that stopped before its steps left the buffer held: use it again
    if (!run_context.transfer_buffer) {
        DWORD code = alloc_transfer_buffer();
        if (!run_context.transfer_buffer) {
            run_context.last_error = code;
            report_pass_error("VirtualAlloc(): ");
            return RUN_INTERNAL;
        }
    }

    run_exit_code = EXIT_CODE_METHOD;
    int result = script_path(script, script_size, method_index);
    if (result != RUN_DONE)
        return result;
    int ours = consider_journal(owner, method_index, script_hash(script, &hash) ? hash : 0, resume);
    if (ours < 0) {
        set_status_text(program_text(IDS_CANNOT_CREATE_FOLDER));
        run_exit_code = EXIT_CODE_FOLDER;
        return RUN_REPORTED;
    }
    work_folder_ours = ours;
    if (create_work_folder(owner, &text) != 0) {
        work_folder_ours = 0;
        set_status_text(text);
        run_exit_code = EXIT_CODE_FOLDER;
        return RUN_REPORTED;
    }
    work_folder_ours = 0;
    if (ours) {
        // the interrupted run's: its folder goes at the end if that run made
        // it, its ID goes on if this run does, and its leftovers go first
        work_folder_created = run_journal.created;
        journal_step_on_disk = run_journal.step;
        if (*resume) {
            snprintf(run_id, sizeof run_id, "%s", run_journal.run_id);
        } else {
            delete_journal(work_folder_path);
            journal_step_on_disk = 0;
        }
        if ((result = delete_work_files(owner, run_context.status_id, 0, run_context.abort_flag,
                                        work_folder_path)) != RUN_DONE)
            return run_exit_code = result == RUN_STOPPED ? EXIT_CODE_STOPPED : EXIT_CODE_FAILED, result;
    }
    if (resume_interrupted_run && unattended && !*resume)
        resume_found_nothing = 1;
    run_exit_code = EXIT_CODE_METHOD;
    if (abort_requested(run_context.abort_flag))
        return run_exit_code = EXIT_CODE_STOPPED, RUN_STOPPED;

    // read whole, in the ANSI code page, whatever Notepad saved it as
    DWORD failed = read_text_file(script, steps);
    if (failed) {
        run_context.last_error = failed;
        format_system_error(runner_status, STATUS_TEXT_LIMIT, "%s: ", script);
        end_at_trailing_blanks(runner_status);   // the system's text ends in a line break
        set_status_text(runner_status);
        return RUN_REPORTED;
    }
    if (abort_requested(run_context.abort_flag)) {
        release_text_file(steps);
        return run_exit_code = EXIT_CODE_STOPPED, RUN_STOPPED;
    }
    if (!next_text_line(steps, line, sizeof line)) {
        release_text_file(steps);
        snprintf(runner_status, sizeof runner_status, program_text(IDS_SCRIPT_EMPTY), script);
        set_status_text(runner_status);
        return RUN_INTERNAL;
    }
    int count = atoi(line);
    // a count that gives no step would end "finished" having erased nothing
    if (count <= 0) {
        release_text_file(steps);
        end_at_trailing_blanks(line);
        snprintf(runner_status, sizeof runner_status, program_text(IDS_SCRIPT_NO_STEPS), script, line);
        set_status_text(runner_status);
        return RUN_INTERNAL;
    }
    // the whole method is read before anything is written; then from its start again
    if (check_script(owner, steps, script, count) != RUN_DONE) {
        release_text_file(steps);
        return RUN_INTERNAL;
    }
    steps->at = 0;
    next_text_line(steps, line, sizeof line);
    // a journal that names a step past the script's end is no place to go on from
    if (*resume > count)
        *resume = 0;
    run_journal.script_hash = hash;
    *step_count = count;
    return RUN_DONE;
}

// Writes where the run stands at the start of a step: the step to go on
// from, were the run stopped in it. A journal that can't be written loses
// only the chance to go on; the erase itself is not touched.
static void note_step_in_journal(int method_index, int step, int count, const RunJournal *before)
{
    run_journal = *before;
    snprintf(run_journal.folder, sizeof run_journal.folder, "%s", work_folder_path);
    run_journal.method = method_index;
    run_journal.step = step;
    run_journal.steps = count;
    snprintf(run_journal.run_id, sizeof run_journal.run_id, "%s", run_id);
    run_journal.created = work_folder_created != 0;
    run_journal.passes = before->passes + run_totals.passes;
    run_journal.bytes_written = before->bytes_written + run_totals.bytes_written;
    run_journal.bytes_verified = before->bytes_verified + run_totals.bytes_verified;
    if (write_journal(work_folder_path, &run_journal) == 0)
        journal_step_on_disk = step;
}

int run_steps(HWND owner, int status_id, int step_id, int method_index,
              volatile LONG *abort_flag)
{
    char script[MAX_PATH + 16];
    char line[STEP_LINE_SIZE];

    run_context.owner = owner;
    run_context.status_id = status_id;
    run_context.abort_flag = abort_flag;
    // a "verify dod" compares only with a "dod" fill of this very run
    dod_fill_byte = -1;
    slack_file_budget = -1;
    clear_run_failures();
    memset(&run_totals, 0, sizeof run_totals);
    run_script_steps[0] = 0;
    run_exit_code = EXIT_CODE_FAILED;
    run_resumed_from = run_resume_step = resume_found_nothing = 0;
    journal_step_on_disk = 0;

    TextFile steps;
    memset(&steps, 0, sizeof steps);
    int count = 0, resume = 0;
    int result = open_method(owner, method_index, script, sizeof script, &steps, &count, &resume);
    if (result != RUN_DONE) {
        // a stop asked for meanwhile (Abort during a question, the session's
        // end answering it No) is what ended the run, whatever the reason shown
        if (abort_requested(abort_flag))
            result = RUN_STOPPED, run_exit_code = EXIT_CODE_STOPPED;
        // an interrupted run's journal it went on from stays for the next
        // time only when the session's end stopped this one too
        if (journal_step_on_disk && result == RUN_STOPPED && keep_journal_at_stop)
            run_resume_step = journal_step_on_disk;
        else if (journal_step_on_disk)
            delete_journal(work_folder_path);
        return result;
    }
    // the totals of the parts before this one, and when the first began
    RunJournal before = run_journal;
    if (resume) {
        run_resumed_from = resume;
    } else {
        memset(&before, 0, sizeof before);
        journal_local_time(before.started, sizeof before.started);
    }
    before.script_hash = run_journal.script_hash;
    begin_run_progress(count);
    if (resume > 1)
        skip_run_progress(resume - 1);

    int step, last_erase = 0;
    for (step = 1; step <= count; ++step) {
        if (abort_requested(abort_flag)) {
            result = RUN_STOPPED;
            break;
        }
        if (!next_text_line(&steps, line, sizeof line)) {
            snprintf(runner_status, sizeof runner_status, program_text(IDS_SCRIPT_SHORT), script,
                     step - 1, count);
            set_status_text(runner_status);
            note_run_failure(runner_status);
            result = RUN_INTERNAL;
            break;
        }
        char *cr = strchr(line, '\r');
        if (cr)
            *cr = 0;
        int keyword = step_keyword(line);
        int erases = keyword == STEP_ERASE || keyword == STEP_ERASE_VERIFY;
        // the steps the interrupted part had done
        if (step < resume) {
            last_erase = erases ? step : last_erase;
            continue;
        }
        snprintf(step_text, sizeof step_text, program_text(IDS_STEP_FORMAT), step, count, line);
        SetDlgItemTextA(owner, step_id, step_text);
        // the label shows the line as read; the word ends at its last
        // character that is not a blank, a tab or a line end, so that
        // "random " or a script saved with bare LF ends still say random
        end_at_trailing_blanks(line);

        // a stop deletes the work files: a verify, or a step a verify comes
        // after, goes on from the erase that wrote the files it reads
        int again = verify_follows(&steps, count - step);
        last_erase = erases ? step : last_erase;
        int go_on_from = (keyword == STEP_VERIFY || (keyword < 0 && again)) && last_erase ? last_erase : step;
        note_step_in_journal(method_index, go_on_from, count, &before);

        result = run_step_line(owner, status_id, step_id, abort_flag, line, step, again);
        if (result != RUN_DONE)
            break;
    }
    release_text_file(&steps);

    // an abort after the last step has done its work does not undo it
    if (abort_requested(abort_flag) && !(result == RUN_DONE && step > count))
        result = RUN_STOPPED;
    // Every ending gives the space back: after an abort, a failed step or a
    // script short of lines the work files go as after the last step, or the
    // volume would stay full. Close waits for this at most 15 seconds.
    set_status_text(program_text(IDS_DELETING_WORK_FILES));
    int deleted = delete_work_files(owner, status_id, step_id, &never_aborted, work_folder_path);
    if (result == RUN_DONE)
        result = deleted;
    // The session's end keeps the journal, to go on at the next Start; Abort
    // and Close were the user's choice to stop, and every other ending has
    // ended the run: its journal goes.
    if (journal_step_on_disk && result == RUN_STOPPED && keep_journal_at_stop)
        run_resume_step = journal_step_on_disk;
    else
        delete_journal(work_folder_path);
    // what went wrong on the way stays in view, whatever came after it
    if (run_failure_count() > 0) {
        set_status_text(run_failure_text());
        if (result == RUN_DONE)
            result = RUN_REPORTED;
    }
    end_run_progress(result == RUN_DONE);
    run_exit_code = exit_code_of(result);

    // the next run starts with a fresh buffer and looks the free-space query up again
    release_transfer_buffer();
    get_free_ex_ready = 0;
    return result;
}
