// The work folder $VANTA$$: its path, its creation at the start of a run and
// its removal at the end when this program created it.
#ifndef VANTA_UI_WORK_FOLDER_H
#define VANTA_UI_WORK_FOLDER_H

#include <windows.h>

#define WORK_FOLDER_NAME "$VANTA$$"

// The folder of every work file of the run; empty until a Start sets it.
extern char work_folder_path[MAX_PATH];
// 1 when this program created the folder and so removes it at the end.
extern LONG work_folder_created;
// 1 when the folder holds the journal of an interrupted run of this one's
// (the runner has read it): it is used without the question about an
// existing folder, and work_folder_created is left to the runner.
extern int work_folder_ours;
// The look-up of the work folder (GetFileAttributesA); tests put in one that
// fails the way a locked or absent medium does.
typedef DWORD (WINAPI *GetFileAttributesProc)(LPCSTR);
extern GetFileAttributesProc work_folder_attributes;

// 0 with work_folder_path set; 3 when the folder text is too long (warning
// shown, *text is string 408, the path unchanged).
int prepare_work_folder_path(HWND dialog, const char *folder, const char **text);
// 0 when the folder may be used; 1 when not, with *text string 408.
int create_work_folder(HWND dialog, const char **text);
// 0 when removed or nothing of ours to remove; 1 when the removal failed
// (warning shown, *text string 409). The path is forgotten either way.
int remove_work_folder(HWND dialog, const char **text);

#endif
