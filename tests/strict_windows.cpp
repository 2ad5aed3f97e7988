// Windows' rules, where Wine lets a call through that Windows refuses.
//
// Each rule below names where it comes from: [MS-FSA] and [MS-FSCC], and the
// case of the WinBtrfs driver's tests (maharmstone/btrfs, src/tests/, every
// expectation there measured on Windows' own NTFS) that shows NTFS refusing
// what Wine 8 lets through.
#include "strict_windows.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <map>
#include <mutex>
#include <set>
#include <sddl.h>
#include <aclapi.h>
#include "engine/wipe_engine.h"

static NTSTATUS NTAPI strict_NtCreateFile(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                          ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
static std::string default_owner(void);

std::vector<std::string> strict_refusals;
std::string strict_log_path;
StrictToken strict_token = TOKEN_ELEVATED_ADMINISTRATOR;
bool strict_refuse_dacl_change;
int strict_dacl_sets;
DWORD strict_sector_bytes = 512;
std::function<void(const std::string &path)> strict_folder_made;

#ifndef STATUS_SHARING_VIOLATION
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043)
#endif
#define STATUS_DELETE_PENDING_CODE ((NTSTATUS)0xC0000056)
#define STATUS_DIRECTORY_NOT_EMPTY_CODE ((NTSTATUS)0xC0000101)
#define STATUS_OBJECT_NAME_COLLISION_CODE ((NTSTATUS)0xC0000035)
#define STATUS_ACCESS_DENIED_CODE ((NTSTATUS)0xC0000022)
#define STATUS_INVALID_PARAMETER_CODE ((NTSTATUS)0xC000000D)

// What Windows keeps of a file or folder while handles are open on it.
struct StrictObject {
    bool directory = false;
    bool pending = false;        // its deletion waits for its last handle
    std::string parent;          // the folder it was opened relative to, when known
    std::wstring name;           // its name there, in capitals
    std::string sddl;            // its security as set, "" when Wine's is all there is
    bool junction = false;       // a reparse point, as Windows would show it
    std::string path;            // its full path in capitals, when known
    int handles = 0;
};

// What Windows keeps of a handle.
struct StrictHandle {
    ACCESS_MASK access = 0;      // granted, generic rights mapped
    ULONG share = 0;
    std::string object;          // "" for a handle on no file the layer can tell
    bool unbuffered = false;
};

struct StrictKey {
    ACCESS_MASK access = 0;
};

static std::recursive_mutex lock;
static std::map<HANDLE, StrictHandle> handles;
static std::map<std::string, StrictObject> objects;
static std::map<HKEY, StrictKey> keys;
static std::map<std::string, std::string> path_security;   // full path in capitals -> SDDL
static std::map<std::string, bool> junctions;               // full path in capitals
// Files written and not flushed since. Not a rule of Windows but of the
// program's: Wine (and a disk that ignores write-through) keeps a write in
// the cache, and a cut or deletion then drops it before it reaches the disk,
// leaving the old data there. Kept by file, past its last handle.
static std::set<std::string> unflushed;

// ---------------------------------------------------------------- refusals

static void kept(const std::string &refusal)
{
    strict_refusals.push_back(refusal);
    if (strict_log_path.empty())
        return;
    FILE *log = fopen(strict_log_path.c_str(), "ab");
    if (log) {
        fprintf(log, "%s\r\n", refusal.c_str());
        fclose(log);
    }
}

// A call Windows refuses: kept, and the caller returns what Windows returns.
static void refuse(const char *call, const char *rule)
{
    kept(std::string(call) + ": " + rule);
}

// A cut or deletion of a file whose writes may not be on the disk: kept as a
// refusal, though the call goes through.
static void check_flushed(const StrictHandle *handle, const char *call)
{
    if (handle && !handle->object.empty() && unflushed.count(handle->object))
        refuse(call, "a file cut or deleted before what was written into it was flushed");
}

std::vector<std::string> strict_take_refusals(void)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    std::vector<std::string> taken;
    taken.swap(strict_refusals);
    return taken;
}

// ---------------------------------------------------------------- rights

// Generic rights as Windows maps them: for files and folders as the I/O
// manager does, for keys as the registry does.
static ACCESS_MASK mapped(ACCESS_MASK access, GENERIC_MAPPING mapping)
{
    if (access & MAXIMUM_ALLOWED)
        access = (access & ~MAXIMUM_ALLOWED) | GENERIC_ALL;
    MapGenericMask(&access, &mapping);
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | KEY_WOW64_64KEY | KEY_WOW64_32KEY);
}

static ACCESS_MASK file_rights(ACCESS_MASK access)
{
    return mapped(access, GENERIC_MAPPING{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS});
}

static ACCESS_MASK key_rights(ACCESS_MASK access)
{
    return mapped(access, GENERIC_MAPPING{KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS});
}

static StrictHandle *known(HANDLE handle)
{
    auto found = handles.find(handle);
    return found == handles.end() ? NULL : &found->second;
}

static StrictObject *object_of(const StrictHandle *handle)
{
    if (!handle || handle->object.empty())
        return NULL;
    auto found = objects.find(handle->object);
    return found == objects.end() ? NULL : &found->second;
}

// IoCheckShareAccess: a new open with access and share against the handles
// already open on its file. Only reading, writing and deleting take part.
static bool shares_with(ACCESS_MASK access, ULONG share, const StrictHandle &other)
{
    const ACCESS_MASK reading = FILE_READ_DATA | FILE_EXECUTE, writing = FILE_WRITE_DATA | FILE_APPEND_DATA;
    if (!(access & (reading | writing | DELETE)) || !(other.access & (reading | writing | DELETE)))
        return true;
    if (((access & reading) && !(other.share & FILE_SHARE_READ)) ||
        ((access & writing) && !(other.share & FILE_SHARE_WRITE)) ||
        ((access & DELETE) && !(other.share & FILE_SHARE_DELETE)))
        return false;
    return !(((other.access & reading) && !(share & FILE_SHARE_READ)) ||
             ((other.access & writing) && !(share & FILE_SHARE_WRITE)) ||
             ((other.access & DELETE) && !(share & FILE_SHARE_DELETE)));
}

// A handle the layer knows that a caller closed around it (a test's own
// CloseHandle): its value no longer shows its file. Forgotten.
static void forget(HANDLE handle);
static bool stale(HANDLE handle, const std::string &object)
{
    IO_STATUS_BLOCK io;
    LARGE_INTEGER index;
    if (system_calls.NtQueryInformationFile(handle, &io, &index, sizeof index, FILE_INTERNAL_CLASS) >= 0 &&
        object.substr(object.find(':') + 1) == std::to_string((unsigned long long)index.QuadPart))
        return false;
    forget(handle);
    return true;
}

static bool share_conflict(const std::string &object, ACCESS_MASK access, ULONG share, HANDLE except)
{
    for (auto open = handles.begin(); open != handles.end();) {
        HANDLE handle = open->first;
        const StrictHandle &entry = open->second;
        ++open;
        if (handle != except && entry.object == object && !shares_with(access, share, entry) &&
            !stale(handle, object))
            return true;
    }
    return false;
}

// The file's handles that are still open, the stale ones forgotten.
static int live_handles(const std::string &object)
{
    int live = 0;
    for (auto open = handles.begin(); open != handles.end();) {
        HANDLE handle = open->first;
        bool ours = open->second.object == object;
        ++open;
        if (ours && !stale(handle, object))
            ++live;
    }
    return live;
}

// ---------------------------------------------------------------- the objects

static std::wstring capitals(const WCHAR *name, size_t length)
{
    std::wstring text(name, length);
    for (WCHAR &c : text)
        c = (WCHAR)(UINT_PTR)CharUpperW((LPWSTR)(UINT_PTR)c);
    return text;
}

static std::string capitals(const std::string &path)
{
    char full[MAX_PATH * 2];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, NULL);
    std::string text = length && length < sizeof full ? std::string(full, length) : path;
    while (text.size() > 3 && (text.back() == '\\' || text.back() == '/'))
        text.pop_back();
    CharUpperBuffA(&text[0], (DWORD)text.size());
    return text;
}

// The volume a path lies on, as far as a key needs it: its drive.
static std::string drive_of(const std::string &full)
{
    return full.size() >= 2 && full[1] == ':' ? full.substr(0, 1) : std::string("?");
}

// A new handle the system gave: known by its file, refused where Windows
// would refuse the open. 0, or the status to return (the handle closed).
static NTSTATUS admit(HANDLE handle, ACCESS_MASK access, ULONG share, bool unbuffered, const std::string &drive,
                      const std::string &parent, const std::wstring &name, const std::string &path)
{
    IO_STATUS_BLOCK io;
    LARGE_INTEGER index;
    FILE_STANDARD_INFORMATION standard;
    StrictHandle entry;
    entry.access = access, entry.share = share, entry.unbuffered = unbuffered;
    if (system_calls.NtQueryInformationFile(handle, &io, &index, sizeof index, FILE_INTERNAL_CLASS) >= 0 &&
        system_calls.NtQueryInformationFile(handle, &io, &standard, sizeof standard, FILE_STANDARD_CLASS) >= 0)
        entry.object = drive + ":" + std::to_string((unsigned long long)index.QuadPart);
    if (known(handle))
        forget(handle);   // a value the system gives again: the old handle was closed around the layer
    if (!entry.object.empty()) {
        if (objects.count(entry.object) && objects[entry.object].pending && live_handles(entry.object) == 0)
            objects.erase(entry.object);
        StrictObject &object = objects[entry.object];
        // [MS-FSA] 2.1.5.1: an open of a file whose deletion is pending fails
        // (delete.cpp "Try to reopen file marked for deletion": NTFS
        // STATUS_DELETE_PENDING, Wine opens it)
        if (object.pending && object.handles > 0) {
            system_calls.CloseHandle(handle);
            return STATUS_DELETE_PENDING_CODE;
        }
        if (share_conflict(entry.object, access, share, handle)) {
            system_calls.CloseHandle(handle);
            if (object.handles == 0)
                objects.erase(entry.object);
            return STATUS_SHARING_VIOLATION;
        }
        if (object.handles == 0)
            object.pending = false;
        object.directory = standard.Directory != 0;
        if (!parent.empty())
            object.parent = parent, object.name = name;
        if (!path.empty() && path_security.count(path))
            object.sddl = path_security[path];
        if (!path.empty())
            object.junction = junctions.count(path) != 0, object.path = path;
        ++object.handles;
    }
    handles[handle] = entry;
    return 0;
}

// The (pending) file of that name in the folder, if the layer knows one.
static StrictObject *named(const std::string &parent, const std::wstring &name, std::string *key)
{
    for (auto &object : objects)
        if (object.second.parent == parent && object.second.name == name && object.second.handles > 0) {
            if (key)
                *key = object.first;
            return &object.second;
        }
    return NULL;
}

static void forget(HANDLE handle)
{
    auto found = handles.find(handle);
    if (found == handles.end())
        return;
    std::string key = found->second.object;
    handles.erase(found);
    auto object = objects.find(key);
    if (object != objects.end() && --object->second.handles <= 0)
        objects.erase(object);
}

// ---------------------------------------------------------------- files and folders

static NTSTATUS NTAPI strict_NtCreateFile(PHANDLE out, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                          PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG file_attributes,
                                          ULONG share, ULONG disposition, ULONG options, PVOID ea, ULONG ea_length)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    ACCESS_MASK granted = file_rights(access);
    // [MS-FSA] 2.1.5.1: synchronous I/O needs SYNCHRONIZE, deletion on close
    // needs DELETE; NtCreateFile adds no rights of its own, as CreateFileW does
    if ((options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) && !(granted & SYNCHRONIZE))
        return refuse("NtCreateFile", "synchronous I/O asked for without SYNCHRONIZE"), STATUS_INVALID_PARAMETER_CODE;
    if ((options & FILE_DELETE_ON_CLOSE) && !(granted & DELETE))
        return refuse("NtCreateFile", "FILE_DELETE_ON_CLOSE without DELETE"), STATUS_INVALID_PARAMETER_CODE;
    if (disposition > FILE_OVERWRITE_IF)
        return refuse("NtCreateFile", "a disposition Windows does not know"), STATUS_INVALID_PARAMETER_CODE;
    HANDLE root = attributes ? attributes->RootDirectory : NULL;
    StrictHandle *parent = root ? known(root) : NULL;
    std::wstring name = attributes && attributes->ObjectName
                            ? capitals(attributes->ObjectName->Buffer, attributes->ObjectName->Length / sizeof(WCHAR))
                            : std::wstring();
    NTSTATUS status = system_calls.NtCreateFile(out, access, attributes, io, size, file_attributes, share, disposition,
                                                options, ea, ea_length);
    std::string parent_key = parent ? parent->object : std::string();
    // Wine keeps a pending file's name as Windows does, but only Windows
    // says why the name can't be had (delete.cpp)
    if (status == STATUS_OBJECT_NAME_COLLISION_CODE && !parent_key.empty() && !name.empty()) {
        StrictObject *there = named(parent_key, name, NULL);
        if (there && there->pending)
            return STATUS_DELETE_PENDING_CODE;
    }
    if (status < 0)
        return status;
    // [MS-FSA] 2.1.5.1.1: a new file needs FILE_ADD_FILE (a new folder
    // FILE_ADD_SUBDIRECTORY) on the folder it is made in
    ACCESS_MASK adding = (options & FILE_DIRECTORY_FILE) ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE;
    if (parent && io->Information == FILE_CREATED && !(parent->access & adding)) {
        // as if never made: deleted through a handle of the layer's own
        HANDLE undo = NULL;
        IO_STATUS_BLOCK undone;
        system_calls.CloseHandle(*out);
        if (system_calls.NtCreateFile(&undo, DELETE | SYNCHRONIZE, attributes, &undone, NULL, 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                      (options & FILE_DIRECTORY_FILE) | FILE_DELETE_ON_CLOSE | FILE_OPEN_REPARSE_POINT,
                                      NULL, 0) >= 0)
            system_calls.CloseHandle(undo);
        *out = NULL;
        return refuse("NtCreateFile", "a file made in a folder whose handle has no FILE_ADD_FILE"),
               STATUS_ACCESS_DENIED_CODE;
    }
    std::string drive = "?";
    if (parent && !parent->object.empty())
        drive = parent->object.substr(0, parent->object.find(':'));
    // the path a name opened relative to a folder of known path has, so that
    // what is kept of that path (security, a junction) holds however it is opened
    std::string path;
    const StrictObject *folder = object_of(parent);
    if (folder && !folder->path.empty() && !name.empty()) {
        char narrow[MAX_PATH] = "";
        WideCharToMultiByte(CP_ACP, 0, name.c_str(), (int)name.size(), narrow, MAX_PATH - 1, NULL, NULL);
        path = folder->path + (folder->path.back() == '\\' ? "" : "\\") + narrow;
    }
    // a new folder keeps the security it was made with, as CreateDirectory's
    char *text = NULL;
    if (!path.empty() && io->Information == FILE_CREATED && attributes->SecurityDescriptor &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(attributes->SecurityDescriptor, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &text, NULL)) {
        path_security[path] = "O:" + default_owner() + text;
        LocalFree(text);
    }
    status = admit(*out, granted, share, (options & FILE_NO_INTERMEDIATE_BUFFERING) != 0, drive,
                   name.empty() ? std::string() : parent_key, name, path);
    if (status) {
        *out = NULL;
        return status;
    }
    if (io->Information == FILE_CREATED)
        unflushed.erase(known(*out)->object);   // a number the volume gives again
    if (options & FILE_DELETE_ON_CLOSE)
        check_flushed(known(*out), "NtCreateFile(FILE_DELETE_ON_CLOSE)");
    if (strict_folder_made && io->Information == FILE_CREATED && (options & FILE_DIRECTORY_FILE) && !path.empty())
        strict_folder_made(path);
    return status;
}

static HANDLE WINAPI strict_CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                        DWORD disposition, DWORD flags, HANDLE model)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    HANDLE file = system_calls.CreateFileA(path, access, share, security, disposition, flags, model);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    // CreateFileW asks for SYNCHRONIZE and FILE_READ_ATTRIBUTES besides the
    // caller's rights (and DELETE for FILE_FLAG_DELETE_ON_CLOSE)
    ACCESS_MASK granted = file_rights(access) | SYNCHRONIZE | FILE_READ_ATTRIBUTES |
                          ((flags & FILE_FLAG_DELETE_ON_CLOSE) ? DELETE : 0);
    std::string full = capitals(path);
    NTSTATUS status = admit(file, granted, share, (flags & FILE_FLAG_NO_BUFFERING) != 0, drive_of(full), std::string(),
                            std::wstring(), full);
    if (status) {
        SetLastError(status_code(status));
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_NEW || disposition == CREATE_ALWAYS)
        unflushed.erase(known(file)->object);
    if (flags & FILE_FLAG_DELETE_ON_CLOSE)
        check_flushed(known(file), "CreateFileA(FILE_FLAG_DELETE_ON_CLOSE)");
    return file;
}

// The token's default owner as SDDL: the Administrators for an elevated
// administrator, else the account.
static std::string default_owner(void)
{
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD length = 0;
    HANDLE token;
    char *sid = NULL;
    std::string owner = "BA";
    if (strict_token != TOKEN_ELEVATED_ADMINISTRATOR && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        if (GetTokenInformation(token, TokenUser, user, sizeof user, &length) &&
            ConvertSidToStringSidA(((TOKEN_USER *)user)->User.Sid, &sid))
            owner = sid, LocalFree(sid);
        CloseHandle(token);
    }
    return owner;
}

static BOOL WINAPI strict_CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    if (!system_calls.CreateDirectoryA(path, security))
        return FALSE;
    // kept as set, as NTFS keeps it (Wine keeps only the Unix mode); its
    // owner is the token's default owner
    char *text = NULL;
    if (security && security->lpSecurityDescriptor &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(security->lpSecurityDescriptor, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &text, NULL)) {
        path_security[capitals(path)] = "O:" + default_owner() + text;
        LocalFree(text);
    }
    if (strict_folder_made)
        strict_folder_made(capitals(path));
    return TRUE;
}

static BOOL WINAPI strict_RemoveDirectoryA(LPCSTR path)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    // RemoveDirectory opens the folder for DELETE: a handle that does not
    // share deletion refuses it
    HANDLE folder = system_calls.CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (folder != INVALID_HANDLE_VALUE) {
        IO_STATUS_BLOCK io;
        LARGE_INTEGER index;
        std::string key;
        if (system_calls.NtQueryInformationFile(folder, &io, &index, sizeof index, FILE_INTERNAL_CLASS) >= 0)
            key = drive_of(capitals(path)) + ":" + std::to_string((unsigned long long)index.QuadPart);
        system_calls.CloseHandle(folder);
        if (!key.empty() && share_conflict(key, DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL))
            return SetLastError(ERROR_SHARING_VIOLATION), FALSE;
    }
    return system_calls.RemoveDirectoryA(path);
}

// [MS-FSA] 2.1.5.12: the classes that need FILE_READ_ATTRIBUTES
// (fileinfo.cpp "Try to query basic information" without it: NTFS
// STATUS_ACCESS_DENIED, Wine answers); FileInternalInformation and
// FileStandardInformation need none.
static bool needs_read_attributes(FILE_INFORMATION_CLASS kind)
{
    return kind == FILE_BASIC_CLASS || kind == FILE_ALL_CLASS || kind == (FILE_INFORMATION_CLASS)34 ||
           kind == (FILE_INFORMATION_CLASS)35;
}

// A pending file as Windows shows it: DeletePending set, its link gone.
static void show_pending(const StrictHandle *handle, FILE_STANDARD_INFORMATION *standard)
{
    const StrictObject *object = object_of(handle);
    if (object && object->pending) {
        standard->DeletePending = TRUE;
        if (standard->NumberOfLinks > 0)
            --standard->NumberOfLinks;
    }
}

static NTSTATUS NTAPI strict_NtQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                                    FILE_INFORMATION_CLASS kind)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    StrictHandle *handle = known(file);
    if (handle && needs_read_attributes(kind) && !(handle->access & FILE_READ_ATTRIBUTES))
        return refuse("NtQueryInformationFile", "basic or all information without FILE_READ_ATTRIBUTES"),
               STATUS_ACCESS_DENIED_CODE;
    NTSTATUS status = system_calls.NtQueryInformationFile(file, io, information, length, kind);
    if (status >= 0 && handle && kind == FILE_STANDARD_CLASS && length >= sizeof(FILE_STANDARD_INFORMATION))
        show_pending(handle, (FILE_STANDARD_INFORMATION *)information);
    if (status >= 0 && handle && kind == FILE_ALL_CLASS && length >= 40 + sizeof(FILE_STANDARD_INFORMATION))
        show_pending(handle, (FILE_STANDARD_INFORMATION *)((BYTE *)information + 40));
    return status;
}

static BOOL WINAPI strict_GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    StrictHandle *handle = known(file);
    // it asks for FileAllInformation
    if (handle && !(handle->access & FILE_READ_ATTRIBUTES))
        return refuse("GetFileInformationByHandle", "FileAllInformation without FILE_READ_ATTRIBUTES"),
               SetLastError(ERROR_ACCESS_DENIED), FALSE;
    if (!system_calls.GetFileInformationByHandle(file, info))
        return FALSE;
    const StrictObject *object = object_of(handle);
    if (object && object->pending && info->nNumberOfLinks > 0)
        --info->nNumberOfLinks;
    if (object && object->junction && (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return TRUE;
}

// FILE_RENAME_INFORMATION as the program hands it.
struct StrictRename {
    BOOLEAN replace;
    HANDLE folder;
    ULONG length;
    WCHAR name[1];
};

static NTSTATUS rename_file(HANDLE file, StrictHandle *handle, PIO_STATUS_BLOCK io, PVOID information, ULONG length)
{
    const StrictRename *rename = (const StrictRename *)information;
    // [MS-FSA] 2.1.5.15: renaming needs DELETE on the file's handle
    // (rename.cpp "Try renaming file without DELETE access": NTFS
    // STATUS_ACCESS_DENIED, Wine renames)
    if (!(handle->access & DELETE))
        return refuse("NtSetInformationFile(FileRenameInformation)", "a rename without DELETE"), STATUS_ACCESS_DENIED_CODE;
    std::wstring name = capitals(rename->name, rename->length / sizeof(WCHAR));
    StrictObject *object = object_of(handle);
    std::string folder = object ? object->parent : std::string();
    if (rename->folder || (!name.empty() && name[0] == L'\\')) {
        // The I/O manager opens the target's folder (IO_OPEN_TARGET_DIRECTORY)
        // for FILE_WRITE_DATA | SYNCHRONIZE, sharing reading and writing: a
        // handle on it that holds DELETE, or does not share writing, refuses
        // the rename (links.cpp "Try create link through directory handle":
        // NTFS STATUS_SHARING_VIOLATION, Wine goes on; samba's smb2 rename
        // test "rename with delete access")
        StrictHandle *target = rename->folder ? known(rename->folder) : NULL;
        if (!target && rename->folder)
            return system_calls.NtSetInformationFile(file, io, information, length, FILE_RENAME_CLASS);
        if (target) {
            folder = target->object;
            if (share_conflict(folder, FILE_WRITE_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL))
                return refuse("NtSetInformationFile(FileRenameInformation)",
                              "a rename through RootDirectory while a handle on that folder holds DELETE or does not share writing"),
                       STATUS_SHARING_VIOLATION;
        }
    }
    // [MS-FSCC] 2.4.42: a replacing rename fails while the file it replaces is open
    if (rename->replace && !folder.empty() && named(folder, name, NULL))
        return refuse("NtSetInformationFile(FileRenameInformation)", "a replacing rename over a file that is open"),
               STATUS_ACCESS_DENIED_CODE;
    NTSTATUS status;
    HANDLE through = NULL;
    if (!rename->folder && (name.empty() || name[0] != L'\\'))
        for (const auto &open : handles)
            if (!folder.empty() && open.second.object == folder)
                through = open.first;
    if (through) {
        // A bare name renames within the file's own folder, which Windows
        // does not open for it ([MS-FSCC] 2.4.42). Wine takes no bare name:
        // the layer names the folder through a handle of its own instead.
        std::vector<BYTE> copy((BYTE *)information, (BYTE *)information + length);
        ((StrictRename *)copy.data())->folder = through;
        status = system_calls.NtSetInformationFile(file, io, copy.data(), length, FILE_RENAME_CLASS);
    } else {
        status = system_calls.NtSetInformationFile(file, io, information, length, FILE_RENAME_CLASS);
    }
    if (status >= 0 && object)
        object->name = name, object->parent = folder;
    return status;
}

static NTSTATUS NTAPI strict_NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                                  FILE_INFORMATION_CLASS kind)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    StrictHandle *handle = known(file);
    if (!handle)
        return system_calls.NtSetInformationFile(file, io, information, length, kind);
    if (kind == FILE_RENAME_CLASS)
        return rename_file(file, handle, io, information, length);
    if (kind == FILE_DISPOSITION_CLASS) {
        // [MS-FSA] 2.1.5.14.3: disposition needs DELETE
        if (!(handle->access & DELETE))
            return refuse("NtSetInformationFile(FileDispositionInformation)", "deletion without DELETE"),
                   STATUS_ACCESS_DENIED_CODE;
        StrictObject *object = object_of(handle);
        bool deleting = *(const BOOLEAN *)information != 0;
        // a folder whose child is pending and still open is not empty
        // (delete.cpp: NTFS STATUS_DIRECTORY_NOT_EMPTY, Wine deletes)
        if (deleting && object && object->directory)
            for (const auto &child : objects)
                if (child.second.parent == handle->object && child.second.handles > 0)
                    return STATUS_DIRECTORY_NOT_EMPTY_CODE;
        if (deleting)
            check_flushed(handle, "NtSetInformationFile(FileDispositionInformation)");
        NTSTATUS status = system_calls.NtSetInformationFile(file, io, information, length, kind);
        if (status >= 0 && object)
            object->pending = deleting;
        return status;
    }
    // [MS-FSA] 2.1.5.14.4, 2.1.5.14.2: a file's length needs FILE_WRITE_DATA,
    // its times and attributes FILE_WRITE_ATTRIBUTES
    if ((kind == FILE_END_OF_FILE_CLASS || kind == (FILE_INFORMATION_CLASS)19) && !(handle->access & FILE_WRITE_DATA))
        return refuse("NtSetInformationFile(FileEndOfFileInformation)", "a length set without FILE_WRITE_DATA"),
               STATUS_ACCESS_DENIED_CODE;
    if (kind == FILE_END_OF_FILE_CLASS || kind == (FILE_INFORMATION_CLASS)19)
        check_flushed(handle, "NtSetInformationFile(FileEndOfFileInformation)");
    if (kind == FILE_BASIC_CLASS && !(handle->access & FILE_WRITE_ATTRIBUTES))
        return refuse("NtSetInformationFile(FileBasicInformation)", "attributes set without FILE_WRITE_ATTRIBUTES"),
               STATUS_ACCESS_DENIED_CODE;
    return system_calls.NtSetInformationFile(file, io, information, length, kind);
}

static NTSTATUS NTAPI strict_NtQueryDirectoryFile(HANDLE folder, HANDLE event, PVOID routine, PVOID context,
                                                  PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                                  FILE_INFORMATION_CLASS kind, BOOLEAN single, PUNICODE_STRING mask,
                                                  BOOLEAN restart)
{
    {
        std::lock_guard<std::recursive_mutex> hold(lock);
        StrictHandle *handle = known(folder);
        // [MS-FSA] 2.1.5.6.3: a listing needs FILE_LIST_DIRECTORY
        if (handle && !(handle->access & FILE_LIST_DIRECTORY))
            return refuse("NtQueryDirectoryFile", "a listing without FILE_LIST_DIRECTORY"), STATUS_ACCESS_DENIED_CODE;
    }
    return system_calls.NtQueryDirectoryFile(folder, event, routine, context, io, information, length, kind, single,
                                             mask, restart);
}

// ---------------------------------------------------------------- transfers

// True, with the refusal kept, when Windows refuses this transfer on an
// unbuffered handle: size, file position and buffer whole sectors.
static bool misaligned(const char *call, HANDLE file, const StrictHandle *handle, const void *buffer, DWORD size)
{
    LARGE_INTEGER zero = {}, at = {};
    if (!handle || !handle->unbuffered || !system_calls.SetFilePointerEx(file, zero, &at, FILE_CURRENT))
        return false;
    DWORD sector = strict_sector_bytes;
    if (size % sector == 0 && at.QuadPart % sector == 0 && (uintptr_t)buffer % sector == 0)
        return false;
    // the fill's first write into a new file asks whether the handle is unbuffered
    if (strcmp(call, "WriteFile") || size != FIRST_WRITE_BYTES || at.QuadPart != 0)
        kept(std::string(call) + " of " + std::to_string(size) + " bytes at " + std::to_string(at.QuadPart) +
             ": unbuffered, not whole " + std::to_string(sector) + "-byte sectors");
    SetLastError(ERROR_INVALID_PARAMETER);
    return true;
}

static BOOL WINAPI strict_WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    {
        std::lock_guard<std::recursive_mutex> hold(lock);
        StrictHandle *handle = known(file);
        if (handle && !(handle->access & (FILE_WRITE_DATA | FILE_APPEND_DATA)))
            return refuse("WriteFile", "a write without FILE_WRITE_DATA"), *written = 0,
                   SetLastError(ERROR_ACCESS_DENIED), FALSE;
        if (misaligned("WriteFile", file, handle, buffer, size))
            return *written = 0, FALSE;
    }
    DWORD count = 0;
    BOOL done = system_calls.WriteFile(file, buffer, size, written ? written : &count, overlapped);
    std::lock_guard<std::recursive_mutex> hold(lock);
    StrictHandle *handle = known(file);
    if (handle && !handle->object.empty() && (written ? *written : count) > 0)
        unflushed.insert(handle->object);
    return done;
}

static BOOL WINAPI strict_ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    {
        std::lock_guard<std::recursive_mutex> hold(lock);
        StrictHandle *handle = known(file);
        if (handle && !(handle->access & FILE_READ_DATA))
            return refuse("ReadFile", "a read without FILE_READ_DATA"), *got = 0, SetLastError(ERROR_ACCESS_DENIED),
                   FALSE;
        if (misaligned("ReadFile", file, handle, buffer, size))
            return *got = 0, FALSE;
    }
    return system_calls.ReadFile(file, buffer, size, got, overlapped);
}

static bool misplaced(HANDLE file, long long target)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    StrictHandle *handle = known(file);
    if (!handle || !handle->unbuffered || target % strict_sector_bytes == 0)
        return false;
    kept("SetFilePointer to " + std::to_string(target) + ": unbuffered, inside a sector");
    SetLastError(ERROR_INVALID_PARAMETER);
    return true;
}

static DWORD WINAPI strict_SetFilePointer(HANDLE file, LONG low, PLONG high, DWORD method)
{
    long long target = ((long long)(high ? *high : 0) << 32) | (DWORD)low;
    if (method == FILE_BEGIN && misplaced(file, target))
        return INVALID_SET_FILE_POINTER;
    return system_calls.SetFilePointer(file, low, high, method);
}

static BOOL WINAPI strict_SetFilePointerEx(HANDLE file, LARGE_INTEGER to, PLARGE_INTEGER at, DWORD method)
{
    if (method == FILE_BEGIN && misplaced(file, to.QuadPart))
        return FALSE;
    return system_calls.SetFilePointerEx(file, to, at, method);
}

static BOOL WINAPI strict_SetEndOfFile(HANDLE file)
{
    {
        std::lock_guard<std::recursive_mutex> hold(lock);
        StrictHandle *handle = known(file);
        // it sets FileEndOfFileInformation
        if (handle && !(handle->access & FILE_WRITE_DATA))
            return refuse("SetEndOfFile", "a length set without FILE_WRITE_DATA"), SetLastError(ERROR_ACCESS_DENIED),
                   FALSE;
        check_flushed(handle, "SetEndOfFile");
    }
    return system_calls.SetEndOfFile(file);
}

static BOOL WINAPI strict_FlushFileBuffers(HANDLE file)
{
    {
        std::lock_guard<std::recursive_mutex> hold(lock);
        StrictHandle *handle = known(file);
        // NtFlushBuffersFile: a file handle without FILE_WRITE_DATA or FILE_APPEND_DATA
        if (handle && !(handle->access & (FILE_WRITE_DATA | FILE_APPEND_DATA)))
            return refuse("FlushFileBuffers", "a flush without FILE_WRITE_DATA or FILE_APPEND_DATA"),
                   SetLastError(ERROR_ACCESS_DENIED), FALSE;
    }
    BOOL done = system_calls.FlushFileBuffers(file);
    std::lock_guard<std::recursive_mutex> hold(lock);
    StrictHandle *handle = known(file);
    if (done && handle)
        unflushed.erase(handle->object);
    return done;
}

static BOOL WINAPI strict_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                                          DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped)
{
    {
        std::lock_guard<std::recursive_mutex> hold(lock);
        StrictHandle *handle = known(device);
        // the rights a control code names in its access bits
        DWORD needed = ((code >> 14) & FILE_READ_ACCESS ? FILE_READ_DATA : 0) |
                       ((code >> 14) & FILE_WRITE_ACCESS ? FILE_WRITE_DATA : 0);
        if (handle && !handle->object.empty() && (handle->access & needed) != needed)
            return refuse("DeviceIoControl", "a control code without the rights its access bits name"),
                   SetLastError(ERROR_ACCESS_DENIED), FALSE;
    }
    return system_calls.DeviceIoControl(device, code, in, in_size, out, out_size, returned, overlapped);
}

static BOOL WINAPI strict_CloseHandle(HANDLE handle)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    forget(handle);
    return system_calls.CloseHandle(handle);
}

// ---------------------------------------------------------------- security

// The SIDs a token of strict_token's kind matches an ACE with; deny-only
// ones match denying ACEs alone. CREATOR OWNER is never among them: Windows
// puts the maker's SID in its place only in ACEs it inherits.
static bool token_matches(PSID sid, bool denying)
{
    const char *always[] = {"S-1-1-0", "S-1-5-11", "S-1-5-32-545", "S-1-5-4"};
    for (const char *text : always) {
        PSID known_sid = NULL;
        bool same = ConvertStringSidToSidA(text, &known_sid) && EqualSid(sid, known_sid);
        LocalFree(known_sid);
        if (same)
            return true;
    }
    PSID administrators = NULL;
    bool admin = ConvertStringSidToSidA("S-1-5-32-544", &administrators) && EqualSid(sid, administrators);
    LocalFree(administrators);
    if (admin)
        return strict_token == TOKEN_ELEVATED_ADMINISTRATOR || (strict_token == TOKEN_FILTERED_ADMINISTRATOR && denying);
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD length = 0;
    HANDLE token;
    bool same = false;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        same = GetTokenInformation(token, TokenUser, user, sizeof user, &length) &&
               EqualSid(sid, ((TOKEN_USER *)user)->User.Sid);
        CloseHandle(token);
    }
    return same;
}

// An access check as SeAccessCheck makes it: denying ACEs in their place,
// the owner's READ_CONTROL | WRITE_DAC, inherit-only ACEs skipped.
static bool access_allowed(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK wanted, ACCESS_MASK (*map)(ACCESS_MASK))
{
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    PSID owner = NULL;
    ACCESS_MASK granted = 0;
    if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner && token_matches(owner, false))
        granted |= READ_CONTROL | WRITE_DAC;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl)
        return true;
    for (DWORD i = 0; i < dacl->AceCount && (wanted & ~granted); ++i) {
        ACE_HEADER *ace = NULL;
        if (!GetAce(dacl, i, (void **)&ace) || (ace->AceFlags & INHERIT_ONLY_ACE))
            continue;
        ACCESS_ALLOWED_ACE *entry = (ACCESS_ALLOWED_ACE *)ace;
        ACCESS_MASK mask = map(entry->Mask);
        if (ace->AceType == ACCESS_DENIED_ACE_TYPE && token_matches((PSID)&entry->SidStart, true) &&
            (mask & wanted & ~granted))
            return false;
        if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE && token_matches((PSID)&entry->SidStart, false))
            granted |= mask;
    }
    return (wanted & ~granted) == 0;
}

static DWORD WINAPI strict_GetSecurityInfo(HANDLE file, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID *owner,
                                           PSID *group, PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    StrictHandle *handle = known(file);
    if (handle && (what & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) &&
        !(handle->access & READ_CONTROL))
        return refuse("GetSecurityInfo", "owner or DACL read without READ_CONTROL"), ERROR_ACCESS_DENIED;
    StrictObject *object = object_of(handle);
    if (!object || object->sddl.empty())
        return system_calls.GetSecurityInfo(file, type, what, owner, group, dacl, sacl, descriptor);
    BOOL present = FALSE, defaulted = FALSE;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(object->sddl.c_str(), SDDL_REVISION_1, descriptor, NULL))
        return GetLastError();
    if (owner)
        GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    if (dacl)
        GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
    if (group)
        *group = NULL;
    if (sacl)
        *sacl = NULL;
    return 0;
}

static BOOL WINAPI strict_SetKernelObjectSecurity(HANDLE file, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    StrictHandle *handle = known(file);
    if (handle && (what & DACL_SECURITY_INFORMATION) && !(handle->access & WRITE_DAC))
        return refuse("SetKernelObjectSecurity", "a DACL set without WRITE_DAC"), SetLastError(ERROR_ACCESS_DENIED), FALSE;
    if (what & DACL_SECURITY_INFORMATION)
        ++strict_dacl_sets;
    if (strict_refuse_dacl_change)
        return SetLastError(ERROR_ACCESS_DENIED), FALSE;
    StrictObject *object = object_of(handle);
    if (!object || object->sddl.empty())
        return system_calls.SetKernelObjectSecurity(file, what, descriptor);
    char *text = NULL;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, NULL))
        return FALSE;
    std::string owner = object->sddl.substr(0, object->sddl.find("D:"));
    object->sddl = owner + text;
    LocalFree(text);
    return TRUE;
}

void strict_set_folder_security(const std::string &path, const std::string &sddl)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    std::string full = capitals(path);
    if (sddl.empty())
        path_security.erase(full);
    else
        path_security[full] = sddl;
}

void strict_set_junction(const std::string &path, bool junction)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    if (junction)
        junctions[capitals(path)] = true;
    else
        junctions.erase(capitals(path));
}

std::string strict_folder_security(const std::string &path)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    auto found = path_security.find(capitals(path));
    return found == path_security.end() ? std::string() : found->second;
}

// ---------------------------------------------------------------- the registry

static bool machine_hive(HKEY key)
{
    return key == HKEY_LOCAL_MACHINE;
}

// Wine keeps no DACL given to a new key (every key reads back as the
// Administrators'), so the layer keeps each one the program sets, by the
// key's path, where its next process finds it too: in a key of the test
// prefix's own. A key with none inherits its hive's (HKCU: the account's own;
// HKLM\SOFTWARE: everyone reads, the Administrators write).
#define KEPT_DACLS "Software\\vanta-strict-layer\\Key DACLs"

static std::string key_path(HKEY hive, const char *name)
{
    std::string path = std::string(machine_hive(hive) ? "HKLM\\" : "HKCU\\") + (name ? name : "");
    CharUpperBuffA(&path[0], (DWORD)path.size());
    return path;
}

static void keep_key_security(const std::string &path, const std::string &sddl)
{
    HKEY kept;
    if (system_calls.RegCreateKeyExA(HKEY_CURRENT_USER, KEPT_DACLS, 0, NULL, 0, KEY_SET_VALUE, NULL, &kept, NULL) != 0)
        return;
    system_calls.RegSetValueExA(kept, path.c_str(), 0, REG_SZ, (const BYTE *)sddl.c_str(), (DWORD)sddl.size() + 1);
    system_calls.RegCloseKey(kept);
}

static std::string kept_key_security(const std::string &path)
{
    HKEY kept;
    char sddl[1024] = "";
    DWORD size = sizeof sddl - 1, kind = 0;
    if (system_calls.RegOpenKeyExA(HKEY_CURRENT_USER, KEPT_DACLS, 0, KEY_QUERY_VALUE, &kept) != 0)
        return "";
    if (system_calls.RegQueryValueExA(kept, path.c_str(), NULL, &kind, (BYTE *)sddl, &size) != 0 || kind != REG_SZ)
        sddl[0] = 0;
    system_calls.RegCloseKey(kept);
    return sddl;
}

// A key's own DACL, as the program set it, held to the token.
static LSTATUS check_key(const std::string &path, ACCESS_MASK wanted, const char *call)
{
    std::string sddl = kept_key_security(path);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (sddl.empty() || !ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, NULL))
        return ERROR_SUCCESS;
    bool allowed = access_allowed(descriptor, wanted, key_rights);
    LocalFree(descriptor);
    if (allowed)
        return ERROR_SUCCESS;
    refuse(call, "the key's DACL grants this token less than asked for");
    return ERROR_ACCESS_DENIED;
}

static LSTATUS opened_key(HKEY hive, const char *name, HKEY *result, REGSAM access, const char *call)
{
    ACCESS_MASK wanted = key_rights(access);
    // HKLM\SOFTWARE: only administrators with their rights in force write there
    if (machine_hive(hive) && strict_token != TOKEN_ELEVATED_ADMINISTRATOR &&
        (wanted & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY | WRITE_DAC | WRITE_OWNER | DELETE))) {
        system_calls.RegCloseKey(*result);
        return refuse(call, "a write under HKEY_LOCAL_MACHINE from a token that is not elevated"), ERROR_ACCESS_DENIED;
    }
    LSTATUS status = check_key(key_path(hive, name), wanted, call);
    if (status != ERROR_SUCCESS) {
        system_calls.RegCloseKey(*result);
        return status;
    }
    keys[*result].access = wanted;
    return ERROR_SUCCESS;
}

static LSTATUS WINAPI strict_RegCreateKeyExA(HKEY hive, LPCSTR name, DWORD reserved, LPSTR kind, DWORD options,
                                             REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                                             LPDWORD disposition)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    if (machine_hive(hive) && strict_token != TOKEN_ELEVATED_ADMINISTRATOR)
        return refuse("RegCreateKeyExA", "a key made under HKEY_LOCAL_MACHINE from a token that is not elevated"),
               ERROR_ACCESS_DENIED;
    DWORD made = 0;
    LSTATUS status = system_calls.RegCreateKeyExA(hive, name, reserved, kind, options, access, security, result, &made);
    if (disposition)
        *disposition = made;
    if (status != ERROR_SUCCESS)
        return status;
    // a key made now is the maker's, with the DACL it was given (its owner
    // the token's default owner), held to the token when it is opened again
    if (made == REG_CREATED_NEW_KEY) {
        char *text = NULL;
        if (security && security->lpSecurityDescriptor &&
            ConvertSecurityDescriptorToStringSecurityDescriptorA(security->lpSecurityDescriptor, SDDL_REVISION_1,
                                                                 DACL_SECURITY_INFORMATION, &text, NULL)) {
            keep_key_security(key_path(hive, name), "O:" + default_owner() + text);
            LocalFree(text);
        } else {
            keep_key_security(key_path(hive, name), "");
        }
        keys[*result].access = key_rights(access);
        return ERROR_SUCCESS;
    }
    return opened_key(hive, name, result, access, "RegCreateKeyExA");
}

static LSTATUS WINAPI strict_RegOpenKeyExA(HKEY hive, LPCSTR name, DWORD options, REGSAM access, PHKEY result)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    LSTATUS status = system_calls.RegOpenKeyExA(hive, name, options, access, result);
    if (status != ERROR_SUCCESS)
        return status;
    return opened_key(hive, name, result, access, "RegOpenKeyExA");
}

static LSTATUS key_needs(HKEY key, ACCESS_MASK right, const char *call)
{
    auto found = keys.find(key);
    if (found == keys.end() || (found->second.access & right))
        return ERROR_SUCCESS;
    refuse(call, "a key handle without the right the call needs");
    return ERROR_ACCESS_DENIED;
}

static LSTATUS WINAPI strict_RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD kind, const BYTE *data,
                                            DWORD size)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    LSTATUS status = key_needs(key, KEY_SET_VALUE, "RegSetValueExA");
    return status ? status : system_calls.RegSetValueExA(key, name, reserved, kind, data, size);
}

static LSTATUS WINAPI strict_RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD kind, LPBYTE data,
                                              LPDWORD size)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    LSTATUS status = key_needs(key, KEY_QUERY_VALUE, "RegQueryValueExA");
    return status ? status : system_calls.RegQueryValueExA(key, name, reserved, kind, data, size);
}

static LSTATUS WINAPI strict_RegDeleteValueA(HKEY key, LPCSTR name)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    LSTATUS status = key_needs(key, KEY_SET_VALUE, "RegDeleteValueA");
    return status ? status : system_calls.RegDeleteValueA(key, name);
}

static LSTATUS WINAPI strict_RegCloseKey(HKEY key)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    keys.erase(key);
    return system_calls.RegCloseKey(key);
}

// ---------------------------------------------------------------- the token

static BOOL WINAPI strict_GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information,
                                              DWORD length, PDWORD returned)
{
    if (kind == TokenElevation) {
        if (length < sizeof(TOKEN_ELEVATION))
            return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
        ((TOKEN_ELEVATION *)information)->TokenIsElevated = strict_token == TOKEN_ELEVATED_ADMINISTRATOR;
        if (returned)
            *returned = sizeof(TOKEN_ELEVATION);
        return TRUE;
    }
    // the default owner of what the token makes: the Administrators for an
    // elevated administrator, else the account
    if (kind == TokenOwner && strict_token != TOKEN_ELEVATED_ADMINISTRATOR) {
        BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
        DWORD got = 0;
        if (!system_calls.GetTokenInformation(token, TokenUser, user, sizeof user, &got))
            return FALSE;
        PSID sid = ((TOKEN_USER *)user)->User.Sid;
        DWORD need = sizeof(TOKEN_OWNER) + GetLengthSid(sid);
        if (returned)
            *returned = need;
        if (length < need)
            return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
        PSID copy = (BYTE *)information + sizeof(TOKEN_OWNER);
        CopySid(GetLengthSid(sid), copy, sid);
        ((TOKEN_OWNER *)information)->Owner = copy;
        return TRUE;
    }
    return system_calls.GetTokenInformation(token, kind, information, length, returned);
}

// ---------------------------------------------------------------- a process that has ended

template <typename R> static R ended_result();
template <> BOOL ended_result<BOOL>() { return FALSE; }
template <> DWORD ended_result<DWORD>() { return 0xFFFFFFFF; }     // INVALID_FILE_ATTRIBUTES, _SIZE, _SET_FILE_POINTER; an error
template <> HANDLE ended_result<HANDLE>() { return INVALID_HANDLE_VALUE; }
template <> LONG ended_result<LONG>() { return (LONG)0xC0000001; }  // an NTSTATUS failure, and no LSTATUS success

template <typename R, typename... A> static R WINAPI ended_call(A...)
{
    SetLastError(ERROR_PROCESS_ABORTED);
    return ended_result<R>();
}

template <typename R, typename... A> static void end_entry(R (WINAPI *&entry)(A...))
{
    entry = ended_call<R, A...>;
}

template <typename R, typename... A> static void end_entry_nt(R (NTAPI *&entry)(A...))
{
    entry = ended_call<R, A...>;
}

static SystemCalls before_the_end;
static bool ended;

void strict_process_ends(void)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    if (ended)
        return;
    before_the_end = win, ended = true;
    end_entry_nt(win.NtCreateFile), end_entry_nt(win.NtQueryInformationFile), end_entry_nt(win.NtSetInformationFile);
    end_entry_nt(win.NtQueryDirectoryFile);
    end_entry(win.CreateFileA), end_entry(win.CreateDirectoryA), end_entry(win.RemoveDirectoryA);
    end_entry(win.GetFileAttributesA), end_entry(win.FindFirstFileA), end_entry(win.FindNextFileA);
    end_entry(win.GetFileInformationByHandle), end_entry(win.GetFileSize), end_entry(win.ReadFile), end_entry(win.WriteFile);
    end_entry(win.SetFilePointer), end_entry(win.SetFilePointerEx), end_entry(win.SetEndOfFile);
    end_entry(win.FlushFileBuffers), end_entry(win.DeviceIoControl), end_entry(win.GetSecurityInfo);
    end_entry(win.SetKernelObjectSecurity), end_entry(win.RegCreateKeyExA), end_entry(win.RegOpenKeyExA);
    end_entry(win.RegSetValueExA), end_entry(win.RegQueryValueExA), end_entry(win.RegDeleteValueA), end_entry(win.RegFlushKey);
    end_entry(win.OpenProcessToken), end_entry(win.OpenThreadToken), end_entry(win.GetTokenInformation);
}

void strict_process_restarts(void)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    if (ended)
        win = before_the_end, ended = false;
    // the next run's own writes are what it must flush: an ended run's
    // leftovers go before the pass that covers their space again
    unflushed.clear();
}

bool strict_process_ended(void)
{
    return ended;
}

bool strict_windows_installed(void)
{
    return win.NtCreateFile == strict_NtCreateFile;
}

void strict_windows_install(void)
{
    std::lock_guard<std::recursive_mutex> hold(lock);
    handles.clear(), objects.clear(), keys.clear();
    win = system_calls;
    win.NtCreateFile = strict_NtCreateFile;
    win.NtQueryInformationFile = strict_NtQueryInformationFile;
    win.NtSetInformationFile = strict_NtSetInformationFile;
    win.NtQueryDirectoryFile = strict_NtQueryDirectoryFile;
    win.CreateFileA = strict_CreateFileA;
    win.CreateDirectoryA = strict_CreateDirectoryA;
    win.RemoveDirectoryA = strict_RemoveDirectoryA;
    win.GetFileInformationByHandle = strict_GetFileInformationByHandle;
    win.ReadFile = strict_ReadFile;
    win.WriteFile = strict_WriteFile;
    win.SetFilePointer = strict_SetFilePointer;
    win.SetFilePointerEx = strict_SetFilePointerEx;
    win.SetEndOfFile = strict_SetEndOfFile;
    win.FlushFileBuffers = strict_FlushFileBuffers;
    win.DeviceIoControl = strict_DeviceIoControl;
    win.CloseHandle = strict_CloseHandle;
    win.GetSecurityInfo = strict_GetSecurityInfo;
    win.SetKernelObjectSecurity = strict_SetKernelObjectSecurity;
    win.RegCreateKeyExA = strict_RegCreateKeyExA;
    win.RegOpenKeyExA = strict_RegOpenKeyExA;
    win.RegSetValueExA = strict_RegSetValueExA;
    win.RegQueryValueExA = strict_RegQueryValueExA;
    win.RegDeleteValueA = strict_RegDeleteValueA;
    win.RegCloseKey = strict_RegCloseKey;
    win.GetTokenInformation = strict_GetTokenInformation;
}
