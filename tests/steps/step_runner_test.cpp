// The step-script runner through run_steps, with real scripts next to this
// test program and real passes on real volumes (tmpfs K:, ext4 L:). Every test
// that runs anything checks afterwards that no file outside the work folder
// changed.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <map>
#include <string>
#include <vector>
#include "control_log.h"
#include "engine/engine_checks.h"
#include "engine/wipe_engine.h"
#include "steps/step_runner.h"
#include "support/messages.h"
#include "test_helpers.h"
#include "ui/work_folder.h"

namespace {

const char FOLDER_EXISTS[] = "フォルダがすでに存在します。処理を続ける場合\r\n"
                             "このフォルダにあるファイルは削除されます。\r\n"
                             "処理終了後もこのフォルダは残ります。";
const char CANNOT_CREATE[] = "フォルダを作成できません。";

std::string own_path()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    return std::string(path, length);
}

// The script of a method for an executable: its path without ".exe", the
// index and ".run".
std::string script_for(const std::string &exe, int index)
{
    return exe.substr(0, exe.size() - 4) + std::to_string(index) + ".run";
}

bool exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

// ----------------------------------------------------------- step_argument

TEST(StepArgument, IsTheRestOfTheLineAfterTheFirstRunOfBlanks)
{
    struct Case {
        const char *line;
        const char *word;   // null: no argument
    } cases[] = {
        {"erase", nullptr},
        {"erase   ", nullptr},
        {"erase \t ", nullptr},
        {"", nullptr},
        {"erase   random  ", "random  "},
        {"erase,verify\t0", "0"},
        {"erase 1, 2  x", "1, 2  x"},
        {"verify 0\n", "0\n"},
        {"erase\n", nullptr},
        {" erase 0", "erase 0"},
    };
    for (const Case &c : cases) {
        const char *word = step_argument(c.line);
        if (!c.word) {
            EXPECT_EQ(nullptr, word) << "\"" << c.line << "\"";
        } else {
            ASSERT_NE(nullptr, word) << "\"" << c.line << "\"";
            EXPECT_STREQ(c.word, word);
            // a pointer into the line, not a copy
            EXPECT_TRUE(word > c.line && word < c.line + strlen(c.line));
        }
    }
}

// ----------------------------------------------------------- texts

TEST(Texts, AreLoadedOnceFromTheProgramsStringTable)
{
    load_texts(GetModuleHandleA(NULL));
    EXPECT_STREQ("step %d of %d: %s", program_text(IDS_STEP_FORMAT));
    EXPECT_STREQ("処理を続けますか？", program_text(IDS_CONTINUE_QUESTION));
    EXPECT_STREQ(CANNOT_CREATE, program_text(IDS_CANNOT_CREATE_FOLDER));
    EXPECT_STREQ(FOLDER_EXISTS, program_text(IDS_FOLDER_EXISTS));
    EXPECT_STREQ("Version 8", program_text(IDS_VERSION));
    const char *kept = program_text(IDS_STEP_FORMAT);
    load_texts(GetModuleHandleA(NULL));
    EXPECT_EQ(kept, program_text(IDS_STEP_FORMAT)) << "a second load replaced a kept text";
    EXPECT_STREQ("", program_text(IDS_FIRST - 1));
    EXPECT_STREQ("", program_text(IDS_LAST + 1));
}

// ----------------------------------------------------------- the runner's bench

class StepRunner : public ::testing::Test {
protected:
    HWND window = create_run_window();
    ControlLog status{window, 146};
    ControlLog steps{window, 147};
    ScriptedBoxes boxes;
    volatile LONG abort_flag = 0;
    std::string root;
    std::string work;
    std::string saved_directory;
    std::map<std::string, std::string> user_before;
    std::vector<std::string> scripts;

    void SetUp() override
    {
        load_texts(GetModuleHandleA(NULL));
        use_volume("steps_tmpfs");
    }

    // An empty volume with the user's files on it; the work folder goes into
    // its root, beside them.
    void use_volume(const char *name)
    {
        root = volume_root(name);
        ASSERT_FALSE(root.empty()) << "no volume " << name << " on this bench";
        clear_volume(root);
        plant_user_files(root);
        user_before = digest_tree(root);
        work_folder_created = 0;
        const char *text = "";
        ASSERT_EQ(0, prepare_work_folder_path(window, root.c_str(), &text));
        work = root + "$VANTA$$";
        ASSERT_EQ(work, std::string(work_folder_path));
        saved_directory = current_directory();
    }

    void TearDown() override
    {
        for (const std::string &s : scripts)
            DeleteFileA(s.c_str());
        if (!root.empty()) {
            EXPECT_EQ(user_before, digest_tree(root)) << "a file outside the work folder changed";
        }
        EXPECT_EQ(saved_directory, current_directory());
        release_transfer_buffer();
        get_free_ex = NULL;
        get_free_ex_ready = 0;
        module_file_name = GetModuleFileNameA;
        if (!root.empty())
            clear_volume(root);
        DestroyWindow(window);
    }

    void script(int index, const std::string &text)
    {
        std::string path = script_for(own_path(), index);
        ASSERT_TRUE(write_file(path, text)) << path;
        scripts.push_back(path);
    }
    int run(int index = 0) { return run_steps(window, 146, 147, index, &abort_flag); }

    std::string in_work(const std::string &name) { return work + "\\" + name; }

    // What an earlier, aborted run leaves: work files and a few others. The
    // folder exists, so the run asks first; the test answers Yes.
    void leave_work_files()
    {
        ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
        for (const char *name : {"00000001", "00000002", "777"})
            ASSERT_TRUE(write_file(in_work(name), std::string(3000, 0x55)));
        ASSERT_TRUE(write_file(in_work("00000003.tmp"), "an extension"));
        ASSERT_TRUE(write_file(in_work("notes"), std::string(100, 0x55)));
        ASSERT_TRUE(CreateDirectoryA(in_work("00000009").c_str(), NULL));
        ASSERT_TRUE(write_file(in_work("00000009\\00000001"), "below the work folder"));
        boxes.answer(IDYES);
    }
    std::vector<std::string> work_names() { return list_folder(work); }
};

// ----------------------------------------------------------- the count line

class NoStep : public StepRunner, public ::testing::WithParamInterface<const char *> {};

TEST_P(NoStep, RunsNothingButDeletesLeftWorkFiles)
{
    leave_work_files();
    script(0, std::string(GetParam()) + "\r\nerase 0x55\r\n");
    unsigned long long free_before = free_bytes_of(root);

    EXPECT_EQ(0, run());

    EXPECT_TRUE(steps.texts.empty()) << steps.texts[0];
    EXPECT_TRUE(status.texts.empty()) << status.texts[0];
    EXPECT_EQ((std::vector<std::string>{"00000003.tmp", "00000009", "notes"}), work_names());
    EXPECT_TRUE(exists(in_work("00000009\\00000001")));
    EXPECT_GE(free_bytes_of(root), free_before) << "something was written";
    EXPECT_EQ(0, work_folder_created) << "the user's Yes keeps the folder after the run";
}

INSTANTIATE_TEST_SUITE_P(Counts, NoStep, ::testing::Values("0", "-3", "x", "", " - 1"));

TEST_F(StepRunner, ReadsTheCountAsAtoiDoes)
{
    script(0, "  +2 steps\r\nwipe\r\n wipe\r\nwipe\r\n");

    EXPECT_EQ(0, run());

    EXPECT_EQ((std::vector<std::string>{"step 1 of 2: wipe", "step 2 of 2:  wipe"}), steps.texts);
}

TEST_F(StepRunner, FewerLinesThanTheCountEndWithTwoAndKeepTheWorkFiles)
{
    leave_work_files();
    script(0, "3\r\nwipe\r\nverify\r\n");

    EXPECT_EQ(2, run());

    EXPECT_EQ((std::vector<std::string>{"step 1 of 3: wipe", "step 2 of 3: verify"}), steps.texts);
    EXPECT_TRUE(status.saw("verify"));
    EXPECT_TRUE(exists(in_work("00000001")));
    EXPECT_TRUE(exists(in_work("777")));
    EXPECT_EQ(nullptr, run_context.transfer_buffer) << "released after the step loop";
}

TEST_F(StepRunner, LinesAfterTheCountAreNeverRead)
{
    leave_work_files();
    script(0, "1\r\nwipe\r\nerase 0x55\r\nverify 0x55\r\n");
    unsigned long long free_before = free_bytes_of(root);

    EXPECT_EQ(0, run());

    EXPECT_EQ(std::vector<std::string>{"step 1 of 1: wipe"}, steps.texts);
    EXPECT_FALSE(status.saw("verify"));
    EXPECT_GE(free_bytes_of(root), free_before) << "the erase line after the count ran";
    EXPECT_FALSE(exists(in_work("00000001")));
}

// ----------------------------------------------------------- step lines

TEST_F(StepRunner, BareLineFeedsStayInTheStepLine)
{
    leave_work_files();
    script(0, "2\nwipe\nverify 0x55\n");

    EXPECT_EQ(0, run());

    EXPECT_EQ((std::vector<std::string>{"step 1 of 2: wipe\n", "step 2 of 2: verify 0x55\n"}),
              steps.texts);
    EXPECT_TRUE(status.saw("verify")) << "the LF ends no keyword";
    EXPECT_EQ(0, status.count_starting("Verify error in "));
}

TEST_F(StepRunner, ALongLineIsReadIn179CharacterPieces)
{
    leave_work_files();
    std::string first = "wipe" + std::string(175, 'x');
    std::string rest = "verify 0x56" + std::string(10, ' ');
    ASSERT_EQ(200u, first.size() + rest.size());
    script(0, "2\r\n" + first + rest + "\r\n");

    EXPECT_EQ(0, run());

    EXPECT_EQ((std::vector<std::string>{"step 1 of 2: " + first, "step 2 of 2: " + rest}),
              steps.texts);
    // the second piece is a verify step of its own: 0x55 files against 0x56
    // (00000001, 00000002, 777 and notes)
    EXPECT_EQ(4, status.count_starting("Verify error in "));
}

TEST_F(StepRunner, LinesWithoutAKeywordOnlyShowTheirText)
{
    script(0, "4\r\n erase 0x55\r\nwipe\r\n\r\n\tverify\r\n");
    unsigned long long free_before = free_bytes_of(root);

    EXPECT_EQ(0, run());

    EXPECT_EQ((std::vector<std::string>{"step 1 of 4:  erase 0x55", "step 2 of 4: wipe",
                                        "step 3 of 4: ", "step 4 of 4: \tverify"}),
              steps.texts);
    EXPECT_TRUE(status.texts.empty()) << status.texts[0];
    EXPECT_TRUE(work_names().empty());
    EXPECT_GE(free_bytes_of(root), free_before);
}

// Keywords match the start of the line in any case, the longer one first.
TEST_F(StepRunner, KeywordsArePrefixesInAnyCase)
{
    script(0, "4\r\nERASE,VERIFY 0xff\r\nverifying\r\nEraseX\r\nverify 0\r\n");
    std::vector<std::string> at_verify;   // the step label whenever a verify began
    std::vector<std::string> problems;
    status.on_text = [&](const std::string &text) {
        if (text != "verify")
            return;
        at_verify.push_back(steps.texts.back());
        unsigned char value = at_verify.size() < 3 ? 0xFF : 0x00;
        problems.push_back(check_work_files(work, block_of(value).data()).problem);
    };

    EXPECT_EQ(0, run());

    EXPECT_EQ((std::vector<std::string>{"step 1 of 4: ERASE,VERIFY 0xff", "step 2 of 4: verifying",
                                        "step 4 of 4: verify 0"}),
              at_verify);
    EXPECT_EQ((std::vector<std::string>{"", "", ""}), problems);
    EXPECT_EQ(0, status.count_starting("Verify error in "));
    EXPECT_TRUE(work_names().empty());
}

// ----------------------------------------------------------- results

TEST_F(StepRunner, AScriptThatCannotBeOpenedIsReportedWithThree)
{
    EXPECT_EQ(3, run(7));

    EXPECT_EQ(script_for(own_path(), 7) + ": No such file or directory", status.texts.back());
    EXPECT_TRUE(steps.texts.empty());

    // an empty method list hands over -1: a name no script of ours has
    boxes.answer(IDYES);   // the first run created the folder
    EXPECT_EQ(3, run(-1));
    EXPECT_EQ(script_for(own_path(), -1) + ": No such file or directory", status.texts.back());
}

TEST_F(StepRunner, AScriptWithoutAFirstLineEndsWithTwo)
{
    script(0, "");

    EXPECT_EQ(2, run());

    EXPECT_TRUE(status.texts.empty());
    EXPECT_TRUE(steps.texts.empty());
}

TEST_F(StepRunner, AnAbortBeforeTheScriptEndsWithOne)
{
    script(0, "1\r\nerase\r\n");
    abort_flag = 1;

    EXPECT_EQ(1, run());

    EXPECT_TRUE(steps.texts.empty());
    EXPECT_TRUE(work_names().empty());
}

TEST_F(StepRunner, AnExistingFolderAnsweredNoWritesNothing)
{
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    ASSERT_TRUE(write_file(in_work("00000001"), "left by someone"));
    script(0, "1\r\nerase 0x55\r\n");
    boxes.answer(IDNO);
    unsigned long long free_before = free_bytes_of(root);

    EXPECT_EQ(3, run());

    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ("処理を続けますか？\r\n" + work + "\r\n" + FOLDER_EXISTS, boxes.shown[0].text);
    EXPECT_EQ(std::vector<std::string>{CANNOT_CREATE}, status.texts);
    EXPECT_TRUE(steps.texts.empty());
    std::string left;
    EXPECT_TRUE(read_file(in_work("00000001"), &left));
    EXPECT_EQ("left by someone", left);
    EXPECT_EQ(free_before, free_bytes_of(root));
}

static DWORD WINAPI no_module_file_name(HMODULE, LPSTR, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

TEST_F(StepRunner, WithoutTheExecutablesPathEndsWithTwo)
{
    script(0, "1\r\nwipe\r\n");
    module_file_name = no_module_file_name;

    EXPECT_EQ(2, run());

    EXPECT_EQ(std::vector<std::string>{"ModuleFileName too long"}, status.texts);
    EXPECT_TRUE(steps.texts.empty());
}

// ----------------------------------------------------------- the transfer buffer

TEST_F(StepRunner, TheBufferOutlivesAnEarlyStopAndNotTheStepLoop)
{
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    script(0, "1\r\nverify\r\n");
    boxes.answer(IDNO);
    get_free_ex_ready = 1;

    EXPECT_EQ(3, run());
    unsigned char *held = run_context.transfer_buffer;
    ASSERT_NE(nullptr, held) << "a run that stopped before its steps keeps the buffer";
    EXPECT_EQ(1, get_free_ex_ready) << "and the free-space lookup";

    // the next run uses the held buffer for its steps (a new one would be all
    // zeros), reads a file into it, then lets it go
    held[0] = 0xA5;
    held[TRANSFER_SIZE - 1] = 0x5A;
    ASSERT_TRUE(write_file(in_work("00000001"), std::string(5000, (char)0xAB)));
    boxes.answer(IDYES);
    unsigned char *during = nullptr;
    bool marked = false;
    steps.on_text = [&](const std::string &) {
        during = run_context.transfer_buffer;
        marked = during && during[0] == 0xA5 && during[TRANSFER_SIZE - 1] == 0x5A;
    };

    EXPECT_EQ(0, run());
    EXPECT_EQ(held, during);
    EXPECT_TRUE(marked) << "the held buffer was not used again";
    EXPECT_EQ(nullptr, run_context.transfer_buffer);
    EXPECT_EQ(0, get_free_ex_ready);

    // and the run after that takes a fresh, zero-filled one
    script(0, "1\r\nwipe\r\n");
    boxes.answer(IDYES);
    bool zeroed = false;
    steps.on_text = [&](const std::string &) {
        const unsigned char *buffer = run_context.transfer_buffer;
        zeroed = buffer != nullptr;
        for (DWORD i = 0; buffer && i < TRANSFER_SIZE; i += 4096)
            zeroed = zeroed && buffer[i] == 0 && buffer[i + 4095] == 0;
    };
    EXPECT_EQ(0, run());
    EXPECT_TRUE(zeroed);
}

// ----------------------------------------------------------- deleting work files

class DeleteWorkFiles : public StepRunner {
protected:
    int delete_files(const std::string &folder)
    {
        return delete_work_files(window, 146, 147, &abort_flag, folder.c_str());
    }
};

TEST_F(DeleteWorkFiles, RemovesNonDirectoryDigitNamesOnly)
{
    leave_work_files();

    EXPECT_EQ(0, delete_files(work));

    EXPECT_EQ((std::vector<std::string>{"00000003.tmp", "00000009", "notes"}), work_names());
    EXPECT_TRUE(exists(in_work("00000009\\00000001")));
    EXPECT_TRUE(boxes.shown.empty());
}

// The user's root holds a file named 00000001: a deletion by bare name in
// the wrong current directory would take it.
TEST_F(DeleteWorkFiles, NeverDeletesANameRelativeToTheCurrentDirectory)
{
    leave_work_files();
    ASSERT_TRUE(SetCurrentDirectoryA(root.c_str()));
    ASSERT_TRUE(exists(root + "00000001"));

    EXPECT_EQ(0, delete_files(work));

    EXPECT_TRUE(exists(root + "00000001"));
    EXPECT_FALSE(exists(in_work("00000001")));
    SetCurrentDirectoryA(saved_directory.c_str());
}

TEST_F(DeleteWorkFiles, AFileThatCannotBeDeletedStopsWithThree)
{
    leave_work_files();
    HANDLE held = CreateFileA(in_work("00000002").c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);

    int result = delete_files(work);
    DWORD code = run_context.last_error;
    CloseHandle(held);

    EXPECT_EQ(3, result);
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, code);
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(in_work("00000002") + "\r\n" + system_text(code), boxes.shown[0].text);
    EXPECT_EQ((UINT)(MB_OK | MB_ICONWARNING), boxes.shown[0].style);
    EXPECT_EQ(window, boxes.shown[0].owner);
    EXPECT_EQ(in_work("00000002") + " " + system_text(code), window_text(window, 146));
    EXPECT_TRUE(exists(in_work("00000002")));
}

TEST_F(DeleteWorkFiles, AnAbortStopsWithOneAndKeepsTheFiles)
{
    leave_work_files();
    abort_flag = 1;

    EXPECT_EQ(1, delete_files(work));

    EXPECT_TRUE(exists(in_work("00000001")));
    EXPECT_TRUE(exists(in_work("777")));
}

TEST_F(DeleteWorkFiles, AMissingFolderHasNothingToDelete)
{
    EXPECT_EQ(0, delete_files(work));
    EXPECT_TRUE(boxes.shown.empty());
}

// A folder whose name ends in a byte 0x5C (表 is 0x95 0x5C) holds the work
// folder; the user's file beside it keeps its digits-only name.
TEST_F(DeleteWorkFiles, AFolderNameEndingInATrailByte0x5CIsKeptWhole)
{
    std::string folder = root + "表";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    ASSERT_TRUE(write_file(folder + "\\00000001", "the user's"));
    const char *text = "";
    ASSERT_EQ(0, prepare_work_folder_path(window, folder.c_str(), &text));
    std::string deep = work_folder_path;
    ASSERT_EQ(folder + "\\$VANTA$$", deep);
    ASSERT_TRUE(CreateDirectoryA(deep.c_str(), NULL));
    ASSERT_TRUE(write_file(deep + "\\00000001", "work"));
    ASSERT_TRUE(write_file(deep + "\\notes", "kept"));

    EXPECT_EQ(0, delete_files(deep));

    EXPECT_EQ(std::vector<std::string>{"notes"}, list_folder(deep));
    EXPECT_TRUE(exists(folder + "\\00000001"));
    remove_tree(folder);
}

// Deep work folders: up to the deepest a Start admits (258 characters) the
// pattern is formed and handed to the listing, never refused as too long;
// whatever the system can list there is deleted by its full path.
TEST_F(DeleteWorkFiles, DeepFoldersAreListedUpToTheDeepestAdmitted)
{
    for (size_t length : {255u, 256u, 258u}) {
        std::string folder = root + std::string(length - 3 - 9, 'd');
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
        const char *text = "";
        ASSERT_EQ(0, prepare_work_folder_path(window, folder.c_str(), &text));
        std::string deep = work_folder_path;
        ASSERT_EQ(length, deep.size());
        ASSERT_TRUE(CreateDirectoryA(deep.c_str(), NULL)) << GetLastError();
        // a three-digit name still fits a path of 259 characters here
        bool planted = length <= 255 && write_file(deep + "\\777", "x");
        if (length == 255) {
            ASSERT_TRUE(planted);
        }

        abort_flag = 0;
        EXPECT_EQ(0, delete_files(deep)) << length;
        EXPECT_TRUE(boxes.shown.empty()) << length;
        if (planted) {
            EXPECT_FALSE(exists(deep + "\\777")) << length;
        }
        // a pattern of up to 259 characters starts the listing: the flag is seen
        if (length <= 256) {
            abort_flag = 1;
            EXPECT_EQ(1, delete_files(deep)) << length;
        }
        remove_tree(folder);
    }
}

// A pattern that does not fit, or an empty folder (the root of the current
// drive), is never listed.
TEST_F(DeleteWorkFiles, AFolderThatGivesNoSafePatternIsRefused)
{
    leave_work_files();
    ASSERT_TRUE(SetCurrentDirectoryA(work.c_str()));
    std::string overlong = work + "\\" + std::string(300, 'x');

    EXPECT_EQ(3, delete_files(overlong));
    EXPECT_EQ((DWORD)ERROR_BUFFER_OVERFLOW, run_context.last_error);
    EXPECT_EQ(3, delete_files(""));
    SetCurrentDirectoryA(saved_directory.c_str());

    EXPECT_EQ(2u, boxes.shown.size());
    EXPECT_TRUE(exists(in_work("00000001")));
    EXPECT_TRUE(exists(in_work("777")));
}

// ----------------------------------------------------------- end to end

class EndToEnd : public StepRunner, public ::testing::WithParamInterface<const char *> {
protected:
    void SetUp() override
    {
        load_texts(GetModuleHandleA(NULL));
        use_volume(GetParam());
    }
    // what a full volume may still report free, by file system
    unsigned long long slack() { return 64 * 1024; }
};

TEST_P(EndToEnd, FillsVerifiesAndDeletes)
{
    script(0, "2\r\nerase 0x55\r\nerase,verify 0\r\n");
    unsigned long long free_before = free_bytes_of(root);
    ASSERT_GT(free_before, 8ull * TRANSFER_SIZE / 2);
    WorkFiles first, second;
    unsigned long long free_after_first = 0, free_after_second = 0;
    steps.on_text = [&](const std::string &text) {
        if (text == "step 2 of 2: erase,verify 0") {
            first = check_work_files(work, block_of(0x55).data());
            free_after_first = free_bytes_of(root);
        }
    };
    status.on_text = [&](const std::string &text) {
        if (text == "verify") {
            second = check_work_files(work, block_of(0x00).data());
            free_after_second = free_bytes_of(root);
        }
    };

    EXPECT_EQ(0, run());

    EXPECT_EQ((std::vector<std::string>{"step 1 of 2: erase 0x55", "step 2 of 2: erase,verify 0"}),
              steps.texts);
    EXPECT_EQ("", first.problem);
    EXPECT_EQ("", second.problem);
    EXPECT_FALSE(first.names.empty());
    EXPECT_FALSE(second.names.empty());
    EXPECT_LT(free_after_first, slack());
    EXPECT_LT(free_after_second, slack());
    EXPECT_GE(second.total + slack(), free_before);
    EXPECT_EQ(0, status.count_starting("Verify error in "));
    EXPECT_EQ("verify", status.texts.back());
    EXPECT_TRUE(boxes.shown.empty());

    // the run deleted its files; the folder goes when the dialog removes it
    EXPECT_TRUE(work_names().empty());
    EXPECT_EQ(1, work_folder_created);
    const char *text = "";
    EXPECT_EQ(0, remove_work_folder(window, &text));
    EXPECT_FALSE(exists(work));
    EXPECT_GE(free_bytes_of(root) + slack(), free_before);
}

TEST_P(EndToEnd, ACorruptedByteIsReported)
{
    script(0, "1\r\nerase,verify 0x55\r\n");
    status.on_text = [&](const std::string &text) {
        if (text != "verify")
            return;
        // between the erase and the verify of the same step
        HANDLE file = CreateFileA(in_work("00000001").c_str(), GENERIC_WRITE, 0, NULL,
                                  OPEN_EXISTING, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        SetFilePointer(file, 5000000, NULL, FILE_BEGIN);
        DWORD done = 0;
        WriteFile(file, "\x54", 1, &done, NULL);
        CloseHandle(file);
        ASSERT_EQ(1u, done);
    };

    EXPECT_EQ(0, run()) << "a verify finding lets the script go on";

    ASSERT_FALSE(status.texts.empty());
    EXPECT_EQ("Verify error in " + in_work("00000001"), status.texts.back());
    EXPECT_EQ(1, status.count_starting("Verify error in "));
    EXPECT_TRUE(work_names().empty());
}

TEST_P(EndToEnd, AnAbortDuringTheLastVerifyEndsWithOneAndKeepsTheWorkFiles)
{
    script(0, "1\r\nerase,verify 0x55\r\n");
    status.on_text = [&](const std::string &text) {
        if (text == "verify")
            InterlockedExchange(&abort_flag, 1);
    };

    EXPECT_EQ(1, run());

    EXPECT_EQ("", check_work_files(work, block_of(0x55).data()).problem);
    EXPECT_FALSE(work_names().empty());
    EXPECT_EQ(1, work_folder_created);
}

static GetDiskFreeSpaceExProc real_free_ex;
static int probes_seen;
static volatile LONG *abort_at_third_probe;

static BOOL WINAPI probe_then_abort(LPCSTR path, PULARGE_INTEGER available,
                                    PULARGE_INTEGER total, PULARGE_INTEGER total_free)
{
    if (++probes_seen == 3)
        InterlockedExchange(abort_at_third_probe, 1);
    return real_free_ex(path, available, total, total_free);
}

TEST_P(EndToEnd, AnAbortDuringAnEraseLeavesTheWorkFilesAndARerunCleansUp)
{
    script(0, "2\r\nerase 0x55\r\nverify 0x55\r\n");
    real_free_ex = GetDiskFreeSpaceExA;
    probes_seen = 0;
    abort_at_third_probe = &abort_flag;
    get_free_ex = probe_then_abort;
    get_free_ex_ready = 1;

    EXPECT_EQ(1, run());

    EXPECT_EQ(3, probes_seen);
    EXPECT_EQ(std::vector<std::string>{"step 1 of 2: erase 0x55"}, steps.texts);
    EXPECT_FALSE(status.saw("verify"));
    WorkFiles left = check_work_files(work, block_of(0x55).data());
    EXPECT_EQ("", left.problem);
    ASSERT_FALSE(left.names.empty()) << "the aborted erase left no work file";
    EXPECT_GT(left.total, 0u);
    EXPECT_EQ(1, work_folder_created);
    EXPECT_EQ(nullptr, run_context.transfer_buffer);
    EXPECT_EQ(0, get_free_ex_ready);

    // the next Start on the same folder meets the question; Yes, and the run
    // deletes the left files and its own
    abort_flag = 0;
    get_free_ex = NULL;
    boxes.answer(IDYES);
    steps.texts.clear();

    EXPECT_EQ(0, run());

    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ("処理を続けますか？\r\n" + work + "\r\n" + FOLDER_EXISTS, boxes.shown[0].text);
    EXPECT_EQ(2u, steps.texts.size());
    EXPECT_EQ(0, status.count_starting("Verify error in "));
    EXPECT_TRUE(work_names().empty());
    // the user's folder now: it stays
    EXPECT_EQ(0, work_folder_created);
    const char *text = "";
    EXPECT_EQ(0, remove_work_folder(window, &text));
    EXPECT_TRUE(exists(work));
}

INSTANTIATE_TEST_SUITE_P(Volumes, EndToEnd, ::testing::Values("steps_tmpfs", "steps_ext4"));

// ----------------------------------------------------------- runs in a process of their own

// Every block of address space that could hold a transfer buffer is taken.
static int run_without_memory()
{
    load_texts(GetModuleHandleA(NULL));
    HWND window = create_run_window();
    ScriptedBoxes boxes;
    std::string root = volume_root("steps_tmpfs");
    const char *text = "";
    if (!window || root.empty() || prepare_work_folder_path(window, root.c_str(), &text) != 0)
        return 90;
    for (SIZE_T size = (SIZE_T)1 << 30; size >= TRANSFER_SIZE;)
        if (!VirtualAlloc(NULL, size, MEM_RESERVE, PAGE_NOACCESS))
            size /= 2;
    volatile LONG abort_flag = 0;
    int result = run_steps(window, 146, 147, 0, &abort_flag);

    std::string expected = "VirtualAlloc(): " + system_text(run_context.last_error);
    int faults = 0;
    if (result != 2)
        faults |= 1;
    if (boxes.shown.size() != 1 || boxes.shown[0].text != expected)
        faults |= 2;
    if (window_text(window, 146) != expected)
        faults |= 4;
    if (run_context.last_error == 0)
        faults |= 8;
    if (exists(work_folder_path))
        faults |= 16;   // the folder is created only once the buffer is held
    return faults;
}
static TestChild without_memory("without_memory", run_without_memory);

TEST(StepRunnerAlone, WithoutMemoryForTheBufferWarnsAndEndsWithTwo)
{
    std::string root = volume_root("steps_tmpfs");
    ASSERT_FALSE(root.empty());
    clear_volume(root);
    EXPECT_EQ(0u, run_child_process("without_memory"))
        << "1 result, 2 box, 4 status, 8 code, 16 folder created";
    clear_volume(root);
}

// A copy of this program at a long path runs method 0 with the script beside
// it; its exit code is the result times ten, plus one when the status box says
// the path was too long.
static int run_from_long_path()
{
    load_texts(GetModuleHandleA(NULL));
    HWND window = create_run_window();
    ScriptedBoxes boxes;
    std::string root = volume_root("steps_tmpfs");
    const char *text = "";
    if (!window || root.empty() || prepare_work_folder_path(window, root.c_str(), &text) != 0)
        return 90;
    volatile LONG abort_flag = 0;
    int result = run_steps(window, 146, 147, 0, &abort_flag);
    remove_work_folder(window, &text);
    return result * 10 + (window_text(window, 146) == "ModuleFileName too long" ? 1 : 0);
}
static TestChild from_long_path("from_long_path", run_from_long_path);

static DWORD run_copy(const std::string &exe, const char *child)
{
    std::string command = "\"" + exe + "\" --child " + child;
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(exe.c_str(), &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                        &process))
        return 0xFFFFFFFF;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0xFFFFFFFE;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

class ExecutablePath : public ::testing::TestWithParam<int> {};

TEST_P(ExecutablePath, Of256CharactersIsAcceptedAnd257Refused)
{
    const int length = GetParam();
    std::string root = volume_root("steps_tmpfs");
    ASSERT_FALSE(root.empty());
    clear_volume(root);
    std::string folder = root + std::string(200, 'p');
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    std::string exe = folder + "\\";
    exe += std::string(length - exe.size() - 4, 'e') + ".exe";
    ASSERT_EQ((size_t)length, exe.size());
    ASSERT_TRUE(CopyFileA(own_path().c_str(), exe.c_str(), FALSE)) << GetLastError();
    ASSERT_TRUE(write_file(script_for(exe, 0), "1\r\nwipe\r\n"));

    DWORD code = run_copy(exe, "from_long_path");

    if (length <= 256)
        EXPECT_EQ(0u, code) << "a script beside a 256-character path runs";
    else
        EXPECT_EQ(21u, code) << "a 257-character path ends the run with 2 and its status";
    clear_volume(root);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ExecutablePath, ::testing::Values(256, 257));
