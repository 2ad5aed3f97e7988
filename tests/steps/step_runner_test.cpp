// The step-script runner through run_steps: real scripts, real passes on real
// volumes (tmpfs K:, ext4 L:), a user's files beside the work folder.
#include <gtest/gtest.h>
#include <algorithm>
#include "control_log.h"
#include "engine/engine_checks.h"
#include "steps/step_runner.h"
#include "support/messages.h"
#include "strict_windows.h"

// kept: the run stopped before its steps, and nothing in the folder was named; erased: an erase step ran (it clears the status box);
// errors: "Verify error in" texts; corrupt: a byte of 00000001 changed when the verify begins;
// module: the length of the program's path, 0 for its own
// boxes: the question about the existing folder, and one for each line the run asks about
struct Script { std::string text; int result; std::vector<std::string> steps; int errors; bool erased, corrupt, kept; size_t module; size_t boxes = 1; };
static void PrintTo(const Script &c, std::ostream *out) { *out << ::testing::PrintToString(c.text.substr(0, 80)) << " " << c.module; }
static Script one_step(const std::string &line, int errors, bool corrupt = false)
{ return Script{"1\r\n" + line + "\r\n", errors ? 3 : 0, {"step 1 of 1: " + line}, errors, true, corrupt, false, 0}; }

// A step line at its limit and one character over it (STEP_LINE_LIMIT, 4096);
// a byte list of 64 values, which once was cut at 177 characters into a
// pattern of 35 and a "step" of its own.
static const std::string AT_LIMIT = "wipe" + std::string(4092, 'x'), OVER_LIMIT = AT_LIMIT + "x";
static std::string list_of_64()
{
    std::string list;
    for (int i = 0; i < 64; ++i)
        list += (i ? "," : "") + std::string("0x") + "0123456789abcdef"[i * 7 % 16] + "0123456789abcdef"[(i * 5 + 3) % 16];
    return list;
}
static const std::string LIST_64 = list_of_64();
// The step label as the runner shows it: its text cut to a status text.
static std::string label(const std::string &text) { return text.substr(0, STATUS_TEXT_LIMIT); }
// The first line (from 1) longer than a step line may be, or 0.
static int long_line(const std::string &text)
{
    int number = 1;
    for (size_t at = 0; at < text.size(); ++number) {
        size_t end = std::min(text.find('\n', at), text.size());
        size_t length = end - at - (end > at && text[end - 1] == '\r');
        if (length > STEP_LINE_LIMIT)
            return number;
        at = end + 1;
    }
    return 0;
}

static std::string module_path;
static DWORD WINAPI long_module_name(HMODULE, LPSTR path, DWORD size)
{
    lstrcpynA(path, module_path.c_str(), size);
    return (DWORD)module_path.size();
}

class StepRunner : public ::testing::TestWithParam<std::tuple<const char *, Script>> {
protected:
    const Script &c = std::get<1>(GetParam());
    HWND window = create_run_window();
    ControlLog status{window, 146}, steps{window, 147};
    ScriptedBoxes boxes;
    volatile LONG abort_flag = 0;
    std::string root = volume_root(std::get<0>(GetParam())), work = root + "$VANTA$$", exe = own_path();
    std::map<std::string, std::string> user_files;
    void SetUp() override
    {
        load_texts(GetModuleHandleA(NULL));
        ASSERT_FALSE(root.empty()) << "no volume " << std::get<0>(GetParam()) << " on this bench";
        clear_volume(root);
        if (c.module) {   // a script beside a program at a long path
            std::string folder = root + std::string(200, 'p') + "\\";
            ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
            module_path = exe = folder + std::string(c.module - folder.size() - 4, 'e') + ".exe";
            module_file_name = long_module_name;
        }
        ASSERT_TRUE(write_file(exe.substr(0, exe.size() - 4) + "0.run", c.text));
        plant_user_files(root);   // with a file named 00000001 in the root
        user_files = digest_tree(root);
        const char *text = "";
        ASSERT_EQ(0, prepare_work_folder_path(window, root.c_str(), &text));
    }
    void TearDown() override
    {
        EXPECT_EQ(user_files, digest_tree(root)) << "a file outside the work folder changed";
        DeleteFileA((exe.substr(0, exe.size() - 4) + "0.run").c_str());
        close_journal(), release_work_folder(), forget_run_files();
        release_transfer_buffer();
        get_free_ex = NULL, get_free_ex_ready = 0, module_file_name = GetModuleFileNameA;
        if (!root.empty())
            clear_volume(root);
        DestroyWindow(window);
    }
    std::string in_work(const char *name) { return work + "\\" + name; }
};

// An earlier run left a held buffer, and the user's work folder holds files
// of 0x55 ending in 0x56 (they match no expected bytes), some named like work
// files: none is the run's, so none is read, cut or deleted, and each is named.
TEST_P(StepRunner, RunsTheScriptAndDeletesOnlyWorkFiles)
{
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    for (const char *name : {"00000001", "777", "notes", "00000003.tmp"})
        ASSERT_TRUE(write_file(in_work(name), std::string(3000, 0x55) + "\x56"));
    ASSERT_TRUE(CreateDirectoryA(in_work("00000009").c_str(), NULL));
    boxes.answer(IDYES);
    ASSERT_EQ(0u, alloc_transfer_buffer());
    unsigned char *held = run_context.transfer_buffer;
    *held = 0x5A;
    get_free_ex = GetDiskFreeSpaceExA, get_free_ex_ready = 1;
    dod_fill_byte = 0x11;   // an earlier run's: "verify dod" must not compare with it
    bool reused = false;
    steps.on_text = [&](const std::string &) { reused = reused || (run_context.transfer_buffer == held && held[0] == 0x5A); };
    status.on_text = [&](const std::string &text) {
        std::string bytes;
        // the run's first work file: 00000001 is the user's, and its number passed over
        if (text == "verify" && c.corrupt && read_file(in_work("00000002"), &bytes) && bytes.size() > 5000000) {
            EXPECT_TRUE(write_file_at(in_work("00000002"), 5000000, std::string(1, (char)~bytes[5000000])));
        }
    };
    ASSERT_TRUE(SetCurrentDirectoryA(root.c_str()));

    EXPECT_EQ(c.result, run_steps(window, 146, 147, 0, &abort_flag));
    EXPECT_EQ(0u, journal_unwritten) << "a journal the run tried to write and could not";

    EXPECT_EQ(root, current_directory());
    EXPECT_EQ(c.steps, steps.texts);
    EXPECT_EQ(!c.steps.empty(), reused);
    bool early = c.result == 2 && c.steps.empty();   // stopped before the step loop
    EXPECT_EQ(early ? held : nullptr, run_context.transfer_buffer);
    EXPECT_EQ(early, get_free_ex_ready == 1);
    using Names = std::vector<std::string>;
    EXPECT_EQ((Names{"00000001", "00000003.tmp", "00000009", "777", "notes"}), work_folder ? held_names() : list_folder(work));
    EXPECT_EQ(c.kept ? 0 : 5, foreign_entry_count()) << foreign_entry_names();
    EXPECT_EQ(c.erased, status.saw(""));
    // every differing file is still listed when the run ends, and none is a success
    std::string final_status = window_text(window, 146);
    int listed = 0;
    for (size_t at = 0; (at = final_status.find("Verify error in ", at)) != std::string::npos; ++at)
        ++listed;
    EXPECT_EQ(c.errors, listed) << final_status;
    EXPECT_TRUE(c.errors == 0 || c.result == 3) << "a run with differing bytes counted as done";
    if (c.text.compare(0, 3, "3\r\n") == 0) {   // fewer step lines than counted: the reason stays
        size_t lines = std::count(c.text.begin(), c.text.end(), '\n') - 1;
        EXPECT_EQ("手順ファイル " + exe.substr(0, exe.size() - 4) + "0.run の手順は " +
                  std::to_string(lines) + " 個で、手順数 3 に足りません。", final_status);
    }
    if (long_line(c.text)) {
        EXPECT_EQ("手順ファイル " + exe.substr(0, exe.size() - 4) + "0.run の " + std::to_string(long_line(c.text)) +
                  " 行目は 4096 文字より長いため、消去を始めませんでした。", final_status);
    }
    if (c.result == 2 && c.text.size() > 2 && atoi(c.text.c_str()) <= 0) {   // no step to run, never "finished"
        EXPECT_EQ("手順ファイル " + exe.substr(0, exe.size() - 4) + "0.run の 1 行目（" +
                  c.text.substr(0, c.text.find('\r')) + "）からは実行する手順がありません。手順数を 1 以上の数にしてください。",
                  final_status);
    }
    EXPECT_TRUE(!c.corrupt || status.saw("Verify error in " + in_work("00000002")));
    EXPECT_EQ(!c.steps.empty() && c.erased, status.saw(in_work("00000001") + " はこの実行のものではないファイルの名前なので、"
                                                               "この番号は使わずに次の番号へ進みました。")) << "the taken name told";
    EXPECT_EQ(c.module > 256, status.saw("ModuleFileName too long"));
    EXPECT_EQ(c.boxes, boxes.shown.size()) << "the question about the existing folder, and those about lines";
}

// ASCII saved as Notepad's "Unicode": UTF-16, little-endian, a byte-order mark first.
static std::string utf16(const std::string &ascii)
{
    std::string bytes = "\xFF\xFE";
    for (char c : ascii)
        bytes += c, bytes += '\0';
    return bytes;
}
// Every run that reached its steps deletes its work files, whatever its end,
// and names what else the folder holds; one that stopped before them (no
// count line, a program path too long) names nothing. A word ends at its trailing blanks and line ends: random
// data then differs from 0, where zeros would pass.
INSTANTIATE_TEST_SUITE_P(
    Lines, StepRunner,
    ::testing::Combine(
        ::testing::Values("steps_tmpfs", "steps_ext4"),
        ::testing::Values(
            // a method that can't run stops before anything is written: no
            // count line, a count that gives no step, fewer step lines than counted
            Script{"", 2, {}, 0, false, false, true, 0}, Script{"0\r\nerase 0x55\r\n", 2, {}, 0, false, false, true, 0},
            Script{"-3\r\nerase\r\n", 2, {}, 0, false, false, true, 0}, Script{"x\r\nerase\r\n", 2, {}, 0, false, false, true, 0},
            Script{"3\r\nwipe\r\nverify\r\n", 2, {}, 0, false, false, true, 0},
            Script{"3\r\nerase 0x11\r\n", 2, {}, 0, false, false, true, 0},
            Script{"1\r\nwipe\r\nerase 1\r\nverify 1\r\n", 0, {"step 1 of 1: wipe"}, 0, false, false, false, 256},
            // (found before the work folder is looked at: no question about it)
            Script{"1\r\nwipe\r\n", 2, {}, 0, false, false, true, 257, 0},
            Script{"  +4 steps\r\n erase 1\r\nwipe\r\n\r\n\tverify 1\r\n", 0,
                   {"step 1 of 4:  erase 1", "step 2 of 4: wipe", "step 3 of 4: ", "step 4 of 4: \tverify 1"}, 0, false, false, false, 0},
            Script{"2\nwipe\nverify \t0x56\n", 0, {"step 1 of 2: wipe\n", "step 2 of 2: verify \t0x56\n"}, 0, false, false, false, 0},
            // a line at the limit is one step; one character more is refused whole before anything is written,
            // wherever it stands (the count line too), with CR LF or LF ends
            Script{"2\r\n" + AT_LIMIT + "\r\nverify 0x56  \r\n", 0, {label("step 1 of 2: " + AT_LIMIT), "step 2 of 2: verify 0x56  "}, 0, false, false, false, 0},
            Script{"2\r\n" + OVER_LIMIT + "\r\nverify 0x56  \r\n", 2, {}, 0, false, false, true, 0},
            Script{"1\n" + OVER_LIMIT + "\n", 2, {}, 0, false, false, true, 0},
            Script{"1" + std::string(STEP_LINE_LIMIT, ' ') + "\r\nerase\r\n", 2, {}, 0, false, false, true, 0},
            // a list of 64 values is written whole, and the verify after it reads it whole
            Script{"2\r\nerase " + LIST_64 + "\r\nverify " + LIST_64 + "\r\n", 3,
                   {"step 1 of 2: erase " + LIST_64, "step 2 of 2: verify " + LIST_64}, 1, true, true, false, 0},
            one_step("erase,verify " + LIST_64, 0),
            Script{"2\r\nverify   \r\nverify dod\r\n", 0, {"step 1 of 2: verify   ", "step 2 of 2: verify dod"}, 0, false, false, false, 0},
            // saved by Notepad in UTF-8 with a byte-order mark, and in UTF-16:
            // read in code page 932 (a comment with ゼロ), the mark no part of the count
            Script{"\xEF\xBB\xBF" "2\r\n; \xE3\x82\xBC\xE3\x83\xAD\r\nerase,verify 0xff\r\n", 0,
                   {"step 1 of 2: ; ゼロ", "step 2 of 2: erase,verify 0xff"}, 0, true, false, false, 0},
            Script{utf16("1\r\nerase,verify 0xff\r\n"), 0, {"step 1 of 1: erase,verify 0xff"}, 0, true, false, false, 0},
            // a mistyped keyword is asked about, and not answered Yes here: nothing runs
            Script{"2\r\nEraseX 0xff\r\nverifying 0xfe\r\n", 2, {}, 0, false, false, true, 0, 2},
            // a verify after a plain erase, a step without a keyword between
            // them or not, reads the erase's files whole: an NTFS-type volume
            // (as Wine calls every drive) would otherwise have them cut to nothing
            // (the work file differs from 0x22)
            Script{"2\r\nerase 0x11\r\nverify 0x22\r\n", 3, {"step 1 of 2: erase 0x11", "step 2 of 2: verify 0x22"}, 1, true, false, false, 0},
            Script{"4\r\nerase 0x11\r\nlook\r\n\r\nverify 0x22\r\n", 3,
                   {"step 1 of 4: erase 0x11", "step 2 of 4: look", "step 3 of 4: ", "step 4 of 4: verify 0x22"}, 1, true, false, false, 0},
            Script{"2\r\nerase,verify random \r\nverify 0\r\n", 3,
                   {"step 1 of 2: erase,verify random ", "step 2 of 2: verify 0"}, 1, true, false, false, 0},
            Script{"2\nerase,verify random\nverify 0\n", 3,
                   {"step 1 of 2: erase,verify random\n", "step 2 of 2: verify 0\n"}, 1, true, false, false, 0},
            // a list or "dod" wipe passes its verify, one changed byte does not
            one_step("ERASE,VERIFY 0xff", 0), one_step("erase,verify 0x55,0xaa", 0), one_step("erase,verify 0x55,0xaa", 1, true),
            one_step("erase,verify 1,2,3", 0), one_step("erase,verify 1,2,3", 1, true), one_step("erase,verify dod", 0),
            one_step("erase,verify DOD", 1, true))));

// Words the passes can read, and words they would take for the number they
// begin with (mostly 0): a mistyped keyword, a stray character, blanks.
TEST(StepWords, AWordIsReadableOnlyAsANumberAListOrAKeyword)
{
    const struct { const char *line; int unreadable; } rows[] = {
        {"erase", 0}, {"erase random", 0}, {"erase RANDOM", 0}, {"erase dod", 0}, {"erase /nomft", 0},
        {"erase 0xff", 0}, {"erase -1", 0}, {"erase 010", 0}, {"erase 1,2,3", 0}, {"erase 1,,2", 0}, {"erase 5,", 0},
        {"verify RANDOMly", 0}, {"verify dod", 0}, {"wipe randon", 0}, {" erase randon", 0},
        {"erase randon", 1}, {"erase RANDOMly", 1}, {"erase 0x5g", 1}, {"erase 08", 1}, {"erase 1,2x", 1},
        {"erase 0x55 0xaa", 1}, {"erase,verify abc", 1}, {"verify zero", 1}, {"ERASE Random!", 1},
    };
    for (const auto &r : rows)
        EXPECT_EQ(r.unreadable, word_unreadable(r.line)) << r.line;
}

// A line that begins with a keyword and goes on with what no keyword has would
// run as the keyword it begins with; a line that begins with none only shows
// its text.
TEST(StepWords, AKeywordIsMistypedWhenItsFirstWordGoesOnPastIt)
{
    const struct { const char *line; int mistyped; } rows[] = {
        {"erase", 0}, {"ERASE 0", 0}, {"erase\t0", 0}, {"erase,verify 0", 0}, {"Erase,Verify", 0}, {"verify dod", 0},
        {"verfy 0", 0}, {" erase", 0}, {"wipe erase", 0}, {"", 0}, {"; erase,verfy", 0},
        {"erase,verfy 0", 1}, {"eraseX", 1}, {"EraseX 0xff", 1}, {"verifying 0xfe", 1}, {"erase,verify,x 0", 1},
        {"erase, 0", 1}, {"erase2", 1}, {"verify,erase", 1},
    };
    for (const auto &r : rows)
        EXPECT_EQ(r.mistyped, keyword_mistyped(r.line)) << "'" << r.line << "'";
}

// A word the passes can't read is asked about before anything is written:
// No (or an unattended run) stops the run with the reason; Yes runs the
// stored method as it always ran (zeros for "randon").
class WordCheck : public StepRunner {};
INSTANTIATE_TEST_SUITE_P(Once, WordCheck, ::testing::Values(std::make_tuple("steps_tmpfs", Script{"", 2, {}, 0, false, false, true, 0})));

TEST_P(WordCheck, AnUnreadableWordIsAskedAboutBeforeAnythingIsWritten)
{
    const std::string script = exe.substr(0, exe.size() - 4) + "0.run";
    const std::string word_reason = "手順ファイル " + script + " の 3 行目の語「randon」を読めないため、消去を始めませんでした。",
                      word_question = "手順ファイル " + script + " の 3 行目の語「randon」は、数値、カンマで区切った数値、random、dod のどれでもありません。\r\n"
                                      "このまま続けると、この語はバイト 0x00 として扱われます。続けますか？",
                      keyword_reason = "手順ファイル " + script + " の 3 行目「erase,verfy 0x55」を手順として読めないため、消去を始めませんでした。",
                      keyword_question = "手順ファイル " + script + " の 3 行目「erase,verfy 0x55」の「erase,verfy」は、手順名 erase、verify、erase,verify のどれでもありません。\r\n"
                                         "このまま続けると、この行は「erase 0x55」として実行されます。続けますか？";
    const char *word = "2\r\nerase 0x55\r\nerase randon\r\n", *keyword = "2\r\nerase 0x55\r\nerase,verfy 0x55\r\n";
    const struct { const char *name, *script; int answer, attended, result; std::string status, box; } rows[] = {
        {"a word, No", word, IDNO, 1, 2, word_reason, word_question}, {"a word, unattended", word, IDYES, 0, 2, word_reason, ""},
        {"a word, Yes", word, IDYES, 1, 0, "作業ファイルを削除しています...", word_question},
        // "erase,verfy 0x55" would run as "erase 0x55": its verify dropped without a word
        {"a keyword, No", keyword, IDNO, 1, 2, keyword_reason, keyword_question},
        {"a keyword, unattended", keyword, IDYES, 0, 2, keyword_reason, ""},
        {"a keyword, Yes", keyword, IDYES, 1, 0, "作業ファイルを削除しています...", keyword_question},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(write_file(script, r.script));
        boxes.shown.clear(), boxes.replies.clear();
        boxes.answer(r.answer);
        unattended = !r.attended;
        EXPECT_EQ(r.result, run_steps(window, 146, 147, 0, &abort_flag));
        unattended = 0;
        EXPECT_EQ(r.status, window_text(window, 146));
        ASSERT_EQ(r.box.empty() ? 0u : 1u, boxes.shown.size());
        if (!r.box.empty()) {
            EXPECT_EQ(r.box, boxes.shown[0].text);
        }
        EXPECT_EQ(r.result == 0 ? 2 : 0, steps.count_starting("step ")) << "steps begun";
        EXPECT_EQ(r.result == 0 ? EXIT_CODE_DONE : EXIT_CODE_METHOD, exit_code_of_ending(run_ending));
        steps.texts.clear();
        release_work_folder();
        remove_tree(work);
    }
}

// A run the session's end interrupted left its journal (and maybe its work
// files) in the work folder; the next Start finds it. The same method and
// script: asked whether to go on (Yes: from the journal's step, the run's ID
// kept; No: from step 1), leftovers deleted without the question about an
// existing folder, the journal proving them ours. Another method or a
// changed script can't go on, and the question says so. A journal that fails
// its check, or another folder's, proves nothing: the existing-folder rules
// hold. Unattended, /resume goes on without a question; without it, today's
// rules.
class Resume : public StepRunner {
protected:
    // The journal an interrupted run left: sealed under a key of its own,
    // vouching for its leftovers; with another_folder, for another folder.
    void leave_journal(RunJournal journal, bool another_folder, bool leftovers)
    {
        int made = 0;
        ASSERT_EQ(0u, hold_work_folder(&made));
        forget_run_files();
        for (const char *name : {"00000001", "00000002"})
            ASSERT_TRUE(!leftovers || vouch_for_work_file(name) == 0) << name;
        ASSERT_EQ(0u, begin_journal_key(0));
        journal.folder = work_folder_identity;
        journal.folder.index += another_folder;
        ASSERT_EQ(0u, write_journal(&journal));
        close_journal(), release_work_folder(), forget_run_files();
    }
};
INSTANTIATE_TEST_SUITE_P(Once, Resume, ::testing::Values(std::make_tuple("steps_tmpfs", Script{"", 2, {}, 0, false, false, true, 0})));

TEST_P(Resume, AnInterruptedRunsJournalIsAskedAboutAndGoneOnFrom)
{
    const std::string script = exe.substr(0, exe.size() - 4) + "0.run";
    // (with a line that only shows its text before the verify, for AT_A_LOOK)
    const std::string steps_text = "4\r\nerase 0x11\r\nerase 0x22\r\nerase 0x33\r\nverify 0x33\r\n",
                      look_text = "4\r\nerase 0x11\r\nerase 0x22\r\nlook\r\nverify 0x22\r\n";
    enum Kind { MATCHING, AT_A_VERIFY, AT_A_LOOK, OTHER_METHOD, CHANGED_SCRIPT, OTHER_FOLDER, DAMAGED };
    // each names the interrupted method and where it stopped (the step the journal names, and the fill pass it
    // is in while the method's script is the one it ran), the step the run goes on from, and what Yes and No do
    auto asked = [](int named, int pass, int from) {
        return "このフォルダの前回の実行（消去方法「消去方法 0」、2026-12-07 21:30 開始）は、手順 " + std::to_string(named) +
               "/4（上書き " + std::to_string(pass) + "/3 回目） で中断されました。手順 " + std::to_string(from) +
               " から続けますか？\r\n「はい」: 前回の作業ファイルを削除して、手順 " + std::to_string(from) + " から続けます。\r\n"
               "「いいえ」: 前回の作業ファイルを削除して、手順 1 から始めます。";
    };
    const std::string resume_question = asked(2, 2, 2),
                      impossible = "このフォルダの前回の実行（消去方法「消去方法 1」、2026-12-07 21:30 開始）は 手順 2/4 で中断されましたが、"
                                   "消去方法か手順ファイルが違うため、続きから実行できません。選んだ消去方法「消去方法 0」を手順 1 から始めますか？\r\n"
                                   "「はい」: 前回の作業ファイルを削除して、「消去方法 0」を手順 1 から始めます。\r\n"
                                   "「いいえ」: 前回の作業ファイルを削除して、新しい消去は始めません。",
                      changed = "このフォルダの前回の実行（消去方法「消去方法 0」、2026-12-07 21:30 開始）は 手順 2/4 で中断されましたが、"
                                "消去方法か手順ファイルが違うため、続きから実行できません。選んだ消去方法「消去方法 0」を手順 1 から始めますか？\r\n"
                                "「はい」: 前回の作業ファイルを削除して、「消去方法 0」を手順 1 から始めます。\r\n"
                                "「いいえ」: 前回の作業ファイルを削除して、新しい消去は始めません。",
                      folder_question = "処理を続けますか？\r\n" + work + "\r\n";
    const std::string not_used = "既存のフォルダ " + work + " は使いませんでした。消去は始めていません。",
                      deleted = "中断された前回の実行の作業ファイルを " + work + " から削除しました。新しい消去は始めていません。";
    using Names = std::vector<std::string>;
    const Names everything = {"00000001", "00000002", JOURNAL_NAME};
    const int SESSION_ENDS = -1;    // no answer: the session ends while the question waits
    const struct {
        const char *name;
        Kind kind;
        bool leftovers;
        int attended, resume_switch, answer, result;
        std::string box;        // the question asked (the folder question by its first lines), or none
        int first_step;         // 0: no step ran
        bool same_id;
        Names left;             // what stays in the folder: what no journal of the run's vouched for
        std::string status;     // when no step ran
    } rows[] = {
        {"the same method, Yes", MATCHING, true, 1, 0, IDYES, 0, resume_question, 2, true, {}, ""},
        {"the same method, No", MATCHING, true, 1, 0, IDNO, 0, resume_question, 1, false, {}, ""},
        {"a journal alone, Yes", MATCHING, false, 1, 0, IDYES, 0, resume_question, 2, true, {}, ""},
        {"another method, Yes", OTHER_METHOD, true, 1, 0, IDYES, 0, impossible, 1, false, {}, ""},
        // not gone on with, nor begun again: the interrupted run's space comes back
        {"a changed script, No", CHANGED_SCRIPT, true, 1, 0, IDNO, 3, changed, 0, false, {}, deleted},
        // the leftovers go before the session ends; the journal stays to go on from
        {"the session's end while the question waits", MATCHING, true, 1, 0, SESSION_ENDS, 1, resume_question, 0, false,
         {JOURNAL_NAME}, ""},
        {"another folder's journal", OTHER_FOLDER, true, 1, 0, IDYES, 0, folder_question, 1, false, everything, ""},
        {"a journal that fails its seal", DAMAGED, true, 1, 0, IDYES, 0, folder_question, 1, false, everything, ""},
        {"unattended, /resume", MATCHING, true, 0, 1, IDNO, 0, "", 2, true, {}, ""},
        // what a verify reads went with the session's end: the erase before it writes it again
        {"unattended, /resume, a journal at a verify", AT_A_VERIFY, true, 0, 1, IDNO, 0, "", 3, true, {}, ""},
        {"a journal at a verify, Yes", AT_A_VERIFY, true, 1, 0, IDYES, 0, asked(4, 3, 3), 3, true, {}, ""},
        {"unattended, /resume, a journal at a step a verify comes after", AT_A_LOOK, true, 0, 1, IDNO, 0, "", 2, true, {}, ""},
        {"unattended, /resume, another method", OTHER_METHOD, true, 0, 1, IDNO, 0, "", 1, false, {}, ""},
        {"unattended, without /resume", MATCHING, true, 0, 0, IDNO, 3, "", 0, false, everything, not_used},
        // a journal that is no proof is no run's to go on from: the folder is any existing one
        {"unattended, /resume, a journal that fails its seal", DAMAGED, true, 0, 1, IDNO, 3, "", 0, false, everything, not_used},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const std::string &text = r.kind == AT_A_LOOK ? look_text : steps_text;
        const unsigned long long hash = text_hash(text.data(), text.size(), TEXT_HASH_START);
        ASSERT_TRUE(write_file(script, text));
        ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
        if (r.leftovers) {
            ASSERT_TRUE(write_file(in_work("00000001"), std::string(1 << 20, 0x22)) && write_file(in_work("00000002"), "x"));
        }
        RunJournal journal = {};
        journal.method = r.kind == OTHER_METHOD ? 1 : 0;
        journal.script_hash = r.kind == CHANGED_SCRIPT ? hash + 1 : hash;
        journal.step = r.kind == AT_A_VERIFY ? 4 : r.kind == AT_A_LOOK ? 3 : 2, journal.steps = 4, journal.created = 1, journal.passes = 1;
        snprintf(journal.run_id, sizeof journal.run_id, "%s", "first-part");
        snprintf(journal.started, sizeof journal.started, "%s", "2026-12-07 21:30");
        leave_journal(journal, r.kind == OTHER_FOLDER, r.leftovers);
        if (r.kind == DAMAGED) {
            ASSERT_TRUE(write_file_at(in_work(JOURNAL_NAME), 20, "#"));
        }
        boxes.shown.clear(), boxes.replies.clear(), steps.texts.clear();
        SetDlgItemTextA(window, 146, "");
        boxes.answer(r.answer);
        boxes.on_show = [&](const BoxRecord &) {
            if (r.answer == SESSION_ENDS)
                keep_journal_at_stop = 1, abort_flag = 1;
        };
        unattended = !r.attended, resume_interrupted_run = r.resume_switch;
        snprintf(run_id, sizeof run_id, "%s", "this-part");
        work_folder_created = 0;

        EXPECT_EQ(r.result, run_steps(window, 146, 147, 0, &abort_flag));
        unattended = 0, resume_interrupted_run = 0, keep_journal_at_stop = 0, abort_flag = 0;
        boxes.on_show = nullptr;
        release_work_folder();
        EXPECT_EQ(r.answer == SESSION_ENDS ? 2 : 0, run_resume_step) << "the step the next Start goes on from";

        ASSERT_EQ(r.box.empty() ? 0u : 1u, boxes.shown.size());
        if (!r.box.empty()) {
            EXPECT_EQ(r.box, boxes.shown[0].text.substr(0, r.box.size()));
        }
        if (r.first_step) {
            ASSERT_FALSE(steps.texts.empty());
            EXPECT_EQ("step " + std::to_string(r.first_step) + " of 4: ", steps.texts[0].substr(0, 13));
            EXPECT_EQ(size_t(5 - r.first_step), steps.texts.size());
        } else {
            EXPECT_EQ(std::vector<std::string>{}, steps.texts);
            EXPECT_EQ(r.status, window_text(window, 146));
        }
        EXPECT_EQ(r.first_step > 1 ? r.first_step : 0, run_resumed_from);
        EXPECT_EQ(r.same_id ? "first-part" : "this-part", std::string(run_id));
        bool other_method = !r.attended && r.resume_switch && r.kind == OTHER_METHOD;
        EXPECT_EQ(other_method ? 1 : -1, resume_other_method) << "/resume found another method's run";
        EXPECT_FALSE(resume_found_nothing) << "/resume with nothing to go on from";
        EXPECT_EQ(r.left, list_folder(work)) << "the run's own files went, the leftovers its journal vouched for with them";
        // the folder goes at the end if the run it belongs to made it
        EXPECT_EQ(r.left != everything ? 1 : 0, work_folder_created);
        remove_tree(work);
    }
}

// The session's end keeps the journal (the work files still go), naming the
// step to go on from: the one the run was in, or for a step a verify comes
// after, the erase that wrote what the verify reads. Abort, the user's
// choice, and a run that had done all its steps, delete it.
TEST_P(Resume, TheSessionsEndKeepsTheJournalAndEveryOtherEndingDeletesIt)
{
    const std::string script = exe.substr(0, exe.size() - 4) + "0.run";
    const char *four = "4\r\nerase 0x11\r\nerase 0x22\r\nerase 0x33\r\nerase 0x44\r\n", *looked = "3\r\nerase 0x11\r\nlook\r\nverify 0x11\r\n";
    // room: a file beside the work folder is deleted as the step begins, so
    // that its journal can be written (a verify begins with the volume full,
    // and the journal before it, the erase's, would stay and hide which step
    // the verify's own journal names)
    const std::string spacer = root + "spacer";
    const struct { const char *name, *script, *at; int keep, result, kept_step; bool room = false; } rows[] = {
        {"the session's end in step 2", four, "step 2 of 4: erase 0x22", 1, 1, 2},
        {"the session's end at a step a verify comes after", looked, "step 2 of 3: look", 1, 1, 1},
        {"the session's end in a verify", "2\r\nerase 0\r\nverify 0\r\n", "step 2 of 2: verify 0", 1, 1, 1},
        {"the session's end in a verify that has room for its journal", "2\r\nerase 0\r\nverify 0\r\n", "step 2 of 2: verify 0",
         1, 1, 1, true},
        {"the same at a step a verify comes after", looked, "step 2 of 3: look", 1, 1, 1, true},
        {"Abort in step 2", four, "step 2 of 4: erase 0x22", 0, 1, 0},
        {"the session's end after the last step", four, "作業ファイルを削除しています...", 1, 0, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(write_file(script, r.script));
        ASSERT_TRUE(!r.room || write_file(spacer, std::string(1 << 20, 's')));
        bool room_made = false;
        steps.on_text = status.on_text = [&](const std::string &text) {
            if (text == r.at)
                abort_flag = 1, room_made = r.room && DeleteFileA(spacer.c_str());
        };
        keep_journal_at_stop = r.keep;
        EXPECT_EQ(r.result, run_steps(window, 146, 147, 0, &abort_flag));
        keep_journal_at_stop = 0, abort_flag = 0;
        steps.on_text = status.on_text = nullptr;
        EXPECT_EQ(r.room, room_made) << "room for the step's journal";
        EXPECT_EQ(r.kept_step, run_resume_step);
        RunJournal journal = {};
        EXPECT_EQ(r.kept_step ? 0u : (DWORD)ERROR_FILE_NOT_FOUND, read_journal(&journal));
        EXPECT_EQ(r.kept_step, journal.step);
        close_journal(), release_work_folder(), forget_run_files();
        EXPECT_EQ(r.kept_step ? std::vector<std::string>{JOURNAL_NAME} : std::vector<std::string>{}, list_folder(work))
            << "the work files went";
        if (r.kept_step) {
            // taken up with /resume: the run begins at the step the journal names, and ends whole
            steps.texts.clear();
            unattended = 1, resume_interrupted_run = 1;
            EXPECT_EQ(0, run_steps(window, 146, 147, 0, &abort_flag));
            unattended = 0, resume_interrupted_run = 0;
            int count = atoi(r.script);
            ASSERT_FALSE(steps.texts.empty());
            const std::string first = "step " + std::to_string(r.kept_step) + " of " + std::to_string(count) + ": ";
            EXPECT_EQ(first, steps.texts[0].substr(0, first.size())) << "the resumed run's first step";
            EXPECT_EQ(size_t(count - r.kept_step + 1), steps.texts.size());
            EXPECT_EQ(r.kept_step, run_resumed_from);
            close_journal(), release_work_folder(), forget_run_files();
            EXPECT_EQ(std::vector<std::string>{}, list_folder(work)) << "the resumed run left nothing";
        }
        remove_tree(work);
    }
}

// A 35-pass run killed at each moment its files on the disk change, once its
// second step has begun (a journal is in place), then taken up with /resume.
// The strict layer ends its process there: no call after the moment does
// anything, its handles close, and what it had done stays on the disk. The
// part that goes on ends 0, nothing in the folder is named as another's,
// its folder goes and the space is back. The moments come from the run
// itself (run_moment), never from the clock.
static int kill_moment = -1;
static bool kill_armed;
static volatile LONG *kill_abort;
static void kill_at(int moment)
{
    if (!kill_armed || moment != kill_moment)
        return;
    strict_process_ends();
    *kill_abort = 1, kill_armed = false;
}

TEST_P(Resume, ARunKilledAtAnyMomentIsTakenUpCleanly)
{
    const std::string script = exe.substr(0, exe.size() - 4) + "0.run";
    std::string text = "35\r\n";
    char word[16];
    for (int pass = 0; pass < 35; ++pass)
        snprintf(word, sizeof word, "0x%02x", pass * 37 & 0xFF), text += pass < 4 || pass >= 31 ? "erase random\r\n" : "erase " + std::string(word) + "\r\n";
    ASSERT_TRUE(write_file(script, text));
    const unsigned long long free_before = free_bytes_of(root);
    const struct { const char *name; int moment; } rows[] = {
        {"a new journal, before the one in place vouches for its file", MOMENT_BEFORE_TEMP_LINE},
        {"a new journal, vouched for, not made", MOMENT_AFTER_TEMP_LINE},
        {"a new journal made, empty", MOMENT_JOURNAL_MADE},
        {"a new journal half written", MOMENT_JOURNAL_HALF},
        {"a new journal moved into place", MOMENT_JOURNAL_MOVED},
        {"a work file, before its name is vouched for", MOMENT_BEFORE_NAME_LINE},
        {"a work file vouched for by name, not made", MOMENT_AFTER_NAME_LINE},
        {"a work file made, before its ID line", MOMENT_WORK_FILE_MADE},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const char *folder_text = "";
        ASSERT_EQ(0, prepare_work_folder_path(window, root.c_str(), &folder_text));
        kill_moment = r.moment, kill_armed = false, kill_abort = &abort_flag;
        steps.on_text = [&](const std::string &label) { kill_armed = kill_armed || label.compare(0, 14, "step 2 of 35: ") == 0; };
        run_moment = kill_at, unattended = 1;
        run_steps(window, 146, 147, 0, &abort_flag);
        run_moment = NULL, steps.on_text = nullptr;
        EXPECT_TRUE(strict_process_ended()) << "the moment never came";
        // what the system does for a process that has ended: its handles close
        close_journal(), release_work_folder(), forget_run_files();
        strict_process_restarts();
        abort_flag = 0;
        EXPECT_NE(std::vector<std::string>{}, list_folder(work)) << "the kill left nothing to take up";

        resume_interrupted_run = 1;
        steps.texts.clear();
        EXPECT_EQ(0, run_steps(window, 146, 147, 0, &abort_flag)) << window_text(window, 146);
        resume_interrupted_run = 0, unattended = 0;
        EXPECT_EQ(0, foreign_entry_count()) << "named as another's: " << foreign_entry_names();
        EXPECT_EQ(-1, resume_other_method);
        EXPECT_FALSE(resume_found_nothing) << "the killed run's journal was no proof";
        EXPECT_TRUE(run_resumed_from == 1 || run_resumed_from == 2) << run_resumed_from;
        EXPECT_EQ(size_t(36 - run_resumed_from), steps.texts.size()) << "the steps from there to the end";
        EXPECT_EQ(1, work_folder_created) << "the folder the killed run made";
        const char *left = "";
        EXPECT_EQ(0, remove_work_folder(window, &left)) << left;
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(work.c_str())) << "the work folder stayed";
        EXPECT_EQ(free_before, free_bytes_of(root)) << "the space is not back";
        remove_tree(work);
    }
}
