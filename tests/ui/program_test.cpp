// vanta.exe as the user starts it, in a process of its own, driven through its
// window on real volumes. The user's files are hashed with SHA-256 around
// complete, verified, aborted and badly configured runs: every byte must stay.
#include <windows.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <functional>
#include <random>
#include <regex>
#include <set>
#include "engine/engine_checks.h"
#include "test_helpers.h"
#include "ui/resource.h"

namespace {

typedef std::vector<std::string> Texts;
const char FINISHED[] = "消去が終了しました。", CANNOT_CREATE[] = "フォルダを作成できません。", FINISHED_EN[] = "The erase has finished.";

// Byte counts as N ("N バイト", "N bytes").
std::string bytes_as_n(const std::string &text)
{
    return std::regex_replace(text, std::regex("[0-9][0-9,]*( バイト| bytes)"), "N$1");
}

// "Aborted", and under it what the run had done before the stop, its byte
// counts as N.
std::string stopped(int passes_finished)
{
    return "中断しました。\r\n中断するまでに、上書きを " + std::to_string(passes_finished) +
           " 回終え、N バイトを上書きし、N バイトを検証しました。\r\n作業ファイルを削除し、空き領域を元に戻しました。";
}

std::string question(const std::string &work)
{
    return "処理を続けますか？\r\n" + work + "\r\nフォルダがすでに存在します。処理を続けても、\r\n"
           "このフォルダにすでにあるファイルはそのまま残ります。\r\n処理終了後もこのフォルダは残ります。";
}

std::string shipped_program()
{
    std::string path = std::string("Z:") + (getenv("VANTA_EXE") ? getenv("VANTA_EXE") : "");
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// One run of vanta.exe on folder: its dialog, and the boxes that the dialog owns.
struct Program {
    PROCESS_INFORMATION process = {};
    HWND dialog = NULL;
    bool up = false;   // its dialog shown and answering

    Program(const std::string &exe, const std::string &folder, const std::string &switches = "")
    {
        std::string command = "\"" + exe + "\" \"" + folder + "\"" + switches;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        if (CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
            for (int i = CloseHandle(process.hThread); i < 1000 && !(dialog = find(NULL)); ++i)
                Sleep(10);
        up = dialog && responsive();
    }
    ~Program() { TerminateProcess(process.hProcess, 99), CloseHandle(process.hProcess); }
    HWND find(HWND owner)   // a visible window of this process captioned "vanta"
    {
        DWORD id = 0;
        for (HWND w = NULL; (w = FindWindowExA(NULL, w, "#32770", "vanta")) != NULL;)
            if (GetWindowThreadProcessId(w, &id), id == process.dwProcessId &&
                GetWindow(w, GW_OWNER) == owner && IsWindowVisible(w))
                return w;
        return NULL;
    }
    // The dialog answers within 5 s, run or no run.
    bool responsive() { return SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 5000, NULL) != 0; }
    std::string text(int id) { return window_text(dialog, id); }
    // The status box without the summary line that follows "finished"; the
    // byte counts of any other ending as N: how much a stopped run had
    // written depends on where the machine let it get.
    std::string outcome()
    {
        std::string status = text(IDC_STATUS);
        for (const char *finished : {FINISHED, FINISHED_EN})
            if (status.compare(0, strlen(finished) + 2, finished + std::string("\r\n")) == 0)
                return finished;
        return bytes_as_n(status);
    }
    bool running() { return !IsWindowEnabled(GetDlgItem(dialog, IDC_START)) && !find(dialog); }
    void command(int id) { PostMessageA(dialog, WM_COMMAND, id, (LPARAM)GetDlgItem(dialog, id)); }
    void start_method(int m) { SendDlgItemMessageA(dialog, IDC_METHOD, CB_SETCURSEL, m, 0), command(IDC_START); }
    // Starts method (unless -1) and answers the existing-folder question with
    // to_question, other boxes with OK, until the status reads wanted and Start
    // is enabled; the boxes' texts.
    Texts settle(int method, const std::string &wanted, int to_question = IDNO, DWORD limit = 120000)
    {
        Texts boxes;
        // the last run's ending, still there until the posted Start is taken, is not this one's
        if (method >= 0)
            SetDlgItemTextA(dialog, IDC_STATUS, ""), start_method(method);
        for (DWORD waited = 0; waited < limit; waited += 20, Sleep(20))
            if (HWND box = find(dialog)) {
                boxes.push_back(window_text(box, 0xFFFF));
                bool asks = boxes.back().compare(0, 18, question("").substr(0, 18)) == 0;
                for (PostMessageA(box, WM_COMMAND, asks ? to_question : IDOK, 0); IsWindow(box);)
                    Sleep(10);
            } else if (outcome() == wanted && IsWindowEnabled(GetDlgItem(dialog, IDC_START))) {
                break;
            }
        EXPECT_EQ(wanted, outcome());
        return boxes;
    }
    DWORD close()   // the exit code, 0xFFFFFFFF when the program did not end
    {
        DWORD code = 0xFFFFFFFF;
        command(IDCANCEL), WaitForSingleObject(process.hProcess, 20000);
        return GetExitCodeProcess(process.hProcess, &code) && code != STILL_ACTIVE ? code : 0xFFFFFFFF;
    }
};

// The gate of a volume that a FUSE pass-through serves (harness/fuse_disk.py):
// a write or read of the work files held where a test wants the run to be,
// so that an Abort, a Close or the session's end meets the run there and
// nowhere else, however busy the machine.
struct Gate {
    std::string control;   // the control file, as Windows names it

    explicit Gate(const char *volume)
    {
        const char *build = getenv("VANTA_BUILD_DIR");
        control = std::string("Z:") + (build ? build : "") + "/volumes/" + volume + ".gate";
        std::replace(control.begin(), control.end(), '/', '\\');
    }
    ~Gate() { open(); }
    // The control replaced whole, in one move.
    bool say(const std::string &words)
    {
        return write_file(control + ".new", words + "\n") &&
               MoveFileExA((control + ".new").c_str(), control.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    // The first write (read) of a work file that takes the run past bytes
    // written (read) from now on waits until the gate opens.
    bool hold(const char *kind, unsigned long long bytes) { return say(std::string(kind) + " " + std::to_string(bytes) + " $VANTA$$/0"); }
    void open() { say(""); }
    // Until a request waits at the gate: true, or false after limit ms.
    bool held(DWORD limit = 60000)
    {
        std::string state;
        for (DWORD start = GetTickCount(); GetTickCount() - start < limit; Sleep(5))
            if (read_file(control + ".state", &state) && state.compare(0, 5, "held ") == 0)
                return true;
        return false;
    }
};

// Until done() or limit ms: the last look's answer.
bool wait_for(const std::function<bool()> &done, DWORD limit = 60000)
{
    for (DWORD start = GetTickCount(); !done(); Sleep(5))
        if (GetTickCount() - start >= limit)
            return done();
    return true;
}

// The window thread has taken a stop (Abort, Close, the session's end): the
// status says so, or the process has ended already.
bool stop_taken(HANDLE process, HWND dialog)
{
    return wait_for([&] { return !WaitForSingleObject(process, 0) || window_text(dialog, IDC_STATUS) == "中断しています..."; });
}

// A Unix path of the build tree as Windows names it (Wine's Z: drive).
std::string build_path(const std::string &tail)
{
    std::string path = std::string("Z:") + (getenv("VANTA_BUILD_DIR") ? getenv("VANTA_BUILD_DIR") : "") + "/" + tail;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// user_files.sh (beside this test's source) run natively on the program
// volume: the user's files made there or emptied (through the volume: files
// changed behind its back would stay in its cache), or hashed on its backing
// store.
// What it wrote (the hashes; "done"), or "" when it did not run.
std::string user_files(const char *command)
{
    const char *script = getenv("VANTA_USER_FILES"), *build = getenv("VANTA_BUILD_DIR");
    const std::string done = build_path("volumes/program_gated.user_files");
    std::string text;
    DeleteFileA(done.c_str());
    // made through the volume, which forgets no name it knows; read from where the bytes are
    const std::string folder = std::string(build ? build : "") + "/volumes/program_gated" +
                               (strcmp(command, "hash") == 0 ? ".backing" : "");
    if (!script || !build ||
        !run_unix("'" + std::string(script) + "' " + command + " '" + folder + "' '" + build +
                  "/volumes/program_gated.user_files'") ||
        !read_file(done, &text))
        return "";
    return text;
}

// Every folder, file and link of the program volume but the chosen folder's
// work folder: a file's SHA-256, a link's target. Hashed on the volume's
// backing store, where the bytes are.
typedef std::map<std::string, std::string> Hashes;
Hashes hash_tree()
{
    std::string text = user_files("hash");
    Hashes hashes;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        size_t tab = text.rfind('\t', end);
        if (tab != std::string::npos && tab > at)
            hashes[text.substr(at, tab - at)] = text.substr(tab + 1, end - tab - 1);
    }
    return hashes;
}

// What differs between two hashings: a line for each path changed, gone or new.
std::string changes(const Hashes &before, const Hashes &after)
{
    std::string lines;
    for (const auto &[path, hash] : before)
        if (!after.count(path))
            lines += "gone: " + path + "\n";
        else if (after.at(path) != hash)
            lines += "changed: " + path + "\n";
    for (const auto &entry : after)
        if (!before.count(entry.first))
            lines += "new: " + entry.first + "\n";
    return lines;
}

// A program started from its command line, its thread's handle closed.
bool start_process(std::string command, PROCESS_INFORMATION *process)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, process))
        return false;
    CloseHandle(process->hThread);
    return true;
}

// Only work files may be in a work folder that a run left.
size_t count_work_files(const std::string &folder)
{
    Texts names = list_folder(folder);
    for (const std::string &name : names)
        EXPECT_EQ(std::string::npos, name.find_first_not_of("0123456789")) << folder << "\\" << name;
    return names.size();
}

// The side of proof_residue.sh: a complete run of the shipped method
// VANTA_PROOF_METHOD on VANTA_PROOF_FOLDER (ending in a backslash), no box.
int erase_child()
{
    const char *folder = getenv("VANTA_PROOF_FOLDER"), *method = getenv("VANTA_PROOF_METHOD");
    Program vanta(shipped_program(), folder ? folder : "");
    if (!folder || !method || !vanta.up)
        return 2;
    Texts boxes = vanta.settle(atoi(method), FINISHED, IDNO, 600000);   // 35 passes take a while
    std::string status = vanta.outcome(), work = folder + std::string("$VANTA$$");
    printf("%s on %s: %s %s\n", vanta.text(IDC_STEP).c_str(), folder, status.c_str(),
           boxes.empty() ? "" : boxes[0].c_str());
    return !boxes.empty() || status != FINISHED || vanta.close() ||
           GetFileAttributesA(work.c_str()) != INVALID_FILE_ATTRIBUTES;
}
TestChild erase("erase", erase_child);

// The side of other_user.sh, run by a user who is not root: a complete run of
// the zero method on VANTA_RESERVE_ROOT, an ext4 volume with a 5% reserve for
// root. The summary names the free space beyond this user's share, as the
// system reports it (free bytes of the volume against the caller's); the
// space is back and no work folder is left. Its report goes where the
// readme's goes, into a folder of %ProgramData% that is not there yet, as
// on a fresh PC: the run makes it, the user's own, and writes the record
// there. 0 when all holds, else 1 with the reason.
int reserve_child()
{
    const char *root = getenv("VANTA_RESERVE_ROOT");
    ULARGE_INTEGER available, total, total_free;
    DWORD per_cluster, per_sector, free_clusters, clusters;
    if (!root || !GetDiskFreeSpaceExA(root, &available, &total, &total_free) ||
        !GetDiskFreeSpaceA(root, &per_cluster, &per_sector, &free_clusters, &clusters))
        return printf("no volume VANTA_RESERVE_ROOT\n"), 1;
    unsigned long long beyond = total_free.QuadPart - available.QuadPart;
    char data[MAX_PATH] = "";
    GetEnvironmentVariableA("ProgramData", data, sizeof data);
    const std::string reports = data + std::string("\\vanta"), report = reports + "\\vanta.csv";
    DeleteFileA(report.c_str()), RemoveDirectoryA(reports.c_str());
    if (!data[0] || GetFileAttributesA(reports.c_str()) != INVALID_FILE_ATTRIBUTES)
        return printf("no %%ProgramData%%, or %s is there before the run\n", reports.c_str()), 1;
    Program vanta(shipped_program(), root, " /report:\"" + report + "\"");
    if (!vanta.up)
        return printf("vanta.exe did not come up\n"), 1;
    Texts boxes = vanta.settle(0, FINISHED, IDNO, 120000);
    std::string status = vanta.text(IDC_STATUS), line = "このアカウントが書き込めない空き領域 ";
    size_t at = status.find(line);
    std::string digits;
    for (at = at == std::string::npos ? status.size() : at + line.size(); at < status.size() && (isdigit((unsigned char)status[at]) || status[at] == ','); ++at)
        if (status[at] != ',')
            digits += status[at];
    unsigned long long named = digits.empty() ? 0 : std::stoull(digits);
    ULARGE_INTEGER after;
    GetDiskFreeSpaceExA(root, &after, NULL, NULL);
    printf("    a user who is not root sees %llu bytes free of %llu (clusters: %llu), the volume %llu free;"
           " the summary names %llu out of reach\n", available.QuadPart, total.QuadPart,
           (unsigned long long)free_clusters * per_cluster * per_sector, total_free.QuadPart, named);
    std::string work = root + std::string("$VANTA$$");
    if (!boxes.empty() || vanta.outcome() != FINISHED)
        return printf("the run did not finish without a box\n"), 1;
    // what the system says is free beyond the user's share, give or take a block
    if (named + 65536 < beyond || named > beyond + 65536)
        return printf("the summary names other than the space out of reach\n"), 1;
    if (after.QuadPart != available.QuadPart || GetFileAttributesA(work.c_str()) != INVALID_FILE_ATTRIBUTES)
        return printf("the space was not given back\n"), 1;
    if (vanta.close() != 0)
        return printf("the program did not end with 0\n"), 1;
    bool bom = false;
    Records records = read_report(report, &bom);
    if (records.size() != 1 || records[0]["exit_code"] != "0" || records[0]["version"] != VANTA_PROJECT_VERSION)
        return printf("%u records in %s, not the run's one\n", (unsigned)records.size(), report.c_str()), 1;
    return 0;
}
TestChild reserve("reserve", reserve_child);

} // namespace

// 1,200 user files of random sizes and bytes beside the chosen folder and in
// it, some named like work files, some with 0x5C trail bytes in their names.
class UserFiles : public ::testing::Test {
protected:
    std::string root = volume_root("program_gated"), volume = root.substr(0, 2), chosen = root + "chosen";
    Hashes before;
    unsigned long long free_before = 0;

    void SetUp() override
    {
        ASSERT_NE("chosen", chosen) << "no volume program_gated on this bench";
        ASSERT_EQ("done\n", user_files("plant"));
        ASSERT_EQ(1205u, (before = hash_tree()).size()) << "the user's files were not all made";
        free_before = free_bytes_of(root);
    }
    void TearDown() override { user_files("empty"); }
};

// Runs of the verifying method aborted at moments spread over them: at its
// first write, when a quarter, half and three quarters of the free space are
// written, and half way through the verify that gives the space back. The
// gate holds the run at each moment until the Abort has been taken. Each is
// followed by a complete run, with and without verify, on the folder the
// abort left.
TEST_F(UserFiles, AbortedAndCompleteRunsKeepEveryUserByteAndGiveTheSpaceBack)
{
    std::string work = chosen + "\\$VANTA$$";
    Gate gate("program_gated");
    for (int quarters = 0; quarters <= 4; ++quarters) {
        SCOPED_TRACE("Abort " + std::to_string(quarters));
        ASSERT_TRUE(quarters < 4 ? gate.hold("write", free_before / 4 * quarters) : gate.hold("read", free_before / 2));
        Program vanta(shipped_program(), chosen);
        ASSERT_TRUE(vanta.up);
        vanta.start_method(2);
        ASSERT_TRUE(gate.held()) << "the run never got there";
        ASSERT_TRUE(vanta.running()) << "no run, or a box";
        unsigned long long free = free_bytes_of(root);
        vanta.command(IDABORT);
        EXPECT_TRUE(stop_taken(vanta.process.hProcess, vanta.dialog));
        DWORD aborted = GetTickCount();
        gate.open();
        // the fill went to its end only before the verify
        ASSERT_EQ(Texts(), vanta.settle(-1, stopped(quarters < 4 ? 0 : 1), IDNO, 60000));
        EXPECT_TRUE(vanta.responsive());
        DWORD cleaned = GetTickCount() - aborted;
        // the aborted run's work files and its own folder are gone, its space back
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str()));
        EXPECT_EQ(free_before, free_bytes_of(root));
        EXPECT_EQ("", changes(before, hash_tree()));
        EXPECT_EQ(Texts(), vanta.settle(quarters % 2 ? 0 : 2, FINISHED));
        printf("    Abort with %llu bytes free: space back %lu ms after the gate opened; then %s;"
               " %zu user files and folders hashed\n",
               free, cleaned, vanta.text(IDC_STEP).c_str(), before.size());
        EXPECT_EQ(0u, vanta.close());
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str()));
        EXPECT_EQ(free_before, free_bytes_of(root));
        EXPECT_EQ("", changes(before, hash_tree()));
    }
}

// Bad input: each case gives the boxes and status that the design gives and
// loses nothing. Cases with settings and a step script of their own (NONE:
// no such file) run a copy of the program; the others the shipped one.
TEST_F(UserFiles, BadInputGivesTheDesignedMessagesAndLosesNothing)
{
    const char *NONE = "none", *ERASE = "1\r\nerase\r\n";
    std::string scratch = current_directory() + "\\proof_scratch", copy = scratch + "\\vanta.exe";
    std::string name249 = root + std::string(246, 'L'), name250 = name249 + "L", beside = root + "beside",
                read_only = volume_root("proof_ro");
    ASSERT_NE("", read_only) << "no volume proof_ro on this bench";
    ASSERT_TRUE(CreateDirectoryA(name249.c_str(), NULL) && CreateDirectoryA(name250.c_str(), NULL) &&
                write_file(name250 + "\\mine.txt", "in a folder whose name is too long"));
    ASSERT_TRUE(CreateDirectoryA((beside + "\\$VANTA$$").c_str(), NULL) &&
                write_file(beside + "\\$VANTA$$\\00000001", "the user's own, named like a work file"));
    remove_tree(scratch);
    ASSERT_TRUE(CreateDirectoryA(scratch.c_str(), NULL) &&
                CopyFileA(shipped_program().c_str(), copy.c_str(), FALSE));
    before = hash_tree(), free_before = free_bytes_of(root);
    const std::string no_room = "CreateFile(" + name249 + "\\$VANTA$$\\00000001): " + system_text(ERROR_FILENAME_EXCED_RANGE);
    auto refusal = [](const std::string &work) {  // the system's word when work can't be made
        EXPECT_FALSE(CreateDirectoryA(work.c_str(), NULL)) << work;
        return work + ": " + system_text(GetLastError());
    };
    const struct {
        const char *name, *ini, *script, *method;
        std::string folder;
        Texts boxes;
        std::string status;
    } cases[] = {
        {"no settings", NONE, ERASE, "", chosen, {}, FINISHED},
        {"empty settings", "", ERASE, "", chosen, {}, FINISHED},
        {"malformed settings", "[mode]\r\nmaxnumber=two\r\n0=ゼロ\r\nno key\r\n1=x\r\n", ERASE, "ゼロ",
         chosen, {}, FINISHED},
        {"no step script", NONE, NONE, "", chosen, {}, scratch + "\\vanta0.run: " + system_text(ERROR_FILE_NOT_FOUND).substr(0, system_text(ERROR_FILE_NOT_FOUND).size() - 2)},
        {"empty step script", NONE, "", "", chosen, {}, "手順ファイル " + scratch + "\\vanta0.run に手順数の行がありません。"},
        {"fewer steps than counted", NONE, "3\r\nerase\r\n", "", chosen, {},
         "手順ファイル " + scratch + "\\vanta0.run の手順は 1 個で、手順数 3 に足りません。"},
        {"no folder", NULL, NULL, NULL, "", {}, "フォルダ名が指定されていません。"},
        // the folder the user gave is named, not the work folder the run could not make in it
        {"nonexistent folder", NULL, NULL, NULL, root + "gone", {"指定したフォルダ " + root + "gone がありません。"},
         std::string(CANNOT_CREATE) + "\r\n指定したフォルダ " + root + "gone がありません。"},
        {"read-only volume", NULL, NULL, NULL, read_only, {refusal(read_only + "$VANTA$$")}, CANNOT_CREATE},
        {"249-byte folder: no room for a work file's name", NULL, NULL, NULL, name249, {no_room}, no_room.substr(0, no_room.size() - 2)},
        {"a bare drive letter: its root", NULL, NULL, NULL, volume, {}, FINISHED},
        {"250-byte folder", NULL, NULL, NULL, name250, {name250 + ": " + system_text(ERROR_BUFFER_OVERFLOW)}, CANNOT_CREATE},
        {"0x5C trail bytes", NULL, NULL, NULL, chosen + "\\ソ", {}, FINISHED},
        {"the user's $VANTA$$, No", NULL, NULL, NULL, beside, {question(beside + "\\$VANTA$$")},
         "既存のフォルダ " + beside + "\\$VANTA$$ は使いませんでした。消去は始めていません。"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto &[file, bytes] : {std::pair{"\\vanta.ini", c.ini}, {"\\vanta0.run", c.script}}) {
            DeleteFileA((scratch + file).c_str());
            ASSERT_TRUE(!bytes || bytes == NONE || write_file(scratch + file, bytes));
        }
        Program vanta(c.ini ? copy : shipped_program(), c.folder);
        ASSERT_TRUE(vanta.up);
        if (c.method) {   // the only method listed
            EXPECT_EQ("1 " + std::string(c.method), std::to_string(SendDlgItemMessageA(vanta.dialog,
                      IDC_METHOD, CB_GETCOUNT, 0, 0)) + " " + vanta.text(IDC_METHOD));
        }
        EXPECT_EQ(c.boxes, vanta.settle(0, c.status));
        EXPECT_EQ(0u, vanta.close());
        // no ending leaves work files, nor a folder the run made
        EXPECT_EQ(0u, count_work_files(chosen + "\\$VANTA$$"));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((volume + "\\$VANTA$$").c_str()));
        EXPECT_EQ(free_before, free_bytes_of(root)) << "the volume's space was not given back";
        remove_tree(chosen + "\\$VANTA$$");
        EXPECT_EQ("", changes(before, hash_tree()));
    }
    remove_tree(scratch);
}

static BOOL CALLBACK count_own_windows(HWND window, LPARAM count)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    *(int *)count += process == GetCurrentProcessId();
    return TRUE;
}

// The session ends half way through a fill of the 35-pass method, as Wine
// ends it (wineboot --end-session: WM_QUERYENDSESSION, WM_ENDSESSION, then
// the process is ended), in a run a scheduled task started: the run stops,
// and before its answer the work files are gone (the journal stays, to go on
// at the next Start), the user's files are as they were, and one record says
// the run was stopped; the program ends itself with that code (5), before the
// system would end it with 0. Wine ends every process with a window, so this
// one has none. The gate holds the first pass half way until the stop is taken.
TEST_F(UserFiles, TheSessionsEndStopsTheRunAndGivesTheSpaceBackBeforeItsAnswer)
{
    int own_windows = 0;
    EnumWindows(count_own_windows, (LPARAM)&own_windows);
    ASSERT_EQ(0, own_windows) << "the session's end would end this test as well";
    std::string work = chosen + "\\$VANTA$$", report = own_path() + ".session.csv";
    DeleteFileA(report.c_str());
    Gate gate("program_gated");
    ASSERT_TRUE(gate.hold("write", free_before / 2));
    Program vanta(shipped_program(), chosen, " /method:4 /start /exit /report:\"" + report + "\"");
    ASSERT_TRUE(vanta.up);
    ASSERT_TRUE(gate.held()) << "the run never got half way through its first pass";
    ASSERT_TRUE(vanta.running()) << "no run, or a box";
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str()));
    char command[] = "wineboot.exe --end-session";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION wineboot = {};
    ASSERT_TRUE(CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &wineboot));
    EXPECT_TRUE(stop_taken(vanta.process.hProcess, vanta.dialog));
    DWORD asked = GetTickCount();
    gate.open();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(vanta.process.hProcess, 30000)) << "still running after the session ended";
    DWORD ended = GetTickCount() - asked;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(wineboot.hProcess, 30000));
    CloseHandle(wineboot.hThread), CloseHandle(wineboot.hProcess);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(vanta.process.hProcess, &code);
    EXPECT_EQ(5u, code) << "the exit code a scheduler reads";
    bool bom = false;
    auto records = read_report(report, &bom);
    ASSERT_EQ(1u, records.size()) << "one run, one record";
    EXPECT_EQ("5", records[0]["exit_code"]);
    EXPECT_EQ(stopped(0) + "\r\n同じフォルダで次に開始すると、手順 1 から続けられます。", bytes_as_n(records[0]["ending"]));
    DeleteFileA(report.c_str());
    // the work files are gone; the journal stays, to go on at the next Start
    EXPECT_EQ(Texts{"vanta.journal"}, list_folder(work));
    remove_tree(work);
    EXPECT_EQ(free_before, free_bytes_of(root)) << "the volume's space was not given back";
    EXPECT_EQ("", changes(before, hash_tree()));
    printf("    session ended mid-fill: program gone, work files deleted, %lu ms after the gate opened\n", ended);
}

namespace {

// The dialog of a process, whatever its title says.
HWND dialog_of(DWORD process_id)
{
    DWORD id = 0;
    for (HWND w = NULL; (w = FindWindowExA(NULL, w, "#32770", NULL)) != NULL;)
        if (GetWindowThreadProcessId(w, &id), id == process_id && GetDlgItem(w, IDC_STATUS))
            return w;
    return NULL;
}

// vanta.exe started as a script starts it: arguments after the program, no
// one at the window (with close_at, Close is pressed once the run waits at
// that gate, half way through its first pass). Its exit code once it has
// ended by itself within the bound, or 0xFFFFFFFF (it was then ended here).
DWORD run_unattended(const std::string &exe, const std::string &arguments, Gate *close_at = nullptr,
                     DWORD bound = 120000)
{
    std::string command = "\"" + exe + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (close_at && !close_at->hold("write", free_bytes_of(volume_root("program_gated")) / 2))
        return 0xFFFFFFFD;
    if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return 0xFFFFFFFE;
    CloseHandle(process.hThread);
    if (close_at) {
        HWND dialog = NULL;
        if (close_at->held() && wait_for([&] { return (dialog = dialog_of(process.dwProcessId)) != NULL; }))
            PostMessageA(dialog, WM_CLOSE, 0, 0), stop_taken(process.hProcess, dialog);
        close_at->open();
    }
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(process.hProcess, bound) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    else
        TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hProcess);
    return code;
}

} // namespace

// vanta.exe run by a script: switches, exit codes and the report. Each row
// starts the program as a scheduled task would, waits for it to end by
// itself, and reads the record it appended: every exit code comes from a real
// case on a real volume, and no box waits for anyone.
TEST_F(UserFiles, UnattendedRunsEndByThemselvesWithTheirExitCodeAndARecord)
{
    std::string scratch = current_directory() + "\\unattended", copy = scratch + "\\vanta.exe", report = scratch + "\\reportア.csv";
    std::string deep = root + std::string(246, 'L'), work = chosen + "\\$VANTA$$", beside = root + "beside";
    std::string twenty_passes = "20\r\n";
    for (int pass = 0; pass < 20; ++pass)
        twenty_passes += "erase\r\n";
    remove_tree(scratch);
    ASSERT_TRUE(CreateDirectoryA(scratch.c_str(), NULL) && CopyFileA(shipped_program().c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(write_file(scratch + "\\vanta.ini", "[mode]\r\nmaxnumber=4\r\n0=zeros\r\n1=differs\r\n2=typo\r\n3=@SUM(1)\r\n4=long\r\n") &&
                write_file(scratch + "\\vanta4.run", twenty_passes) &&
                write_file(scratch + "\\vanta0.run", "1\r\nerase\r\n") &&
                write_file(scratch + "\\vanta1.run", "2\r\nerase,verify random\r\nverify 0\r\n") &&
                write_file(scratch + "\\vanta2.run", "1\r\nerase randon\r\n") &&
                write_file(scratch + "\\vanta3.run", "x\r\nerase\r\n"));
    ASSERT_TRUE(CreateDirectoryA(deep.c_str(), NULL) && CreateDirectoryA((beside + "\\$VANTA$$").c_str(), NULL));
    before = hash_tree(), free_before = free_bytes_of(root);
    const std::string run = " /start /exit /report:\"" + report + "\"";
    const std::string two_reports = "コマンドラインの /report:" + report + " と /report:" + scratch +
                                    "\\reportヂ.csv は、同じスイッチに違う値を指定しています。";
    // the folder the user gave is named under the text, not the work folder the run could not make in it
    const std::string gone = std::string(CANNOT_CREATE) + "\r\n指定したフォルダ " + root + "gone がありません。";
    const std::string device_ending = "\\\\.\\" + volume + " はフォルダではなく";
    std::string report_in_capitals = report;
    CharUpperA(&report_in_capitals[0]);
    const struct {
        const char *name;
        std::string arguments;
        DWORD code;
        const char *ending;   // the start of the record's ending
        bool writes;          // the volume was filled
        bool close = false;   // Close is pressed half way through the first pass (the gate holds it there)
        const char *method_name = nullptr;   // as the record gives it, when it matters
        bool recorded = true;                // a record is appended to the report
    } rows[] = {
        {"complete", "\"" + chosen + "\" /method:0" + run, 0, FINISHED, true},
        {"a verify finds differing bytes", "\"" + chosen + "\" -METHOD:1" + run, 4, "Verify error in ", true},
        {"a work file that can't be made", "\"" + deep + "\" /method:0" + run, 3, "CreateFile(", false},
        {"a word the passes can't read", "\"" + chosen + "\" /method:2" + run, 2, "手順ファイル ", false},
        // a method name from the settings file that a spreadsheet would run
        {"a count with no step", "\"" + chosen + "\" /method:3" + run, 2, "手順ファイル ", false, false, "'@SUM(1)"},
        {"an existing $VANTA$$ without /yes", "\"" + beside + "\" /method:0" + run, 6, "既存のフォルダ ", false},
        {"an existing $VANTA$$ with /yes", "\"" + beside + "\" /method:0 /yes" + run, 0, FINISHED, true},
        {"a folder that does not exist", "\"" + root + "gone\" /method:0" + run, 6, gone.c_str(), false},
        {"the drive as a device", "\\\\.\\" + volume + " /method:0" + run, 6, device_ending.c_str(), false},
        {"an unknown switch", "\"" + chosen + "\" /bogus" + run, 1, "コマンドラインの /bogus は vanta のスイッチではありません。", false},
        // a switch's name is all of it, not its start
        {"a switch run on past its name", "\"" + chosen + "\" /method:0 /startx" + run, 1, "コマンドラインの /startx は vanta のスイッチではありません。", false},
        {"a switch with a digit after it", "\"" + chosen + "\" /method:0 /exit2" + run, 1, "コマンドラインの /exit2 は vanta のスイッチではありません。", false},
        {"a method that does not exist", "\"" + chosen + "\" /method:7" + run, 1, "消去方法 7 はありません。", false},
        {"a language vanta does not speak", "\"" + chosen + "\" /method:0 /lang:de" + run, 1, "コマンドラインの /lang:de は使えません。", false},
        {"/start without a folder", "/method:0" + run, 1, "/start には消去するフォルダの指定が必要です。", false},
        {"two folders", "\"" + chosen + "\" \"" + beside + "\"" + run, 1, "フォルダが 2 つ指定されています: ", false},
        {"a switch given twice with two values", "\"" + chosen + "\" /method:0 /method:1" + run, 1,
         "コマンドラインの /method:0 と /method:1 は、同じスイッチに違う値を指定しています。", false},
        // ア and ヂ differ in a trail byte that a case-blind compare of bytes folds
        {"two reports", "\"" + chosen + "\"" + run + " \"/report:" + scratch + "\\reportヂ.csv\"", 1, two_reports.c_str(), false},
        {"a switch given twice with one value, spelled apart", "\"" + root + "gone\" /method:0 -METHOD:00" + run +
         " \"/REPORT:" + report_in_capitals + "\"", 6, gone.c_str(), false},
        {"Close during the run", "\"" + chosen + "\" /method:4" + run, 5, "中断しました。", false, true},
        // a device keeps no record (NUL), or shows it and keeps none (CON): refused as the line is read
        {"a report that is a device", "\"" + chosen + "\" /method:0 /start /exit /report:CON", 1, "", false, false, nullptr, false},
        {"a report that is a device with an extension", "\"" + chosen + "\" /method:0 /start /exit /report:nul.csv", 1, "", false,
         false, nullptr, false},
    };
    // with a person at the window, a wrong line is a box and nothing starts;
    // /? shows how to use the program, in a box
    // /? names /lang in its usage line and lists it with the other switches, before the exit codes
    const struct { const char *name, *switches; std::string box, inside; } attended[] = {
        {"an unknown switch", " /bogus /start", "コマンドラインの /bogus は vanta のスイッチではありません。使い方は vanta.exe /? で確認できます。", ""},
        {"/?", " /?", "使い方: vanta.exe [フォルダ] [/method:N] [/start] [/exit] [/yes] [/skip] [/resume] [/report:ファイル] [/lang:ja|en]\r\n\r\n"
         "フォルダ\t消去するボリューム上のフォルダ\r\n",
         "\r\n/report:ファイル\t実行の記録をファイル（CSV、UTF-8）に追加する\r\n"
         "/lang:ja|en\t表示する言語を選ぶ（ja は ANSI コード ページが 932 の Windows のみ）\r\n\r\n終了コード: "},
    };
    for (const auto &a : attended) {
        SCOPED_TRACE(a.name);
        std::string command = "\"" + copy + "\" \"" + chosen + "\"" + a.switches, shown;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION vanta = {};
        ASSERT_TRUE(CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &vanta));
        DWORD id = 0;
        for (int i = 0; i < 1000 && shown.empty(); ++i, Sleep(10))
            for (HWND w = NULL; (w = FindWindowExA(NULL, w, "#32770", "vanta")) != NULL;)
                if (GetWindowThreadProcessId(w, &id), id == vanta.dwProcessId && IsWindowVisible(w) &&
                    !(shown = window_text(w, 0xFFFF)).empty())
                    PostMessageA(w, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(0u, shown.find(a.box)) << shown;
        EXPECT_NE(std::string::npos, shown.find(a.inside)) << shown;
        TerminateProcess(vanta.hProcess, 9), CloseHandle(vanta.hProcess), CloseHandle(vanta.hThread);
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str())) << "a run started";
    }
    DeleteFileA(report.c_str());
    for (const std::string &name : list_folder(current_directory()))   // an earlier failure's
        if (_strnicmp(name.c_str(), "CON-", 4) == 0)
            DeleteFileA(name.c_str());
    size_t records = 0;
    Gate gate("program_gated");
    std::set<std::string> run_ids;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        DWORD started = GetTickCount();
        EXPECT_EQ(r.code, run_unattended(copy, r.arguments, r.close ? &gate : nullptr)) << "exit code (0xFFFFFFFF: still running, or waiting for someone)";
        DWORD took = GetTickCount() - started;
        bool bom = false;
        if (!r.recorded) {
            EXPECT_EQ(records, read_report(report, &bom).size()) << "a record of a run whose report was refused";
            for (const std::string &folder : {current_directory(), scratch})
                for (const std::string &name : list_folder(folder))
                    EXPECT_NE(0, _strnicmp(name.c_str(), "CON-", 4)) << "a record beside a device: " << folder << "\\" << name;
            EXPECT_EQ(free_before, free_bytes_of(root)) << "a run started";
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str()));
            continue;
        }
        auto report_records = read_report(report, &bom);
        EXPECT_TRUE(bom) << "the report is UTF-8 with a byte-order mark";
        ASSERT_EQ(++records, report_records.size()) << "one record a run, appended";
        auto &record = report_records.back();
        EXPECT_EQ(std::to_string(r.code), record["exit_code"]);
        EXPECT_EQ(0u, record["ending"].find(r.ending)) << record["ending"];
        EXPECT_EQ(VANTA_PROJECT_VERSION, record["version"]) << "the file version, as a machine compares it";
        EXPECT_EQ("ja", record["language"]) << "the language of ending, failures and method_name";
        EXPECT_NE("", record["computer"]);
        EXPECT_NE("", record["user"]);
        EXPECT_EQ(25u, record["started"].size()) << record["started"] << ": a time with its zone";
        EXPECT_EQ(36u, record["run_id"].size()) << record["run_id"];
        EXPECT_TRUE(run_ids.insert(record["run_id"]).second) << "a run ID again: " << record["run_id"];
        // Wine says nothing of the disk beneath but a bus
        for (const char *field : {"disk_vendor", "disk_model", "disk_serial", "solid_state", "trim"})
            EXPECT_EQ("", record[field]) << field;
        if (r.method_name) {
            EXPECT_EQ(r.method_name, record["method_name"]);
        }
        unsigned long long written = strtoull(record["bytes_written"].c_str(), NULL, 10);
        if (r.writes) {
            EXPECT_GE(written + (1 << 20), free_before) << "bytes written against the free space";
            EXPECT_LE(written, free_before + (1 << 20));
            EXPECT_EQ(std::to_string(free_before), record["free_before"]);
            EXPECT_EQ(record["free_before"], record["free_after"]) << "the space given back";
            EXPECT_EQ(volume + "\\", record["volume"]);
            EXPECT_EQ("NTFS", record["file_system"]);
            EXPECT_EQ("1", record["passes"]);
        } else if (!r.close) {
            EXPECT_EQ(0u, written);
        }
        if (r.code == 0) {
            EXPECT_EQ("erase", record["steps"]);
            EXPECT_EQ("0", record["method"]);
            EXPECT_EQ("zeros", record["method_name"]);
        }
        if (r.code == 4) {
            EXPECT_EQ("1", record["verify_differences"]);
            EXPECT_EQ("erase,verify random / verify 0", record["steps"]);
            EXPECT_NE(std::string::npos, record["failures"].find("Verify error in " + work + "\\00000001"));
        }
        printf("    %s: exit code %lu in %lu ms\n", r.name, r.code, took);
        EXPECT_EQ(free_before, free_bytes_of(root)) << "the volume's space was not given back";
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str()));
    }
    EXPECT_EQ("", changes(before, hash_tree()));
    remove_tree(deep), remove_tree(scratch);
}

// The side of proof_residue.sh for a run as a scheduled task starts it: the
// shipped method VANTA_PROOF_METHOD on VANTA_PROOF_FOLDER with /start /exit
// and a report beside the test program. 0 when the program ended by itself
// with exit code 0 and its record says so and counts the bytes it wrote.
int erase_unattended_child()
{
    const char *folder = getenv("VANTA_PROOF_FOLDER"), *method = getenv("VANTA_PROOF_METHOD");
    std::string report = own_path() + ".report.csv";
    if (!folder || !method)
        return 2;
    DeleteFileA(report.c_str());
    DWORD code = run_unattended(shipped_program(), "\"" + std::string(folder) + "\" /method:" + method +
                                                       " /start /exit /report:\"" + report + "\"", nullptr, 600000);
    bool bom = false;
    auto records = read_report(report, &bom);
    DeleteFileA(report.c_str());
    if (records.size() != 1)
        return printf("exit code %lu, %u records\n", code, (unsigned)records.size()), 1;
    auto &record = records[0];
    printf("unattended on %s: exit code %lu; the record: %s bytes written of %s free, %s free after, exit code %s\n",
           folder, code, record["bytes_written"].c_str(), record["free_before"].c_str(), record["free_after"].c_str(),
           record["exit_code"].c_str());
    // NTFS keeps the file records and index room the run's files took
    unsigned long long free_before = strtoull(record["free_before"].c_str(), NULL, 10),
                       free_after = strtoull(record["free_after"].c_str(), NULL, 10);
    return code != 0 || record["exit_code"] != "0" || free_after + (1 << 20) < free_before ||
           strtoull(record["bytes_written"].c_str(), NULL, 10) == 0;
}
TestChild erase_unattended("erase-unattended", erase_unattended_child);

// The DLLs a program imports, by the names its import table gives.
static std::set<std::string> imported_dlls(const std::string &exe)
{
    std::string image;
    std::set<std::string> names;
    if (!read_file(exe, &image) || image.size() < sizeof(IMAGE_DOS_HEADER))
        return names;
    auto at = [&](size_t offset) { return offset < image.size() ? image.data() + offset : nullptr; };
    const IMAGE_NT_HEADERS32 *nt = (const IMAGE_NT_HEADERS32 *)at(((const IMAGE_DOS_HEADER *)image.data())->e_lfanew);
    if (!nt)
        return names;
    const IMAGE_SECTION_HEADER *sections = IMAGE_FIRST_SECTION(nt);
    auto file_offset = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i)
            if (rva >= sections[i].VirtualAddress && rva < sections[i].VirtualAddress + sections[i].Misc.VirtualSize)
                return rva - sections[i].VirtualAddress + sections[i].PointerToRawData;
        return image.size();
    };
    DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (const IMAGE_IMPORT_DESCRIPTOR *d = (const IMAGE_IMPORT_DESCRIPTOR *)at(file_offset(imports)); d && d->Name; ++d) {
        std::string name = at(file_offset(d->Name)) ? at(file_offset(d->Name)) : "";
        CharLowerA(&name[0]);
        names.insert(name);
    }
    return names;
}

// vanta.exe imports only the system's known DLLs, which the system loads
// from its own folder whatever lies beside the program, and comctl32, which
// its manifest takes from the system's side-by-side store: a DLL another
// account puts beside the program (winmm.dll, say) never loads first.
TEST(StartUp, VantaImportsOnlyDllsTheSystemLoadsFromItsOwnFolder)
{
    const std::set<std::string> known = {"advapi32.dll", "comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll",
                                         "ntdll.dll", "ole32.dll", "shell32.dll", "user32.dll"};
    std::set<std::string> imported = imported_dlls(shipped_program());
    ASSERT_FALSE(imported.empty()) << "no import table read from " << shipped_program();
    for (const std::string &name : imported)
        EXPECT_TRUE(known.count(name)) << name << " loads from beside the program before the system's own";
}

// The project's version (CMakeLists.txt) is the one version of the program:
// the file and product versions of its version resource, in numbers and in
// text, and its manifest's assembly carry it whole (8.0.0.0); the About text,
// for people, names its first number. The record's version: see the
// unattended runs.
TEST(StartUp, TheVersionResourceAndTheManifestCarryTheProjectsVersion)
{
    const std::string version = VANTA_PROJECT_VERSION, exe = shipped_program();
    unsigned parts[4] = {};
    ASSERT_EQ(4, sscanf(version.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3])) << version;
    DWORD ignored = 0, size = GetFileVersionInfoSizeA(exe.c_str(), &ignored);
    std::string info(size, '\0');
    ASSERT_TRUE(size && GetFileVersionInfoA(exe.c_str(), 0, size, &info[0])) << "no version resource in " << exe;
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", (void **)&fixed, &length) && fixed);
    const DWORD high = MAKELONG(parts[1], parts[0]), low = MAKELONG(parts[3], parts[2]);
    EXPECT_EQ(high, fixed->dwFileVersionMS);
    EXPECT_EQ(low, fixed->dwFileVersionLS);
    EXPECT_EQ(high, fixed->dwProductVersionMS);
    EXPECT_EQ(low, fixed->dwProductVersionLS);
    for (const char *name : {"FileVersion", "ProductVersion"}) {
        char *text = NULL;
        std::string key = std::string("\\StringFileInfo\\041104B0\\") + name;
        EXPECT_TRUE(VerQueryValueA(info.data(), key.c_str(), (void **)&text, &length) && text) << name;
        EXPECT_EQ(version, text ? text : "") << name;
    }
    HMODULE image = LoadLibraryExA(exe.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(image) << exe;
    HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));   // RT_MANIFEST
    const char *manifest = found ? (const char *)LockResource(LoadResource(image, found)) : NULL;
    const std::string text = manifest ? std::string(manifest, SizeofResource(image, found)) : "";
    EXPECT_NE(std::string::npos, text.find("name=\"vanta\" version=\"" + version + "\"")) << text;
    for (LANGID language : {MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)}) {
        HRSRC block = FindResourceExA(image, (LPCSTR)RT_STRING, MAKEINTRESOURCEA(IDS_VERSION / 16 + 1), language);
        const WORD *at = block ? (const WORD *)LockResource(LoadResource(image, block)) : NULL;
        for (int skip = 0; at && skip < IDS_VERSION % 16; ++skip)
            at += *at + 1;
        std::string about;
        for (WORD i = 1; at && i <= at[0]; ++i)
            about += (char)at[i];
        EXPECT_EQ("Version " + std::to_string(parts[0]), about) << "the About text, language " << language;
    }
    FreeLibrary(image);
}

// ---------------------------------------------------------------- the readmes' command lines

namespace {

// A command line a readme prints, as a person copies it: its continued
// lines (cmd's ^, PowerShell's `) joined, and for "start /wait" the line
// after it that reads the exit code.
struct Printed {
    std::string kind;   // "cmd", "schtasks", "powershell", "batch", "dacl"
    std::string text;
};

std::string trimmed(const std::string &line)
{
    size_t from = line.find_first_not_of(" \t"), to = line.find_last_not_of(" \t\r");
    return from == std::string::npos ? "" : line.substr(from, to - from + 1);
}

// Every line of a readme's examples (indented, as code is there) that runs
// vanta.exe or makes its report's folder.
std::vector<Printed> printed_command_lines(const std::string &document)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < document.size();) {
        size_t end = document.find('\n', at);
        lines.push_back(document.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? document.size() : end + 1;
    }
    std::vector<Printed> found;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].compare(0, 2, "  ") != 0)
            continue;
        std::string text = trimmed(lines[i]);
        while (!text.empty() && (text.back() == '^' || text.back() == '`') && i + 1 < lines.size())
            text = trimmed(text.substr(0, text.size() - 1)) + " " + trimmed(lines[++i]);
        // a command is ASCII: the Japanese readme's prose is not
        if (std::any_of(text.begin(), text.end(), [](char c) { return (unsigned char)c >= 0x80; }))
            continue;
        const char *kind = text.compare(0, 9, "schtasks ") == 0 && text.find("vanta.exe") != std::string::npos ? "schtasks"
                           : text.compare(0, 10, "vanta.exe ") == 0                                          ? "cmd"
                           : text.compare(0, 15, "start \"\" /wait ") == 0                                   ? "batch"
                           : text.find("= Start-Process ") != std::string::npos                               ? "powershell"
                           : text.compare(0, 7, "mkdir \"") == 0 || text.compare(0, 7, "icacls ") == 0       ? "dacl"
                                                                                                             : nullptr;
        if (!kind)
            continue;
        // what reads the exit code goes with the start that gives it
        while (!strcmp(kind, "batch") && i + 1 < lines.size() &&
               (trimmed(lines[i + 1]).compare(0, 14, "if %ERRORLEVEL") == 0 ||
                trimmed(lines[i + 1]).compare(0, 16, "echo %ERRORLEVEL") == 0))
            text += "\r\n" + trimmed(lines[++i]);
        if (!strcmp(kind, "dacl") && !found.empty() && found.back().kind == "dacl")
            found.back().text += "\r\n" + text;
        else
            found.push_back(Printed{kind, text});
    }
    return found;
}

// The command line a scheduled task hands vanta: its /tr, \" as ".
std::string task_command(const std::string &text)
{
    size_t at = text.find("/tr \"");
    std::string command;
    for (at = at == std::string::npos ? text.size() : at + 5; at < text.size() && text[at] != '"'; ++at)
        if (text[at] == '\\' && at + 1 < text.size() && text[at + 1] == '"')
            command += '"', ++at;
        else
            command += text[at];
    return command;
}

// The command line PowerShell's Start-Process hands vanta: the program
// quoted, then the -ArgumentList items joined by blanks; $env:X as cmd
// names it (%X%).
std::string start_process_command(const std::string &text)
{
    auto item = [&](size_t &at) {   // a quoted item or a bare word at at
        std::string value;
        char quote = text[at] == '\'' || text[at] == '"' ? text[at++] : 0;
        for (; at < text.size() && (quote ? text[at] != quote : text[at] != ' ' && text[at] != ','); ++at)
            value += text[at];
        at += quote != 0;
        return std::regex_replace(value, std::regex("\\$env:([A-Za-z]+)"), "%$1%");
    };
    auto blanks = [&](size_t &at) { at = std::min(text.size(), text.find_first_not_of(' ', at)); };
    size_t at = text.find("-FilePath ");
    at = at != std::string::npos ? at + 10 : text.find("Start-Process ") + 14;
    std::string command = "\"" + item(at) + "\"";
    at = text.find("-ArgumentList ");
    for (at = at == std::string::npos ? text.size() : at + 14; at < text.size();) {
        blanks(at);
        command += " " + item(at);
        blanks(at);
        if (at >= text.size() || text[at] != ',')
            break;
        ++at;
    }
    return command;
}

// Runs command (a command line, or with batch a batch file's text) with
// environment, in folder, to its end: its exit code; *output gets what a
// batch printed.
DWORD run_as_windows(const std::string &command, const std::vector<std::string> &environment,
                     const std::string &folder, bool batch, std::string *output = nullptr)
{
    std::string block, line = command, file = folder + "\\printed.cmd", printed = folder + "\\printed.txt";
    for (const std::string &variable : environment)
        block += variable + '\0';
    block += '\0';
    if (batch) {
        write_file(file, "@echo off\r\n" + command + "\r\n");
        line = "cmd.exe /c \"" + file + "\"";
    }
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE out = CreateFileA(printed.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, NULL);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup, startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    DWORD code = 0xFFFFFFFE;
    // a program named without a folder is found in the current one, as cmd finds it there
    const std::string own_folder = current_directory();
    SetCurrentDirectoryA(folder.c_str());
    BOOL started = CreateProcessA(NULL, &line[0], NULL, NULL, TRUE, 0, &block[0], folder.c_str(), &startup, &process);
    SetCurrentDirectoryA(own_folder.c_str());
    if (started) {
        code = WaitForSingleObject(process.hProcess, 600000) == WAIT_OBJECT_0 ? 0 : 0xFFFFFFFF;
        if (!code)
            GetExitCodeProcess(process.hProcess, &code);
        TerminateProcess(process.hProcess, 99), CloseHandle(process.hProcess), CloseHandle(process.hThread);
    }
    CloseHandle(out);
    if (output) {
        read_file(printed, output);
        output->erase(std::remove(output->begin(), output->end(), '\r'), output->end());
    }
    DeleteFileA(file.c_str()), DeleteFileA(printed.c_str());
    return code;
}

// A command line as cmd expands it: its environment's %X% put in.
std::string expanded(const std::string &command, const std::vector<std::string> &environment, const std::string &folder)
{
    std::string output;
    run_as_windows("echo " + command, environment, folder, true, &output);
    return trimmed(output.substr(0, output.find('\n')));
}

} // namespace

// Every command line that README.md, readme.txt and readme_ja.txt print
// runs as printed on a fresh PC: the scheduled tasks' (the /tr that
// Task Scheduler hands vanta, its %variables% as cmd expands them), the
// PowerShell examples' (what Start-Process hands it), the plain ones and
// the batch lines through cmd /c, with program_gated (a few MiB free) in
// D:'s place, %ProgramFiles% holding the program and %ProgramData% without
// a vanta folder yet, a folder standing for the share. Each ends 0, and a
// line with /report leaves its record there, the file version in it; the
// first one makes %ProgramData%\vanta, closed to other accounts (Wine keeps
// the protected DACL as the folder's mode). The DACL step, run first on a
// fresh %ProgramData%, makes a folder the run then writes its record in.
TEST(Readmes, EveryCommandLineTheyPrintRunsAsPrintedOnAFreshPC)
{
    const std::string root = volume_root("program_gated"), scratch = current_directory() + "\\readmes",
                      program_files = scratch + "\\Program Files", folder = program_files + "\\vanta",
                      share = scratch + "\\audit", source = std::string("Z:") + VANTA_SOURCE_DIR;
    ASSERT_NE("", root) << "no volume program_gated on this bench";
    const std::string filler = unix_path(root) + "/filler";
    clear_volume(root), remove_tree(scratch);
    // the program where %ProgramFiles% says, its methods beside it
    const std::string built = shipped_program().substr(0, shipped_program().size() - 4);
    ASSERT_TRUE(CreateDirectoryA(scratch.c_str(), NULL) && CreateDirectoryA(program_files.c_str(), NULL) &&
                CreateDirectoryA(folder.c_str(), NULL) && CreateDirectoryA(share.c_str(), NULL));
    for (std::string end : {".exe", ".ini", "0.run", "1.run", "2.run", "3.run", "4.run"})
        ASSERT_TRUE(CopyFileA((built + end).c_str(), (folder + "\\vanta" + end).c_str(), FALSE)) << end;
    // a volume with a few MiB free: 35 passes over it take seconds
    ASSERT_TRUE(run_unix("head -c " + std::to_string(free_bytes_of(root) - (8 << 20)) + " /dev/zero >'" + filler + "'"));
    std::vector<std::string> base;
    for (char *at = GetEnvironmentStringsA(); *at; at += strlen(at) + 1)
        if (_strnicmp(at, "ProgramFiles=", 13) && _strnicmp(at, "ProgramData=", 12))
            base.push_back(at);
    base.push_back("ProgramFiles=" + program_files);
    int pcs = 0;
    // a fresh PC's %ProgramData%: no vanta folder in it yet
    auto fresh_pc = [&] {
        std::string data = scratch + "\\ProgramData" + std::to_string(++pcs);
        CreateDirectoryA(data.c_str(), NULL);
        std::vector<std::string> environment = base;
        environment.push_back("ProgramData=" + data);
        return environment;
    };
    std::map<std::string, size_t> records;
    // one printed line on a PC: the code it ends with, and the record it promises
    auto run = [&](const Printed &p, const std::vector<std::string> &environment, bool folder_made_here) {
        std::string text = std::regex_replace(p.text, std::regex("(^| |')D:\\\\"), "$1" + root);
        text = std::regex_replace(text, std::regex("\\\\\\\\audit\\\\vanta"), share);
        SCOPED_TRACE(p.kind + ": " + text);
        std::string output, command = text;
        DWORD code;
        if (p.kind == "batch" || p.kind == "dacl") {
            code = run_as_windows(text, environment, folder, true, &output);
            EXPECT_EQ(std::string::npos, ("\n" + output).find("\nvanta ended with")) << output;
            if (text.find("echo %ERRORLEVEL%") != std::string::npos) {
                EXPECT_EQ("0\n", output.substr(output.size() >= 2 ? output.size() - 2 : 0)) << output;
            }
        } else {
            command = expanded(p.kind == "schtasks" ? task_command(text) : p.kind == "powershell" ? start_process_command(text) : text,
                               environment, folder);
            EXPECT_NE(std::string::npos, command.find("vanta.exe")) << command;
            code = run_as_windows(command, environment, folder, false);
        }
        EXPECT_EQ(0u, code) << command << "\n" << output;
        printf("    %s: exit code %lu: %s\n", p.kind.c_str(), code, command.substr(0, command.find("\r\n")).c_str());
        if (p.kind == "dacl")
            return;
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((root + "$VANTA$$").c_str())) << "the work folder left";
        std::smatch report;
        const std::string line = expanded(command, environment, folder);
        if (!std::regex_search(line, report, std::regex("/report:([^ \"]+)")))
            return;
        const std::string path = report[1], made = path.substr(0, path.rfind('\\'));
        bool bom = false;
        Records got = read_report(path, &bom);
        ASSERT_EQ(++records[path], got.size()) << path << ": one more record";
        EXPECT_EQ("0", got.back()["exit_code"]);
        EXPECT_EQ(VANTA_PROJECT_VERSION, got.back()["version"]);
        if (folder_made_here) {
            EXPECT_TRUE(run_unix("test $(( 0$(stat -c %a '" + unix_path(made) + "') & 7 )) = 0"))
                << made << ": vanta made it open to other accounts";
        }
    };
    for (const char *name : {"README.md", "docs\\readme.txt", "docs\\readme_ja.txt"}) {
        SCOPED_TRACE(name);
        std::string document;
        ASSERT_TRUE(read_file(source + "\\" + name, &document));
        const std::vector<Printed> lines = printed_command_lines(document);
        ASSERT_GE(lines.size(), 5u) << "the readme's examples were not found";
        // every example in its order on a fresh PC, the first making the report's folder
        std::vector<std::string> pc = fresh_pc();
        bool first = true;
        for (const Printed &p : lines)
            if (p.kind != "dacl") {
                run(p, pc, first && p.text.find("/report:%ProgramData%") != std::string::npos);
                first = first && p.text.find("/report:%ProgramData%") == std::string::npos;
            }
        EXPECT_FALSE(first) << "no example reports to %ProgramData%";
        // the DACL step on a fresh PC, then the first example that reports there
        for (const Printed &p : lines)
            if (p.kind == "dacl") {
                pc = fresh_pc();
                run(p, pc, false);
                for (const Printed &example : lines)
                    if (example.kind != "dacl" && example.text.find("/report:%ProgramData%") != std::string::npos) {
                        run(example, pc, false);
                        break;
                    }
            }
    }
    run_unix("rm -f '" + filler + "'");
    clear_volume(root), remove_tree(scratch);
}

// Eight runs ending at once on one report that does not exist yet, as a
// fleet's scheduled tasks do on a share. A placeholder holds the report's
// name (and vanishes when let go) until every run has reached its record, so
// that all of them make the file or append to it in the same moment: eight
// whole records under one header (a second one would read as a record),
// nothing beside it.
TEST(RunReports, EightRunsEndingAtOnceGiveEightWholeRecordsUnderOneHeader)
{
    const std::string root = volume_root("program_gated"), scratch = current_directory() + "\\fleet",
                      copy = scratch + "\\vanta.exe", report = scratch + "\\fleet.csv";
    ASSERT_NE("", root) << "no volume program_gated on this bench";
    clear_volume(root), remove_tree(scratch), CreateDirectoryA(scratch.c_str(), NULL);
    ASSERT_TRUE(CopyFileA(shipped_program().c_str(), copy.c_str(), FALSE) &&
                write_file(scratch + "\\vanta.ini", "[mode]\r\nmaxnumber=0\r\n0=look\r\n") &&
                write_file(scratch + "\\vanta0.run", "1\r\nlook\r\n"));
    HANDLE placeholder = CreateFileA(report.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, NULL,
                                     CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, NULL);
    std::vector<PROCESS_INFORMATION> runs(8);
    std::set<std::string> folders, recorded, run_ids;
    for (size_t i = 0; i < runs.size(); ++i) {
        std::string folder = root + "run" + std::to_string(i);
        std::string command = "\"" + copy + "\" \"" + folder + "\" /method:0 /start /exit /report:\"" + report + "\"";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL) && folders.insert(folder).second &&
                    CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &runs[i]));
    }
    // a run shows its ending before it writes its record; one that has ended is past it
    for (DWORD start = GetTickCount(), at_record = 0; at_record < 8 && GetTickCount() - start < 60000; Sleep(20)) {
        at_record = 0;
        for (const auto &run : runs)
            at_record += !WaitForSingleObject(run.hProcess, 0) || (dialog_of(run.dwProcessId) &&
                         window_text(dialog_of(run.dwProcessId), IDC_STATUS).compare(0, strlen(FINISHED), FINISHED) == 0);
    }
    CloseHandle(placeholder);
    for (const auto &run : runs) {
        DWORD code = 99;
        WaitForSingleObject(run.hProcess, 30000), GetExitCodeProcess(run.hProcess, &code);
        EXPECT_EQ(0u, code) << "exit code";
        TerminateProcess(run.hProcess, 99), CloseHandle(run.hProcess), CloseHandle(run.hThread);
    }
    bool bom = false;
    Records records = read_report(report, &bom);
    EXPECT_TRUE(bom);
    EXPECT_EQ(8u, records.size()) << "whole records, one a run";
    for (auto &record : records)
        recorded.insert(record["folder"]), run_ids.insert(record["run_id"]);
    EXPECT_EQ(folders, recorded);
    EXPECT_EQ(8u, run_ids.size()) << "a run ID for each run";
    EXPECT_EQ(Texts({"fleet.csv", "vanta.exe", "vanta.ini", "vanta0.run"}), list_folder(scratch)) << "a record beside the report";
    clear_volume(root), remove_tree(scratch);
}

namespace {

// A method of four passes, in a copy of vanta.exe of its own under scratch.
const char FOUR_PASSES[] = "4\r\nerase random\r\nerase 0x55\r\nerase random\r\nerase 0xaa\r\n";

std::string four_pass_program(const std::string &scratch)
{
    remove_tree(scratch);
    std::string copy = scratch + "\\vanta.exe";
    if (!CreateDirectoryA(scratch.c_str(), NULL) || !CopyFileA(shipped_program().c_str(), copy.c_str(), FALSE) ||
        !write_file(scratch + "\\vanta.ini", "[mode]\r\nmaxnumber=1\r\n0=one\r\n1=four\r\n") ||
        !write_file(scratch + "\\vanta0.run", "1\r\nerase\r\n") || !write_file(scratch + "\\vanta1.run", FOUR_PASSES))
        return "";
    return copy;
}

// The four-pass method run on folder as a scheduled task runs it, cut short
// in its second pass by the session's end (as wineboot ends it) or by the
// process being killed, then started again with /resume. With a gate the run
// is held half way through pass 2 until the stop is taken; without one it is
// cut short once its label says pass 2, wherever it has got to by then.
// *first: the first part's exit code; *journal: the journal it left; *second:
// the second part's. between, when given, comes before the second part.
// "" when all of that happened, else what did not.
std::string interrupt_and_go_on(const std::string &exe, const std::string &folder, const std::string &report,
                                bool killed, Gate *gate, DWORD *first, std::string *journal, DWORD *second,
                                const std::function<void()> &between = nullptr)
{
    std::string command = "\"" + exe + "\" \"" + folder + "\" /method:1 /start /exit /report:\"" + report + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (gate && !gate->hold("write", free_bytes_of(folder) * 3 / 2))
        return "no gate";
    if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return "vanta.exe did not start";
    CloseHandle(process.hThread);
    HWND dialog = NULL;
    std::string step;
    bool there = wait_for([&] {
        dialog = dialog_of(process.dwProcessId);
        step = dialog ? window_text(dialog, IDC_STEP) : "";
        return step.compare(0, 12, "step 2 of 4:") == 0;
    }) && (!gate || gate->held());
    // the label is up before the step is in the journal: without a gate
    // (which holds the pass's first write, after the journal), the stop comes
    // once the journal, read from the Unix side (the run holds it unshared),
    // names the step
    const std::string unix_journal = unix_path(folder + "$VANTA$$\\vanta.journal");
    if (there && !gate && !wait_for([&] { return run_unix("grep -qa 'step=2' '" + unix_journal + "'"); }))
        there = false, step += ", its journal not at step 2";
    if (!there) {
        TerminateProcess(process.hProcess, 99), CloseHandle(process.hProcess);
        return "never in pass 2 (" + step + ")";
    }
    if (killed) {
        TerminateProcess(process.hProcess, 99);
    } else {
        char end_session[] = "wineboot.exe --end-session";
        PROCESS_INFORMATION wineboot = {};
        if (CreateProcessA(NULL, end_session, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &wineboot)) {
            stop_taken(process.hProcess, dialog);
            if (gate)
                gate->open();
            WaitForSingleObject(wineboot.hProcess, 30000), CloseHandle(wineboot.hThread), CloseHandle(wineboot.hProcess);
        }
    }
    WaitForSingleObject(process.hProcess, 30000);
    if (gate)
        gate->open();
    GetExitCodeProcess(process.hProcess, first);
    CloseHandle(process.hProcess);
    read_file(folder + "$VANTA$$\\vanta.journal", journal);
    if (between)
        between();
    *second = run_unattended(exe, "\"" + folder + "\" /method:1 /start /exit /resume /report:\"" + report + "\"");
    return "";
}

// The step a journal names, 0 for none.
int journal_step(const std::string &journal)
{
    size_t at = journal.find("\r\nstep=");
    return at == std::string::npos ? 0 : atoi(journal.c_str() + at + 7);
}

// The side of proof_residue.sh: the four-pass method on VANTA_PROOF_FOLDER
// (the volume's root), cut short in pass 2 or later (VANTA_PROOF_KILL set:
// killed, else the session's end) and gone on with. 0 when it went on from
// the step its journal named, ran the passes left and ended complete with
// its work folder gone.
int erase_resumed_child()
{
    const char *folder = getenv("VANTA_PROOF_FOLDER");
    std::string scratch = current_directory() + "\\resumed", report = scratch + "\\report.csv";
    std::string exe = four_pass_program(scratch), journal;
    if (!folder || exe.empty())
        return printf("no folder, or no copy of vanta.exe\n"), 1;
    DWORD first = 0, second = 0;
    std::string why = interrupt_and_go_on(exe, folder, report, getenv("VANTA_PROOF_KILL") != NULL, nullptr, &first,
                                          &journal, &second);
    bool bom = false;
    auto records = read_report(report, &bom);
    int step = journal_step(journal);
    printf("%s in pass %d: exit code %lu; with /resume: exit code %lu, resumed from step %s, %s passes\n",
           getenv("VANTA_PROOF_KILL") ? "killed" : "the session's end", step, first, second,
           records.empty() ? "?" : records.back()["resumed_from_step"].c_str(),
           records.empty() ? "?" : records.back()["passes"].c_str());
    remove_tree(scratch);
    bool gone = GetFileAttributesA((std::string(folder) + "$VANTA$$").c_str()) == INVALID_FILE_ATTRIBUTES;
    if (!records.empty() && (second != 0 || !gone))
        printf("    the record's ending: %s %s\n", records.back()["ending"].c_str(), records.back()["failures"].c_str());
    for (const std::string &name : gone ? Texts() : list_folder(std::string(folder) + "$VANTA$$"))
        printf("    left in the work folder: %s\n", name.c_str());
    if (!why.empty() || step < 2 || second != 0 || records.empty() ||
        records.back()["resumed_from_step"] != std::to_string(step) ||
        records.back()["passes"] != std::to_string(4 - step + 1) || !gone)
        return printf("FAILED: %s\n", why.empty() ? "the run did not go on from its journal's pass to a complete end" : why.c_str()), 1;
    return 0;
}
TestChild erase_resumed("erase-resumed", erase_resumed_child);

} // namespace

// A long run goes on from the pass it was in: the four-pass method, cut short
// in pass 2 by the session's end (its record says so, and where to go on
// from) or by the process being killed (no record), leaves its journal; with
// /resume the run goes on from pass 2 (its leftovers deleted without a
// question, the first part's run ID kept), writes three passes, and leaves no
// work folder and no journal; the user's files are as they were.
// The volume turns read-only half way through the fill (the gate lets the
// held write go and refuses every change from then on, as a volume remounted
// read-only does): the run ends with 3, and every work file it could not
// delete is named with the reason, in the ending and in the record, and the
// folder with them. Wine says yes to each deletion and keeps the file: a
// file is gone only when its name is.
TEST_F(UserFiles, AVolumeThatTurnsReadOnlyMidRunNamesEveryFileLeft)
{
    const std::string work = chosen + "\\$VANTA$$", report = current_directory() + "\\read-only.csv";
    const std::string stayed = "削除したのに、まだ残っています。ほかのプログラムが開いたままか、ボリュームが読み取り専用になっています。";
    DeleteFileA(report.c_str());
    Gate gate("program_gated");
    ASSERT_TRUE(gate.hold("write", free_before / 2));
    std::string command = "\"" + shipped_program() + "\" \"" + chosen + "\" /method:0 /start /exit /report:\"" + report + "\"";
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(start_process(command, &process));
    EXPECT_TRUE(gate.held()) << "the fill never got half way";
    ASSERT_TRUE(gate.say("readonly"));
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    else
        TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hProcess);
    EXPECT_EQ(3u, code);
    Texts left = list_folder(work);
    bool bom = false;
    auto records = read_report(report, &bom);
    ASSERT_EQ(1u, records.size());
    auto &record = records[0];
    EXPECT_EQ("3", record["exit_code"]);
    size_t files = 0;
    for (const std::string &name : left) {
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;   // the journal: no work file
        ++files;
        const std::string line = work + "\\" + name + " " + stayed;
        EXPECT_NE(std::string::npos, record["ending"].find(line)) << "the ending does not name " << name << ":\n" << record["ending"];
        EXPECT_NE(std::string::npos, record["failures"].find(line)) << "the record's failures do not name " << name;
    }
    EXPECT_GT(files, 0u) << "no work file left: the volume did not turn read-only";
    EXPECT_NE(std::string::npos, record["ending"].find("フォルダを削除できません。")) << "the folder, with them";
    gate.open();
    remove_tree(work);
    EXPECT_EQ(free_before, free_bytes_of(root)) << "the space, once the volume takes changes again";
    EXPECT_EQ("", changes(before, hash_tree()));
    DeleteFileA(report.c_str());
}

TEST_F(UserFiles, ALongRunGoesOnFromItsPassAfterTheSessionsEndOrAKilledProcess)
{
    int own_windows = 0;
    EnumWindows(count_own_windows, (LPARAM)&own_windows);
    ASSERT_EQ(0, own_windows) << "the session's end would end this test as well";
    const std::string scratch = current_directory() + "\\going_on", report = scratch + "\\report.csv";
    const std::string exe = four_pass_program(scratch), work = chosen + "\\$VANTA$$";
    ASSERT_FALSE(exe.empty());
    const struct { const char *name; bool killed; DWORD first_code; size_t records; } rows[] = {
        {"the session's end", false, 5, 2}, {"a killed process", true, 99, 1},
    };
    Gate gate("program_gated");
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        DeleteFileA(report.c_str());
        DWORD first = 0, second = 0;
        std::string journal;
        // after the kill, the dialog opened on the folder shows the killed run's
        // method; Start asks about it, naming it and its pass, and says what
        // Yes and No do (the program is ended while the question waits)
        std::string selected, asked;
        auto look = [&] {
            Program vanta(exe, chosen + "\\");
            if (!vanta.up)
                return;
            selected = std::to_string(SendDlgItemMessageA(vanta.dialog, IDC_METHOD, CB_GETCURSEL, 0, 0));
            vanta.command(IDC_START);
            HWND box = NULL;
            wait_for([&] { return (box = vanta.find(vanta.dialog)) != NULL; });
            asked = box ? window_text(box, 0xFFFF) : "";
            // gone, and its hold on the folder with it, before the next part starts
            TerminateProcess(vanta.process.hProcess, 99), WaitForSingleObject(vanta.process.hProcess, 30000);
        };
        ASSERT_EQ("", interrupt_and_go_on(exe, chosen + "\\", report, r.killed, &gate, &first, &journal, &second,
                                          r.killed ? std::function<void()>(look) : nullptr));
        if (r.killed) {
            const size_t at = journal.find("\r\nstarted="), end = journal.find("\r\n", at + 2);
            const std::string started = at == std::string::npos ? "?" : journal.substr(at + 10, end - at - 10);
            EXPECT_EQ("1", selected) << "the killed run's method (four), selected";
            EXPECT_EQ("このフォルダの前回の実行（消去方法「four」、" + started + " 開始）は、手順 2/4（上書き 2/4 回目） で中断されました。"
                      "手順 2 から続けますか？\r\n「はい」: 前回の作業ファイルを削除して、手順 2 から続けます。\r\n"
                      "「いいえ」: 前回の作業ファイルを削除して、手順 1 から始めます。", asked);
        }
        EXPECT_EQ(r.first_code, first) << "the first part's exit code";
        EXPECT_NE(std::string::npos, journal.find("\r\nstep=2\r\nsteps=4\r\n")) << journal.substr(0, 200);
        EXPECT_EQ(0u, second) << "the part that went on";
        bool bom = false;
        auto records = read_report(report, &bom);
        ASSERT_EQ(r.records, records.size());
        auto &last = records.back();
        EXPECT_EQ("2", last["resumed_from_step"]);
        EXPECT_EQ("3", last["passes"]) << "passes 2 to 4";
        unsigned long long written = strtoull(last["bytes_written"].c_str(), NULL, 10);
        EXPECT_LE(written, 3 * free_before);
        EXPECT_GE(written + (3 << 20), 3 * free_before) << "three passes over the free space";
        if (r.records == 2) {
            EXPECT_EQ("", records[0]["resumed_from_step"]);
            EXPECT_EQ(records[0]["run_id"], last["run_id"]) << "the run keeps its ID";
            EXPECT_NE("", last["run_id"]);
            EXPECT_EQ("5", records[0]["exit_code"]);
        }
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str())) << "work folder or journal left";
        EXPECT_EQ(free_before, free_bytes_of(root)) << "the volume's space was not given back";
        EXPECT_EQ("", changes(before, hash_tree()));
    }
    remove_tree(scratch);
}

// Another account writes into the folder vanta erases, as it may on a PC
// where vanta runs as SYSTEM: links and hard links planted in an existing
// work folder, a journal changed after the run was cut short, a second run
// on the folder, a report inside the work folder or that is a link. Made
// from outside the program, as another account would make them (links under
// Wine can only be made so; the work folder swapped mid-run is the dialog's
// table's: a rename through this volume waits for the write it holds). Each
// row: every byte of the user's files, on the volume and on another one, is
// kept; no run hangs; the ending and the exit code say what happened; the
// run's own files go.
TEST_F(UserFiles, AnotherAccountsLinksAndRenamesTouchNoByteOutsideTheWorkFolder)
{
    const std::string build = getenv("VANTA_BUILD_DIR") ? getenv("VANTA_BUILD_DIR") : "";
    // through the volume, as another account's programs make them
    const std::string unix_chosen = build + "/volumes/program_gated/chosen",
                      unix_work = unix_chosen + "/$VANTA$$", elsewhere = build + "/volumes/elsewhere";
    const std::string scratch = current_directory() + "\\hostile", report = scratch + "\\report.csv";
    const std::string exe = four_pass_program(scratch), work = chosen + "\\$VANTA$$";
    ASSERT_FALSE(exe.empty());
    // files on another volume (this machine's own disk), named as work files
    // are, and a second name for one of them to give as the report
    ASSERT_TRUE(run_unix("rm -rf '" + elsewhere + "' && mkdir -p '" + elsewhere + "/folder' && for n in 00000001 00000002 0001; do "
                         "head -c 70000 /dev/urandom >'" + elsewhere + "/folder/'$n; done && head -c 5000 /dev/urandom >'" +
                         elsewhere + "/journal.txt' && ln '" + elsewhere + "/journal.txt' '" + elsewhere + "/report.csv'"));
    auto elsewhere_hashes = [&] {
        std::string sums;
        run_unix("cd '" + elsewhere + "' && find . -type f | sort | xargs sha256sum >'" + build + "/volumes/elsewhere.sums'");
        read_file(build_path("volumes/elsewhere.sums"), &sums);
        return sums;
    };
    const std::string elsewhere_before = elsewhere_hashes();
    ASSERT_NE("", elsewhere_before);
    const std::string run = " /method:1 /start /exit /report:\"" + report + "\"";   // the four passes
    const std::string in_use = "既存のフォルダ ";
    enum Act { NONE, KILL_THEN_CHANGE, SECOND_RUN };
    const struct {
        const char *name;
        std::string plant;      // made from outside before the run
        std::string arguments;
        Act act;                // what happens while the gate holds the run in its second pass
        DWORD code;
        std::string ending;     // the start of the record's ending ("": no record)
        std::string left;       // what stays in the work folder (names, one a line), "-": none
        bool space_back;        // the volume has its free space back
    } rows[] = {
        {"links and hard links planted in an existing work folder",
         "mkdir '" + unix_work + "' && ln -s '" + elsewhere + "/journal.txt' '" + unix_work + "/vanta.journal' && "
         "ln -s '" + elsewhere + "/folder/00000001' '" + unix_work + "/00000001' && "
         "ln '" + unix_chosen + "/0000/00000004' '" + unix_work + "/00000002' && "
         "ln -s '" + unix_chosen + "/0000/00000054' '" + unix_work + "/vanta.journal.new'",
         "\"" + chosen + "\" /yes" + run, NONE, 0, FINISHED, "00000001\r\n00000002\r\nvanta.journal\r\nvanta.journal.new\r\n", true},
        // the killed run's file is no one's the changed journal can vouch for
        {"a journal changed after the run was cut short", "", "\"" + chosen + "\" /resume /yes" + run, KILL_THEN_CHANGE, 0,
         FINISHED, "00000001\r\nvanta.journal\r\n", false},
        {"a second run on the folder a run holds", "", "\"" + chosen + "\"" + run, SECOND_RUN, 0, FINISHED, "-", true},
        {"a report in the work folder there is", "mkdir '" + unix_work + "'",
         "\"" + chosen + "\" /method:0 /start /exit /yes /report:\"" + work + "\\r.csv\"", NONE, 1, "", "", true},
        {"a report in the work folder to be made", "", "\"" + chosen + "\" /method:0 /start /exit /report:\"" + work + "\\r.csv\"",
         NONE, 1, "", "-", true},
        {"a report that is a second name of another's file", "",
         "\"" + chosen + "\" /method:0 /start /exit /report:\"" + build_path("volumes/elsewhere/report.csv") + "\"", NONE, 1, "",
         "-", true},
    };
    Gate gate("program_gated");
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        DeleteFileA(report.c_str());
        ASSERT_TRUE(r.plant.empty() || run_unix(r.plant));
        const unsigned long long free_row = free_bytes_of(root);
        std::string second_ending;
        DWORD code = 0, second_code = 0;
        if (r.act == NONE) {
            code = run_unattended(exe, r.arguments);
        } else {
            // the four-pass method, held at the gate half way through its second pass
            ASSERT_TRUE(gate.hold("write", free_before * 3 / 2));
            std::string command = "\"" + exe + "\" " + (r.act == KILL_THEN_CHANGE ? "\"" + chosen + "\"" + run : r.arguments);
            PROCESS_INFORMATION process = {};
            ASSERT_TRUE(start_process(command, &process));
            ASSERT_TRUE(gate.held()) << "the run never got to its second pass";
            if (r.act == SECOND_RUN) {
                // no rename by another Windows program, and no second run: the folder is held
                EXPECT_FALSE(MoveFileA(work.c_str(), (chosen + "\\renamed").c_str()));
                EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
                second_code = run_unattended(exe, "\"" + chosen + "\" /yes /resume" + run);
                bool bom = false;
                auto records = read_report(report, &bom);
                second_ending = records.empty() ? "" : records.back()["ending"];
            } else {
                TerminateProcess(process.hProcess, 99);
                WaitForSingleObject(process.hProcess, 30000);
            }
            gate.open();
            if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0)
                TerminateProcess(process.hProcess, 99);
            GetExitCodeProcess(process.hProcess, &code);
            CloseHandle(process.hProcess);
            if (r.act == KILL_THEN_CHANGE) {
                // moved on two steps, and sealed again as anyone could, without the run's key
                std::string journal;
                ASSERT_TRUE(read_file(work + "\\vanta.journal", &journal));
                ASSERT_NE(std::string::npos, journal.find("\r\nstep=2\r\n"));
                journal.replace(journal.find("\r\nstep=2\r\n"), 10, "\r\nstep=4\r\n");
                size_t seal = journal.find("seal=") + 5;
                journal.replace(seal, 64, std::string(64, 'f'));
                ASSERT_TRUE(write_file(work + "\\vanta.journal", journal));
                DeleteFileA(report.c_str());
                code = run_unattended(exe, r.arguments);
            }
        }
        EXPECT_EQ(r.code, code) << "exit code (0xFFFFFFFF: it did not end)";
        bool bom = false;
        auto records = read_report(report, &bom);
        if (r.ending.empty()) {
            EXPECT_TRUE(records.empty() || r.code != 1) << "a record for a report refused";
        } else {
            ASSERT_FALSE(records.empty());
            EXPECT_EQ(0u, records.back()["ending"].find(r.ending)) << records.back()["ending"];
            EXPECT_EQ(std::to_string(r.code), records.back()["exit_code"]);
        }
        if (r.act == KILL_THEN_CHANGE) {
            EXPECT_EQ("", records.back()["resumed_from_step"]) << "went on from a journal someone else changed";
            EXPECT_EQ("4", records.back()["passes"]);
        }
        if (r.act == SECOND_RUN) {
            EXPECT_EQ(6u, second_code) << "the second run";
            EXPECT_EQ(0u, second_ending.find(work + " は別の実行（または別のプログラム）が使用中のため、使いませんでした。")) << second_ending;
            EXPECT_EQ(2u, records.size());
            EXPECT_NE(records.front()["run_id"], records.back()["run_id"]);
        }
        // every byte of the user's, on this volume and on the other one
        EXPECT_EQ("", changes(before, hash_tree()));
        EXPECT_EQ(elsewhere_before, elsewhere_hashes());
        if (r.left == "-") {
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str())) << "the work folder is left";
        } else {
            std::string left;
            for (const std::string &name : list_folder(work))
                left += name + "\r\n";
            EXPECT_EQ(r.left, left);
        }
        if (r.space_back) {
            EXPECT_EQ(free_row, free_bytes_of(root)) << "the volume's space was not given back";
        }
        run_unix("rm -rf '" + unix_work + "'");
    }
    run_unix("rm -rf '" + elsewhere + "'");
    remove_tree(scratch);
}

namespace {

// A text of another process's window as Unicode: what the user reads.
std::wstring wide_text(HWND window, int id)
{
    WCHAR text[4096] = L"";
    GetDlgItemTextW(window, id, text, 4096);
    return text;
}

// "" for a text of plain ASCII; else the first character that is not (a "?"
// for a lost character is caught by the exact texts beside these checks).
std::string not_english(const std::wstring &text)
{
    for (WCHAR c : text)
        if (c >= 0x7F || (c < 0x20 && c != L'\r' && c != L'\n' && c != L'\t'))
            return "U+" + std::to_string((unsigned)c) + " in a text of " + std::to_string(text.size());
    return "";
}

// vanta.exe started with a UTF-16 command line; its exit code once it has ended by itself.
DWORD run_wide(const std::wstring &command_line)
{
    std::wstring command = command_line;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return 0xFFFFFFFE;
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    TerminateProcess(process.hProcess, 99), CloseHandle(process.hProcess), CloseHandle(process.hThread);
    return code;
}

std::wstring wide(const std::string &ansi)
{
    std::wstring text(ansi.size(), L'\0');
    text.resize(MultiByteToWideChar(CP_ACP, 0, ansi.data(), (int)ansi.size(), &text[0], (int)text.size()));
    return text;
}

} // namespace

// Where the ANSI code page is not 932 (ctest's ui_program_tests_1252 runs
// this under code page 1252), and with /lang:en under 932: every text vanta
// itself shows, read back as Unicode, is its English text whole (no "?" for
// a lost character, no Japanese, no mojibake): the dialog, the shipped
// methods' English names, a question, an aborted and a finished run, the /?
// box and the record; a folder name best-fit mapping would change is refused.
TEST(English, EveryTextVantaShowsReadsBackAsItsEnglishTextWhole)
{
    const bool japanese_windows = GetACP() == 932;
    const std::string lang = japanese_windows ? " /lang:en" : "", root = volume_root("program_gated"),
                      scratch = current_directory() + "\\english", copy = scratch + "\\vanta.exe",
                      folder = root + "english", work = folder + "\\$VANTA$$", report = scratch + "\\report.csv";
    ASSERT_NE("", root) << "no volume program_gated on this bench";
    clear_volume(root), remove_tree(scratch);
    std::string built = shipped_program().substr(0, shipped_program().size() - 4);
    ASSERT_TRUE(CreateDirectoryA(scratch.c_str(), NULL) && CopyFileA(shipped_program().c_str(), copy.c_str(), FALSE) &&
                CreateDirectoryA(folder.c_str(), NULL) && CreateDirectoryA(work.c_str(), NULL));
    for (std::string end : {".ini", "0.run", "1.run", "2.run", "3.run", "4.run"})
        ASSERT_TRUE(CopyFileA((built + end).c_str(), (scratch + "\\vanta" + end).c_str(), FALSE)) << end;
    {
        Program vanta(copy, folder, lang);
        ASSERT_TRUE(vanta.up);
        const struct { int id; std::wstring text; } controls[] = {
            {IDC_METHOD_LABEL, L"Erase &method:"}, {IDC_FOLDER_LABEL, L"&Folder:"}, {IDC_BROWSE, L"&Browse..."},
            {IDC_START, L"&Start"}, {IDABORT, L"&Abort"}, {IDCANCEL, L"&Close"}, {IDC_STEP, L"Version 8"},
            {IDC_STATUS, L"Erases the unused space of a disk. Choose an erase method and a folder."}};
        for (const auto &c : controls)
            EXPECT_EQ(c.text, wide_text(vanta.dialog, c.id)) << "control " << c.id;
        std::vector<std::wstring> methods;
        for (WCHAR name[256]; SendDlgItemMessageW(vanta.dialog, IDC_METHOD, CB_GETLBTEXT, methods.size(), (LPARAM)name) > 0;)
            methods.push_back(name);
        EXPECT_EQ((std::vector<std::wstring>{L"Zeros, one pass", L"Random data, one pass (usually enough)", L"Zeros, one pass, verified",
                                             L"3 passes, verified (DoD style)", L"35 passes (Gutmann)"}),
                  methods);

        // the question about the existing folder, asked by the run; Abort
        // while it waits, then Yes: the run stops before it writes
        vanta.start_method(0);
        HWND box = NULL;
        for (int i = 0; i < 1000 && !(box = vanta.find(vanta.dialog)); ++i)
            Sleep(10);
        ASSERT_TRUE(box) << "no question about the existing folder";
        EXPECT_EQ(L"Do you want to continue?\r\n" + wide(work) + L"\r\nThe folder already exists. If you continue,\r\n"
                  L"the files already in it are left as they are.\r\nThe folder stays after the erase has ended.",
                  wide_text(box, 0xFFFF));
        vanta.command(IDABORT);
        for (int i = 0; i < 1000 && wide_text(vanta.dialog, IDC_STATUS) != L"Aborting..."; ++i)
            Sleep(10);
        EXPECT_EQ(L"Aborting...", wide_text(vanta.dialog, IDC_STATUS));
        PostMessageA(box, WM_COMMAND, IDYES, 0);
        for (int i = 0; i < 6000 && !IsWindowEnabled(GetDlgItem(vanta.dialog, IDC_START)); ++i)
            Sleep(10);
        EXPECT_EQ(L"Aborted.", wide_text(vanta.dialog, IDC_STATUS));

        ASSERT_TRUE(RemoveDirectoryA(work.c_str()));
        vanta.settle(0, FINISHED_EN);
        std::wstring finished = wide_text(vanta.dialog, IDC_STATUS);
        EXPECT_EQ(0u, finished.find(L"The erase has finished.\r\nOverwrote ")) << not_english(finished);
        EXPECT_NE(std::wstring::npos, finished.find(L" bytes (passes: 1), time taken ")) << not_english(finished);
        EXPECT_EQ("", not_english(finished));
        EXPECT_EQ(0u, vanta.close());
    }
    {
        // a program of its own: its first figures show at once, not held back
        // by the second-long pause after another run's last ones
        Program vanta(copy, folder, lang);
        ASSERT_TRUE(vanta.up);
        // an Abort once the run has written: under Aborted., what it had
        // done and that the space is back
        Gate gate("program_gated");
        ASSERT_TRUE(gate.hold("write", 1 << 20));
        vanta.start_method(0);
        ASSERT_TRUE(gate.held()) << "the run never got there";
        // the figures shown before the first write, each with its words and unit
        const std::string figures = window_text(vanta.dialog, IDC_STATUS);
        EXPECT_TRUE(std::regex_match(figures, std::regex("Pass 1 of 1: [0-9,]+ KB written, [0-9,]+ MB left(\r\nSpeed [0-9,]+ (B|KB|MB|GB)/s)?"))) << figures;
        vanta.command(IDABORT);
        for (int i = 0; i < 1000 && wide_text(vanta.dialog, IDC_STATUS) != L"Aborting..."; ++i)
            Sleep(10);
        gate.open();
        vanta.settle(-1, "Aborted.\r\nBefore the stop, 0 pass(es) had finished; N bytes were overwritten and N bytes verified.\r\n"
                         "The work files were deleted and the free space given back.");
        EXPECT_EQ("", not_english(wide_text(vanta.dialog, IDC_STATUS)));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str()));
        EXPECT_EQ(0u, vanta.close());
    }
    {
        // a run of method 3 killed in its second pass, held there by the gate:
        // the dialog opened on the folder shows that method, and Start asks
        // about it, naming it and its pass (the program is ended while the
        // question waits); with another method the question says the run
        // can't go on, and No deletes its leftovers
        Gate gate("program_gated");
        ASSERT_TRUE(gate.hold("write", free_bytes_of(root) * 3 / 2));
        std::string command = "\"" + copy + "\" \"" + folder + "\" /method:3 /start /exit" + lang, journal;
        PROCESS_INFORMATION killed = {};
        ASSERT_TRUE(start_process(command, &killed));
        EXPECT_TRUE(gate.held()) << "the run never got to its second pass";
        TerminateProcess(killed.hProcess, 99), WaitForSingleObject(killed.hProcess, 30000), CloseHandle(killed.hProcess);
        gate.open();
        ASSERT_TRUE(read_file(work + "\\vanta.journal", &journal));
        const size_t at = journal.find("\r\nstarted="), end = journal.find("\r\n", at + 2);
        const std::string started = at == std::string::npos ? "?" : journal.substr(at + 10, end - at - 10),
                          interrupted = "The last run in this folder (method \"3 passes, verified (DoD style)\", started " +
                                        started + ") was interrupted at step 2 of 3 (pass 2 of 3)";
        const struct { const char *name; int method; std::string question; int answer; std::string status; } starts[] = {
            {"the killed run's method", -1, interrupted + ". Do you want to continue from step 2?\r\n"
             "Yes: its work files are deleted and the erase goes on from step 2.\r\n"
             "No: its work files are deleted and the erase starts again from step 1.", 0, ""},
            {"another method", 0, interrupted + ", but it cannot be continued because the erase method or its step script differs. "
             "Do you want to start the method you chose, \"Zeros, one pass\", from step 1?\r\n"
             "Yes: the last run's work files are deleted and \"Zeros, one pass\" starts from step 1.\r\n"
             "No: the last run's work files are deleted and nothing new is erased.", IDNO,
             "The interrupted run's work files were deleted from " + work + ". No new erase was started."},
        };
        for (const auto &st : starts) {
            SCOPED_TRACE(st.name);
            Program vanta(copy, folder, lang);
            ASSERT_TRUE(vanta.up);
            EXPECT_EQ(3, SendDlgItemMessageA(vanta.dialog, IDC_METHOD, CB_GETCURSEL, 0, 0)) << "the killed run's method, selected";
            if (st.method >= 0)
                SendDlgItemMessageA(vanta.dialog, IDC_METHOD, CB_SETCURSEL, st.method, 0);
            SetDlgItemTextA(vanta.dialog, IDC_STATUS, ""), vanta.command(IDC_START);
            HWND box = NULL;
            wait_for([&] { return (box = vanta.find(vanta.dialog)) != NULL; });
            ASSERT_TRUE(box) << "no question";
            EXPECT_EQ(wide(st.question), wide_text(box, 0xFFFF));
            if (!st.answer) {
                // ended while the question waits: the journal and the leftovers as they were
                TerminateProcess(vanta.process.hProcess, 99), WaitForSingleObject(vanta.process.hProcess, 30000);
                continue;
            }
            PostMessageA(box, WM_COMMAND, st.answer, 0);
            wait_for([&] { return vanta.text(IDC_STATUS) == st.status; });
            EXPECT_EQ(wide(st.status), wide_text(vanta.dialog, IDC_STATUS));
            EXPECT_EQ(0u, vanta.close());
        }
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str())) << "the interrupted run's folder left";
    }
    {
        // the box comes while the dialog is being made, before it shows
        std::string command = "\"" + copy + "\" /?" + lang;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process));
        std::wstring usage;
        DWORD id = 0;
        for (int i = 0; i < 1000 && usage.empty(); ++i, Sleep(10))
            for (HWND w = NULL; (w = FindWindowExA(NULL, w, "#32770", "vanta")) != NULL;)
                if (GetWindowThreadProcessId(w, &id), id == process.dwProcessId && IsWindowVisible(w))
                    usage = wide_text(w, 0xFFFF);
        TerminateProcess(process.hProcess, 9), CloseHandle(process.hProcess), CloseHandle(process.hThread);
        EXPECT_EQ(0u, usage.find(L"Usage: vanta.exe [folder] [/method:N] [/start] [/exit] [/yes] [/skip] [/resume] [/report:file] [/lang:ja|en]\r\n\r\n"
                                 L"folder\tA folder on the volume to erase\r\n")) << not_english(usage);
        EXPECT_NE(std::wstring::npos, usage.find(L"\r\n/report:file\tAppends the run's record to the file (CSV, UTF-8)\r\n"
                                                 L"/lang:ja|en\tChooses the language of vanta's texts (ja only on Windows whose ANSI code page is 932)\r\n\r\n"
                                                 L"Exit codes: ")) << not_english(usage);
        EXPECT_EQ("", not_english(usage));
    }

    // the record: a finished run, an existing folder refused unattended (its
    // question in failures), a folder name the code page can't hold
    const std::string run = " /method:0 /start /exit /report:\"" + report + "\"" + lang;
    ASSERT_TRUE(CreateDirectoryA((root + "kept").c_str(), NULL) && CreateDirectoryA((root + "kept\\$VANTA$$").c_str(), NULL));
    const WCHAR look_alike = japanese_windows ? L'\x00A5' : L'\xFF0E';   // best fit: "\" under 932, "." under 1252
    const std::wstring lost = wide(root) + L"a" + look_alike + L"b";
    struct Row { const char *name; DWORD got, code; std::string ending, failures, method_name; };   // got: the run's exit code
    std::vector<Row> rows = {
        {"finished", run_unattended(copy, "\"" + folder + "\"" + run), 0, "The erase has finished.\r\nOverwrote ", "", "Zeros, one pass"},
        {"an existing folder", run_unattended(copy, "\"" + root + "kept\"" + run), 6,
         "The existing folder " + root + "kept\\$VANTA$$ was not used. Nothing was erased.",
         "Do you want to continue?\r\n" + root + "kept\\$VANTA$$\r\nThe folder already exists.", "Zeros, one pass"},
        {"a folder that does not exist", run_unattended(copy, "\"" + root + "gone\"" + run), 6,
         "The folder cannot be created.\r\nThe folder you gave, " + root + "gone, does not exist.",
         "The folder you gave, " + root + "gone, does not exist.", "Zeros, one pass"},
        {"a folder name the code page can't hold", run_wide(L"\"" + wide(copy) + L"\" \"" + lost + L"\"" + wide(run)), 6,
         root + "a?b has characters that this Windows' code page cannot show (shown as ?). They would turn it into another name, "
                "so this name is not used.", "", "Zeros, one pass"},
    };
    if (!japanese_windows)   // Japanese texts read only in code page 932
        rows.push_back({"Japanese without code page 932", run_unattended(copy, "\"" + folder + "\"" + run + " /lang:ja"), 1,
                        "/lang:ja on the command line cannot be used: Japanese texts need the ANSI code page 932, and this Windows uses code page " +
                            std::to_string(GetACP()) + ". Leave /lang:ja out to run in English, or set the language for non-Unicode programs "
                            "to Japanese (Control Panel, Region, Administrative) and restart Windows.", "", "Zeros, one pass"});
    std::string bytes;
    ASSERT_TRUE(read_file(report, &bytes));
    EXPECT_TRUE(std::all_of(bytes.begin() + 3, bytes.end(), [](char c) { return (unsigned char)c < 0x80; }))
        << "a record that is not ASCII behind its byte-order mark";
    bool bom = false;
    Records records = read_report(report, &bom);
    ASSERT_EQ(rows.size(), records.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(rows[i].code, rows[i].got);
        EXPECT_EQ(std::to_string(rows[i].code), records[i]["exit_code"]);
        EXPECT_EQ(0u, records[i]["ending"].find(rows[i].ending)) << records[i]["ending"];
        EXPECT_EQ(0u, records[i]["failures"].find(rows[i].failures)) << records[i]["failures"];
        EXPECT_EQ(rows[i].method_name, records[i]["method_name"]);
        EXPECT_EQ("en", records[i]["language"]);
    }

    // valid both ways: C3 A9 is UTF-8 "é" and code page 932's "ﾃｩ"; each
    // Windows reads it the way it can show
    ASSERT_TRUE(write_file(scratch + "\\vanta.ini", "[mode]\r\nmaxnumber=0\r\n0.en=Caf\xC3\xA9\r\n"));
    Program vanta(copy, folder, lang);
    WCHAR name[64] = L"";
    SendDlgItemMessageW(vanta.dialog, IDC_METHOD, CB_GETLBTEXT, 0, (LPARAM)name);
    EXPECT_EQ(japanese_windows ? L"Caf\xFF83\xFF69" : L"Caf\xE9", std::wstring(name));
    vanta.close();
    clear_volume(root), remove_tree(scratch);
}
