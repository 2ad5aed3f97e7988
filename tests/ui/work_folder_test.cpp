// The work folder on a real volume (tmpfs, M:): its path, its creation or the
// question about an existing one, and its removal by the mark's rules.
#include <gtest/gtest.h>
#include <string.h>
#include <map>
#include <string>
#include "engine/engine_checks.h"
#include "support/messages.h"
#include "test_helpers.h"
#include "ui/work_folder.h"

namespace {

const char QUESTION_HEAD[] = "処理を続けますか？\r\n";
const char FOLDER_EXISTS[] = "フォルダがすでに存在します。処理を続ける場合\r\n"
                             "このフォルダにあるファイルは削除されます。\r\n"
                             "処理終了後もこのフォルダは残ります。";
const char CANNOT_CREATE[] = "フォルダを作成できません。";
const char CANNOT_DELETE[] = "フォルダを削除できません。";

bool is_folder(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

DWORD look_up_error;
DWORD WINAPI failing_look_up(LPCSTR)
{
    SetLastError(look_up_error);
    return INVALID_FILE_ATTRIBUTES;
}

} // namespace

class WorkFolder : public ::testing::Test {
protected:
    HWND dialog = create_status_window(146);
    ScriptedBoxes boxes;
    std::string root;
    std::string work;
    std::map<std::string, std::string> user_before;
    const char *text = "(untouched)";

    void SetUp() override
    {
        load_texts(GetModuleHandleA(NULL));
        root = volume_root("folder_tmpfs");
        ASSERT_FALSE(root.empty()) << "no volume folder_tmpfs on this bench";
        clear_volume(root);
        plant_user_files(root);
        user_before = digest_tree(root);
        work = root + "$VANTA$$";
        work_folder_created = 0;
        ASSERT_EQ(0, prepare_work_folder_path(dialog, root.c_str(), &text));
        ASSERT_EQ(work, std::string(work_folder_path));
    }
    void TearDown() override
    {
        work_folder_attributes = GetFileAttributesA;
        if (!root.empty()) {
            EXPECT_EQ(user_before, digest_tree(root)) << "a file outside the work folder changed";
            clear_volume(root);
        }
        DestroyWindow(dialog);
    }
};

// ----------------------------------------------------------- the path

TEST_F(WorkFolder, AFolderTextOf249BytesIsAccepted)
{
    std::string folder = root + std::string(249 - root.size(), 'f');

    EXPECT_EQ(0, prepare_work_folder_path(dialog, folder.c_str(), &text));

    EXPECT_EQ(folder + "\\$VANTA$$", std::string(work_folder_path));
    EXPECT_EQ(258u, strlen(work_folder_path));
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(WorkFolder, AFolderTextOf250BytesIsRefused)
{
    std::string folder = root + std::string(250 - root.size(), 'f');

    EXPECT_EQ(3, prepare_work_folder_path(dialog, folder.c_str(), &text));

    EXPECT_EQ(work, std::string(work_folder_path)) << "the path is unchanged";
    EXPECT_STREQ(CANNOT_CREATE, text);
    EXPECT_EQ((DWORD)ERROR_BUFFER_OVERFLOW, run_context.last_error);
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(folder + ": " + system_text(ERROR_BUFFER_OVERFLOW), boxes.shown[0].text);
    EXPECT_EQ((UINT)MB_ICONWARNING, boxes.shown[0].style);
    EXPECT_EQ(dialog, boxes.shown[0].owner);
    EXPECT_EQ("vanta", boxes.shown[0].caption);
}

TEST_F(WorkFolder, ThePathIsJoinedAsTheFolderIsSpelled)
{
    std::string drive = root.substr(0, 2);
    struct Case {
        std::string folder;
        std::string path;
    } cases[] = {
        {drive + "\\", drive + "\\$VANTA$$"},
        {drive, drive + "$VANTA$$"},
        {drive + "\\写真", drive + "\\写真\\$VANTA$$"},
        // trail byte 0x5C: no separator added or lost
        {drive + "\\表", drive + "\\表\\$VANTA$$"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(0, prepare_work_folder_path(dialog, c.folder.c_str(), &text));
        EXPECT_EQ(c.path, std::string(work_folder_path));
    }
}

// ----------------------------------------------------------- creation

TEST_F(WorkFolder, ANewFolderIsCreatedAndMarkedOurs)
{
    EXPECT_EQ(0, create_work_folder(dialog, &text));

    EXPECT_TRUE(is_folder(work));
    EXPECT_EQ(1, work_folder_created);
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_STREQ("(untouched)", text);
}

TEST_F(WorkFolder, AnExistingFolderIsUsedOnlyAfterYes)
{
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    ASSERT_TRUE(write_file(work + "\\00000001", "left"));
    work_folder_created = 1;   // as after an aborted run of ours
    boxes.answer(IDYES);

    EXPECT_EQ(0, create_work_folder(dialog, &text));

    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(QUESTION_HEAD + work + "\r\n" + FOLDER_EXISTS, boxes.shown[0].text);
    EXPECT_EQ((UINT)(MB_YESNO | MB_ICONQUESTION), boxes.shown[0].style);
    EXPECT_EQ(dialog, boxes.shown[0].owner);
    EXPECT_EQ(0, work_folder_created) << "the user's folder now: it stays after the run";
    EXPECT_TRUE(is_folder(work));
    EXPECT_TRUE(GetFileAttributesA((work + "\\00000001").c_str()) != INVALID_FILE_ATTRIBUTES);
}

TEST_F(WorkFolder, AnExistingFolderAnsweredNoIsNotUsed)
{
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    work_folder_created = 1;
    boxes.answer(IDNO);

    EXPECT_EQ(1, create_work_folder(dialog, &text));

    EXPECT_STREQ(CANNOT_CREATE, text);
    EXPECT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(1, work_folder_created) << "a failure keeps the mark";
}

TEST_F(WorkFolder, AFileOfThatNameFailsWithAWarning)
{
    ASSERT_TRUE(write_file(work, "a user's file named like the folder"));

    EXPECT_EQ(1, create_work_folder(dialog, &text));

    EXPECT_STREQ(CANNOT_CREATE, text);
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_NE(0u, run_context.last_error);
    EXPECT_EQ(work + ": " + system_text(run_context.last_error), boxes.shown[0].text);
    EXPECT_EQ((UINT)MB_ICONWARNING, boxes.shown[0].style);
    EXPECT_EQ(0, work_folder_created);
    std::string kept;
    ASSERT_TRUE(read_file(work, &kept));
    EXPECT_EQ("a user's file named like the folder", kept);
}

TEST_F(WorkFolder, AMissingParentFailsWithAWarning)
{
    ASSERT_EQ(0, prepare_work_folder_path(dialog, (root + "gone").c_str(), &text));

    EXPECT_EQ(1, create_work_folder(dialog, &text));

    EXPECT_STREQ(CANNOT_CREATE, text);
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(root + "gone\\$VANTA$$: " + system_text(run_context.last_error), boxes.shown[0].text);
}

// Access denied and a drive without its medium: a real volume under Wine,
// run as root, can't refuse the look-up, so the look-up is faked here.
class LookUpRefused : public WorkFolder, public ::testing::WithParamInterface<DWORD> {};

TEST_P(LookUpRefused, FailsWithoutABox)
{
    look_up_error = GetParam();
    work_folder_attributes = failing_look_up;
    work_folder_created = 1;

    EXPECT_EQ(1, create_work_folder(dialog, &text));

    EXPECT_STREQ(CANNOT_CREATE, text);
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(GetParam(), run_context.last_error);
    EXPECT_FALSE(is_folder(work)) << "no creation was tried";
    EXPECT_EQ(1, work_folder_created);
}

INSTANTIATE_TEST_SUITE_P(Codes, LookUpRefused,
                         ::testing::Values((DWORD)ERROR_ACCESS_DENIED, (DWORD)ERROR_NOT_READY));

// ----------------------------------------------------------- removal

TEST_F(WorkFolder, AFolderThatIsNotOursIsLeftAndRemembered)
{
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    work_folder_created = 0;

    EXPECT_EQ(0, remove_work_folder(dialog, &text));

    EXPECT_TRUE(is_folder(work));
    EXPECT_EQ(work, std::string(work_folder_path));
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(WorkFolder, OurEmptyFolderIsRemovedAndForgotten)
{
    ASSERT_EQ(0, create_work_folder(dialog, &text));

    EXPECT_EQ(0, remove_work_folder(dialog, &text));

    EXPECT_FALSE(is_folder(work));
    EXPECT_EQ(0, work_folder_created);
    EXPECT_STREQ("", work_folder_path);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(WorkFolder, AFailedRemovalWarnsOnceAndForgetsTheFolder)
{
    ASSERT_EQ(0, create_work_folder(dialog, &text));
    ASSERT_TRUE(write_file(work + "\\00000001", "still here"));

    EXPECT_EQ(1, remove_work_folder(dialog, &text));

    EXPECT_STREQ(CANNOT_DELETE, text);
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(work + ": " + system_text(run_context.last_error), boxes.shown[0].text);
    EXPECT_EQ((UINT)MB_ICONWARNING, boxes.shown[0].style);
    EXPECT_EQ(0, work_folder_created);
    EXPECT_STREQ("", work_folder_path);
    EXPECT_TRUE(is_folder(work)) << "the folder and its file stay on the volume";

    // a later close does not try again
    EXPECT_EQ(0, remove_work_folder(dialog, &text));
    EXPECT_EQ(1u, boxes.shown.size());
}
