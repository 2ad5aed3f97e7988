#include "test_helpers.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include "support/messages.h"

std::string volume_root(const char *name)
{
    std::string var = "VANTA_VOLUME_";
    for (const char *p = name; *p; ++p)
        var += (char)toupper((unsigned char)*p);
    const char *drive = getenv(var.c_str());
    return drive && *drive ? std::string(drive) + "\\" : std::string();
}

HWND create_status_window(int status_id)
{
    HWND owner = CreateWindowExA(0, "STATIC", "vanta test", WS_OVERLAPPEDWINDOW,
                                 0, 0, 400, 200, NULL, NULL, GetModuleHandleA(NULL), NULL);
    if (owner)
        CreateWindowExA(0, "EDIT", "", WS_CHILD | ES_MULTILINE | ES_READONLY, 0, 0, 380, 150, owner,
                        (HMENU)(INT_PTR)status_id, GetModuleHandleA(NULL), NULL);
    return owner;
}

std::string window_text(HWND owner, int control_id)
{
    char text[4096] = "";
    GetDlgItemTextA(owner, control_id, text, sizeof text);
    return text;
}

std::string unix_path(const std::string &windows_path)
{
    typedef char *(CDECL *UnixNameProc)(LPCWSTR);
    UnixNameProc unix_name = (UnixNameProc)(void (*)(void))GetProcAddress(GetModuleHandleA("kernel32.dll"),
                                                                           "wine_get_unix_file_name");
    WCHAR wide[MAX_PATH];
    if (!unix_name || !MultiByteToWideChar(CP_ACP, 0, windows_path.c_str(), -1, wide, MAX_PATH))
        return "";
    char *name = unix_name(wide);
    std::string result = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

bool run_unix(const std::string &command)
{
    // Wine gives no handle to wait on for a native program, nor its exit
    // code: the command writes its status into a file of its own when it has
    // ended, in one move, and that file is waited for
    static int calls;
    char temporary[MAX_PATH];
    if (!GetTempPathA(sizeof temporary, temporary))
        return false;
    std::string status = std::string(temporary) + "vanta-unix-" + std::to_string(GetCurrentProcessId()) + "-" +
                         std::to_string(++calls), unix_status = unix_path(status);
    DeleteFileA(status.c_str());
    std::string line = "sh -c \"" + command + "; echo $? >'" + unix_status + ".new' && mv '" + unix_status +
                       ".new' '" + unix_status + "'\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (unix_status.empty() ||
        !CreateProcessA("Z:\\bin\\sh", &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "run_unix: error %lu starting: %s\n", GetLastError(), line.c_str());
        return false;
    }
    CloseHandle(process.hThread), CloseHandle(process.hProcess);
    std::string code;
    for (DWORD start = GetTickCount(); !read_file(status, &code) && GetTickCount() - start < 120000;)
        Sleep(5);
    DeleteFileA(status.c_str());
    if (code != "0\n")
        fprintf(stderr, "run_unix: '%s' ended with '%s'\n", command.c_str(), code.c_str());
    return code == "0\n";
}

static ScriptedBoxes *active_boxes;
static MessageBoxProc saved_box_proc;

static int WINAPI scripted_box(HWND owner, LPCSTR text, LPCSTR caption, UINT style)
{
    ScriptedBoxes *boxes = active_boxes;
    boxes->shown.push_back(BoxRecord{owner, text ? text : "", caption ? caption : "", style});
    if (boxes->on_show)
        boxes->on_show(boxes->shown.back());
    if (boxes->replies.empty())
        return IDOK;
    int reply = boxes->replies.front();
    boxes->replies.erase(boxes->replies.begin());
    return reply;
}

ScriptedBoxes::ScriptedBoxes()
{
    saved_box_proc = message_box_proc, active_boxes = this, message_box_proc = scripted_box;
}

ScriptedBoxes::~ScriptedBoxes() { message_box_proc = saved_box_proc, active_boxes = NULL; }

// Writes bytes at offset of the file opened with disposition; all or false.
static bool write_at(const std::string &path, DWORD disposition, LONG offset, const std::string &bytes)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, disposition, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD done = 0;
    bool ok = SetFilePointer(h, offset, NULL, FILE_BEGIN) == (DWORD)offset &&
              (bytes.empty() || WriteFile(h, bytes.data(), (DWORD)bytes.size(), &done, NULL)) &&
              done == bytes.size();
    CloseHandle(h);
    return ok;
}

bool write_file(const std::string &path, const std::string &bytes)
{
    return write_at(path, CREATE_ALWAYS, 0, bytes);
}

bool write_file_at(const std::string &path, unsigned long offset, const std::string &bytes)
{
    return write_at(path, OPEN_EXISTING, (LONG)offset, bytes);
}

bool read_file(const std::string &path, std::string *bytes)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bytes->clear();
    char chunk[65536];
    for (DWORD got = 0; ReadFile(h, chunk, sizeof chunk, &got, NULL) && got > 0;)
        bytes->append(chunk, got);
    CloseHandle(h);
    return true;
}

std::vector<std::string> list_folder(const std::string &folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &found);
    for (bool more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileA(h, &found))
        if (strcmp(found.cFileName, ".") && strcmp(found.cFileName, ".."))
            names.push_back(found.cFileName);
    if (h != INVALID_HANDLE_VALUE)
        FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

void remove_tree(const std::string &folder)
{
    // a link goes itself; what it points to is never emptied through it
    // (Wine shows drive roots as links too: they are emptied)
    DWORD own = GetFileAttributesA(folder.c_str());
    if (own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_REPARSE_POINT) && folder.size() > 3) {
        std::string link = unix_path(folder);
        if (!link.empty())
            run_unix("rm -f '" + link + "'");
        return;
    }
    for (const std::string &name : list_folder(folder)) {
        std::string path = folder + "\\" + name;
        DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            remove_tree(path);
        else
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL), DeleteFileA(path.c_str());
    }
    RemoveDirectoryA(folder.c_str());
}

unsigned long long free_bytes_of(const std::string &root)
{
    ULARGE_INTEGER avail;
    return GetDiskFreeSpaceExA(root.c_str(), &avail, NULL, NULL) ? avail.QuadPart : ~0ull;
}

static std::vector<std::pair<const char *, int (*)()>> &children()
{
    static std::vector<std::pair<const char *, int (*)()>> list;   // filled before main
    return list;
}

TestChild::TestChild(const char *name, int (*body)()) { children().push_back({name, body}); }

int run_test_child(const char *name)
{
    for (const auto &child : children())
        if (strcmp(child.first, name) == 0)
            return child.second();
    fprintf(stderr, "no test child named %s\n", name);
    return 99;
}

std::string own_path()
{
    char path[MAX_PATH];
    return std::string(path, GetModuleFileNameA(NULL, path, sizeof path));
}

DWORD run_child_process(const char *name)
{
    std::string exe = own_path(), command = "\"" + exe + "\" --child " + name;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(exe.c_str(), &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return 0xFFFFFFFF;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0xFFFFFFFE;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread), CloseHandle(process.hProcess);
    return code;
}

std::string from_utf8(const std::string &text)
{
    std::wstring wide(text.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], (int)wide.size());
    std::string ansi(text.size() * 2 + 1, '\0');
    int m = WideCharToMultiByte(CP_ACP, 0, wide.data(), n, &ansi[0], (int)ansi.size(), NULL, NULL);
    return ansi.substr(0, m);
}

Records read_report(const std::string &path, bool *bom)
{
    std::string bytes;
    Records records;
    *bom = read_file(path, &bytes) && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
    if (!*bom)
        return records;
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false, started = false;
    for (size_t i = 3; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (quoted && c == '"' && i + 1 < bytes.size() && bytes[i + 1] == '"')
            field += '"', ++i;
        else if (c == '"')
            quoted = !quoted, started = true;
        else if (!quoted && c == ',')
            rows.back().push_back(from_utf8(field)), field.clear();
        else if (!quoted && c == '\r')
            continue;
        else if (!quoted && c == '\n')
            rows.back().push_back(from_utf8(field)), field.clear(), rows.emplace_back();
        else
            field += c;
    }
    (void)started;
    for (size_t r = 1; r < rows.size(); ++r) {
        if (rows[r].size() != rows[0].size())
            continue;
        std::map<std::string, std::string> record;
        for (size_t f = 0; f < rows[0].size(); ++f)
            record[rows[0][f]] = rows[r][f];
        records.push_back(record);
    }
    return records;
}
