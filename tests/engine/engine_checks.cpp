#include "engine_checks.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <set>
#include "support/messages.h"
#include "test_helpers.h"

std::string system_text(DWORD code)
{
    char *text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                                  NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&text, 0, NULL);
    std::string result(text ? text : "", length);
    LocalFree(text);
    return result;
}

std::string current_directory()
{
    char path[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof path, path);
    return length && length < sizeof path ? std::string(path) : std::string();
}

DWORD strict_sector()
{
    const char *sector = getenv("VANTA_STRICT_SECTOR");
    return sector ? (DWORD)atoi(sector) : 0;
}

std::vector<std::string> strict_refusals;
static std::set<HANDLE> unbuffered;

static HANDLE WINAPI strict_create(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD flags, HANDLE model)
{
    HANDLE file = CreateFileA(path, access, share, security, disposition, flags, model);
    if (file != INVALID_HANDLE_VALUE && (flags & FILE_FLAG_NO_BUFFERING))
        unbuffered.insert(file);
    else
        unbuffered.erase(file);   // a handle value used again
    return file;
}

// True, with the refusal noted, when Windows would refuse this transfer.
static bool refused(const char *call, HANDLE file, const void *buffer, DWORD size)
{
    LARGE_INTEGER zero = {}, at = {};
    if (!unbuffered.count(file) || !SetFilePointerEx(file, zero, &at, FILE_CURRENT))
        return false;
    DWORD sector = strict_sector();
    if (size % sector == 0 && at.QuadPart % sector == 0 && (uintptr_t)buffer % sector == 0)
        return false;
    if (strcmp(call, "WriteFile") || size != FIRST_WRITE_BYTES || at.QuadPart != 0)
        strict_refusals.push_back(std::string(call) + " of " + std::to_string(size) + " bytes at " +
                                  std::to_string(at.QuadPart));
    SetLastError(ERROR_INVALID_PARAMETER);
    return true;
}

static BOOL WINAPI strict_write(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (refused("WriteFile", file, buffer, size))
        return *written = 0, FALSE;
    return WriteFile(file, buffer, size, written, overlapped);
}

static BOOL WINAPI strict_read(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    if (refused("ReadFile", file, buffer, size))
        return *got = 0, FALSE;
    return ReadFile(file, buffer, size, got, overlapped);
}

static DWORD WINAPI strict_seek(HANDLE file, LONG low, PLONG high, DWORD method)
{
    long long target = ((long long)(high ? *high : 0) << 32) | (DWORD)low;
    if (unbuffered.count(file) && method == FILE_BEGIN && target % strict_sector() != 0) {
        strict_refusals.push_back("SetFilePointer to " + std::to_string(target));
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    return SetFilePointer(file, low, high, method);
}

// The volume as a disk of strict_sector() bytes a sector would describe it.
static BOOL WINAPI strict_free_basic(LPCSTR root, LPDWORD per_cluster, LPDWORD per_sector, LPDWORD free_clusters,
                                     LPDWORD clusters)
{
    BOOL ok = GetDiskFreeSpaceA(root, per_cluster, per_sector, free_clusters, clusters);
    DWORD sector = strict_sector(), cluster = ok ? *per_cluster * *per_sector : 0;
    if (ok && sector > *per_sector && cluster % sector == 0)
        *per_cluster = cluster / sector, *per_sector = sector;
    return ok;
}

PassScope::PassScope()
    : owner(create_status_window(146)), abort_flag(0), saved_directory(current_directory()), saved_clock(seed_clock),
      saved_calls(file_calls)
{
    if (strict_sector()) {
        file_calls = FileCalls{strict_create, strict_write, strict_read, strict_seek};
        get_free_basic = strict_free_basic;
        strict_refusals.clear();
    }
    alloc_transfer_buffer();
    load_texts(GetModuleHandleA(NULL));   // the texts a pass shows, where the program has them
    slack_file_budget = -1;   // each test is a run of its own
    run_context.owner = owner, run_context.status_id = 146, run_context.abort_flag = &abort_flag, run_context.last_error = 0;
}

PassScope::~PassScope()
{
    release_transfer_buffer();
    run_context.owner = NULL, run_context.abort_flag = NULL;
    get_free_basic = GetDiskFreeSpaceA, get_free_ex = NULL, get_free_ex_ready = 0, seed_clock = saved_clock;
    file_calls = saved_calls;
    EXPECT_EQ(std::vector<std::string>{}, strict_refusals) << "transfers Windows refuses at " << strict_sector()
                                                           << "-byte sectors";
    strict_refusals.clear();
    DestroyWindow(owner);
    SetCurrentDirectoryA(saved_directory.c_str());
}

// the root itself is never removed
void clear_volume(const std::string &root) { remove_tree(root.substr(0, root.size() - 1)); }

void plant_user_files(const std::string &root)
{
    std::string bytes;
    for (int i = 0; i < 100000; ++i)
        bytes += (char)(i * 7 + i / 251);
    CreateDirectoryA((root + "user").c_str(), NULL);
    CreateDirectoryA((root + "user\\写真").c_str(), NULL);
    write_file(root + "user\\data.bin", bytes);
    write_file(root + "user\\写真\\表.txt", "a double-byte name whose trail byte is 0x5C");
    write_file(root + "user\\empty", "");
    write_file(root + "00000001", "named like a work file, but outside the work folder");
    write_file(root + "notes.txt", "keep me\r\n");
}

static void digest_into(const std::string &root, const std::string &relative, std::map<std::string, std::string> *digests)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((root + relative + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string name = found.cFileName, entry = relative + name, bytes;
        if (name == "." || name == ".." || (relative.empty() && name == WORK_FOLDER_NAME))
            continue;
        bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        unsigned long long hash = 1469598103934665603ull;   // FNV-1a
        if (!folder && read_file(root + entry, &bytes))
            for (unsigned char c : bytes)
                hash = (hash ^ c) * 1099511628211ull;
        char line[200];
        // a folder's time moves when a work folder comes and goes in it
        snprintf(line, sizeof line, "attr %lx size %lu:%lu time %lu:%lu digest %llx", found.dwFileAttributes,
                 found.nFileSizeHigh, found.nFileSizeLow, folder ? 0 : found.ftLastWriteTime.dwHighDateTime,
                 folder ? 0 : found.ftLastWriteTime.dwLowDateTime, hash);
        (*digests)[entry] = line;
        if (folder)
            digest_into(root, entry + "\\", digests);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

std::map<std::string, std::string> digest_tree(const std::string &root)
{
    std::map<std::string, std::string> digests;
    digest_into(root, "", &digests);
    return digests;
}

bool fill_volume_outside(const std::string &path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    static unsigned char chunk[1 << 20];
    memset(chunk, 0x5A, sizeof chunk);
    // judge by the count: a full volume may still answer TRUE
    for (DWORD want = sizeof chunk, done = 0; want > 0; want = done == want ? want : want / 2)
        WriteFile(file, chunk, want, &done, NULL);
    CloseHandle(file);
    return true;
}

WorkFiles check_work_files(const std::string &folder, const unsigned char pattern[512])
{
    WorkFiles result;
    std::vector<unsigned char> expected(TRANSFER_SIZE), chunk(TRANSFER_SIZE);
    for (size_t i = 0; i < expected.size(); ++i)
        expected[i] = pattern[i % 512];
    result.names = list_folder(folder);
    for (size_t n = 0; n < result.names.size() && result.problem.empty(); ++n) {
        char want[16], text[200] = "";
        snprintf(want, sizeof want, "%8.8u", (unsigned)(n + 1));
        if (result.names[n] != want)
            return result.problem = "work file " + std::to_string(n + 1) + " is named " + result.names[n], result;
        // no share mode: this fails while the pass still holds a handle
        std::string path = folder + "\\" + result.names[n];
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return result.problem = "cannot open " + path + " alone, error " + std::to_string(GetLastError()), result;
        unsigned long long offset = 0;
        DWORD got = 0;
        while (!*text && ReadFile(file, chunk.data(), TRANSFER_SIZE, &got, NULL) && got) {
            for (DWORD at = memcmp(chunk.data(), expected.data(), got) ? 0 : got; at < got && !*text; ++at)
                if (chunk[at] != expected[at])
                    snprintf(text, sizeof text, "%s: byte %llu is 0x%02X, not 0x%02X", result.names[n].c_str(),
                             offset + at, chunk[at], expected[at]);
            offset += got;
        }
        CloseHandle(file);
        result.problem = text;
        result.sizes.push_back(offset);
        result.total += offset;
    }
    return result;
}
