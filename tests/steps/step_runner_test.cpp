// The step-script runner through run_steps: real scripts, real passes on real
// volumes (tmpfs K:, ext4 L:), a user's files beside the work folder.
#include <gtest/gtest.h>
#include <algorithm>
#include "control_log.h"
#include "engine/engine_checks.h"
#include "steps/step_runner.h"
#include "support/messages.h"
#include "ui/work_folder.h"

// kept: the work files an earlier run left stay; erased: an erase step ran (it clears the status box);
// errors: "Verify error in" texts; corrupt: a byte of 00000001 changed when the verify begins;
// module: the length of the program's path, 0 for its own
// boxes: the question about the existing folder, and one for each line the run asks about
struct Script { std::string text; int result; std::vector<std::string> steps; int errors; bool erased, corrupt, kept; size_t module; size_t boxes = 1; };
static void PrintTo(const Script &c, std::ostream *out) { *out << ::testing::PrintToString(c.text) << " " << c.module; }
static Script one_step(const std::string &line, int errors, bool corrupt = false)
{ return Script{"1\r\n" + line + "\r\n", errors ? 3 : 0, {"step 1 of 1: " + line}, errors, true, corrupt, false, 0}; }

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
        release_transfer_buffer();
        get_free_ex = NULL, get_free_ex_ready = 0, module_file_name = GetModuleFileNameA;
        if (!root.empty())
            clear_volume(root);
        DestroyWindow(window);
    }
    std::string in_work(const char *name) { return work + "\\" + name; }
};

// An earlier run left a held buffer and files of 0x55 ending in 0x56 (they
// match no expected bytes); "notes" is no work file: it stays, every compare reads it.
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
        if (text == "verify" && c.corrupt && read_file(in_work("00000001"), &bytes)) {
            EXPECT_TRUE(write_file_at(in_work("00000001"), 5000000, std::string(1, (char)~bytes.at(5000000))));
        }
    };
    ASSERT_TRUE(SetCurrentDirectoryA(root.c_str()));

    EXPECT_EQ(c.result, run_steps(window, 146, 147, 0, &abort_flag));

    EXPECT_EQ(root, current_directory());
    EXPECT_EQ(c.steps, steps.texts);
    EXPECT_EQ(!c.steps.empty(), reused);
    bool early = c.result == 2 && c.steps.empty();   // stopped before the step loop
    EXPECT_EQ(early ? held : nullptr, run_context.transfer_buffer);
    EXPECT_EQ(early, get_free_ex_ready == 1);
    using Names = std::vector<std::string>;
    EXPECT_EQ((c.kept ? Names{"00000001", "00000003.tmp", "00000009", "777", "notes"} : Names{"00000003.tmp", "00000009", "notes"}),
              list_folder(work));
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
    if (c.result == 2 && c.text.size() > 2 && atoi(c.text.c_str()) <= 0) {   // no step to run, never "finished"
        EXPECT_EQ("手順ファイル " + exe.substr(0, exe.size() - 4) + "0.run の 1 行目（" +
                  c.text.substr(0, c.text.find('\r')) + "）からは実行する手順がありません。手順数を 1 以上の数にしてください。",
                  final_status);
    }
    EXPECT_TRUE(!c.corrupt || status.saw("Verify error in " + in_work("00000001")));
    EXPECT_EQ(c.module > 256, status.saw("ModuleFileName too long"));
    EXPECT_EQ(c.boxes, boxes.shown.size()) << "the question about the existing folder, and those about lines";
}

static const std::string WIPE_179 = "wipe" + std::string(175, 'x');
// Every run that reached its steps deletes its work files, whatever its end;
// one that stopped before them (no count line, a program path too long) keeps
// an earlier run's. A word ends at its trailing blanks and line ends: random
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
            Script{"1\r\nwipe\r\n", 2, {}, 0, false, false, true, 257},
            Script{"  +4 steps\r\n erase 1\r\nwipe\r\n\r\n\tverify 1\r\n", 0,
                   {"step 1 of 4:  erase 1", "step 2 of 4: wipe", "step 3 of 4: ", "step 4 of 4: \tverify 1"}, 0, false, false, false, 0},
            Script{"2\nwipe\nverify \t0x56\n", 3, {"step 1 of 2: wipe\n", "step 2 of 2: verify \t0x56\n"}, 3, false, false, false, 0},
            Script{"2\r\n" + WIPE_179 + "verify 0x56  \r\n", 3, {"step 1 of 2: " + WIPE_179, "step 2 of 2: verify 0x56  "}, 3, false, false, false, 0},
            Script{"2\r\nverify   \r\nverify dod\r\n", 0, {"step 1 of 2: verify   ", "step 2 of 2: verify dod"}, 0, false, false, false, 0},
            // a mistyped keyword is asked about, and not answered Yes here: nothing runs
            Script{"2\r\nEraseX 0xff\r\nverifying 0xfe\r\n", 2, {}, 0, false, false, true, 0, 2},
            // a verify after a plain erase, a step without a keyword between
            // them or not, reads the erase's files whole: an NTFS-type volume
            // (as Wine calls every drive) would otherwise have them cut to nothing
            // (the work file and "notes" differ from 0x22)
            Script{"2\r\nerase 0x11\r\nverify 0x22\r\n", 3, {"step 1 of 2: erase 0x11", "step 2 of 2: verify 0x22"}, 2, true, false, false, 0},
            Script{"4\r\nerase 0x11\r\nlook\r\n\r\nverify 0x22\r\n", 3,
                   {"step 1 of 4: erase 0x11", "step 2 of 4: look", "step 3 of 4: ", "step 4 of 4: verify 0x22"}, 2, true, false, false, 0},
            Script{"2\r\nerase,verify random \r\nverify 0\r\n", 3,
                   {"step 1 of 2: erase,verify random ", "step 2 of 2: verify 0"}, 2, true, false, false, 0},
            Script{"2\nerase,verify random\nverify 0\n", 3,
                   {"step 1 of 2: erase,verify random\n", "step 2 of 2: verify 0\n"}, 2, true, false, false, 0},
            // a list or "dod" wipe passes its verify, one changed byte does not
            one_step("ERASE,VERIFY 0xff", 1), one_step("erase,verify 0x55,0xaa", 1), one_step("erase,verify 0x55,0xaa", 2, true),
            one_step("erase,verify 1,2,3", 1), one_step("erase,verify 1,2,3", 2, true), one_step("erase,verify dod", 1),
            one_step("erase,verify DOD", 2, true))));

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
        EXPECT_EQ(r.result == 0 ? EXIT_CODE_DONE : EXIT_CODE_METHOD, run_exit_code);
        steps.texts.clear();
        remove_tree(work);
    }
}
