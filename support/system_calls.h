// The system's file, folder, registry and token calls, as vanta makes them.
//
// Every such call the program makes goes through this table, by the name
// Windows gives the call: win.NtCreateFile(...), win.RegCreateKeyExA(...).
// In the program each entry is the system's own function. Under Wine, which
// checks far fewer of Windows' rules than Windows does (rights on a handle,
// share modes on a rename's target folder, deletion that is pending, ACLs,
// the token's elevation), the tests put in a table that refuses exactly what
// Windows refuses, so that a call Windows would refuse fails a test here.
#ifndef VANTA_SUPPORT_SYSTEM_CALLS_H
#define VANTA_SUPPORT_SYSTEM_CALLS_H

#include <windows.h>
#include <winternl.h>
#include <accctrl.h>
#include <aclapi.h>

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                               FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);
extern "C" NTSTATUS NTAPI NtFlushBuffersFile(HANDLE, PIO_STATUS_BLOCK);
extern "C" ULONG NTAPI RtlNtStatusToDosError(NTSTATUS);

// The information classes vanta asks for or sets.
#define FILE_BASIC_CLASS        ((FILE_INFORMATION_CLASS)4)
#define FILE_STANDARD_CLASS     ((FILE_INFORMATION_CLASS)5)
#define FILE_INTERNAL_CLASS     ((FILE_INFORMATION_CLASS)6)
#define FILE_RENAME_CLASS       ((FILE_INFORMATION_CLASS)10)
#define FILE_DISPOSITION_CLASS  ((FILE_INFORMATION_CLASS)13)
#define FILE_ALL_CLASS          ((FILE_INFORMATION_CLASS)18)
#define FILE_END_OF_FILE_CLASS  ((FILE_INFORMATION_CLASS)20)
#define FILE_ID_BOTH_CLASS      ((FILE_INFORMATION_CLASS)37)

struct SystemCalls {
    // files and folders
    decltype(&::NtCreateFile) NtCreateFile;
    decltype(&::NtQueryInformationFile) NtQueryInformationFile;
    decltype(&::NtSetInformationFile) NtSetInformationFile;
    decltype(&::NtQueryDirectoryFile) NtQueryDirectoryFile;
    decltype(&::CreateFileA) CreateFileA;
    decltype(&::CreateDirectoryA) CreateDirectoryA;
    decltype(&::RemoveDirectoryA) RemoveDirectoryA;
    decltype(&::GetFileAttributesA) GetFileAttributesA;
    decltype(&::FindFirstFileA) FindFirstFileA;
    decltype(&::FindNextFileA) FindNextFileA;
    decltype(&::FindClose) FindClose;
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
    decltype(&::GetFileSize) GetFileSize;
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    decltype(&::SetFilePointer) SetFilePointer;
    decltype(&::SetFilePointerEx) SetFilePointerEx;
    decltype(&::SetEndOfFile) SetEndOfFile;
    decltype(&::FlushFileBuffers) FlushFileBuffers;
    decltype(&::DeviceIoControl) DeviceIoControl;
    decltype(&::CloseHandle) CloseHandle;
    // security
    decltype(&::GetSecurityInfo) GetSecurityInfo;
    decltype(&::SetKernelObjectSecurity) SetKernelObjectSecurity;
    // the registry
    decltype(&::RegCreateKeyExA) RegCreateKeyExA;
    decltype(&::RegOpenKeyExA) RegOpenKeyExA;
    decltype(&::RegSetValueExA) RegSetValueExA;
    decltype(&::RegQueryValueExA) RegQueryValueExA;
    decltype(&::RegDeleteValueA) RegDeleteValueA;
    decltype(&::RegFlushKey) RegFlushKey;
    decltype(&::RegCloseKey) RegCloseKey;
    // the token
    decltype(&::OpenProcessToken) OpenProcessToken;
    decltype(&::OpenThreadToken) OpenThreadToken;
    decltype(&::GetTokenInformation) GetTokenInformation;
};

// The table every call goes through.
extern SystemCalls win;
// The system's own functions, as the program starts with them.
extern const SystemCalls system_calls;

// An NTSTATUS as the Win32 error code it stands for (never 0 for a failure).
DWORD status_code(NTSTATUS status);

// 1 when the process runs with an administrator's rights: its token is
// elevated (Vista and later), or on Windows XP the account is an administrator.
int token_elevated(void);
// The running account's SID (the thread's token, else the process's) into
// sid (size bytes): 1, or 0 with the last error set.
int token_user_sid(BYTE *sid, DWORD size);

#endif
