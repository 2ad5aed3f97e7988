// Step-script runner: runs one erase method's script from the transfer buffer
// to the deletion of the work files.
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "steps/step_runner.h"
#include "engine/wipe_engine.h"
#include "support/messages.h"

ModuleFileNameProc module_file_name = GetModuleFileNameA;
int run_ending;

// Every ending's exit code, in one place.
static const struct { int ending, code; } ending_codes[ENDINGS] = {
    {ENDING_DONE, EXIT_CODE_DONE},           {ENDING_BAD_LINE, EXIT_CODE_BAD_LINE},
    {ENDING_NO_FOLDER, EXIT_CODE_BAD_LINE},  {ENDING_REPORT_REFUSED, EXIT_CODE_BAD_LINE},
    {ENDING_METHOD, EXIT_CODE_METHOD},       {ENDING_FAILED, EXIT_CODE_FAILED},
    {ENDING_FOLDER_LEFT, EXIT_CODE_FAILED},  {ENDING_NO_RECORD, EXIT_CODE_FAILED},
    {ENDING_DIFFERS, EXIT_CODE_DIFFERS},     {ENDING_STOPPED, EXIT_CODE_STOPPED},
    {ENDING_FOLDER, EXIT_CODE_FOLDER},       {ENDING_NOT_GONE_ON, EXIT_CODE_FOLDER},
};

int exit_code_of_ending(int ending)
{
    for (int i = 0; i < ENDINGS; ++i)
        if (ending_codes[i].ending == ending)
            return ending_codes[i].code;
    return EXIT_CODE_FAILED;
}
char run_script_steps[STATUS_TEXT_SIZE];

// The final deletion goes on after an abort: it gives the space back.
static volatile LONG never_aborted;
int run_resumed_from;
int run_resume_step;
int resume_found_nothing;
int resume_other_method = -1;
DWORD journal_unwritten;
int work_files_gone;
volatile LONG keep_journal_at_stop;
// What the work folder's journal says (read at the start, written at each
// step), and the step the journal on the disk names (0: none is there).
static RunJournal run_journal;
static int journal_step_on_disk;
static char runner_status[STATUS_TEXT_SIZE];
static char step_text[STATUS_TEXT_SIZE];

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

// One step line (an erase's earlier files deleted): the calls of the first
// keyword it begins with. An erase
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
        begin_step_progress(step, 0, 2);
        if ((result = erase_step_nomft(owner, status_id, step_id, abort_flag, word, folder)) != 0)
            return result;
        begin_step_progress(step, 1, 2);
        return verify_step(owner, status_id, step_id, abort_flag, word, folder);
    }
    if (keyword == STEP_ERASE) {
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

// How many fill passes (erase) and verify passes the script's count step
// lines hold, for the progress text; the script is left where it was.
static void count_passes(TextFile *steps, int count)
{
    char line[STEP_LINE_SIZE];
    size_t at = steps->at;
    memset(&pass_numbers, 0, sizeof pass_numbers);
    for (int step = 1; step <= count && next_text_line(steps, line, sizeof line); ++step) {
        int keyword = step_keyword(line);
        pass_numbers.fills += keyword == STEP_ERASE || keyword == STEP_ERASE_VERIFY;
        pass_numbers.verifies += keyword == STEP_VERIFY || keyword == STEP_ERASE_VERIFY;
    }
    steps->at = at;
}

// How a run that went through its steps with this result ended.
static int ending_of(int result)
{
    if (result == RUN_STOPPED)
        return ENDING_STOPPED;
    if (result == RUN_DONE)
        return ENDING_DONE;
    if (run_failure_count() > run_totals.differing_files)
        return ENDING_FAILED;
    if (run_totals.differing_files > 0)
        return ENDING_DIFFERS;
    return result == RUN_INTERNAL ? ENDING_METHOD : ENDING_FAILED;
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

// A line longer than a step line may be: cut, its rest would run as a step
// of its own, and the step it belonged to with only part of its word.
static int refuse_long_line(const char *script, int line_number)
{
    snprintf(runner_status, sizeof runner_status, program_text(IDS_LINE_TOO_LONG), script, line_number,
             STEP_LINE_LIMIT);
    set_status_text(runner_status);
    return RUN_INTERNAL;
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
        int read = next_step_line(steps, line);
        if (read < 0)
            return refuse_long_line(script, step + 1);
        if (!read) {
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

// The step a run stopped in step goes on from: that step, but for a verify
// (or a step a verify comes after) the erase before it, which wrote the
// files the verify reads: every stop deletes them. The script (read whole)
// is looked at from its step lines and left where it was.
static int go_on_step(TextFile *steps, int step)
{
    char line[STEP_LINE_SIZE];
    size_t at = steps->at;
    int last_erase = 0, reads_files = 0;
    steps->at = 0;
    next_text_line(steps, line, sizeof line);   // the count
    for (int number = 1; number <= step && next_text_line(steps, line, sizeof line); ++number) {
        int keyword = step_keyword(line);
        if (keyword == STEP_ERASE || keyword == STEP_ERASE_VERIFY)
            last_erase = number;
        if (number == step)
            reads_files = keyword == STEP_VERIFY || (keyword < 0 && verify_follows(steps, JOURNAL_MOST_STEPS));
    }
    steps->at = at;
    return reads_files && last_erase ? last_erase : step;
}

// Whether, and from which step, a run goes on from the journal of an
// interrupted one that is ours (the one rule; the README's table "Going on
// from a journal" says it): from the step go_on_step gives for the step the
// journal names, when the method and its script are the ones it ran and the
// step lies within the script; 0 (step 1) otherwise.
static int resume_from(const RunJournal *journal, int method_index, unsigned long long hash, const char *script)
{
    char line[STEP_LINE_SIZE];
    TextFile steps;
    if (!hash || journal->method != method_index || journal->script_hash != hash ||
        read_text_file(script, &steps) != 0)
        return 0;
    int step = next_step_line(&steps, line) > 0 && journal->step <= atoi(line) ? go_on_step(&steps, journal->step) : 0;
    release_text_file(&steps);
    return step;
}

// The journal of an interrupted run in the held work folder. 0: none this
// run can take for its own (none, one whose seal fails, another folder's:
// the rules for an existing folder hold); 1: the folder is ours, run_journal
// holds what the journal says, the files it vouches for are the run's, and
// *resume is the step to go on from (0: step 1); 2: the same, but this run
// does not go on from it (unattended without /resume): the rules for an
// existing folder hold; -1: the user said not to start.
static void where_interrupted(const RunJournal *journal, char *text, size_t size);

// A method as a question names it: its name in the settings file, or its
// number where it has none.
static void name_method(char *text, size_t size, int index)
{
    const char *name = index >= 0 ? method_name(index) : "";
    if (*name)
        snprintf(text, size, "%s", name);
    else
        snprintf(text, size, program_text(IDS_METHOD_UNNAMED), index);
}

static int consider_journal(HWND owner, int method_index, unsigned long long hash, const char *script,
                            int *resume)
{
    char question[STATUS_TEXT_SIZE], interrupted[256], chosen[256], where[128];
    *resume = 0;
    if (read_journal(&run_journal) != 0) {
        forget_run_files();
        return 0;
    }
    // another method, or a script changed since, can't go on where it stopped
    int from = resume_from(&run_journal, method_index, hash, script);
    if (unattended) {
        if (!resume_interrupted_run)
            return 2;
        *resume = from;
        if (!from)
            resume_other_method = run_journal.method;
        return 1;
    }
    // each question names the interrupted method and where it stopped, and
    // says what Yes and No do
    name_method(interrupted, sizeof interrupted, run_journal.method);
    where_interrupted(&run_journal, where, sizeof where);
    if (from) {
        snprintf(question, sizeof question, program_text(IDS_RESUME_QUESTION), interrupted, run_journal.started,
                 where, from, from);
        if (show_message_box(owner, question, MB_YESNO | MB_ICONQUESTION) == IDYES)
            *resume = from;
        return 1;
    }
    name_method(chosen, sizeof chosen, method_index);
    snprintf(question, sizeof question, program_text(IDS_RESUME_IMPOSSIBLE), interrupted, run_journal.started,
             where, chosen, chosen);
    return show_message_box(owner, question, MB_YESNO | MB_ICONQUESTION) == IDYES ? 1 : -1;
}

// Where an interrupted run stopped: its step of how many, and the fill pass
// that step is in when its method's script is still the one it ran.
static void where_interrupted(const RunJournal *journal, char *text, size_t size)
{
    char script[MAX_PATH + 16], line[STEP_LINE_SIZE];
    unsigned long long hash = 0;
    int pass = 0, passes = 0;
    TextFile steps;
    memset(&steps, 0, sizeof steps);
    if (script_path(script, sizeof script, journal->method) == RUN_DONE && script_hash(script, &hash) &&
        hash == journal->script_hash && read_text_file(script, &steps) == 0 &&
        next_text_line(&steps, line, sizeof line)) {
        for (int step = 1; step <= journal->steps && next_text_line(&steps, line, sizeof line); ++step) {
            int keyword = step_keyword(line);
            if (keyword != STEP_ERASE && keyword != STEP_ERASE_VERIFY)
                continue;
            ++passes;
            if (step <= journal->step)
                pass = passes;
        }
    }
    release_text_file(&steps);
    if (pass)
        snprintf(text, size, program_text(IDS_STOPPED_AT_PASS), journal->step, journal->steps, pass, passes);
    else
        snprintf(text, size, program_text(IDS_STOPPED_AT_STEP), journal->step, journal->steps);
}

// The folder the user gave, in which the work folder is made, is not there.
static int chosen_folder_missing(void)
{
    char *chosen = path_dir_part(work_folder_path);
    DWORD attributes = win.GetFileAttributesA(chosen);
    DWORD code = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0;
    free(chosen);
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// Why the work folder can't be held or taken: the warning box, the status
// box's text in runner_status, exit code 6.
static int refuse_work_folder(HWND owner, DWORD code)
{
    UINT id = code == ERROR_SHARING_VIOLATION ? IDS_FOLDER_IN_USE
              : code == WORK_FOLDER_LINK ? IDS_WORK_FOLDER_LINK
              : code == WORK_FOLDER_ELSEWHERE ? IDS_FOLDER_ELSEWHERE
              : code == WORK_FOLDER_FOREIGN_OWNER ? IDS_FOLDER_FOREIGN_OWNER
              : code == WORK_FOLDER_OTHERS_WRITE ? IDS_FOLDER_OTHERS_WRITE : 0;
    if (id) {
        snprintf(runner_status, sizeof runner_status, program_text(id), work_folder_path);
        show_message_box(owner, runner_status, MB_OK | MB_ICONWARNING);
        set_status_text(runner_status);
    } else if (chosen_folder_missing()) {
        // not the work folder's fault: the folder the user gave is not there
        snprintf(runner_status, sizeof runner_status, "%s\r\n", program_text(IDS_CANNOT_CREATE_FOLDER));
        size_t have = strlen(runner_status);
        char *chosen = path_dir_part(work_folder_path);
        snprintf(runner_status + have, sizeof runner_status - have, program_text(IDS_FOLDER_NOT_THERE), chosen);
        free(chosen);
        show_message_box(owner, runner_status + have, MB_OK | MB_ICONWARNING);
        set_status_text(runner_status);
    } else {
        // the system's own reason, under the folder's name
        run_context.last_error = code;
        error_box(owner, MB_ICONWARNING, "%s: ", work_folder_path);
        set_status_text(program_text(IDS_CANNOT_CREATE_FOLDER));
    }
    run_ending = ENDING_FOLDER;
    return RUN_REPORTED;
}

// An interrupted run's leftovers deleted (its journal vouches for them), and
// its journal with them unless keep; its folder goes at the end if that run
// made it. 0, or the deletion's result.
static int delete_leftovers(HWND owner, int keep)
{
    work_folder_created = run_journal.created;
    if (!keep)
        delete_journal();
    return delete_work_files(owner, run_context.status_id, 0, &never_aborted, work_folder_path);
}

// The work folder held for the run, before its journal is read (a second
// run on it is refused here), and taken: made now, or one that is there with
// an owner and a DACL that make it ours, and then with an interrupted run's
// journal (its leftovers deleted), on the user's word or /yes. 0 with
// *resume set, or the result that ends the run (reported).
static int take_work_folder(HWND owner, int method_index, unsigned long long hash, const char *script,
                            int *resume)
{
    int made = 0;
    DWORD code = hold_work_folder(&made);
    if (code)
        return refuse_work_folder(owner, code);
    work_folder_created = made;
    if (made)
        note_made_folder_owner();
    // one that was there is taken only when no one else may own or write in
    // it: what it holds could be anyone's otherwise (one made now has the
    // run's own DACL from the start)
    if (!made && (code = check_work_folder_owner()) != 0)
        return refuse_work_folder(owner, code);
    int ours = made ? 0 : consider_journal(owner, method_index, hash, script, resume);
    if (ours && abort_requested(run_context.abort_flag)) {
        // the session ended while the question waited: the leftovers go, the
        // journal stays, to go on from at the next Start
        journal_step_on_disk = run_journal.step;
        delete_leftovers(owner, 1);
        run_ending = ENDING_STOPPED;
        return RUN_STOPPED;
    }
    if (ours < 0) {
        // not gone on with, nor begun again: the interrupted run is over,
        // and its space comes back
        int deleted = delete_leftovers(owner, 0);
        snprintf(runner_status, sizeof runner_status, program_text(IDS_LEFTOVERS_DELETED), work_folder_path);
        set_status_text(runner_status);
        run_ending = deleted == RUN_DONE ? ENDING_NOT_GONE_ON : ENDING_FAILED;
        return RUN_REPORTED;
    }
    if (!made && ours != 1) {
        char question[STATUS_TEXT_SIZE];
        // what is in it stays: only what this run makes is ever deleted
        snprintf(question, sizeof question, "%s\r\n%s\r\n%s", program_text(IDS_CONTINUE_QUESTION),
                 work_folder_path, program_text(IDS_FOLDER_EXISTS_KEPT));
        if (!answer_yes_to_folder && show_message_box(owner, question, MB_YESNO | MB_ICONQUESTION) != IDYES) {
            snprintf(runner_status, sizeof runner_status, program_text(IDS_FOLDER_NOT_USED), work_folder_path);
            set_status_text(runner_status);
            forget_run_files();
            close_journal();
            run_ending = ENDING_FOLDER;
            return RUN_REPORTED;
        }
    }
    if ((code = keep_work_files_uncompressed()) != 0) {
        run_context.last_error = code;
        error_box(owner, MB_ICONWARNING, "%s: ", work_folder_path);
        set_status_text(program_text(IDS_CANNOT_CREATE_FOLDER));
        run_ending = ENDING_FOLDER;
        return RUN_REPORTED;
    }
    if (ours) {
        // the interrupted run's: its ID goes on if this run does, and its
        // leftovers go first
        journal_step_on_disk = *resume ? run_journal.step : 0;
        if (*resume)
            snprintf(run_id, sizeof run_id, "%s", run_journal.run_id);
        int result = delete_leftovers(owner, *resume != 0);
        if (result != RUN_DONE) {
            run_ending = ENDING_FAILED;
            return result;
        }
    }
    // a part that goes on keeps the run's key and its journal; else this
    // part's own key, written through once, now
    DWORD key = 0;
    if ((ours && *resume && go_on_with_journal() == 0) || (key = begin_journal_key(work_folder_machine_owned)) == 0)
        work_file_made = journal_note_file, work_file_named = journal_note_name;
    else
        journal_unwritten = key;
    return RUN_DONE;
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

    run_ending = ENDING_METHOD;
    int result = script_path(script, script_size, method_index);
    if (result != RUN_DONE)
        return result;
    if ((result = take_work_folder(owner, method_index, script_hash(script, &hash) ? hash : 0, script, resume)) != RUN_DONE)
        return result;
    if (resume_interrupted_run && unattended && !*resume && resume_other_method < 0)
        resume_found_nothing = 1;
    run_ending = ENDING_METHOD;
    if (abort_requested(run_context.abort_flag))
        return run_ending = ENDING_STOPPED, RUN_STOPPED;

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
        return run_ending = ENDING_STOPPED, RUN_STOPPED;
    }
    int read = next_step_line(steps, line);
    if (read <= 0) {
        release_text_file(steps);
        if (read < 0)
            return refuse_long_line(script, 1);
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
    run_journal.script_hash = hash;
    *step_count = count;
    return RUN_DONE;
}

// Writes where the run stands at the start of a step: the step to go on
// from, were the run stopped in it, and the run's files there are now. A
// journal that can't be written loses only the chance to go on; the erase
// itself is not touched.
static void note_step_in_journal(int method_index, int step, int count, const RunJournal *before)
{
    run_journal = *before;
    run_journal.folder = work_folder_identity;
    run_journal.method = method_index;
    run_journal.step = step;
    run_journal.steps = count;
    snprintf(run_journal.run_id, sizeof run_journal.run_id, "%s", run_id);
    run_journal.created = work_folder_created != 0;
    run_journal.passes = before->passes + run_totals.passes;
    run_journal.bytes_written = before->bytes_written + run_totals.bytes_written;
    run_journal.bytes_verified = before->bytes_verified + run_totals.bytes_verified;
    DWORD code = write_journal(&run_journal);
    if (code == 0)
        journal_step_on_disk = step;
    // a full volume keeps the journal of an earlier step, which a part that
    // goes on takes up from there: more is done again, nothing is skipped
    else if (!journal_unwritten && (!journal_step_on_disk || (code != ERROR_DISK_FULL && code != ERROR_HANDLE_DISK_FULL)))
        journal_unwritten = code;
}

// The journal at the run's end: kept for the next Start only when the
// session's end stopped the run, with the step to go on from; else deleted.
static void end_journal(int result)
{
    if (journal_step_on_disk && result == RUN_STOPPED && keep_journal_at_stop) {
        run_resume_step = journal_step_on_disk;
        close_journal();
    } else {
        delete_journal();
    }
    work_file_made = NULL, work_file_named = NULL;
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
    forget_run_files();
    memset(&run_totals, 0, sizeof run_totals);
    run_script_steps[0] = 0;
    run_ending = ENDING_FAILED;
    run_resumed_from = run_resume_step = resume_found_nothing = 0;
    resume_other_method = -1;
    journal_unwritten = 0;
    work_files_gone = 0;
    journal_step_on_disk = 0;
    verify_must_read = 0;
    work_file_made = NULL, work_file_named = NULL;

    TextFile steps;
    memset(&steps, 0, sizeof steps);
    int count = 0, resume = 0;
    int result = open_method(owner, method_index, script, sizeof script, &steps, &count, &resume);
    if (result != RUN_DONE) {
        // a stop asked for meanwhile (Abort during a question, the session's
        // end answering it No) is what ended the run, whatever the reason shown
        if (abort_requested(abort_flag))
            result = RUN_STOPPED, run_ending = ENDING_STOPPED;
        // an interrupted run's journal it went on from stays for the next
        // time only when the session's end stopped this one too
        end_journal(result);
        return result;
    }
    // the totals of the parts before this one, and when the first began
    RunJournal before = run_journal;
    if (resume) {
        run_resumed_from = resume;
        // what an earlier part wrote is gone: a verify that reads nothing now has checked nothing
        verify_must_read = 1;
    } else {
        memset(&before, 0, sizeof before);
        journal_local_time(before.started, sizeof before.started);
    }
    before.script_hash = run_journal.script_hash;
    begin_run_progress(count);
    if (resume > 1)
        skip_run_progress(resume - 1);
    count_passes(&steps, count);

    int step;
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
        // the passes are numbered in the script, the ones a part before this did too
        pass_numbers.fill += erases;
        pass_numbers.verify += keyword == STEP_VERIFY || keyword == STEP_ERASE_VERIFY;
        // the steps the interrupted part had done
        if (step < resume)
            continue;
        snprintf(step_text, sizeof step_text, program_text(IDS_STEP_FORMAT), step, count, line);
        SetDlgItemTextA(owner, step_id, step_text);
        // the label shows the line as read; the word ends at its last
        // character that is not a blank, a tab or a line end, so that
        // "random " or a script saved with bare LF ends still say random
        end_at_trailing_blanks(line);

        // where a run stopped in this step goes on from, by the one rule
        int again = verify_follows(&steps, count - step);
        int go_on_from = go_on_step(&steps, step);
        note_step_in_journal(method_index, go_on_from, count, &before);
        // an erase begins by deleting the files of the one before it; the
        // journal then vouches for what there is now
        if (erases) {
            size_t files_before = list_run_files(NULL, 0);
            if ((result = delete_work_files(owner, status_id, step_id, abort_flag, work_folder_path)) != RUN_DONE)
                break;
            if (list_run_files(NULL, 0) != files_before)
                note_step_in_journal(method_index, go_on_from, count, &before);
        }

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
    work_files_gone = deleted == RUN_DONE;
    if (result == RUN_DONE)
        result = deleted;
    // The session's end keeps the journal, to go on at the next Start; Abort
    // and Close were the user's choice to stop, and every other ending has
    // ended the run: its journal goes.
    end_journal(result);
    // what went wrong on the way stays in view, whatever came after it
    if (run_failure_count() > 0) {
        set_status_text(run_failure_text());
        if (result == RUN_DONE)
            result = RUN_REPORTED;
    }
    end_run_progress(result == RUN_DONE);
    run_ending = ending_of(result);
    // a pass run on its own later is no pass of this run's
    memset(&pass_numbers, 0, sizeof pass_numbers);

    // the next run starts with a fresh buffer and looks the free-space query up again
    release_transfer_buffer();
    get_free_ex_ready = 0;
    return result;
}
