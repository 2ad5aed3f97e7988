#include "engine_checks.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include "steps/step_runner.h"
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

PassScope::PassScope()
    : owner(create_status_window(146)), abort_flag(0), saved_directory(current_directory()), saved_clock(seed_clock),
      saved_calls(file_calls)
{
    if (strict_sector())
        strict_io_install(strict_sector());
    alloc_transfer_buffer();
    load_texts(GetModuleHandleA(NULL));   // the texts a pass shows, where the program has them
    slack_file_budget = -1;   // each test is a run of its own
    forget_run_files();
    run_context.owner = owner, run_context.status_id = 146, run_context.abort_flag = &abort_flag, run_context.last_error = 0;
}

PassScope::~PassScope()
{
    release_work_folder(), forget_run_files();
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

std::vector<std::string> held_names()
{
    static WorkListing listing;
    WorkEntry entry;
    std::vector<std::string> names;
    begin_work_listing(&listing);
    while (next_work_entry(&listing, &entry))
        names.push_back(entry.name);
    end_work_listing(&listing);
    std::sort(names.begin(), names.end());
    return names;
}

bool vouch(const std::string &work, const std::vector<std::string> &names)
{
    int held = begin_pass_hold(work.c_str());
    bool all = held >= 0;
    for (const std::string &name : names)
        all = all && vouch_for_work_file(name.c_str()) == 0;
    end_pass_hold(held);
    return all;
}

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
    // the run's journal lies beside its work files
    result.names.erase(std::remove(result.names.begin(), result.names.end(), JOURNAL_NAME), result.names.end());
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
