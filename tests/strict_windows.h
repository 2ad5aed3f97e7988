// Windows' rules, where Wine lets a call through that Windows refuses.
//
// strict_windows_install puts into the program's table of system calls (win,
// support/system_calls.h) calls that keep what Windows keeps of every handle
// the program opens (its granted rights, generic rights mapped as Windows
// maps them, its share mode, its file, whether its file is pending deletion)
// and of every registry key and folder security it sets, and refuse exactly
// what Windows refuses, with Windows' status or error code. Each refusal is
// kept in strict_refusals ("call: rule"); every test program fails the test
// that met one (test_main.cpp), and the strict build of vanta.exe writes
// each into the file VANTA_STRICT_LOG names.
#ifndef VANTA_TESTS_STRICT_WINDOWS_H
#define VANTA_TESTS_STRICT_WINDOWS_H

#include <windows.h>
#include <string>
#include <vector>
#include "support/system_calls.h"

void strict_windows_install(void);
bool strict_windows_installed(void);

// What was refused since the last strict_take_refusals: a test that makes a
// call fail on purpose takes its refusals and checks them.
extern std::vector<std::string> strict_refusals;
std::vector<std::string> strict_take_refusals(void);
// Appended to as refusals happen ("" keeps them in memory only).
extern std::string strict_log_path;

// The token the program runs with: what Windows would give it where Wine
// gives every process an elevated administrator's.
enum StrictToken {
    TOKEN_ELEVATED_ADMINISTRATOR,   // Wine's, and an administrator's after UAC's prompt
    TOKEN_FILTERED_ADMINISTRATOR,   // an administrator without elevation: Administrators deny-only
    TOKEN_STANDARD_USER,            // no Administrators at all
};
extern StrictToken strict_token;

// A folder's security as Windows would keep it (Wine rebuilds it from the
// Unix mode): the SDDL its handles read back, from now on.
void strict_set_folder_security(const std::string &path, const std::string &sddl);
// A DACL change the account may not make (no WRITE_DAC in the folder's DACL
// for it): SetKernelObjectSecurity refuses it with ERROR_ACCESS_DENIED.
extern bool strict_refuse_dacl_change;
// DACLs set through the layer since the count was last set to 0.
extern int strict_dacl_sets;
// A folder that Windows shows as a junction (a reparse point) when it is
// opened as itself; Wine can make none (on, or off again).
void strict_set_junction(const std::string &path, bool junction);
// What a folder's security reads back now (SDDL, owner and DACL), "" when
// the layer keeps none for it.
std::string strict_folder_security(const std::string &path);

// Called with the path of each folder the program makes (CreateDirectoryA,
// or NtCreateFile with FILE_CREATE), as soon as the system has made it:
// another account's moment to put another folder in its place.
#include <functional>
extern std::function<void(const std::string &path)> strict_folder_made;

// The program's process ends where it stands, as a kill or a power cut ends
// it: from strict_process_ends on, every call of the table fails (with
// ERROR_PROCESS_ABORTED) and changes nothing, but for the closing of
// handles, which the system does for a process that has ended; what the
// program had done stays on the disk as it was. strict_process_restarts
// puts the calls back, for the next run.
void strict_process_ends(void);
void strict_process_restarts(void);
bool strict_process_ended(void);

// Windows' rules for handles opened unbuffered: transfers whose size, file
// position or buffer is not a whole number of sectors are refused with
// ERROR_INVALID_PARAMETER, and so are moves of the file pointer into a sector
// (the fill's first write of FIRST_WRITE_BYTES, made to be refused, is not
// kept as a refusal). 512 until strict_io_install sets another size.
extern DWORD strict_sector_bytes;

#endif
