#include "engine_checks.h"

#include <stdio.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"
#include "test_helpers.h"

std::string system_text(DWORD code)
{
    char *text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  (LPSTR)&text, 0, NULL);
    std::string result = length ? std::string(text, length) : std::string();
    if (text)
        LocalFree(text);
    return result;
}

std::string current_directory()
{
    char path[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof path, path);
    return length && length < sizeof path ? std::string(path) : std::string();
}

PassScope::PassScope() : owner(create_status_window(146)), abort_flag(0)
{
    saved_directory = current_directory();
    alloc_transfer_buffer();
    run_context.owner = owner;
    run_context.status_id = 146;
    run_context.abort_flag = &abort_flag;
    run_context.last_error = 0;
}

PassScope::~PassScope()
{
    release_transfer_buffer();
    run_context.owner = NULL;
    run_context.abort_flag = NULL;
    get_free_basic = GetDiskFreeSpaceA;
    get_free_ex = NULL;
    get_free_ex_ready = 0;
    if (owner)
        DestroyWindow(owner);
    SetCurrentDirectoryA(saved_directory.c_str());
}

void clear_volume(const std::string &root)
{
    for (const std::string &name : list_folder(root.substr(0, root.size() - 1))) {
        std::string path = root + name;
        DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            remove_tree(path);
        } else {
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path.c_str());
        }
    }
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
    // named like a work file, but outside the work folder
    write_file(root + "00000001", "not a work file");
    write_file(root + "notes.txt", "keep me\r\n");
}

static unsigned long long digest_file(const std::string &path)
{
    unsigned long long hash = 1469598103934665603ull;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    static unsigned char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, NULL) && got) {
        for (DWORD i = 0; i < got; ++i)
            hash = (hash ^ chunk[i]) * 1099511628211ull;
    }
    CloseHandle(file);
    return hash;
}

static void digest_into(const std::string &root, const std::string &relative,
                        std::map<std::string, std::string> *digests)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((root + relative + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == ".." || (relative.empty() && name == WORK_FOLDER_NAME))
            continue;
        std::string entry = relative + name;
        char line[200];
        bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        snprintf(line, sizeof line, "attr %lx size %lu:%lu time %lu:%lu digest %llx",
                 found.dwFileAttributes, found.nFileSizeHigh, found.nFileSizeLow,
                 found.ftLastWriteTime.dwHighDateTime, found.ftLastWriteTime.dwLowDateTime,
                 folder ? 0ull : digest_file(root + entry));
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

bool fill_volume_outside(const std::string &path, unsigned long long leave)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    static unsigned char chunk[1 << 20];
    memset(chunk, 0x5A, sizeof chunk);
    unsigned long long size = 0;
    // judge by the count: a full volume may still answer TRUE
    for (DWORD want = sizeof chunk; want > 0;) {
        DWORD done = 0;
        WriteFile(file, chunk, want, &done, NULL);
        size += done;
        if (done != want)
            want /= 2;
    }
    if (leave) {
        LARGE_INTEGER end;
        end.QuadPart = (LONGLONG)(size > leave ? size - leave : 0);
        SetFilePointerEx(file, end, NULL, FILE_BEGIN);
        SetEndOfFile(file);
    }
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
    for (size_t n = 0; n < result.names.size(); ++n) {
        char want[16];
        snprintf(want, sizeof want, "%8.8u", (unsigned)(n + 1));
        if (result.names[n] != want) {
            result.problem = "work file " + std::to_string(n + 1) + " is named " + result.names[n];
            return result;
        }
        std::string path = folder + "\\" + result.names[n];
        // no share mode: this fails while the pass still holds a handle
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            result.problem = "cannot open " + path + " alone, error " +
                             std::to_string(GetLastError());
            return result;
        }
        unsigned long long offset = 0;
        DWORD got = 0;
        while (ReadFile(file, chunk.data(), TRANSFER_SIZE, &got, NULL) && got) {
            if (memcmp(chunk.data(), expected.data(), got) != 0) {
                DWORD at = 0;
                while (chunk[at] == expected[at])
                    ++at;
                char text[200];
                snprintf(text, sizeof text, "%s: byte %llu is 0x%02X, not 0x%02X",
                         result.names[n].c_str(), offset + at, chunk[at], expected[at]);
                result.problem = text;
                CloseHandle(file);
                return result;
            }
            offset += got;
        }
        CloseHandle(file);
        result.sizes.push_back(offset);
        result.total += offset;
    }
    return result;
}

std::vector<unsigned char> block_of(unsigned char value)
{
    return std::vector<unsigned char>(512, value);
}

std::vector<unsigned char> block_of_list(const std::vector<unsigned char> &values)
{
    std::vector<unsigned char> block(512);
    for (size_t k = 0; k < block.size(); ++k)
        block[k] = values[k % values.size()];
    return block;
}
