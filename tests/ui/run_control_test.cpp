// Start, Abort, Close, the work folder and every way a run ends, with scripts.
#include <process.h>
#include <string.h>
#include <algorithm>
#include <regex>
#include "dialog_bench.h"
#include <aclapi.h>
#include <sddl.h>

static const char CANNOT_CREATE[] = "フォルダを作成できません。", FINISHED[] = "消去が終了しました。",
                  ABORTED[] = "中断しました。";

// A failure's text as the status box keeps it at the end: without the line
// break that ends the system's texts.
static std::string kept(const std::string &text) { return text.substr(0, text.find_last_not_of("\r\n") + 1); }

static std::string question(const std::string &work) { return "処理を続けますか？\r\n" + work + "\r\n"; }

// The status box without the summary line that follows "finished"; the
// byte counts of any other ending as N (N バイト): how much a stopped run
// had written depends on where the machine's clock let it get.
static std::string outcome(const std::string &status)
{
    if (!status.compare(0, strlen(FINISHED) + 2, FINISHED + std::string("\r\n")))
        return FINISHED;
    return std::regex_replace(status, std::regex("[0-9][0-9,]* バイト"), "N バイト");
}

// "Aborted", and under it what the run had done before the stop: the fill
// passes that went to their end, the bytes written and verified, and that
// the work files are gone and the space is back.
static std::string stopped(int passes_finished)
{
    return std::string(ABORTED) + "\r\n中断するまでに、上書きを " + std::to_string(passes_finished) +
           " 回終え、N バイトを上書きし、N バイトを検証しました。\r\n作業ファイルを削除し、空き領域を元に戻しました。";
}

// Every ending through the real dialog on a real volume (tmpfs X:). At
// "step 2 of N: look" the worker waits in its SetDlgItemTextA: the volume must
// be full of work files there (step 3 verifies them again, so step 1's verify
// keeps them), and the run may be aborted or closed. Whatever
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
    // another volume's folder (this machine's own disk) of files named as work files are
    const std::string elsewhere = std::string(getenv("VANTA_BUILD_DIR") ? getenv("VANTA_BUILD_DIR") : "") + "/volumes/elsewhere_dialog";
    ASSERT_TRUE(run_unix("rm -rf '" + elsewhere + "' && mkdir -p '" + elsewhere + "' && for n in 00000001 00000002 0001; do "
                         "head -c 70000 /dev/urandom >'" + elsewhere + "/'$n; done"));
    auto digest_elsewhere = [&] { return digest_tree(unix_path(root).empty() ? "" : "Z:" + elsewhere + "\\"); };
    const auto elsewhere_before = digest_elsewhere();
    ASSERT_EQ(3u, elsewhere_before.size());
    // a later verify keeps the work files of step 1 at "look"
    const char *fill = "3\r\nerase,verify 0x5a\r\nlook\r\nverify 0x5a\r\n",
               *fill_more = "4\r\nerase,verify 0x5a\r\nlook\r\nverify 0x5a\r\nerase\r\n";
    auto warning = [](std::string path, DWORD code) { return path + ": " + system_text(code); };
    const std::string no_room = "CreateFile(" + narrow + "\\$VANTA$$\\00000001): " + system_text(ERROR_FILENAME_EXCED_RANGE);
    const std::string link_text = work + " は別の場所を指すリンク（ジャンクションまたはシンボリックリンク）です。"
                                         "リンク先のファイルを消さないよう、このフォルダは使いません。",
                      foreign = work + " の所有者がこのアカウント、SYSTEM、Administrators のどれでもないため、使いませんでした。",
                      open = work + " にはほかのアカウントも書き込めるうえ、そのアクセス許可を変更できなかったため、使いませんでした。",
                      in_use = work + " は別の実行（または別のプログラム）が使用中のため、使いませんでした。";
    // a device, or a volume named as the system takes it, is no folder: refused before anything is made
    auto device = [](const std::string &folder) {
        return folder + " はフォルダではなく、デバイスかボリュームそのものを指す名前（\\\\.\\ や \\\\?\\ で始まる名前、CON など）"
                        "のため、使いませんでした。ドライブ文字か、ボリュームをマウントしたフォルダで指定してください。";
    };
    const std::string drive_device = "\\\\.\\" + root.substr(0, 2), volume_raw = "\\\\?\\" + root;
    enum { NONE, ABORT, CLOSE, SWAP };      // what the user (or another account) does at "look"
    // the work folder before Start: made by the run, the user's, a link; another
    // account's, one others may write in (its DACL reset, or not), a junction
    // as Windows shows one, one another run holds
    enum { MADE, USERS, LINK, FOREIGN, OPEN_TO_OTHERS, OPEN_KEPT, JUNCTION, HELD };
    enum { GONE, EMPTY, A_LINK };           // the work folder after the run
    const struct {
        const char *name;
        std::string folder;
        const char *script;
        int act, before, after, to_question;
        std::string status;
        Strings boxes;
        int code;   // the exit code with /exit
    } endings[] = {
        {"complete", root, fill, NONE, MADE, GONE, 0, FINISHED, {}, 0},
        {"a bare drive letter means its root", root.substr(0, 2), fill, NONE, MADE, GONE, 0, FINISHED, {}, 0},
        {"no folder", "", "", NONE, MADE, GONE, 0, "フォルダ名が指定されていません。", {}, 1},
        {"the drive as a device", drive_device, "1\r\nerase\r\n", NONE, MADE, GONE, 0, device(drive_device), {device(drive_device)}, 6},
        {"the volume by a name the system takes as it is", volume_raw, "1\r\nerase\r\n", NONE, MADE, GONE, 0, device(volume_raw), {device(volume_raw)}, 6},
        {"a folder of 250 bytes", deep + "f", "", NONE, MADE, GONE, 0, CANNOT_CREATE, {warning(deep + "f", ERROR_BUFFER_OVERFLOW)}, 6},
        // the folder the user gave is named, not the work folder the run could not make in it
        {"a folder that does not exist", deep, "", NONE, MADE, GONE, 0,
         std::string(CANNOT_CREATE) + "\r\n指定したフォルダ " + deep + " がありません。", {"指定したフォルダ " + deep + " がありません。"}, 6},
        {"no step script", root, nullptr, NONE, MADE, GONE, 0, kept(warning(script_path, ERROR_FILE_NOT_FOUND)), {}, 2},
        {"an empty step script", root, "", NONE, MADE, GONE, 0, "手順ファイル " + script_path + " に手順数の行がありません。", {}, 2},
        {"fewer step lines than counted", root, "3\r\nerase\r\n", NONE, MADE, GONE, 0,
         "手順ファイル " + script_path + " の手順は 1 個で、手順数 3 に足りません。", {}, 2},
        {"a work file that can't be created", narrow, "1\r\nerase\r\n", NONE, MADE, GONE, 0, kept(no_room), {no_room}, 3},
        {"a word with a trailing blank, LF line ends: random, not zeros", root, "2\nerase,verify random \nverify 0\n",
         NONE, MADE, GONE, 0, "Verify error in " + work + "\\00000001", {}, 4},
        {"the user's folder, Yes", root, "1\r\nerase\r\n", NONE, USERS, EMPTY, IDYES, FINISHED, {question(work)}, 0},
        {"abort", root, fill_more, ABORT, MADE, GONE, 0, stopped(1), {}, 5},
        // right after an aborted run whose folder was ours: that mark is gone
        {"the user's folder after an aborted run, No", root, "1\r\nerase\r\n", NONE, USERS, EMPTY, IDNO,
         "既存のフォルダ " + work + " は使いませんでした。消去は始めていません。",
         {question(work)}, 6},
        {"close", root, fill_more, CLOSE, MADE, GONE, 0, stopped(1), {}, 5},
        {"a link in the work folder's place", root, "1\r\nerase\r\n", NONE, LINK, A_LINK, 0, link_text, {link_text}, 6},
        {"another account's folder", root, "1\r\nerase\r\n", NONE, FOREIGN, EMPTY, IDYES, foreign, {foreign}, 6},
        // an older vanta's folder under a folder others may write to: this account may reset it
        {"a folder others may write in", root, "1\r\nerase\r\n", NONE, OPEN_TO_OTHERS, EMPTY, IDYES, FINISHED, {question(work)}, 0},
        {"a folder others may write in, kept so", root, "1\r\nerase\r\n", NONE, OPEN_KEPT, EMPTY, IDYES, open, {open}, 6},
        {"a junction in the work folder's place", root, "1\r\nerase\r\n", NONE, JUNCTION, EMPTY, IDYES, link_text, {link_text}, 6},
        {"a folder another run holds", root, "1\r\nerase\r\n", NONE, HELD, EMPTY, IDYES, in_use, {in_use}, 6},
        // renamed away at "look" and a link to another volume's folder of numbered files put in its place (on
        // Windows the held folder can't be renamed): what Wine opens through the folder's handle it checks through
        // the name it opened, the run's files are told from no one's and stay; nothing else is touched
        {"the work folder swapped for a link mid-run", root, fill_more, SWAP, MADE, A_LINK, 0,
         "CreateFile(" + work + "\\00000001): 作業フォルダとは別のボリュームにあります。", {}, 3},
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
            if (e.act == SWAP) {
                EXPECT_TRUE(run_unix("mv '" + unix_path(work) + "' '" + unix_path(root) + "/moved' && ln -s '" + elsewhere + "' '" +
                                     unix_path(work) + "'"));
            }
        };
        if (e.before != MADE && e.before != LINK) {
            ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
        }
        HANDLE holder = e.before == HELD ? CreateFileA(work.c_str(), FILE_LIST_DIRECTORY | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                       NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL)
                                         : INVALID_HANDLE_VALUE;
        // the folder's security as Windows keeps it, where Wine keeps only
        // its Unix mode; a reset refused as for an account without WRITE_DAC
        if (e.before == FOREIGN || e.before == OPEN_TO_OTHERS || e.before == OPEN_KEPT)
            strict_set_folder_security(work, e.before == FOREIGN ? "O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;S-1-5-21-1-2-3-1001)"
                                             // Modify for Authenticated Users, inherited from a folder such as C:\ (Windows 10)
                                             : "O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)");
        strict_refuse_dacl_change = e.before == OPEN_KEPT, strict_dacl_sets = 0;
        // a junction, as Windows shows one opened as itself
        strict_set_junction(work, e.before == JUNCTION);
        if (e.before == LINK) {
            ASSERT_NE("", unix_path(root));
            ASSERT_TRUE(run_unix("ln -s target '" + unix_path(root) + "/$VANTA$$'"));
            ASSERT_EQ((DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT), GetFileAttributesA(work.c_str()));
        }
        answer = [&](const BoxRecord &) { return e.to_question ? e.to_question : IDOK; };
        quit_code = -1, boxes.clear();
        // each ending asks the program to end with its code, as with /exit
        command_line.exit_when_done = 1;

        start_in(e.folder, e.script, 1);   // the second method
        ASSERT_TRUE(until([&] { return wipe_job.thread_id == 0 && quit_code >= 0; }));
        EXPECT_EQ(e.code, quit_code) << "the exit code";
        command_line.exit_when_done = 0;
        strict_set_folder_security(work, ""), strict_refuse_dacl_change = false, strict_set_junction(work, false);
        if (holder != INVALID_HANDLE_VALUE)
            CloseHandle(holder);
        release_work_folder();
        EXPECT_EQ(e.before == OPEN_TO_OTHERS || e.before == OPEN_KEPT ? 1 : 0, strict_dacl_sets) << "the DACL reset";
        if (e.act == SWAP) {
            EXPECT_EQ(elsewhere_before, digest_elsewhere()) << "a file on the other volume changed";
            for (const std::string &name : list_folder(root + "moved"))
                EXPECT_TRUE(name.find_first_not_of("0123456789") == std::string::npos || name.compare(0, 13, "vanta.journal") == 0)
                    << "not the run's: " << name;
            remove_tree(root + "moved");
        }

        EXPECT_EQ(e.script == fill || e.script == fill_more ? std::string("full") + (e.act == ABORT ? " 中断しています... 000001" : "") : "",
                  looked);
        std::string status = outcome(text_of(IDC_STATUS));
        // swapped: the first of the failures, a box each
        EXPECT_EQ(e.status, e.act == SWAP ? status.substr(0, status.find("\r\n")) : status);
        Strings shown;
        for (const BoxRecord &b : boxes)   // a question by its first lines
            shown.push_back(b.text.compare(0, 18, question("").substr(0, 18)) ? b.text : b.text.substr(0, question(work).size()));
        if (e.act != SWAP) {
            EXPECT_EQ(e.boxes, shown);
        }
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
// is removed under it. One that ends while that box is up (a real box lets
// its end through) is collected there. Each way, the run is recorded once.
TEST_F(DialogBench, CloseWaitsForTheWorkerOnceAndLeavesOneThatDoesNotStopAlone)
{
    enum Worker { STOPS, ENDS_AT_THE_TIME_OUT, DOES_NOT_STOP };
    const struct { const char *name; Worker worker; } cases[] = {
        {"a worker that stops", STOPS},
        {"a worker that ends while its time-out is shown", ENDS_AT_THE_TIME_OUT},
        {"a worker that does not stop", DOES_NOT_STOP},
    };
    const std::string report = own_path() + ".close.csv";
    stop_wait_ms = 1500;
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileA(report.c_str());
        snprintf(command_line.report, sizeof command_line.report, "%s", report.c_str());
        ControlLog status(dialog, IDC_STATUS);
        bool folder_at_end = false;
        volatile LONG time_out_shown = 0;
        answer = [&](const BoxRecord &box) {   // No to the question once Close has been given
            if (box.text == "Thread did not stop in 15 seconds.") {
                time_out_shown = 1;
                if (c.worker == ENDS_AT_THE_TIME_OUT)
                    until([] { return wipe_job.thread_id == 0; });
                return IDOK;
            }
            // a stubborn worker answers only once the program has ended its side
            while (abort_flag != 1 || (c.worker == DOES_NOT_STOP && !quit_seen) ||
                   (c.worker == ENDS_AT_THE_TIME_OUT && !time_out_shown))
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
        ASSERT_TRUE(until([&] { return quit_seen && (c.worker != STOPS ? box_count >= 2 : true); }));
        EXPECT_FALSE(IsWindow(dialog));
        EXPECT_EQ(c.worker != STOPS ? 2 : 1, box_count) << "one question, and the time-out at most once";
        EXPECT_EQ(c.worker != STOPS, boxes.back().text == "Thread did not stop in 15 seconds.");
        ASSERT_TRUE(until([] { return !wipe_job.thread || !WaitForSingleObject(wipe_job.thread, 0); }));
        EXPECT_TRUE(folder_at_end) << "the user's folder went under a running worker";
        EXPECT_EQ(Strings{}, list_folder(work));   // the user's folder, as it was
        EXPECT_TRUE(status.saw("中断しています..."));
        bool bom = false;
        auto records = read_report(report, &bom);
        ASSERT_EQ(1u, records.size()) << "the run recorded once";
        EXPECT_EQ("5", records[0]["exit_code"]);
        if (wipe_job.thread)
            CloseHandle(wipe_job.thread);
        ZeroMemory((void *)&wipe_job, sizeof wipe_job);
        open_dialog();
    }
    command_line.report[0] = 0;
    DeleteFileA(report.c_str());
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
    const char *text = "";
    int made = 0;
    ASSERT_EQ(0, prepare_work_folder_path(dialog, root.c_str(), &text));
    ASSERT_EQ(0u, hold_work_folder(&made));   // as a run holds the folder it made
    work_folder_created = made;
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
static LSTATUS WINAPI refusing_key_store(int, int, const char *, BYTE *) { return ERROR_ACCESS_DENIED; }

TEST_F(DialogBench, TheBarTitleAndStatusFollowTheRunAndItsSummarySaysWhatItDid)
{
    const unsigned long long free_before = free_bytes_of(root);
    EXPECT_EQ(0, SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_GETPOS, 0, 0)) << "empty before the first Start";
    ProgressTimeProc real_time = progress_time;
    progress_tick = quick_tick, progress_time = quick_time;
    ControlLog status(dialog, IDC_STATUS), steps(dialog, IDC_STEP);
    std::vector<int> bar;
    Strings titles, verify_texts, fill_texts;
    bool time_left_seen = false;
    unsigned long long journal_bytes = 0;   // the clusters the run's journal holds
    auto look = [&](const std::string &) {
        WIN32_FILE_ATTRIBUTE_DATA journal;
        if (GetFileAttributesExA((work + "\\vanta.journal").c_str(), GetFileExInfoStandard, &journal))
            journal_bytes = journal.nFileSizeLow;
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
        else if (text_of(IDC_STEP) == "step 2 of 3: erase,verify 0x22" && text.compare(0, 7, "上書き ") == 0)
            fill_texts.push_back(text);
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

    // each figure with its words and unit: the pass of how many, written or
    // verified, left, the speed, and later the time left
    ASSERT_GE(verify_texts.size(), 2u) << "the verify showed nothing but its name";
    EXPECT_EQ("verify", verify_texts[0]);
    EXPECT_TRUE(std::regex_match(verify_texts.back(), std::regex("検証 1/1 回目: 検証済み [0-9,]+ (KB|MB)、残り 0 KB\r\n"
                                                                   "速度 [0-9,]+ (B|KB|MB|GB)/秒(\r\n残り約 .*)?")))
        << "nothing left to read, and how fast it went: " << verify_texts.back();
    ASSERT_GE(fill_texts.size(), 2u) << "the second pass showed no figures";
    for (const std::string &text : fill_texts)
        EXPECT_TRUE(std::regex_match(text, std::regex("上書き 2/3 回目: 書き込み済み [0-9,]+ (KB|MB)、残り [0-9,]+ (KB|MB)"
                                                      "(\r\n速度 [0-9,]+ (B|KB|MB|GB)/秒)?(\r\n残り約 .*)?")))
            << text;
    EXPECT_NE(std::string::npos, fill_texts.back().find("\r\n速度 ")) << "no speed: " << fill_texts.back();
    EXPECT_TRUE(time_left_seen) << "no time left shown";

    std::string summary = text_of(IDC_STATUS);
    ASSERT_EQ(FINISHED, outcome(summary)) << summary;
    unsigned long long written = count_after(summary, "上書き "), verified = count_after(summary, "検証 ");
    ASSERT_NE(0u, journal_bytes) << "no journal";
    EXPECT_LE(written, 3 * free_before);
    EXPECT_GE(written + 3 * (journal_bytes + 4096), 3 * free_before);
    EXPECT_EQ(free_before, verified + journal_bytes) << "all but the clusters the run's journal holds";
    EXPECT_NE(std::string::npos, summary.find(" バイト（3 回）、検証 ")) << summary;
    EXPECT_NE(std::string::npos, summary.find("、所要時間 ")) << summary;

    // a run whose journal can't be written (its key has nowhere to go) goes
    // on without one, and its end says so once, with the reason
    journal_key_store = refusing_key_store;
    start_in(root, "1\r\nerase 0x11\r\n", 1);
    ASSERT_TRUE(collected());
    journal_key_store = NULL;
    summary = text_of(IDC_STATUS);
    const std::string unwritten = program_text(IDS_JOURNAL_UNWRITTEN);
    EXPECT_EQ(FINISHED, outcome(summary)) << summary;
    size_t said = summary.find(unwritten);
    ASSERT_NE(std::string::npos, said) << summary;
    EXPECT_EQ(std::string::npos, summary.find(unwritten, said + 1)) << "said once: " << summary;
    EXPECT_NE(std::string::npos, summary.find(system_text(ERROR_ACCESS_DENIED).substr(0, 6), said)) << "with its reason: " << summary;
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
    enum Act { NOTHING, HOLD_A_MOMENT, HOLD_LONG, HOLD_PENDING, ABORT_AT_LOOK, ABORT_AT_DELETION };
    const std::string failing = volume_root("dialog_failing"), fat = volume_root("dialog_fat");
    ASSERT_FALSE(failing.empty() || fat.empty()) << "no failing or FAT-type volume on this bench";
    clear_volume(failing), clear_volume(fat);
    const DWORD broken = failing_write_code(failing);
    ASSERT_TRUE(broken != 0 && broken != ERROR_DISK_FULL && broken != ERROR_HANDLE_DISK_FULL) << broken;
    const std::string fat_work = fat + "$VANTA$$", held = fat_work + "\\00000001", held_too = fat_work + "\\00000003";
    const std::string write_failed = "WriteFile(" + failing + "$VANTA$$\\00000001): " + system_text(broken);
    const char *fill = "2\r\nerase,verify 0x5a\r\nlook\r\n";
    // a deletion the system said yes to, and the file still there
    const std::string stayed = "削除したのに、まだ残っています。ほかのプログラムが開いたままか、ボリュームが読み取り専用になっています。";
    const struct {
        const char *name;
        std::string volume;
        const char *script;
        Act act;
        std::string status;
        Strings boxes, left;
        std::string named = "";   // a line the status box ends with, besides its first
    } rows[] = {
        {"writes fail part way", failing, "1\r\nerase\r\n", NOTHING, kept(write_failed), {write_failed}, {}},
        {"two work files held for a moment", fat, fill, HOLD_A_MOMENT, FINISHED, {}, {}},
        {"two work files held past the retries", fat, fill, HOLD_LONG,
         kept(held + " " + system_text(ERROR_SHARING_VIOLATION)) + "\r\n" + kept(held_too + " " + system_text(ERROR_SHARING_VIOLATION)) +
             "\r\nフォルダを削除できません。",
         {held + "\r\n" + system_text(ERROR_SHARING_VIOLATION) + held_too + "\r\n" + system_text(ERROR_SHARING_VIOLATION),
          fat_work + ": " + system_text(ERROR_DIR_NOT_EMPTY)},
         {"00000001", "00000003"}},
        // an indexer opens a work file sharing its deletion, and holds it past the retries: the deletion goes
        // through and the name stays, pending; the run's own, so not named as another's, the folder waits for
        // it, then says which file kept it (held until the test lets go: no clock decides)
        {"a work file an indexer holds past the retries", fat, fill, HOLD_PENDING, held + " " + stayed + "\r\nフォルダを削除できません。",
         {held + "\r\n" + stayed + "\r\n", fat_work + ": " + system_text(ERROR_DIR_NOT_EMPTY)}, {"00000001"}},
        // (a step with work to do follows: the Abort stops the run)
        {"Abort after a verify difference", root, "4\r\nerase,verify random\r\nverify 0\r\nlook\r\nerase\r\n", ABORT_AT_LOOK,
         stopped(1) + "\r\nVerify error in " + work + "\\00000001", {}, {}},
        {"Abort during the final deletion", root, fill, ABORT_AT_DELETION, FINISHED, {}, {}},
        // the last step's label is up and it has nothing to do: every step has done its work
        {"Abort at a last step with nothing to do", root, fill, ABORT_AT_LOOK, FINISHED, {}, {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const RowVolume before = row_volume(r.volume);
        const std::string &row_work = before.work;
        const auto &files_before = before.files;
        const unsigned long long free_before = before.free;
        ControlLog steps(dialog, IDC_STEP), status(dialog, IDC_STATUS);
        HANDLE holders[2] = {};
        int bar_at_deletion = -1;
        steps.on_text = [&](const std::string &text) {
            if (text.find(": look") == std::string::npos)
                return;
            if (r.act == HOLD_PENDING) {
                write_file(row_work + "\\00000001", "a work file"), write_file(row_work + "\\00000002", "");
                holders[0] = hold_open(row_work + "\\00000001", 600000, "indexer");
                for (const char *name : {"00000001", "00000002"})
                    EXPECT_EQ(0u, vouch_for_work_file(name)) << name;
            }
            if (r.act == HOLD_A_MOMENT || r.act == HOLD_LONG) {
                // the verify has given its files back: the work files at the deletion are the test's, as the
                // run's; the first and the last are held
                write_file(row_work + "\\00000001", "a work file"), write_file(row_work + "\\00000003", "another");
                holders[0] = hold_open(row_work + "\\00000001", r.act == HOLD_LONG ? 6000 : 1000);
                holders[1] = hold_open(row_work + "\\00000003", r.act == HOLD_LONG ? 6000 : 1000);
                write_file(row_work + "\\00000002", "");
                for (const char *name : {"00000001", "00000002", "00000003"})
                    EXPECT_EQ(0u, vouch_for_work_file(name)) << name;
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
        if (!r.named.empty()) {
            std::string status = text_of(IDC_STATUS);
            EXPECT_EQ(r.named, status.substr(status.size() - std::min(status.size(), r.named.size()))) << status;
        }
        Strings shown;
        for (const BoxRecord &b : boxes)
            shown.push_back(b.text);
        EXPECT_EQ(r.boxes, shown);
        EXPECT_EQ(r.left, list_folder(row_work)) << "work files left";
        EXPECT_EQ(0, foreign_entry_count()) << "named as not the run's: " << foreign_entry_names();
        if (r.left.empty()) {
            EXPECT_EQ(free_before, free_bytes_of(r.volume)) << "the volume's space was not given back";
        } else {
            EXPECT_LT(free_bytes_of(r.volume), free_before) << "a held file's space can't be back";
        }
        EXPECT_NE(-1, bar_at_deletion) << "no deletion at the end";
        EXPECT_LT(bar_at_deletion, RUN_PROGRESS_FULL) << "full before the run had ended";
        EXPECT_EQ(r.status == FINISHED, SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_GETPOS, 0, 0) == RUN_PROGRESS_FULL)
            << "the bar is full at the end of a complete run, and only then";
        for (HANDLE holder : holders)
            if (holder) {
                if (r.act == HOLD_PENDING)
                    TerminateProcess(holder, 0);
                WaitForSingleObject(holder, 20000), CloseHandle(holder);
            }
        remove_tree(row_work);
        EXPECT_EQ(free_before, free_bytes_of(r.volume)) << "space not back once the holder let go";
        EXPECT_EQ(files_before, digest_tree(r.volume)) << "a file outside the work folder changed";
        EXPECT_EQ("111101", controls());
    }
    clear_volume(failing), clear_volume(fat);
}

// The session's end ends the program here by keeping its code, and when.
static int session_exit_code = -1;
static DWORD session_ended_at;
static VOID WINAPI keep_exit_code(UINT code) { session_exit_code = (int)code, session_ended_at = GetTickCount(); }

// What the run asked of the system's power management, last.
static volatile EXECUTION_STATE last_state;
static EXECUTION_STATE WINAPI keep_state(EXECUTION_STATE state)
{
    EXECUTION_STATE before = last_state;
    last_state = state;
    return before;
}

// A box of the worker's, a real one, shown on the dialog's behalf.
static HWND worker_box(HWND dialog)
{
    for (HWND w = NULL; (w = FindWindowExA(NULL, w, "#32770", "vanta")) != NULL;)
        if (GetWindow(w, GW_OWNER) == dialog && IsWindowVisible(w))
            return w;
    return NULL;
}

// Until the window thread has asked the run to stop, as a slow disk holds a
// transfer: a Close or the session's end, posted, reaches the window while the
// pass is still at the moment it was posted at.
static void wait_for_the_stop()
{
    for (DWORD start = GetTickCount(); !abort_flag && GetTickCount() - start < 10000;)
        Sleep(5);
}

// The session's end as Windows sends it: from another thread, into whatever
// wait the window thread is in (once it has asked the run to stop, when
// wait_for_stop).
static bool wait_for_stop;
static DWORD WINAPI send_session_end(LPVOID window)
{
    while (wait_for_stop && !abort_flag)
        Sleep(5);
    SendMessageA((HWND)window, WM_QUERYENDSESSION, 0, 0);
    SendMessageA((HWND)window, WM_ENDSESSION, TRUE, 0);
    return 0;
}

// The engine's reads: with a data error at the start of every file, or the
// first held until the stop; its creations with the test's act at the
// record-slack pass's first small file.
static ReadFileProc plain_read;
static bool damaged_reads, hold_a_read;

// A transfer that a slow disk holds, as Wine can hold one: a read from a pipe
// no one writes to, which only CancelSynchronousIo ends (Wine cancels I/O that
// waits in its server, not a read of a file). Should no cancel come within
// 20 s, the pipe is written to, the read comes back whole, and
// cancel_missed says so.
static volatile LONG cancel_missed;
static HANDLE read_done;
static DWORD WINAPI write_if_never_cancelled(LPVOID pipe)
{
    DWORD written = 0;
    if (WaitForSingleObject(read_done, 20000) == WAIT_TIMEOUT && WriteFile((HANDLE)pipe, "x", 1, &written, NULL))
        InterlockedExchange(&cancel_missed, 1);
    return 0;
}
static BOOL read_held_until_cancelled(LPDWORD got)
{
    HANDLE reader = NULL, writer = NULL;
    char byte = 0;
    if (!CreatePipe(&reader, &writer, NULL, 0))
        return *got = 0, FALSE;
    read_done = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE watchdog = CreateThread(NULL, 0, write_if_never_cancelled, writer, 0, NULL);
    BOOL read = ReadFile(reader, &byte, 1, got, NULL);
    DWORD code = GetLastError();
    SetEvent(read_done);
    WaitForSingleObject(watchdog, INFINITE);
    CloseHandle(watchdog), CloseHandle(read_done), CloseHandle(reader), CloseHandle(writer);
    if (!read)
        return *got = 0, SetLastError(code), FALSE;
    return *got = 0, SetLastError(ERROR_OPERATION_ABORTED), FALSE;
}
// acted at the second read of the verify (the file's size then and at the first)
static std::function<void()> at_second_read;
static int reads_seen;
static DWORD size_at_first_read, size_at_act;
static BOOL WINAPI watched_read(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    if (damaged_reads && SetFilePointer(file, 0, NULL, FILE_CURRENT) == 0)
        return *got = 0, SetLastError(ERROR_CRC), FALSE;
    if (hold_a_read)
        return hold_a_read = false, read_held_until_cancelled(got);
    if (at_second_read && ++reads_seen == 1)
        size_at_first_read = GetFileSize(file, NULL);
    if (at_second_read && reads_seen == 2) {
        auto act = at_second_read;
        at_second_read = nullptr, size_at_act = GetFileSize(file, NULL), act(), wait_for_the_stop();
    }
    return plain_read(file, buffer, size, got, overlapped);
}
static CreateInFolderProc plain_create;
static std::function<void()> at_small_file;
static HANDLE WINAPI act_at_small_file(HANDLE folder, LPCWSTR name, DWORD access, DWORD share, DWORD disposition,
                                       DWORD flags)
{
    // a work file's name: the journal's new file is made so too, before the pass begins
    if ((access & ~DELETE) == GENERIC_WRITE && disposition == CREATE_NEW && at_small_file && name[0] &&
        wcsspn(name, L"0123456789") == wcslen(name)) {
        auto act = at_small_file;
        at_small_file = nullptr, act(), wait_for_the_stop();
    }
    return plain_create(folder, name, access, share, disposition, flags);
}

// Abort, Close and the session's end at the moments a run is longest in, as
// an unattended run with a report (/exit, /report): the last step's verify
// (inside a file whose space it gives back a block at a time),
// the record-slack pass of the last erase, a box of the worker's that waits
// for its answer (a real one: the session's end must close it). Each run
// ends once: one status, one record, one exit code (the quit's, or the one
// the program ends itself with at the session's end), and what it says is
// true: a run stopped before its work was done is stopped (5). A shutdown
// that is cancelled stops nothing. The work files go and the space comes
// back, but for a file another program holds and the journal the session's
// end keeps, to go on at the next Start. While the run goes on the
// system may not sleep; at every ending it may again.
TEST_F(DialogBench, EveryInterruptionEndsTheRunOnceAndTellsTheTruth)
{
    // CLOSE_THEN_END: Close, and the session's end sent (from another thread,
    // as Windows sends it) into the window thread's wait for the stopped run
    enum Act { ABORT, CLOSE, SESSION_END, CANCELLED_END, CLOSE_THEN_END };
    enum Moment { AT_VERIFY, AT_SMALL_FILE, AT_BOX, AT_LOOK };
    const std::string failing = volume_root("dialog_failing"), fat = volume_root("dialog_fat");
    ASSERT_FALSE(failing.empty() || fat.empty()) << "no failing or FAT-type volume on this bench";
    clear_volume(failing), clear_volume(fat);
    const DWORD broken = failing_write_code(failing);
    const std::string report = own_path() + ".interruptions.csv", held = fat + "$VANTA$$\\00000001";
    const std::string write_failed = "WriteFile(" + failing + "$VANTA$$\\00000001): " + system_text(broken);
    const std::string damaged = "ReadFile(" + work + "\\00000001): near 0 " + system_text(ERROR_CRC);
    // the session's end keeps the journal, to go on at the next Start
    const std::string later = "\r\n同じフォルダで次に開始すると、手順 1 から続けられます。";
    const Strings journal = {"vanta.journal"};
    const char *fill = "1\r\nerase,verify 0x5a\r\n", *erase = "1\r\nerase 0x5a\r\n", *fill_look = "2\r\nerase,verify 0x5a\r\nlook\r\n";
    const struct {
        const char *name;
        std::string volume;
        const char *script;
        Act act;
        Moment when;
        bool damaged_reads;
        std::string status;   // the status box at the end, the record's ending
        int code;
        std::string box;      // a box no one answered: its text is in the record
        Strings left;
    } rows[] = {
        // a pass stopped in its record area did not go to its end
        {"Abort during the last step's verify", root, fill, ABORT, AT_VERIFY, false, stopped(1), 5, "", {}},
        {"Abort while the last erase packs the record area", root, erase, ABORT, AT_SMALL_FILE, false, stopped(0), 5, "", {}},
        {"Close during the last step's verify", root, fill, CLOSE, AT_VERIFY, false, stopped(1), 5, "", {}},
        {"Close while the last erase packs the record area", root, erase, CLOSE, AT_SMALL_FILE, false, stopped(0), 5, "", {}},
        {"the session's end during the last step's verify", root, fill, SESSION_END, AT_VERIFY, false, stopped(1) + later, 5, "",
         journal},
        {"the session's end while a failure's box waits", failing, "1\r\nerase\r\n", SESSION_END, AT_BOX, false,
         stopped(0) + "\r\n" + kept(write_failed) + later, 5, kept(write_failed), journal},
        {"the session's end while the damaged-sector question waits", root, fill, SESSION_END, AT_BOX, true,
         stopped(1) + "\r\n" + kept(damaged) + later, 5, "処理を続けますか？\r\n" + work + "\\00000001: near 0",
         journal},
        // every step had done its work: the file left is the run's failure
        {"the session's end while a held file's box waits", fat, fill_look, SESSION_END, AT_BOX, false,
         kept(held + " " + system_text(ERROR_SHARING_VIOLATION)) + "\r\nフォルダを削除できません。", 3, held, {"00000001"}},
        {"the session's end while Close waits for a held file", fat, fill_look, CLOSE_THEN_END, AT_LOOK, false,
         kept(held + " " + system_text(ERROR_SHARING_VIOLATION)) + "\r\nフォルダを削除できません。", 3, held, {"00000001"}},
        // a pass follows the moment: the run goes on to it and ends complete
        {"a shutdown that is cancelled", root, "3\r\nerase,verify 0x5a\r\nlook\r\nerase 0x5a\r\n", CANCELLED_END, AT_LOOK,
         false, FINISHED, 0, "", {}},
    };
    delete_retry_ms = 300, verify_give_back_bytes = TRANSFER_SIZE;
    end_process = keep_exit_code, set_execution_state = keep_state;
    plain_read = file_calls.read, plain_create = file_calls.create;
    file_calls.read = watched_read, file_calls.create = act_at_small_file;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const RowVolume before = row_volume(r.volume);
        const std::string &row_work = before.work;
        const auto &files_before = before.files;
        const unsigned long long free_before = before.free;
        DeleteFileA(report.c_str());
        memset(&command_line, 0, sizeof command_line);
        command_line.method = -1, command_line.exit_when_done = 1;
        snprintf(command_line.report, sizeof command_line.report, "%s", report.c_str());
        message_box_proc = r.when == AT_BOX ? MessageBoxA : box;
        delete_retry_ms = r.act == CLOSE_THEN_END ? 120000 : 300;
        damaged_reads = r.damaged_reads;
        session_exit_code = quit_code = -1;
        HANDLE holder = NULL;
        EXECUTION_STATE state_at_act = 0;
        last_state = 0;
        auto act = [&] {
            state_at_act = last_state;
            if (r.act == ABORT)
                press(IDABORT);
            if (r.act == CLOSE || r.act == CLOSE_THEN_END)   // handled once the worker goes on
                PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
            if (r.act == SESSION_END || r.act == CANCELLED_END) {
                PostMessageA(dialog, WM_QUERYENDSESSION, 0, 0);
                PostMessageA(dialog, WM_ENDSESSION, r.act == SESSION_END, 0);
            }
        };
        ControlLog steps(dialog, IDC_STEP), status(dialog, IDC_STATUS);
        steps.on_text = [&](const std::string &text) {
            if (text.find(": look") == std::string::npos)
                return;
            if (r.volume == fat) {   // the run's, held past the retries, and two more files that must go
                write_file(row_work + "\\00000001", "a work file"), holder = hold_open(row_work + "\\00000001", r.act == CLOSE_THEN_END ? 120000 : 4000),
                write_file(row_work + "\\00000002", ""), write_file(row_work + "\\00000003", "");
                for (const char *name : {"00000001", "00000002", "00000003"})
                    EXPECT_EQ(0u, vouch_for_work_file(name)) << name;
            }
            if (r.when == AT_LOOK)
                act();
        };
        status.on_text = [&](const std::string &text) {
            if (text == "verify" && r.when == AT_VERIFY)
                reads_seen = 0, size_at_first_read = size_at_act = 0, at_second_read = act;
            // the worker tries the held file again (until the session's end
            // cuts the retries short) while Close waits for it
            if (text == "作業ファイルを削除しています..." && r.act == CLOSE_THEN_END && state_at_act)
                wait_for_stop = true, CloseHandle(CreateThread(NULL, 0, send_session_end, dialog, 0, NULL));
        };
        if (r.when == AT_SMALL_FILE)
            at_small_file = act;
        start_in(r.volume, r.script, 1);
        if (r.when == AT_BOX) {
            ASSERT_TRUE(until([&] { return worker_box(dialog) != NULL; })) << "no box waited";
            state_at_act = last_state;
            EXPECT_EQ(TRUE, SendMessageA(dialog, WM_QUERYENDSESSION, 0, 0));
            SendMessageA(dialog, WM_ENDSESSION, TRUE, 0);
        }
        const bool session_ends = r.act == SESSION_END || r.act == CLOSE_THEN_END;
        ASSERT_TRUE(until([&] { return wipe_job.thread_id == 0 && quit_code != -1 && (!session_ends || session_exit_code != -1); }));
        until([] { return false; }, 200);   // a late message of the run's must change nothing
        press(IDABORT);   // nor a click on Abort that was queued behind them
        message_box_proc = box, at_small_file = nullptr, at_second_read = nullptr, unattended = 0;
        if (r.when == AT_VERIFY) {
            EXPECT_LT(size_at_act, size_at_first_read) << "not inside a file the verify cuts as it reads";
        }

        EXPECT_EQ(r.status, outcome(text_of(IDC_STATUS)));
        EXPECT_EQ(r.code, session_ends ? session_exit_code : quit_code) << "the code the program ends with";
        EXPECT_EQ(ES_CONTINUOUS | ES_SYSTEM_REQUIRED, state_at_act) << "the system may sleep during the run";
        EXPECT_EQ(ES_CONTINUOUS, last_state) << "the system is kept awake after the run";
        bool bom = false;
        auto records = read_report(report, &bom);
        ASSERT_EQ(1u, records.size()) << "one run, one record";
        EXPECT_EQ(std::to_string(r.code), records[0]["exit_code"]);
        EXPECT_EQ(r.status, outcome(records[0]["ending"]));
        EXPECT_NE(std::string::npos, records[0]["failures"].find(r.box)) << records[0]["failures"];
        EXPECT_EQ(r.damaged_reads ? "1" : "0", records[0]["damaged_sectors"]) << "damaged sectors gone past or given up at";
        EXPECT_EQ(r.left, list_folder(row_work)) << "work files left";
        EXPECT_TRUE(worker_box(dialog) == NULL) << "a box still waits";
        if (holder)
            TerminateProcess(holder, 0), WaitForSingleObject(holder, 30000), CloseHandle(holder);
        wait_for_stop = false;
        remove_tree(row_work);
        EXPECT_EQ(free_before, free_bytes_of(r.volume)) << "the volume's space was not given back";
        EXPECT_EQ(files_before, digest_tree(r.volume)) << "a file outside the work folder changed";
        EXPECT_EQ("111101", controls());
    }
    file_calls.read = plain_read, file_calls.create = plain_create;
    delete_retry_ms = DELETE_RETRY_MS, set_execution_state = SetThreadExecutionState;
    verify_give_back_bytes = GIVE_BACK_BYTES;
    DeleteFileA(report.c_str());
    clear_volume(failing), clear_volume(fat);
}

// A Start that goes nowhere right after a complete run is a record of its own:
// nothing of the run before it (its passes, bytes, steps, folder) is carried in.
TEST_F(DialogBench, AStartThatGoesNowhereRecordsOnlyItself)
{
    const std::string report = own_path() + ".nowhere.csv", deep = root + std::string(250 - root.size(), 'f');
    const struct { const char *name; std::string folder; const char *code; } rows[] = {
        {"no folder", "", "1"}, {"a folder of 250 bytes", deep, "6"},
    };
    snprintf(command_line.report, sizeof command_line.report, "%s", report.c_str());
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        DeleteFileA(report.c_str());
        start_in(root, "1\r\nerase,verify 0x5a\r\n", 1);
        ASSERT_TRUE(collected());
        start_in(r.folder, nullptr, 1);
        bool bom = false;
        auto records = read_report(report, &bom);
        ASSERT_EQ(2u, records.size());
        EXPECT_EQ("1", records[0]["passes"]) << "the complete run before it";
        EXPECT_EQ(r.folder, records[1]["folder"]);
        for (const char *field : {"passes", "bytes_written", "bytes_verified", "verify_differences"})
            EXPECT_EQ("0", records[1][field]) << field;
        EXPECT_EQ("", records[1]["steps"]);
        EXPECT_EQ("", records[1]["failures"]);
        EXPECT_EQ(r.code, records[1]["exit_code"]);
    }
    DeleteFileA(report.c_str());
}

// The report's writes meet a range another program has locked, and the
// first of them sends the session's end (from another thread, as Windows
// sends it) into the window thread's wait to try again.
static ReportWriteProc plain_report_write;
static std::string locked_report;   // the report's name
static HWND session_window;
static BOOL WINAPI locked_report_write(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    // the name the handle has (a handle for appending may not read its attributes)
    typedef DWORD (WINAPI *FinalPathProc)(HANDLE, LPSTR, DWORD, DWORD);
    FinalPathProc final_path = (FinalPathProc)(void (*)(void))GetProcAddress(GetModuleHandleA("kernel32.dll"),
                                                                             "GetFinalPathNameByHandleA");
    char name[MAX_PATH] = "";
    std::string path = final_path && final_path(file, name, MAX_PATH, 0) ? name : "";
    if (path.size() < locked_report.size() || path.compare(path.size() - locked_report.size(), std::string::npos, locked_report))
        return plain_report_write(file, data, size, written, overlapped);
    if (session_window)
        CloseHandle(CreateThread(NULL, 0, send_session_end, session_window, 0, NULL)), session_window = NULL;
    return *written = 0, SetLastError(ERROR_LOCK_VIOLATION), FALSE;
}

// At the session's end a report another program holds (a spreadsheet) is tried
// again for a second, not for the half minute of any other ending: the stop,
// the deletion and the record fit in the few seconds Windows waits, and the
// record goes to a file beside the report, which the status box names. The
// session's end sent while the window thread already waits to try the report
// again writes the record itself, with the run's own code, once.
TEST_F(DialogBench, AtTheSessionsEndAHeldReportIsTriedASecondNotHalfAMinute)
{
    const std::string report = own_path() + ".held.csv", beside = own_path() + ".held-*.csv";
    const std::string folder = own_path().substr(0, own_path().rfind('\\') + 1);
    const struct { const char *name; bool into_wait; const char *script; int code; } rows[] = {
        {"the session's end posted during the verify", false, "1\r\nerase,verify 0x5a\r\n", 5},
        {"the session's end sent into the wait for the report", true, "2\r\nerase,verify random\r\nverify 0\r\n", 4},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        WIN32_FIND_DATAA stale;
        for (HANDLE old = FindFirstFileA(beside.c_str(), &stale); old != INVALID_HANDLE_VALUE;
             old = FindNextFileA(old, &stale) ? old : (FindClose(old), INVALID_HANDLE_VALUE))
            DeleteFileA((folder + stale.cFileName).c_str());
        ASSERT_TRUE(write_file(report, "\xEF\xBB\xBF"));
        HANDLE holder = r.into_wait ? NULL : hold_open(report, 60000, "spreadsheet");
        ASSERT_TRUE(r.into_wait || holder != NULL);
        snprintf(command_line.report, sizeof command_line.report, "%s", report.c_str());
        command_line.exit_when_done = 1;
        end_process = keep_exit_code, session_exit_code = -1;
        plain_read = file_calls.read, file_calls.read = watched_read;
        plain_report_write = report_write;
        if (r.into_wait)
            locked_report = report.substr(report.rfind('\\')), session_window = dialog, report_write = locked_report_write;
        DWORD asked = GetTickCount();
        ControlLog status(dialog, IDC_STATUS);
        status.on_text = [&](const std::string &text) {
            if (text != "verify" || r.into_wait)
                return;
            hold_a_read = true, asked = GetTickCount();
            PostMessageA(dialog, WM_QUERYENDSESSION, 0, 0);
            PostMessageA(dialog, WM_ENDSESSION, TRUE, 0);
        };
        start_in(root, r.script, 1);
        ASSERT_TRUE(until([&] { return session_exit_code != -1; }, 60000));
        until([&] { return wipe_job.thread_id == 0; });   // the read it cancelled gives up; the run is collected
        file_calls.read = plain_read, report_write = plain_report_write, session_window = NULL;
        // a hold the run ended before reaching must not hold the next row's first read
        hold_a_read = false;
        EXPECT_EQ(r.code, session_exit_code) << "the code the program ends with";
        if (!r.into_wait) {
            EXPECT_EQ(0, cancel_missed) << "the session's end did not cancel the transfer in flight";
            cancel_missed = 0;
            EXPECT_LT(session_ended_at - asked, 4000u) << "Windows waits about 5 s for the answer";
        }
        EXPECT_NE(std::string::npos, text_of(IDC_STATUS).find("この実行の記録は ")) << text_of(IDC_STATUS);
        WIN32_FIND_DATAA found;
        HANDLE listing = FindFirstFileA(beside.c_str(), &found);
        ASSERT_NE(INVALID_HANDLE_VALUE, listing) << "no record beside the report";
        EXPECT_FALSE(FindNextFileA(listing, &found)) << "a second file beside the report";
        FindClose(listing);
        bool bom = false;
        auto records = read_report(folder + found.cFileName, &bom);
        ASSERT_EQ(1u, records.size()) << "one run, one record";
        EXPECT_EQ(std::to_string(r.code), records[0]["exit_code"]);
        EXPECT_EQ(0u, read_report(report, &bom).size()) << "the report is locked";
        if (holder)
            TerminateProcess(holder, 0), CloseHandle(holder);
        DeleteFileA((folder + found.cFileName).c_str());
        DeleteFileA(report.c_str());
        unattended = 0, report_retry_ms = REPORT_RETRY_MS, delete_retry_ms = DELETE_RETRY_MS;
        remove_tree(work);
    }
}
