// The system's own calls, the table the program starts with.
#include "support/system_calls.h"

const SystemCalls system_calls = {
    ::NtCreateFile, ::NtQueryInformationFile, ::NtSetInformationFile, ::NtQueryDirectoryFile,
    ::CreateFileA, ::CreateDirectoryA, ::RemoveDirectoryA, ::GetFileAttributesA,
    ::FindFirstFileA, ::FindNextFileA, ::FindClose,
    ::GetFileInformationByHandle, ::GetFileSize, ::ReadFile, ::WriteFile, ::SetFilePointer,
    ::SetFilePointerEx, ::SetEndOfFile, ::FlushFileBuffers, ::DeviceIoControl, ::CloseHandle,
    ::GetSecurityInfo, ::SetKernelObjectSecurity,
    ::RegCreateKeyExA, ::RegOpenKeyExA, ::RegSetValueExA, ::RegQueryValueExA, ::RegDeleteValueA,
    ::RegFlushKey, ::RegCloseKey,
    ::OpenProcessToken, ::OpenThreadToken, ::GetTokenInformation,
};

SystemCalls win = system_calls;

DWORD status_code(NTSTATUS status)
{
    DWORD code = RtlNtStatusToDosError(status);
    return code ? code : ERROR_GEN_FAILURE;
}

int token_user_sid(BYTE *sid, DWORD size)
{
    HANDLE token;
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD length = 0;
    if (!win.OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
        !win.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0;
    BOOL got = win.GetTokenInformation(token, TokenUser, user, sizeof user, &length);
    win.CloseHandle(token);
    return got && CopySid(size, sid, ((TOKEN_USER *)user)->User.Sid);
}

int token_elevated(void)
{
    HANDLE token;
    TOKEN_ELEVATION elevation;
    DWORD length = 0;
    BOOL member = FALSE;
    if (win.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        BOOL asked = win.GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &length);
        win.CloseHandle(token);
        if (asked)
            return elevation.TokenIsElevated != 0;
    }
    // Windows XP has no split token: an administrator's rights are the account's
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = NULL;
    if (AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                 &administrators)) {
        CheckTokenMembership(NULL, administrators, &member);
        FreeSid(administrators);
    }
    return member != 0;
}
