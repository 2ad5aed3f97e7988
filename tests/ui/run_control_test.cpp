// Start, Abort, the work folder, a run's end and closing during one, with scripts.
#include <errno.h>
#include <string.h>
#include "dialog_bench.h"

static const char CANNOT_CREATE[] = "フォルダを作成できません。", FINISHED[] = "消去が終了しました。";

// Runs from Start to their end. At "step 2 of 2: look" the worker waits in its
// SetDlgItemTextA: the run is looked at as it is there, and may be aborted.
TEST_F(DialogBench, EveryRunEndsWithItsOutcomeInTheStatusBoxAndItsControlsBack)
{
    const std::string deep = root + std::string(249 - root.size(), 'f');
    const char *fill = "2\r\nerase,verify 0x5a\r\nlook\r\n";
    auto warning = [](std::string path, DWORD code) { return path + ": " + system_text(code); };
    enum { GONE, USERS, FILES };   // the work folder after the run: USERS was there before it
    const struct { std::string folder; const char *script; bool abort; int left;
                   std::string status, box; } runs[] = {
        {root, fill, false, GONE, FINISHED, ""},
        {"", "", false, GONE, "フォルダ名が指定されていません。", ""},
        {deep + "f", "", false, GONE, CANNOT_CREATE, warning(deep + "f", ERROR_BUFFER_OVERFLOW)},
        {deep, "", false, GONE, CANNOT_CREATE, warning(deep + "\\$VANTA$$", ERROR_PATH_NOT_FOUND)},
        {root, "", false, GONE, FINISHED, ""},   // result 2: no count line
        {root, nullptr, false, GONE, beside_exe("1.run") + ": " + strerror(ENOENT), ""},
        {root, "3\r\nerase\r\n", false, FILES, "フォルダを削除できません。",
         warning(work, ERROR_DIR_NOT_EMPTY)},
        {root, "1\r\nlook\r\n", false, USERS, FINISHED, "処理を続けますか？\r\n" + work + "\r\n"},
        {root, fill, true, FILES, "中断しました。", ""}};   // last: the folder stays marked ours
    answer = [](const BoxRecord &) { return IDYES; };
    for (const auto &run : runs) {
        SCOPED_TRACE(run.status);
        ControlLog steps(dialog, IDC_STEP);
        std::string looked;
        steps.on_text = [&](const std::string &text) {
            if (text != "step 2 of 2: look")
                return;
            looked = controls();
            EXPECT_EQ("", check_work_files(work, block_of(0x5a).data()).problem);
            EXPECT_LT(free_bytes_of(root), 64u * 1024) << "the free space was not filled";
            if (run.abort)
                press(IDABORT), looked += " " + text_of(IDC_STATUS) + " " + controls();
        };
        run.left == USERS && CreateDirectoryA(work.c_str(), NULL);
        start_in(run.folder, run.script, 1);   // the second method
        ASSERT_TRUE(collected());
        EXPECT_EQ(run.abort ? "000011 中断しています... 000001" : run.script == fill ? "000011" : "",
                  looked);
        EXPECT_EQ(run.status, text_of(IDC_STATUS));
        EXPECT_EQ(run.left, (GetFileAttributesA(work.c_str()) != INVALID_FILE_ATTRIBUTES) +
                                !list_folder(work).empty());
        press(IDCANCEL);   // a folder forgotten after a failed removal is not tried again
        EXPECT_EQ("111101", controls());
        EXPECT_EQ(run.box.empty() ? 0u : 1u, boxes.size());
        EXPECT_EQ(run.box, boxes.empty() ? "" : boxes[0].text.substr(0, run.box.size()));
        remove_tree(work), boxes.clear();
    }
}

// While the worker asks about an existing folder, a second Start is refused and
// Close waits for it at most 15 seconds, letting its status text through.
TEST_F(DialogBench, CloseWaitsForTheWorkerAtMost15Seconds)
{
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    for (bool stubborn : {false, true}) {
        ControlLog status(dialog, IDC_STATUS);
        answer = [&](const BoxRecord &) {   // No to the question once Close has been given
            while (abort_flag != 1 || (stubborn && box_count < 2))   // and the time-out shown
                Sleep(10);
            return IDNO;
        };
        boxes.clear(), box_count = quit_seen = 0, start_in(root, "1\r\nerase\r\n");
        ASSERT_TRUE(until([&] { return box_count == 1; }));
        start_in(root + "user", nullptr, 1);   // the button is grey: a Start from elsewhere
        EXPECT_EQ("すでに開始しています。", text_of(IDC_STATUS));
        EXPECT_EQ(work, work_folder_path);
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        ASSERT_TRUE(until([&] { return quit_seen && collected(); }));
        EXPECT_EQ(stubborn ? 2 : 1, box_count) << "the wait held the worker until its time-out";
        EXPECT_EQ(stubborn, boxes.back().text == "Thread did not stop in 15 seconds.");
        EXPECT_EQ((Strings{"中断しています...", CANNOT_CREATE, "中断しました。"}),
                  Strings(status.texts.end() - 3, status.texts.end()));
        EXPECT_EQ(Strings{}, list_folder(work));   // the user's folder, as it was
    }
}
