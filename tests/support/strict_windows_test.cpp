// The layer that holds every system call to Windows' rules: each rule a row,
// each row the case of the WinBtrfs driver's tests (src/tests/, expectations
// measured on Windows' own NTFS) or the document it mirrors.
#include <windows.h>
#include <winternl.h>
#include <sddl.h>
#include <stddef.h>
#include <functional>
#include <string>
#include <gtest/gtest.h>
#include "strict_windows.h"
#include "test_helpers.h"

#define STATUS_ACCESS_DENIED_ ((NTSTATUS)0xC0000022)
#define STATUS_SHARING_VIOLATION_ ((NTSTATUS)0xC0000043)
#define STATUS_DELETE_PENDING_ ((NTSTATUS)0xC0000056)
#define STATUS_DIRECTORY_NOT_EMPTY_ ((NTSTATUS)0xC0000101)
#define STATUS_INVALID_PARAMETER_ ((NTSTATUS)0xC000000D)

namespace {

// A scratch folder beside the test program, held as the program holds its
// work folder: listing, adding, DELETE, and no shared deletion.
struct Scratch {
    std::string path = own_path() + ".strict";
    HANDLE folder = INVALID_HANDLE_VALUE;
    Scratch()
    {
        remove_tree(path);
        CreateDirectoryA(path.c_str(), NULL);
        folder = win.CreateFileA(path.c_str(), FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE | DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    }
    ~Scratch()
    {
        win.CloseHandle(folder);
        remove_tree(path);
    }
    // name, relative to root, as the program opens its files
    NTSTATUS open(HANDLE root, const wchar_t *name, ACCESS_MASK access, ULONG share, ULONG disposition, HANDLE *file,
                  ULONG options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT)
    {
        UNICODE_STRING text;
        OBJECT_ATTRIBUTES attributes;
        IO_STATUS_BLOCK io;
        text.Buffer = (PWSTR)name;
        text.Length = text.MaximumLength = (USHORT)(wcslen(name) * sizeof(WCHAR));
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, NULL);
        *file = NULL;
        return win.NtCreateFile(file, access, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL, share, disposition, options,
                                NULL, 0);
    }
};

struct Rename {
    BOOLEAN replace;
    HANDLE folder;
    ULONG length;
    WCHAR name[64];
};

NTSTATUS rename_to(HANDLE file, HANDLE folder, const wchar_t *name, bool replace)
{
    Rename rename = {replace, folder, (ULONG)(wcslen(name) * sizeof(WCHAR)), {}};
    wcscpy(rename.name, name);
    IO_STATUS_BLOCK io;
    return win.NtSetInformationFile(file, &io, &rename, (ULONG)(offsetof(Rename, name) + rename.length),
                                    FILE_RENAME_CLASS);
}

NTSTATUS set_deleted(HANDLE file)
{
    BOOLEAN gone = TRUE;
    IO_STATUS_BLOCK io;
    return win.NtSetInformationFile(file, &io, &gone, sizeof gone, FILE_DISPOSITION_CLASS);
}

const ACCESS_MASK WRITING = GENERIC_WRITE | SYNCHRONIZE;   // FILE_GENERIC_WRITE: no FILE_READ_ATTRIBUTES

// A file "a" written, flushed or not and closed, then opened again (with
// DELETE) for then's call.
long written_then(Scratch &s, bool flushed, const std::function<long(HANDLE)> &then)
{
    HANDLE f;
    DWORD written = 0;
    s.open(s.folder, L"a", WRITING, 0, FILE_CREATE, &f);
    win.WriteFile(f, "pattern", 7, &written, NULL);
    if (flushed)
        win.FlushFileBuffers(f);
    win.CloseHandle(f);
    s.open(s.folder, L"a", WRITING | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, &f);
    long code = then(f);
    win.CloseHandle(f);
    return written == 7 ? code : -1;
}

// A key made with the DACL sddl by a token of kind maker, opened again for
// reading by one of kind opener: the open's status.
long reopened_key(const char *sddl, StrictToken maker, StrictToken opener)
{
    const char *name = "Software\\vanta-strict-test";
    PSECURITY_DESCRIPTOR given = NULL;
    ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &given, NULL);
    SECURITY_ATTRIBUTES security = {sizeof security, given, FALSE};
    HKEY key = NULL;
    RegDeleteKeyA(HKEY_CURRENT_USER, name);
    strict_token = maker;
    win.RegCreateKeyExA(HKEY_CURRENT_USER, name, 0, NULL, 0, KEY_SET_VALUE, &security, &key, NULL);
    LocalFree(given);
    win.RegCloseKey(key);
    strict_token = opener;
    long status = win.RegOpenKeyExA(HKEY_CURRENT_USER, name, 0, KEY_QUERY_VALUE, &key);
    if (!status)
        win.RegCloseKey(key);
    RegDeleteKeyA(HKEY_CURRENT_USER, name);
    return status;
}

}  // namespace

// Each row: what it does, the status (or error code) Windows gives, and
// whether the layer keeps a refusal (a call the program must never make) or
// only answers as Windows does (a state of the world the program must meet).
TEST(StrictWindows, RefusesWhatWindowsRefusesAndLetsThroughWhatItAllows)
{
    struct Row {
        const char *name;
        std::function<long(Scratch &)> call;
        long expected;
        bool refusal;
    };
    const Row rows[] = {
        // [MS-FSA] 2.1.5.12; fileinfo.cpp "Try to query basic information" without FILE_READ_ATTRIBUTES
        {"FileBasicInformation without FILE_READ_ATTRIBUTES",
         [](Scratch &s) {
             HANDLE f;
             s.open(s.folder, L"a", WRITING, 0, FILE_CREATE, &f);
             FILE_BASIC_INFORMATION basic;
             IO_STATUS_BLOCK io;
             long status = win.NtQueryInformationFile(f, &io, &basic, sizeof basic, FILE_BASIC_CLASS);
             win.CloseHandle(f);
             return status;
         },
         STATUS_ACCESS_DENIED_, true},
        // GetFileInformationByHandle asks for FileAllInformation
        {"GetFileInformationByHandle without FILE_READ_ATTRIBUTES",
         [](Scratch &s) {
             HANDLE f;
             BY_HANDLE_FILE_INFORMATION info;
             s.open(s.folder, L"a", WRITING, 0, FILE_CREATE, &f);
             long code = win.GetFileInformationByHandle(f, &info) ? 0 : (long)GetLastError();
             win.CloseHandle(f);
             return code;
         },
         ERROR_ACCESS_DENIED, true},
        // [MS-FSA] 2.1.5.12: FileInternalInformation needs no right
        {"FileInternalInformation without any right",
         [](Scratch &s) {
             HANDLE f;
             LARGE_INTEGER index;
             IO_STATUS_BLOCK io;
             s.open(s.folder, L"a", WRITING, 0, FILE_CREATE, &f);
             long status = win.NtQueryInformationFile(f, &io, &index, sizeof index, FILE_INTERNAL_CLASS);
             win.CloseHandle(f);
             return status;
         },
         0, false},
        // [MS-FSA] 2.1.5.15; rename.cpp "Try renaming file without DELETE access"
        {"a rename without DELETE",
         [](Scratch &s) {
             HANDLE f;
             s.open(s.folder, L"a", WRITING, 0, FILE_CREATE, &f);
             long status = rename_to(f, NULL, L"renamed", false);
             win.CloseHandle(f);
             return status;
         },
         STATUS_ACCESS_DENIED_, true},
        // IopOpenLinkOrRenameTarget; links.cpp "Try create link through directory handle"
        {"a rename through a RootDirectory held with DELETE and no shared deletion",
         [](Scratch &s) {
             HANDLE f;
             s.open(s.folder, L"a", WRITING | DELETE, 0, FILE_CREATE, &f);
             long status = rename_to(f, s.folder, L"renamed", false);
             win.CloseHandle(f);
             return status;
         },
         STATUS_SHARING_VIOLATION_, true},
        // [MS-FSCC] 2.4.42: a bare name renames within the file's folder, which is not opened
        {"a rename by a bare name within the held folder",
         [](Scratch &s) {
             HANDLE f;
             s.open(s.folder, L"a", WRITING | DELETE, 0, FILE_CREATE, &f);
             long status = rename_to(f, NULL, L"renamed", false);
             win.CloseHandle(f);
             DWORD attributes = GetFileAttributesA((s.path + "\\renamed").c_str());
             return status ? status : attributes == INVALID_FILE_ATTRIBUTES ? -1 : 0;
         },
         0, false},
        // [MS-FSCC] 2.4.42: ReplaceIfExists over an open file
        {"a replacing rename over a file that is open",
         [](Scratch &s) {
             HANDLE f, held;
             s.open(s.folder, L"renamed", WRITING, FILE_SHARE_READ, FILE_CREATE, &held);
             s.open(s.folder, L"a", WRITING | DELETE, 0, FILE_CREATE, &f);
             long status = rename_to(f, NULL, L"renamed", true);
             win.CloseHandle(f), win.CloseHandle(held);
             return status;
         },
         STATUS_ACCESS_DENIED_, true},
        // [MS-FSA] 2.1.5.14.3; delete.cpp, disposition without DELETE
        {"a disposition without DELETE",
         [](Scratch &s) {
             HANDLE f;
             s.open(s.folder, L"a", WRITING, 0, FILE_CREATE, &f);
             long status = set_deleted(f);
             win.CloseHandle(f);
             return status;
         },
         STATUS_ACCESS_DENIED_, true},
        // delete.cpp "Try to reopen file marked for deletion"
        {"an open of a file whose deletion is pending",
         [](Scratch &s) {
             HANDLE f, again;
             s.open(s.folder, L"a", WRITING | DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    FILE_CREATE, &f);
             set_deleted(f);
             FILE_STANDARD_INFORMATION standard = {};
             IO_STATUS_BLOCK io;
             win.NtQueryInformationFile(f, &io, &standard, sizeof standard, FILE_STANDARD_CLASS);
             long status = s.open(s.folder, L"a", FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, &again);
             long made = s.open(s.folder, L"a", WRITING, 0, FILE_CREATE, &again);
             win.CloseHandle(f);
             // pending shows, its link is gone, and a new file of its name waits too
             return standard.DeletePending && standard.NumberOfLinks == 0 && made == STATUS_DELETE_PENDING_ ? status : -1;
         },
         STATUS_DELETE_PENDING_, false},
        // delete.cpp: a folder whose only child is pending and still open
        {"a folder's deletion while a child's is pending",
         [](Scratch &s) {
             HANDLE sub, child;
             s.open(s.folder, L"sub", FILE_LIST_DIRECTORY | FILE_ADD_FILE | DELETE | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_CREATE, &sub,
                    FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
             s.open(sub, L"c", WRITING | DELETE, FILE_SHARE_DELETE, FILE_CREATE, &child);
             set_deleted(child);
             long status = set_deleted(sub);
             win.CloseHandle(child), win.CloseHandle(sub);
             return status;
         },
         STATUS_DIRECTORY_NOT_EMPTY_, false},
        // [MS-FSA] 2.1.5.1.1: a new file needs FILE_ADD_FILE on its folder
        {"a file made through a folder handle without FILE_ADD_FILE",
         [](Scratch &s) {
             HANDLE looking, f;
             s.open(s.folder, L"", FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    FILE_OPEN, &looking, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
             long status = s.open(looking, L"a", WRITING, 0, FILE_CREATE, &f);
             win.CloseHandle(looking);
             DWORD left = GetFileAttributesA((s.path + "\\a").c_str());
             return left == INVALID_FILE_ATTRIBUTES ? status : -1;
         },
         STATUS_ACCESS_DENIED_, true},
        // [MS-FSA] 2.1.5.1: synchronous I/O without SYNCHRONIZE
        {"synchronous I/O asked for without SYNCHRONIZE",
         [](Scratch &s) {
             HANDLE f;
             return (long)s.open(s.folder, L"a", FILE_WRITE_DATA, 0, FILE_CREATE, &f);
         },
         STATUS_INVALID_PARAMETER_, true},
        // [MS-FSA] 2.1.5.14.4; io.cpp: a length set without FILE_WRITE_DATA
        {"SetEndOfFile without FILE_WRITE_DATA",
         [](Scratch &s) {
             HANDLE f;
             s.open(s.folder, L"a", FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, FILE_CREATE, &f);
             long code = win.SetEndOfFile(f) ? 0 : (long)GetLastError();
             win.CloseHandle(f);
             return code;
         },
         ERROR_ACCESS_DENIED, true},
        // the program's own rule: what was written is on the disk before the
        // file is cut or deleted (Wine keeps writes in the cache)
        {"a cut of a file written and never flushed",
         [](Scratch &s) { return written_then(s, false, [](HANDLE f) { return (long)!win.SetEndOfFile(f); }); },
         0, true},
        {"a deletion of a file written and never flushed",
         [](Scratch &s) { return written_then(s, false, [](HANDLE f) { return (long)set_deleted(f); }); },
         0, true},
        {"a cut through a second handle after a flush",
         [](Scratch &s) { return written_then(s, true, [](HANDLE f) { return (long)!win.SetEndOfFile(f); }); },
         0, false},
        // NtFlushBuffersFile: a file handle without write access
        {"FlushFileBuffers without FILE_WRITE_DATA",
         [](Scratch &s) {
             HANDLE f;
             s.open(s.folder, L"a", FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, FILE_CREATE, &f);
             long code = win.FlushFileBuffers(f) ? 0 : (long)GetLastError();
             win.CloseHandle(f);
             return code;
         },
         ERROR_ACCESS_DENIED, true},
        // [MS-FSA] 2.1.5.6.3: a listing without FILE_LIST_DIRECTORY
        {"a listing without FILE_LIST_DIRECTORY",
         [](Scratch &s) {
             HANDLE looking;
             s.open(s.folder, L"", FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    FILE_OPEN, &looking, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
             BYTE listing[4096];
             IO_STATUS_BLOCK io;
             long status = win.NtQueryDirectoryFile(looking, NULL, NULL, NULL, &io, listing, sizeof listing,
                                                    FILE_ID_BOTH_CLASS, FALSE, NULL, TRUE);
             win.CloseHandle(looking);
             return status;
         },
         STATUS_ACCESS_DENIED_, true},
        // create.cpp: sharing between two handles of the process
        {"a second open for writing where the first shares reading only",
         [](Scratch &s) {
             HANDLE f, g;
             s.open(s.folder, L"a", WRITING | FILE_READ_DATA, FILE_SHARE_READ, FILE_CREATE, &f);
             long status = s.open(s.folder, L"a", WRITING, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, &g);
             win.CloseHandle(f);
             return status;
         },
         STATUS_SHARING_VIOLATION_, false},
        // security.cpp: a DACL is kept as set (Wine rebuilds it from the Unix mode)
        {"a folder's DACL read back as it was set",
         [](Scratch &s) {
             PSECURITY_DESCRIPTOR given = NULL, read = NULL;
             ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;SY)", SDDL_REVISION_1, &given, NULL);
             SECURITY_ATTRIBUTES security = {sizeof security, given, FALSE};
             std::string sub = s.path + "\\made";
             win.CreateDirectoryA(sub.c_str(), &security);
             LocalFree(given);
             HANDLE f = win.CreateFileA(sub.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, NULL);
             PACL dacl = NULL;
             long code = (long)win.GetSecurityInfo(f, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &read);
             char *text = NULL;
             ConvertSecurityDescriptorToStringSecurityDescriptorA(read, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, NULL);
             bool kept = text && std::string(text) == "D:P(A;OICI;FA;;;SY)";
             LocalFree(text), LocalFree(read);
             win.CloseHandle(f);
             return code ? code : kept ? 0 : -1;
         },
         0, false},
        {"a DACL set without WRITE_DAC",
         [](Scratch &s) {
             PSECURITY_DESCRIPTOR given = NULL;
             ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;SY)", SDDL_REVISION_1, &given, NULL);
             long code = win.SetKernelObjectSecurity(s.folder, DACL_SECURITY_INFORMATION, given) ? 0 : (long)GetLastError();
             LocalFree(given);
             return code;
         },
         ERROR_ACCESS_DENIED, true},
        // HKLM\SOFTWARE grants writing to the Administrators alone
        {"a key made under HKEY_LOCAL_MACHINE without elevation",
         [](Scratch &) {
             strict_token = TOKEN_FILTERED_ADMINISTRATOR;
             HKEY key = NULL;
             long status = win.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\vanta-strict-test", 0, NULL, 0, KEY_SET_VALUE,
                                               NULL, &key, NULL);
             if (key && !status)
                 win.RegCloseKey(key);
             return status;
         },
         ERROR_ACCESS_DENIED, true},
        // an explicit CREATOR OWNER ACE grants nothing on the key itself; the owner
        // has READ_CONTROL | WRITE_DAC only
        {"a key whose DACL names CREATOR OWNER, opened again by a standard user",
         [](Scratch &) {
             return reopened_key("D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)(A;OICI;KA;;;CO)", TOKEN_STANDARD_USER,
                                 TOKEN_STANDARD_USER);
         },
         ERROR_ACCESS_DENIED, true},
        // UAC: an administrator's token without elevation holds the
        // Administrators deny-only, so an ACE for them grants it nothing
        {"a key the Administrators alone may use, opened by an administrator without elevation",
         [](Scratch &) {
             return reopened_key("D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)", TOKEN_ELEVATED_ADMINISTRATOR,
                                 TOKEN_FILTERED_ADMINISTRATOR);
         },
         ERROR_ACCESS_DENIED, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Scratch scratch;
        ASSERT_NE(INVALID_HANDLE_VALUE, scratch.folder);
        long got = row.call(scratch);
        strict_token = TOKEN_ELEVATED_ADMINISTRATOR;
        EXPECT_EQ(row.expected, got);
        EXPECT_EQ(row.refusal ? 1u : 0u, strict_take_refusals().size()) << "refusals kept";
    }
}
