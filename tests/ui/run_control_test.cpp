// Start, Abort, Close, the work folder and every way a run ends, with scripts.
#include <errno.h>
#include <process.h>
#include <string.h>
#include <algorithm>
#include "dialog_bench.h"

static const char CANNOT_CREATE[] = "フォルダを作成できません。", FINISHED[] = "消去が終了しました。",
                  ABORTED[] = "中断しました。";

// A failure's text as the status box keeps it at the end: without the line
// break that ends the system's texts.
static std::string kept(const std::string &text) { return text.substr(0, text.find_last_not_of("\r\n") + 1); }

static std::string question(const std::string &work) { return "処理を続けますか？\r\n" + work + "\r\n"; }

// The status box without the summary line that follows "finished".
static std::string outcome(const std::string &status)
{
    return status.compare(0, strlen(FINISHED) + 2, FINISHED + std::string("\r\n")) ? status : FINISHED;
}

// Every ending through the real dialog on a real volume (tmpfs X:). At
// "step 2 of N: look" the worker waits in its SetDlgItemTextA: the volume must
// be full of work files there, and the run may be aborted or closed. Whatever
// the ending, the free space afterwards is what it was before, and the
// user's files (a folder whose name leaves no room for a work file's among
// them, and the target of a link) are as they were.
TEST_F(DialogBench, EveryEndingTellsWhatHappenedAndGivesTheSpaceBack)
{
    const std::string deep = root + std::string(249 - root.size(), 'f'), narrow = root + std::string(249 - root.size(), 'w');
    const std::string target = root + "target", script_path = beside_exe("1.run");
    ASSERT_TRUE(CreateDirectoryA(narrow.c_str(), NULL) && CreateDirectoryA(target.c_str(), NULL));
    ASSERT_TRUE(write_file(target + "\\00000001", "the user's, named like a work file") &&
                write_file(target + "\\notes", "the user's"));
    user_files = digest_tree(root);
    const unsigned long long free_before = free_bytes_of(root);
    const char *fill = "2\r\nerase,verify 0x5a\r\nlook\r\n", *fill_more = "3\r\nerase,verify 0x5a\r\nlook\r\nerase\r\n";
    auto warning = [](std::string path, DWORD code) { return path + ": " + system_text(code); };
    const std::string no_room = "CreateFile(" + narrow + "\\$VANTA$$\\00000001): " + system_text(ERROR_FILENAME_EXCED_RANGE);
    const std::string link_text = work + " は別の場所を指すリンク（ジャンクションまたはシンボリックリンク）です。"
                                         "リンク先のファイルを消さないよう、このフォルダは使いません。";
    enum { NONE, ABORT, CLOSE };            // what the user does at "look"
    enum { MADE, USERS, LINK };             // the work folder before Start: made by the run, the user's, a link
    enum { GONE, EMPTY, A_LINK };           // the work folder after the run
    const struct {
        const char *name;
        std::string folder;
        const char *script;
        int act, before, after, to_question;
        std::string status;
        Strings boxes;
    } endings[] = {
        {"complete", root, fill, NONE, MADE, GONE, 0, FINISHED, {}},
        {"a bare drive letter means its root", root.substr(0, 2), fill, NONE, MADE, GONE, 0, FINISHED, {}},
        {"no folder", "", "", NONE, MADE, GONE, 0, "フォルダ名が指定されていません。", {}},
        {"a folder of 250 bytes", deep + "f", "", NONE, MADE, GONE, 0, CANNOT_CREATE, {warning(deep + "f", ERROR_BUFFER_OVERFLOW)}},
        {"a folder that does not exist", deep, "", NONE, MADE, GONE, 0, CANNOT_CREATE,
         {warning(deep + "\\$VANTA$$", ERROR_PATH_NOT_FOUND)}},
        {"no step script", root, nullptr, NONE, MADE, GONE, 0, script_path + ": " + strerror(ENOENT), {}},
        {"an empty step script", root, "", NONE, MADE, GONE, 0, "手順ファイル " + script_path + " に手順数の行がありません。", {}},
        {"fewer step lines than counted", root, "3\r\nerase\r\n", NONE, MADE, GONE, 0,
         "手順ファイル " + script_path + " の手順は 1 個で、手順数 3 に足りません。", {}},
        {"a work file that can't be created", narrow, "1\r\nerase\r\n", NONE, MADE, GONE, 0, kept(no_room), {no_room}},
        {"a word with a trailing blank, LF line ends: random, not zeros", root, "2\nerase,verify random \nverify 0\n",
         NONE, MADE, GONE, 0, "Verify error in " + work + "\\00000001", {}},
        {"the user's folder, Yes", root, "1\r\nerase\r\n", NONE, USERS, EMPTY, IDYES, FINISHED, {question(work)}},
        {"abort", root, fill_more, ABORT, MADE, GONE, 0, ABORTED, {}},
        // right after an aborted run whose folder was ours: that mark is gone
        {"the user's folder after an aborted run, No", root, "1\r\nerase\r\n", NONE, USERS, EMPTY, IDNO, CANNOT_CREATE,
         {question(work)}},
        {"close", root, fill_more, CLOSE, MADE, GONE, 0, ABORTED, {}},
        {"a link in the work folder's place", root, "1\r\nerase\r\n", NONE, LINK, A_LINK, 0, link_text, {link_text}},
    };
    for (const auto &e : endings) {
        SCOPED_TRACE(e.name);
        ControlLog steps(dialog, IDC_STEP);
        std::string looked;
        steps.on_text = [&](const std::string &text) {
            if (text.find(": look") == std::string::npos)
                return;
            looked = check_work_files(work, block_of(0x5a).data()).problem;
            looked += free_bytes_of(root) < 64u * 1024 ? "full" : "not full";
            if (e.act == ABORT)
                press(IDABORT), looked += " " + text_of(IDC_STATUS) + " " + controls();
            if (e.act == CLOSE)   // handled once the worker goes on
                PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        };
        if (e.before == USERS) {
            ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
        }
        if (e.before == LINK) {
            ASSERT_NE("", unix_path(root));
            ASSERT_TRUE(run_unix("ln -s target '" + unix_path(root) + "/$VANTA$$'"));
            ASSERT_EQ((DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT), GetFileAttributesA(work.c_str()));
        }
        answer = [&](const BoxRecord &) { return e.to_question ? e.to_question : IDOK; };
        quit_seen = false, boxes.clear();

        start_in(e.folder, e.script, 1);   // the second method
        ASSERT_TRUE(until([&] { return wipe_job.thread_id == 0 && (e.act != CLOSE || quit_seen); }));

        EXPECT_EQ(e.script == fill || e.script == fill_more ? std::string("full") + (e.act == ABORT ? " 中断しています... 000001" : "") : "",
                  looked);
        EXPECT_EQ(e.status, outcome(text_of(IDC_STATUS)));
        Strings shown;
        for (const BoxRecord &b : boxes)   // a question by its first lines
            shown.push_back(b.text.compare(0, 18, question("").substr(0, 18)) ? b.text : b.text.substr(0, question(work).size()));
        EXPECT_EQ(e.boxes, shown);
        DWORD attributes = GetFileAttributesA(work.c_str());
        int after = attributes == INVALID_FILE_ATTRIBUTES ? GONE : attributes & FILE_ATTRIBUTE_REPARSE_POINT ? A_LINK : EMPTY;
        EXPECT_EQ(e.after, after);
        if (after == EMPTY) {
            EXPECT_EQ(Strings{}, list_folder(work));
        }
        EXPECT_EQ(free_before, free_bytes_of(root)) << "the volume's space was not given back";
        EXPECT_EQ(user_files, digest_tree(root)) << "a file outside the work folder changed";
        EXPECT_EQ("111101", controls());
        remove_tree(work);
    }
}

// While the worker asks about an existing folder, a second Start is refused, a
// WM_WIPE_DONE that is not the worker's own is let pass, and Close waits for
// the worker once, letting its status text through. A worker that does not
// end in time is left alone: one box, the program ends, nothing of its folder
// is removed under it.
TEST_F(DialogBench, CloseWaitsForTheWorkerOnceAndLeavesOneThatDoesNotStopAlone)
{
    stop_wait_ms = 1500;
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    for (bool stubborn : {false, true}) {
        SCOPED_TRACE(stubborn ? "a worker that does not stop" : "a worker that stops");
        ControlLog status(dialog, IDC_STATUS);
        bool folder_at_end = false;
        answer = [&](const BoxRecord &box) {   // No to the question once Close has been given
            if (box.text == "Thread did not stop in 15 seconds.")
                return IDOK;
            // a stubborn worker answers only once the program has ended its side
            while (abort_flag != 1 || (stubborn && !quit_seen))
                Sleep(10);
            folder_at_end = GetFileAttributesA(work.c_str()) != INVALID_FILE_ATTRIBUTES;
            return IDNO;
        };
        boxes.clear(), box_count = quit_seen = 0, start_in(root, "1\r\nerase\r\n");
        ASSERT_TRUE(until([&] { return box_count == 1; }));
        start_in(root + "user", nullptr, 1);   // the button is grey: a Start from elsewhere
        EXPECT_EQ("すでに開始しています。", text_of(IDC_STATUS));
        EXPECT_EQ(work, work_folder_path);
        PostMessageA(dialog, WM_WIPE_DONE, 0, 0);   // not the worker's: the run goes on
        until([] { return false; }, 300);
        EXPECT_NE(0u, wipe_job.thread_id);
        EXPECT_EQ("000011", controls());
        PostMessageA(dialog, WM_CLOSE, 0, 0);   // stops the run, then again as the window goes
        ASSERT_TRUE(until([&] { return quit_seen && (stubborn ? box_count >= 2 : true); }));
        EXPECT_FALSE(IsWindow(dialog));
        EXPECT_EQ(stubborn ? 2 : 1, box_count) << "one question, and the time-out at most once";
        EXPECT_EQ(stubborn, boxes.back().text == "Thread did not stop in 15 seconds.");
        ASSERT_TRUE(until([] { return !wipe_job.thread || !WaitForSingleObject(wipe_job.thread, 0); }));
        EXPECT_TRUE(folder_at_end) << "the user's folder went under a running worker";
        EXPECT_EQ(Strings{}, list_folder(work));   // the user's folder, as it was
        EXPECT_TRUE(status.saw("中断しています..."));
        CloseHandle(wipe_job.thread), ZeroMemory((void *)&wipe_job, sizeof wipe_job);
        open_dialog();
    }
}

static volatile LONG may_end;
static unsigned __stdcall slow_to_end(void *job)
{
    ((WipeJob *)job)->finished = 1;
    PostMessageA(((WipeJob *)job)->owner, WM_WIPE_DONE, 0, 0);
    while (!may_end)
        Sleep(10);
    return 0;
}

// A worker that posted its end and then did not end within the wait: one box,
// the run is not collected and nothing of its folder is touched; once it has
// ended it is collected without another box.
TEST_F(DialogBench, AWorkerSlowToEndAfterItsEndIsCollectedWhenItHasEnded)
{
    stop_wait_ms = 300;
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    strcpy(work_folder_path, work.c_str());
    work_folder_created = 1;
    may_end = 0;
    unsigned id = 0;
    wipe_job.owner = dialog, wipe_job.abort_ptr = &abort_flag;
    wipe_job.thread = (HANDLE)_beginthreadex(NULL, 0, slow_to_end, &wipe_job, 0, &id);
    wipe_job.thread_id = id;
    SetDlgItemTextA(dialog, IDC_STATUS, "running");
    ASSERT_TRUE(until([&] { return box_count == 1; }));
    EXPECT_EQ("Thread did not stop in 15 seconds.", boxes.at(0).text);
    until([] { return false; }, 700);
    EXPECT_EQ(id, wipe_job.thread_id) << "collected while it still ran";
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str())) << "its folder removed under it";
    EXPECT_EQ("running", text_of(IDC_STATUS));
    may_end = 1;
    ASSERT_TRUE(until([] { return wipe_job.thread_id == 0; }, 10000));
    EXPECT_EQ(1, box_count);
    EXPECT_EQ(FINISHED, outcome(text_of(IDC_STATUS)));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str()));
    EXPECT_EQ("111101", controls());
}

// Every call a second and a tenth after the last: each write shows its
// figures, and a speed.
static DWORD WINAPI quick_tick(void)
{
    static DWORD tick;
    return tick += 1100;
}
static long long quick_time(void)
{
    static long long time;
    return time += 11000000;
}

// The number in text after prefix, its thousands separators dropped.
static unsigned long long count_after(const std::string &text, const std::string &prefix)
{
    size_t at = text.find(prefix);
    std::string digits;
    for (at = at == std::string::npos ? text.size() : at + prefix.size(); at < text.size(); ++at)
        if (isdigit((unsigned char)text[at]))
            digits += text[at];
        else if (text[at] != ',')
            break;
    return digits.empty() ? ~0ull : std::stoull(digits);
}

// A run of three passes, the second verified, on the dialog's volume. The
// bar and the title, looked at whenever the run shows a text, only move
// forward; the bar is full at the end and the title the program's name again.
// The verify shows what it has left to read and its speed like the fill, and
// later texts the time left; the summary counts the bytes the volume had free
// once for each pass, and those the verify read.
TEST_F(DialogBench, TheBarTitleAndStatusFollowTheRunAndItsSummarySaysWhatItDid)
{
    const unsigned long long free_before = free_bytes_of(root);
    EXPECT_EQ(0, SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_GETPOS, 0, 0)) << "empty before the first Start";
    ProgressTimeProc real_time = progress_time;
    progress_tick = quick_tick, progress_time = quick_time;
    ControlLog status(dialog, IDC_STATUS), steps(dialog, IDC_STEP);
    std::vector<int> bar;
    Strings titles, verify_texts;
    bool time_left_seen = false;
    auto look = [&](const std::string &) {
        char title[64] = "";
        GetWindowTextA(dialog, title, sizeof title);
        bar.push_back((int)SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_GETPOS, 0, 0)), titles.push_back(title);
    };
    steps.on_text = look;
    status.on_text = [&](const std::string &text) {
        look(text);
        if (text.find("\r\n残り約 ") != std::string::npos)
            time_left_seen = true;
        if (text_of(IDC_STEP) == "step 2 of 3: erase,verify 0x22" && (text == "verify" || !verify_texts.empty()))
            verify_texts.push_back(text);
    };
    start_in(root, "3\r\nerase 0x11\r\nerase,verify 0x22\r\nerase random\r\n", 1);
    ASSERT_TRUE(collected());
    progress_tick = GetTickCount, progress_time = real_time;

    ASSERT_GE(bar.size(), 6u);
    for (size_t i = 1; i < bar.size(); ++i)
        EXPECT_LE(bar[i - 1], bar[i]) << "the bar moved back at look " << i;
    EXPECT_LT(bar[bar.size() / 2], RUN_PROGRESS_FULL);
    EXPECT_EQ(RUN_PROGRESS_FULL, SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_GETPOS, 0, 0));
    for (size_t i = 1; i + 1 < titles.size(); ++i) {   // the first look is the Start's, the last the end's
        std::string percent = std::to_string(bar[i] / 10) + "% - vanta";
        EXPECT_TRUE(titles[i] == percent || titles[i] == std::to_string(bar[i - 1] / 10) + "% - vanta")
            << titles[i] << " at look " << i << ", the bar at " << bar[i];
    }
    char title[64] = "";
    GetWindowTextA(dialog, title, sizeof title);
    EXPECT_EQ("vanta", std::string(title));

    ASSERT_GE(verify_texts.size(), 2u) << "the verify showed nothing but its name";
    EXPECT_EQ("verify", verify_texts[0]);
    EXPECT_EQ("0\r\nspeed ", verify_texts.back().substr(0, 9)) << "nothing left to read, and how fast it went";
    EXPECT_TRUE(time_left_seen) << "no time left shown";

    std::string summary = text_of(IDC_STATUS);
    ASSERT_EQ(FINISHED, outcome(summary)) << summary;
    unsigned long long written = count_after(summary, "上書き "), verified = count_after(summary, "検証 ");
    EXPECT_LE(written, 3 * free_before);
    EXPECT_GE(written + 3 * 4096, 3 * free_before);
    EXPECT_EQ(free_before, verified);
    EXPECT_NE(std::string::npos, summary.find(" バイト（3 回）、検証 ")) << summary;
    EXPECT_NE(std::string::npos, summary.find("、所要時間 ")) << summary;
}

// The code a write past the failing disk's limit gets, as any program sees it.
static DWORD failing_write_code(const std::string &root)
{
    std::string path = root + "probe.bin";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    std::string block(1 << 20, 'p');
    DWORD written = 0, code = 0;
    for (int i = 0; i < 64 && !code; ++i)
        if (!WriteFile(file, block.data(), (DWORD)block.size(), &written, NULL))
            code = GetLastError();
    CloseHandle(file), DeleteFileA(path.c_str());
    return code;
}

// Disks and Windows that don't keep still, through the real dialog on real
// volumes: a disk whose writes start failing (a FUSE file system that fails
// writes past 8 MiB of a file, Q:), a work file another program holds open
// during the deletion on a drive Windows takes for FAT (E:), and Abort after
// a difference or during the deletion. (The session's end, which Wine ends by
// ending the processes, is vanta.exe's own test.)
// Each ends with the truth in the status box, the work files it could delete
// gone, the bar full only for a complete run, and the user's files as they were.
TEST_F(DialogBench, DisksAndWindowsThatDoNotKeepStillEndTruthfully)
{
    enum Act { NOTHING, HOLD_A_MOMENT, HOLD_LONG, ABORT_AT_LOOK, ABORT_AT_DELETION };
    const std::string failing = volume_root("dialog_failing"), fat = volume_root("dialog_fat");
    ASSERT_FALSE(failing.empty() || fat.empty()) << "no failing or FAT-type volume on this bench";
    clear_volume(failing), clear_volume(fat);
    const DWORD broken = failing_write_code(failing);
    ASSERT_TRUE(broken != 0 && broken != ERROR_DISK_FULL && broken != ERROR_HANDLE_DISK_FULL) << broken;
    const std::string fat_work = fat + "$VANTA$$", held = fat_work + "\\00000001";
    const std::string write_failed = "WriteFile(" + failing + "$VANTA$$\\00000001): " + system_text(broken);
    const char *fill = "2\r\nerase,verify 0x5a\r\nlook\r\n";
    const struct {
        const char *name;
        std::string volume;
        const char *script;
        Act act;
        std::string status;
        Strings boxes, left;
    } rows[] = {
        {"writes fail part way", failing, "1\r\nerase\r\n", NOTHING, kept(write_failed), {write_failed}, {}},
        {"a work file held for a moment", fat, fill, HOLD_A_MOMENT, FINISHED, {}, {}},
        {"a work file held past the retries", fat, fill, HOLD_LONG,
         kept(held + " " + system_text(ERROR_SHARING_VIOLATION)) + "\r\nフォルダを削除できません。",
         {held + "\r\n" + system_text(ERROR_SHARING_VIOLATION), fat_work + ": " + system_text(ERROR_DIR_NOT_EMPTY)},
         {"00000001"}},
        {"Abort after a verify difference", root, "3\r\nerase,verify random\r\nverify 0\r\nlook\r\n", ABORT_AT_LOOK,
         std::string(ABORTED) + "\r\nVerify error in " + work + "\\00000001", {}, {}},
        {"Abort during the final deletion", root, fill, ABORT_AT_DELETION, FINISHED, {}, {}},
        // the last step's label is up and it has nothing to do: every step has done its work
        {"Abort at a last step with nothing to do", root, fill, ABORT_AT_LOOK, FINISHED, {}, {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const std::string row_work = r.volume + "$VANTA$$";
        if (r.volume != root)
            plant_user_files(r.volume);
        const auto files_before = digest_tree(r.volume);
        const unsigned long long free_before = free_bytes_of(r.volume);
        ControlLog steps(dialog, IDC_STEP), status(dialog, IDC_STATUS);
        HANDLE holder = NULL;
        int bar_at_deletion = -1;
        steps.on_text = [&](const std::string &text) {
            if (text.find(": look") == std::string::npos)
                return;
            if (r.act == HOLD_A_MOMENT || r.act == HOLD_LONG) {
                holder = hold_open(row_work + "\\00000001", r.act == HOLD_LONG ? 6000 : 1000);
                write_file(row_work + "\\00000002", ""), write_file(row_work + "\\00000003", "");
            }
            if (r.act == ABORT_AT_LOOK)
                press(IDABORT);
        };
        status.on_text = [&](const std::string &text) {
            if (text != "作業ファイルを削除しています...")
                return;
            bar_at_deletion = (int)SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_GETPOS, 0, 0);
            if (r.act == ABORT_AT_DELETION)
                press(IDABORT);
        };
        boxes.clear();
        start_in(r.volume, r.script, 1);
        ASSERT_TRUE(collected());
        EXPECT_EQ(r.status, outcome(text_of(IDC_STATUS)));
        Strings shown;
        for (const BoxRecord &b : boxes)
            shown.push_back(b.text);
        EXPECT_EQ(r.boxes, shown);
        EXPECT_EQ(r.left, list_folder(row_work)) << "work files left";
        if (r.left.empty()) {
            EXPECT_EQ(free_before, free_bytes_of(r.volume)) << "the volume's space was not given back";
        } else {
            EXPECT_LT(free_bytes_of(r.volume), free_before) << "a held file's space can't be back";
        }
        EXPECT_NE(-1, bar_at_deletion) << "no deletion at the end";
        EXPECT_LT(bar_at_deletion, RUN_PROGRESS_FULL) << "full before the run had ended";
        EXPECT_EQ(r.status == FINISHED, SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_GETPOS, 0, 0) == RUN_PROGRESS_FULL)
            << "the bar is full at the end of a complete run, and only then";
        if (holder)
            WaitForSingleObject(holder, 20000), CloseHandle(holder);
        remove_tree(row_work);
        EXPECT_EQ(free_before, free_bytes_of(r.volume)) << "space not back once the holder let go";
        EXPECT_EQ(files_before, digest_tree(r.volume)) << "a file outside the work folder changed";
        EXPECT_EQ("111101", controls());
    }
    clear_volume(failing), clear_volume(fat);
}
