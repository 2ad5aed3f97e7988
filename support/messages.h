// Support subsystem: what the rest of vanta may call.
//   - the run's process-wide state (RunContext) and the abort poll
//   - message reporting: boxes and status texts with the system's error text
//   - path helpers
//   - the string table
#ifndef VANTA_SUPPORT_MESSAGES_H
#define VANTA_SUPPORT_MESSAGES_H

#include <windows.h>
#include "string_ids.h"

// The program's name: the dialog's title and the caption of every box.
#define PROGRAM_NAME "vanta"

// Refusals of the work folder and its files besides the system's own codes
// (customer codes: bit 29 set); the reporting functions give the last five a
// reason of vanta's own where the system's text would go.
#define WORK_FOLDER_LINK          0x20000001   // a junction or symbolic link in its place
#define WORK_FOLDER_ELSEWHERE     0x20000002   // not on the chosen folder's volume
#define WORK_FOLDER_FOREIGN_OWNER 0x20000003   // owned by another account
#define WORK_FOLDER_OTHERS_WRITE  0x20000004   // others may write in it, and its DACL can't be reset
#define WORK_FILE_NOT_PLAIN       0x20000011   // a folder or a link
#define WORK_FILE_LINKED          0x20000012   // more than one link: another name holds its bytes
#define WORK_FILE_ELSEWHERE       0x20000013   // on another volume
#define WORK_FILE_NOT_OURS        0x20000014   // no file this run made
#define WORK_FILE_STAYED          0x20000015   // deleted, the call said so, and still there

// Status and warning texts hold at most 771 characters and their zero.
#define STATUS_TEXT_SIZE  772
#define STATUS_TEXT_LIMIT 771

// ---------------------------------------------------------------- run state

// The state of the running wipe. Only one pass uses it at a time.
struct RunContext {
    unsigned char *transfer_buffer;   // TRANSFER_SIZE bytes, page-aligned, or null
    HWND owner;                       // the dialog: owner of every box of a pass
    int status_id;                    // control that receives status and error texts
    volatile LONG *abort_flag;        // written by the window thread, polled here
    DWORD last_error;                 // code whose system text the reports append
};

extern RunContext run_context;

// Non-zero when the window thread has asked the run to stop.
int abort_requested(volatile LONG *abort_flag);

// Puts a text into the run's status control (RunContext owner and status id).
void set_status_text(const char *text);

// ---------------------------------------------------------------- reporting

// Every message box of the program goes through show_message_box, which calls
// message_box_proc (MessageBoxA unless a test has put its own answerer there).
typedef int (WINAPI *MessageBoxProc)(HWND owner, LPCSTR text, LPCSTR caption, UINT style);
extern MessageBoxProc message_box_proc;
int show_message_box(HWND owner, const char *text, UINT style);

// Unattended runs (/start /exit), and every run once the session ends: no
// box waits for a person. show_message_box then keeps each text for the run's
// report (unattended_texts, one a line, as many as fit) and answers a
// question with unattended_answer, which the asker sets just before it asks
// (IDNO unless set). A box already open when the session ends is closed with
// open_box_answer, the answer it would have had unattended.
extern volatile LONG unattended;
extern int unattended_answer;
extern volatile LONG open_box_answer;
extern char unattended_texts[4096];
// The answers a command line gives beforehand: /yes takes an existing work
// folder without asking; /skip goes on past a damaged sector when no one is
// there to be asked.
extern int answer_yes_to_folder;
extern int skip_damaged_sectors;

// OK/Cancel box without owner; Cancel ends the process with status 1.
void fatal_box(const char *format, ...);
// fatal_box with the system text for last_error appended.
void fatal_system_error(const char *format, ...);
// Box of the caller's style and owner, system text appended; returns the button.
int error_box(HWND owner, UINT style, const char *format, ...);
// Warning box owned by the run's window, system text appended; returns last_error.
DWORD warn_box(const char *format, ...);
// Composes into buffer (size + 1 bytes) with the system text; shows nothing.
char *format_system_error(char *buffer, unsigned size, const char *format, ...);

// Reports a failed call of a pass: warning box, then the same text in the
// status control, noted as a failure of the run. Returns what warn_box
// returned (the error code).
DWORD report_pass_error(const char *format, ...);

// ---------------------------------------------------------------- a run's failures

// Every failure a run shows is noted, so that its end can show them again
// (they may have been overwritten since) and never call the run a success.
void clear_run_failures(void);
void note_run_failure(const char *text);
int run_failure_count(void);
// The noted texts, one a line, as many as fit a status text whole; a last
// line counts the rest.
const char *run_failure_text(void);

// ---------------------------------------------------------------- paths

int is_ascii_alpha(int c);
char *path_join(const char *folder, const char *name);
char *path_dir_part(const char *path);
char *parent_path(const char *path);
// What a path names besides a file or folder: PATH_DEVICE, a device (a name
// Windows keeps for one as its last part, with or without an extension or a
// folder before it: CON, nul.csv, D:\logs\COM1; or the device namespace
// \\.\); PATH_RAW, a name the system takes as it is, past the rules of
// ordinary paths (\\?\, \??\); else 0.
#define PATH_DEVICE 1
#define PATH_RAW    2
int path_names_device(const char *path);

// ---------------------------------------------------------------- texts

// The language vanta speaks, chosen once at start: Japanese where the ANSI
// code page is 932, the only one that holds its Japanese texts; English
// everywhere else (65001 too). /lang:ja or /lang:en chooses.
#define LANGUAGE_JAPANESE 0
#define LANGUAGE_ENGLISH  1
extern int program_language;
// asked: LANGUAGE_ENGLISH, LANGUAGE_JAPANESE (taken only under code page
// 932), or -1 for the code page's.
void choose_language(int asked);
// "ja" or "en", as the record and the switch name them.
const char *language_code(void);
// The resources' language id of the program's language (a dialog, a text).
LANGID resource_language(void);

// The text of id in the string table of language (a LANGID), in the ANSI
// code page; the empty text when there is none. A new heap string, or a
// static empty one when memory runs out; never freed.
char *load_resource_string(HINSTANCE instance, UINT id, LANGID language);

// The texts of both languages, loaded once and kept; program_text gives an
// id's text in the program's language, the empty text for an id that is
// not loaded.
void load_texts(HINSTANCE instance);
const char *program_text(UINT id);

// text (length UTF-16 units, -1: up to its zero) in code_page (CP_ACP: the
// ANSI code page), into ansi (size bytes, zero-ended, cut before a character
// that does not fit), character by character and without best-fit mapping.
// Returns the bytes written; *lost is 1 when a character has no form of its
// own there (it is written as "?").
int ansi_from_wide(UINT code_page, const WCHAR *text, int length, char *ansi, int size, int *lost);

#endif
