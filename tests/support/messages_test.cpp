// Message reporting: what the user reads in boxes and in the status control.
#include <gtest/gtest.h>
#include <string.h>
#include <string>

#include "support/messages.h"
#include "test_helpers.h"

// A code the system describes, and one it has no text for.
static const DWORD KNOWN_CODE = ERROR_ACCESS_DENIED;
static const DWORD UNKNOWN_CODE = 0x2FFFFFFF;

static std::string system_text_of(DWORD code)
{
    char *text = NULL;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_FROM_SYSTEM,
                   NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&text, 0, NULL);
    std::string result = text ? text : "";
    if (text)
        LocalFree(text);
    return result;
}

class Reporting : public ::testing::Test {
protected:
    void SetUp() override
    {
        sys = system_text_of(KNOWN_CODE);
        ASSERT_FALSE(sys.empty()) << "the system has no text for the test's error code";
        ASSERT_TRUE(system_text_of(UNKNOWN_CODE).empty());
        run_context.last_error = KNOWN_CODE;
    }
    std::string sys;
    ScriptedBoxes boxes;
};

TEST_F(Reporting, WarnBoxAppendsTheSystemTextAndReturnsTheCode)
{
    HWND owner = create_status_window();
    run_context.owner = owner;
    run_context.last_error = KNOWN_CODE;
    EXPECT_EQ(KNOWN_CODE, warn_box("CreateFile(%s): ", "T:\\x\\00000001"));
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ("CreateFile(T:\\x\\00000001): " + sys, boxes.shown[0].text);
    EXPECT_EQ("vanta", boxes.shown[0].caption);
    EXPECT_EQ((UINT)(MB_OK | MB_ICONWARNING), boxes.shown[0].style);
    EXPECT_EQ(owner, boxes.shown[0].owner);
    DestroyWindow(owner);
}

TEST_F(Reporting, ReportPassErrorShowsOneBoxAndLeavesTheSameTextInTheStatusControl)
{
    HWND owner = create_status_window();
    run_context.owner = owner;
    run_context.status_id = 146;
    run_context.last_error = KNOWN_CODE;
    EXPECT_EQ(KNOWN_CODE, report_pass_error("GetDiskFreeSpaceEx(): "));
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ("GetDiskFreeSpaceEx(): " + sys, boxes.shown[0].text);
    EXPECT_EQ(boxes.shown[0].text, window_text(owner, 146));
    DestroyWindow(owner);
}

TEST_F(Reporting, ErrorBoxPassesTheAnswerOnAndUsesTheCallersOwnerAndStyle)
{
    boxes.answer(IDYES);
    boxes.answer(IDNO);
    HWND owner = create_status_window();
    EXPECT_EQ(IDYES, error_box(owner, MB_YESNO | MB_ICONWARNING, "%s\r\n", "question"));
    EXPECT_EQ(IDNO, error_box(NULL, MB_YESNO | MB_ICONWARNING, "%s\r\n", "question"));
    ASSERT_EQ(2u, boxes.shown.size());
    EXPECT_EQ(owner, boxes.shown[0].owner);
    EXPECT_EQ(NULL, boxes.shown[1].owner);
    EXPECT_EQ((UINT)(MB_YESNO | MB_ICONWARNING), boxes.shown[0].style);
    EXPECT_EQ("question\r\n" + sys, boxes.shown[0].text);
    DestroyWindow(owner);
}

TEST_F(Reporting, ErrorBoxCutsALongTextAt2047BytesWithoutTheSystemText)
{
    std::string long_text(3000, 'a');
    error_box(NULL, MB_ICONWARNING, "%s", long_text.c_str());
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(std::string(2047, 'a'), boxes.shown[0].text);
}

TEST_F(Reporting, SystemTextIsAppendedWholeOrNotAtAll)
{
    // error_box: combined text must stay below 2048 bytes
    std::string fits(2047 - sys.size(), 'b');
    std::string one_over(2048 - sys.size(), 'b');
    error_box(NULL, MB_ICONWARNING, "%s", fits.c_str());
    error_box(NULL, MB_ICONWARNING, "%s", one_over.c_str());
    ASSERT_EQ(2u, boxes.shown.size());
    EXPECT_EQ(fits + sys, boxes.shown[0].text);
    EXPECT_EQ(2047u, boxes.shown[0].text.size());
    EXPECT_EQ(one_over, boxes.shown[1].text);

    // warn_box: below 772 bytes
    std::string warn_fits(771 - sys.size(), 'c');
    std::string warn_over(772 - sys.size(), 'c');
    warn_box("%s", warn_fits.c_str());
    warn_box("%s", warn_over.c_str());
    ASSERT_EQ(4u, boxes.shown.size());
    EXPECT_EQ(warn_fits + sys, boxes.shown[2].text);
    EXPECT_EQ(warn_over, boxes.shown[3].text);
}

TEST_F(Reporting, WarnBoxCutsTheCallersTextAt771Bytes)
{
    std::string long_text(1000, 'd');
    warn_box("%s", long_text.c_str());
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(std::string(771, 'd'), boxes.shown[0].text);
}

TEST_F(Reporting, FormatSystemErrorKeepsWithinTheCallersSize)
{
    char buffer[STATUS_TEXT_SIZE + 8];
    memset(buffer, 'Z', sizeof buffer);

    std::string long_text(900, 'e');
    format_system_error(buffer, STATUS_TEXT_LIMIT, "%s", long_text.c_str());
    EXPECT_EQ(std::string(771, 'e'), std::string(buffer));
    EXPECT_EQ('Z', buffer[772]) << "wrote past the caller's size + 1 bytes";

    // with the system text the whole stays at 770 bytes or less
    std::string fits(770 - sys.size(), 'f');
    std::string over(771 - sys.size(), 'f');
    format_system_error(buffer, STATUS_TEXT_LIMIT, "%s", fits.c_str());
    EXPECT_EQ(fits + sys, std::string(buffer));
    format_system_error(buffer, STATUS_TEXT_LIMIT, "%s", over.c_str());
    EXPECT_EQ(over, std::string(buffer));
    EXPECT_EQ(buffer, format_system_error(buffer, 10, "x"));
}

TEST_F(Reporting, CodeWithoutSystemTextGivesTheCallersTextAlone)
{
    run_context.last_error = UNKNOWN_CODE;
    EXPECT_EQ(UNKNOWN_CODE, warn_box("ReadFile(%s): ", "a"));
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ("ReadFile(a): ", boxes.shown[0].text);
}

TEST_F(Reporting, EmptyOrAbsentFormatShowsTheSystemTextAlone)
{
    char buffer[STATUS_TEXT_SIZE];
    EXPECT_EQ(sys, std::string(format_system_error(buffer, STATUS_TEXT_LIMIT, "")));
    EXPECT_EQ(sys, std::string(format_system_error(buffer, STATUS_TEXT_LIMIT, NULL)));
    warn_box(NULL);
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(sys, boxes.shown[0].text);
}

TEST_F(Reporting, TwoReportsWithoutANewCodeShowTheSameSystemText)
{
    warn_box("first: ");
    error_box(NULL, MB_ICONWARNING, "second: ");
    ASSERT_EQ(2u, boxes.shown.size());
    EXPECT_EQ("first: " + sys, boxes.shown[0].text);
    EXPECT_EQ("second: " + sys, boxes.shown[1].text);
}

TEST_F(Reporting, JapaneseTextsPassThroughAsCp932Bytes)
{
    warn_box("%s\r\n", "フォルダを作成できません。");
    ASSERT_EQ(1u, boxes.shown.size());
    // フ in CP932 is 0x83 0x74
    EXPECT_EQ(0x83, (unsigned char)boxes.shown[0].text[0]);
    EXPECT_EQ(0x74, (unsigned char)boxes.shown[0].text[1]);
    EXPECT_EQ(std::string("フォルダを作成できません。\r\n") + sys, boxes.shown[0].text);
}

TEST_F(Reporting, FatalBoxOkReturnsToTheCaller)
{
    boxes.answer(IDOK);
    fatal_box("GetMessage() ");
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ("GetMessage() ", boxes.shown[0].text) << "a fatal box carries no system text";
    EXPECT_EQ(NULL, boxes.shown[0].owner);
    EXPECT_EQ((UINT)MB_OKCANCEL, boxes.shown[0].style);
}

TEST_F(Reporting, FatalSystemErrorShowsItsTextLiterally)
{
    boxes.answer(IDOK);
    fatal_system_error("%s: 100%% ", "CreateDialog()");
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ("CreateDialog(): 100% " + sys, boxes.shown[0].text);
    EXPECT_EQ((UINT)MB_OKCANCEL, boxes.shown[0].style);
}

// The real MessageBoxA, answered from a watcher thread.

TEST(RealMessageBox, WarningBoxIsShownAndAnswered)
{
    run_context.owner = NULL;
    run_context.last_error = KNOWN_CODE;
    RealBoxAnswer answer(IDOK);
    EXPECT_EQ(KNOWN_CODE, warn_box("VirtualAlloc(): "));
    ASSERT_TRUE(answer.wait()) << "no box captioned vanta appeared";
    EXPECT_EQ("VirtualAlloc(): " + system_text_of(KNOWN_CODE), answer.text);
}

TEST(RealMessageBox, YesNoQuestionReturnsTheButtonPressed)
{
    run_context.last_error = UNKNOWN_CODE;
    {
        RealBoxAnswer answer(IDNO);
        EXPECT_EQ(IDNO, error_box(NULL, MB_YESNO | MB_ICONWARNING, "%s\r\n", "処理を続けますか？"));
        ASSERT_TRUE(answer.wait());
        EXPECT_EQ("処理を続けますか？\r\n", answer.text);
    }
    RealBoxAnswer answer(IDYES);
    EXPECT_EQ(IDYES, error_box(NULL, MB_YESNO | MB_ICONWARNING, "again "));
    ASSERT_TRUE(answer.wait());
}

static int fatal_cancel_child()
{
    RealBoxAnswer answer(IDCANCEL);
    fatal_box("CreateDialog() ");
    return 0;   // only reached when Cancel did not end the process
}
static TestChild fatal_cancel("fatal_cancel", fatal_cancel_child);

static int fatal_ok_child()
{
    RealBoxAnswer answer(IDOK);
    run_context.last_error = KNOWN_CODE;
    fatal_system_error("GetMessage() ");
    return answer.wait() ? 0 : 3;
}
static TestChild fatal_ok("fatal_ok", fatal_ok_child);

TEST(RealMessageBox, CancelInAFatalBoxEndsTheProcessWithStatus1)
{
    EXPECT_EQ(1u, run_child_process("fatal_cancel"));
    EXPECT_EQ(0u, run_child_process("fatal_ok"));
}
