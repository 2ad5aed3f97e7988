// How long vanta.exe takes to give a volume's space back when a run is cut
// short: starts the program on the folder named on the command line, lets
// method 0 (zeros) fill the volume until at most the given share is still
// free, then
//   abort: presses Abort and times until the status box reads the aborted
//          text, by when the work files and the work folder are gone;
//   close: presses Close and times until the process has ended, and checks
//          the free space afterwards;
//   session: with method 2 (zeros, then verified: the work files keep their
//          bytes), ends the session as Wine does (wineboot --end-session:
//          WM_QUERYENDSESSION, WM_ENDSESSION, then the process is ended) and
//          times until the process has ended, and checks the free space;
//   endsession: method 2 started as a scheduled task starts it (/start /exit),
//          the session's end sent as Windows sends it (WM_QUERYENDSESSION,
//          then WM_ENDSESSION): times WM_ENDSESSION until its answer (the
//          program ends itself once its work files are gone and its run
//          recorded), and counts the work files left and the exit code.
// Prints one line per round and the figures; asserts nothing about them.
//
//   endings_bench VANTA_EXE FOLDER abort|close|session|endsession ROUNDS PERCENT_FREE
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define IDC_METHOD 142
#define IDC_START  144
#define IDC_STATUS 146
#define ABORTED_TEXT "中断しました。"   // compiled to code page 932

static double seconds(void)
{
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart / (double)frequency.QuadPart;
}

static unsigned long long free_bytes(const char *folder)
{
    ULARGE_INTEGER available;
    return GetDiskFreeSpaceExA(folder, &available, NULL, NULL) ? available.QuadPart : 0;
}

static HWND find_dialog(DWORD process_id)
{
    DWORD owner = 0;
    for (HWND w = NULL; (w = FindWindowExA(NULL, w, "#32770", NULL)) != NULL;)
        if (GetWindowThreadProcessId(w, &owner), owner == process_id && GetDlgItem(w, IDC_STATUS))
            return w;
    return NULL;
}

static void press(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, id, (LPARAM)GetDlgItem(dialog, id));
}

// One round: 0 with the time in *taken, or 1 with the reason printed.
enum Cut { ABORT, CLOSE, SESSION, ENDSESSION };

// Work files left in the work folder of folder (names of digits only).
static int work_files_left(const char *folder)
{
    char pattern[MAX_PATH];
    WIN32_FIND_DATAA entry;
    int left = 0;
    snprintf(pattern, sizeof pattern, "%s$VANTA$$\\*", folder);
    HANDLE listing = FindFirstFileA(pattern, &entry);
    if (listing == INVALID_HANDLE_VALUE)
        return 0;
    do
        left += entry.cFileName[0] >= '0' && entry.cFileName[0] <= '9';
    while (FindNextFileA(listing, &entry));
    FindClose(listing);
    return left;
}
static DWORD exit_code_seen;
static int files_left_seen;

static HANDLE end_session(void)
{
    char command[] = "wineboot.exe --end-session";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        CloseHandle(process.hThread);
    return process.hProcess;
}

static int round_once(const char *exe, const char *folder, int cut_by, double share, double *taken,
                      unsigned long long *free_at_cut, unsigned long long *free_after)
{
    char command[MAX_PATH * 2 + 8];
    snprintf(command, sizeof command, "\"%s\" \"%s\"%s", exe, folder,
             cut_by == ENDSESSION ? " /method:2 /start /exit" : "");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    unsigned long long before = free_bytes(folder);
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        printf("cannot start %s (error %lu)\n", exe, GetLastError());
        return 1;
    }
    CloseHandle(process.hThread);
    HWND dialog = NULL;
    for (int i = 0; i < 2000 && !(dialog = find_dialog(process.dwProcessId)); ++i)
        Sleep(10);
    int failed = !dialog;
    if (dialog) {
        if (cut_by != ENDSESSION) {
            SendMessageA(GetDlgItem(dialog, IDC_METHOD), CB_SETCURSEL, cut_by == SESSION ? 2 : 0, 0);
            press(dialog, IDC_START);
        }
        double started = seconds();
        while ((*free_at_cut = free_bytes(folder)) > before * share && seconds() - started < 120)
            Sleep(1);
        double cut = seconds();
        HANDLE wineboot = NULL;
        if (cut_by == SESSION)
            wineboot = end_session();
        else if (cut_by == ENDSESSION) {
            DWORD_PTR answer = 0;
            SendMessageTimeoutA(dialog, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, &answer);
            cut = seconds();
            // the program ends itself before it answers: the call returns then
            SendMessageTimeoutA(dialog, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 60000, &answer);
        } else
            press(dialog, cut_by == CLOSE ? IDCANCEL : IDABORT);
        if (cut_by != ABORT) {
            failed = WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0;
            if (wineboot)
                WaitForSingleObject(wineboot, 60000), CloseHandle(wineboot);
        } else {
            // "Aborted." and under it what the run had done
            char status[1024] = "";
            for (; seconds() - cut < 60; Sleep(1)) {
                GetDlgItemTextA(dialog, IDC_STATUS, status, sizeof status);
                if (strncmp(status, ABORTED_TEXT "\r\n", strlen(ABORTED_TEXT) + 2) == 0)
                    break;
            }
            failed = strncmp(status, ABORTED_TEXT "\r\n", strlen(ABORTED_TEXT) + 2) != 0;
        }
        *taken = seconds() - cut;
        files_left_seen = work_files_left(folder);
        GetExitCodeProcess(process.hProcess, &exit_code_seen);
        *free_after = free_bytes(folder);
        // NTFS keeps the records and index room the run's files took: a little
        // of the space stays with the file system, never a work file's worth
        failed |= *free_after + (1 << 20) < before;
    }
    TerminateProcess(process.hProcess, 9);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hProcess);
    if (failed)
        printf("the round did not end as it should: %llu bytes free before, %llu after\n", before,
               *free_after);
    return failed;
}

int main(int argc, char **argv)
{
    const char *cuts[] = {"abort", "close", "session", "endsession"};
    int cut_by = -1;
    for (int i = 0; i < 4; ++i)
        if (argc == 6 && strcmp(argv[3], cuts[i]) == 0)
            cut_by = i;
    if (cut_by < 0) {
        fprintf(stderr, "usage: endings_bench VANTA_EXE FOLDER abort|close|session|endsession ROUNDS PERCENT_FREE\n");
        return 2;
    }
    int rounds = atoi(argv[4]);
    double share = atof(argv[5]) / 100.0, total = 0, worst = 0;
    for (int round = 1; round <= rounds; ++round) {
        double taken = 0;
        unsigned long long at_cut = 0, after = 0;
        if (round_once(argv[1], argv[2], cut_by, share, &taken, &at_cut, &after))
            return 1;
        const char *what[] = {"Abort", "Close", "The session's end", "WM_ENDSESSION"};
        const char *until[] = {"the status said aborted", "the process ended", "the process ended",
                               "its answer (the process ended)"};
        printf("round %d: %s with %llu bytes free, %.3f s until %s, %llu bytes free then", round,
               what[cut_by], at_cut, taken, until[cut_by], after);
        if (cut_by == ENDSESSION)
            printf(", %d work files left, exit code %lu", files_left_seen, exit_code_seen);
        printf("\n");
        total += taken;
        worst = taken > worst ? taken : worst;
    }
    printf("%s_mean %.3f\n%s_worst %.3f\n", argv[3], total / rounds, argv[3], worst);
    return 0;
}
