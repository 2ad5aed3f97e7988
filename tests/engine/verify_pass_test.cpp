// The verify pass on a real volume (tmpfs, J:). Every read goes through the
// pass's reader seam, which passes it on to ReadFile and records where it
// began and what it delivered; only damaged media, which a real volume can't
// produce on demand, are faked there.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include "control_log.h"
#include "engine/wipe_engine.h"
#include "engine_checks.h"
#include "support/messages.h"
#include "test_helpers.h"

namespace {

const DWORD MiB = 1024 * 1024;

struct Read {
    DWORD position;   // where the read began
    DWORD got;        // bytes delivered
    BOOL ok;
};

// What the reader does with the read that begins at a position.
enum Outcome { PASS_ON, FAIL, DELIVER_NOTHING, SHORT_READ };
struct Fault {
    Outcome outcome;
    DWORD error;   // for FAIL; the count for SHORT_READ
};

std::vector<Read> reads;
std::function<Fault(DWORD position, size_t read_number)> plan;

BOOL WINAPI recording_read(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got,
                           LPOVERLAPPED overlapped)
{
    DWORD position = SetFilePointer(file, 0, NULL, FILE_CURRENT);
    Fault fault = plan ? plan(position, reads.size()) : Fault{PASS_ON, 0};
    if (fault.outcome == FAIL) {
        *got = 0;
        reads.push_back(Read{position, 0, FALSE});
        SetLastError(fault.error);
        return FALSE;
    }
    if (fault.outcome == DELIVER_NOTHING) {
        *got = 0;
        reads.push_back(Read{position, 0, TRUE});
        return TRUE;
    }
    if (fault.outcome == SHORT_READ)
        size = fault.error;
    BOOL ok = ReadFile(file, buffer, size, got, overlapped);
    reads.push_back(Read{position, *got, ok});
    return ok;
}

std::string bytes_of(unsigned char value, size_t size)
{
    return std::string(size, (char)value);
}

} // namespace

class VerifyPass : public ::testing::Test {
protected:
    PassScope scope;
    ScriptedBoxes boxes;
    ControlLog status{scope.owner, 146};
    std::string root;
    std::string work;

    void SetUp() override
    {
        load_texts(GetModuleHandleA(NULL));
        root = volume_root("verify_tmpfs");
        ASSERT_FALSE(root.empty()) << "no volume verify_tmpfs on this bench";
        clear_volume(root);
        work = root + "$VANTA$$";
        ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL)) << work;
        reads.clear();
        plan = nullptr;
        verify_read = recording_read;
    }
    void TearDown() override
    {
        verify_read = ReadFile;
        plan = nullptr;
        if (!root.empty())
            clear_volume(root);
    }

    std::string path(const std::string &name) { return work + "\\" + name; }
    void put(const std::string &name, const std::string &bytes)
    {
        ASSERT_TRUE(write_file(path(name), bytes)) << name;
    }
    // The pass must take its window, status control and abort flag from its
    // arguments, not from whatever an earlier pass left in the run's state.
    int verify(const char *word)
    {
        run_context.owner = NULL;
        run_context.status_id = 0;
        run_context.abort_flag = NULL;
        return verify_step(scope.owner, 146, 147, &scope.abort_flag, word, work.c_str());
    }
    int verify_errors() { return status.count_starting("Verify error in "); }
};

// ----------------------------------------------------------- the expected byte

struct WordCase {
    const char *word;
    unsigned char expected;
};

static void PrintTo(const WordCase &c, std::ostream *out)
{
    *out << "\"" << c.word << "\"";
}

class ExpectedByte : public VerifyPass, public ::testing::WithParamInterface<WordCase> {};

// A file of the expected byte passes; a 5 MiB file whose very last byte differs
// is reported, so the word's value is compared through the second read too.
TEST_P(ExpectedByte, PassesMatchingFilesAndReportsADifferingByte)
{
    const WordCase &c = GetParam();
    put("00000001", bytes_of(c.expected, MiB));
    std::string odd = bytes_of(c.expected, 5 * MiB);
    odd.back() = (char)(c.expected ^ 0x01);
    put("00000002", odd);

    EXPECT_EQ(0, verify(c.word));

    EXPECT_EQ("verify", status.texts.at(0));
    ASSERT_EQ(1, verify_errors()) << "only the file with the differing byte is reported";
    EXPECT_TRUE(status.saw("Verify error in " + path("00000002")));
    EXPECT_TRUE(boxes.shown.empty()) << "a differing byte shows no box";
    EXPECT_EQ(3u, reads.size()) << "1 MiB in one read, 5 MiB in two";
}

INSTANTIATE_TEST_SUITE_P(
    Words, ExpectedByte,
    ::testing::Values(WordCase{"0xff", 0xFF}, WordCase{"0XFF", 0xFF}, WordCase{"255", 0xFF},
                      WordCase{"0377", 0xFF}, WordCase{"-1", 0xFF}, WordCase{"0x55", 0x55},
                      WordCase{"  85", 0x55}, WordCase{"0x155", 0x55},
                      // no number, or a list: the first value, or 0
                      WordCase{"rand", 0x00}, WordCase{"dod", 0x00}, WordCase{"0,255", 0x00},
                      WordCase{"7,0", 0x07}, WordCase{"0", 0x00}));

class NoComparison : public VerifyPass, public ::testing::WithParamInterface<const char *> {};

TEST_P(NoComparison, ReadsEveryFileAndReportsNothing)
{
    const char *word = GetParam();
    put("00000001", bytes_of(0x37, 4 * MiB + 1));
    put("00000002", std::string("\x00\xff\x55 any bytes at all", 21));

    EXPECT_EQ(0, verify(word));

    EXPECT_EQ(std::vector<std::string>{"verify"}, status.texts);
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(3u, reads.size()) << "every file is still read in full";
}

INSTANTIATE_TEST_SUITE_P(Words, NoComparison,
                         ::testing::Values(nullptr, "random", "RANDOM", "randomly", "Random 0"));

// ----------------------------------------------------------- which files, how read

TEST_F(VerifyPass, ReportsOnlyTheFileThatDiffersAmongThree)
{
    put("00000001", bytes_of(0, 2 * MiB));
    std::string odd = bytes_of(0, 3 * MiB);
    odd[MiB + 12345] = 0x10;
    put("00000002", odd);
    put("00000003", bytes_of(0, MiB));

    EXPECT_EQ(0, verify("0"));

    // in whatever order the volume lists them, a later good file is not
    // reported: the mark is cleared for every file
    ASSERT_EQ(1, verify_errors());
    EXPECT_EQ("Verify error in " + path("00000002"), status.texts.back());
}

// 表 is 0x95 0x5C: the folder part of the pattern must not be cut inside it.
TEST_F(VerifyPass, WorksInAFolderWhoseNameEndsInATrailByte0x5C)
{
    std::string folder = root + "表";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    std::string deep = folder + "\\$VANTA$$";
    ASSERT_TRUE(CreateDirectoryA(deep.c_str(), NULL));
    ASSERT_TRUE(write_file(deep + "\\00000001", bytes_of(0x01, 1000)));

    EXPECT_EQ(0, verify_step(scope.owner, 146, 147, &scope.abort_flag, "0", deep.c_str()));

    EXPECT_EQ("Verify error in " + deep + "\\00000001", status.texts.back());
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(VerifyPass, ReadsNamesWithoutAnExtensionOnly)
{
    put("00000001.tmp", bytes_of(0x01, 1000));
    put("notes", bytes_of(0x01, 1000));
    put("00000002", bytes_of(0x00, 1000));
    ASSERT_TRUE(CreateDirectoryA(path("00000009").c_str(), NULL));
    ASSERT_TRUE(write_file(path("00000009\\00000001"), bytes_of(0x01, 1000)));

    EXPECT_EQ(0, verify("0"));

    ASSERT_EQ(1, verify_errors());
    EXPECT_TRUE(status.saw("Verify error in " + path("notes")));
    EXPECT_EQ(2u, reads.size()) << "notes and 00000002, nothing with an extension or below";
    EXPECT_TRUE(boxes.shown.empty()) << "a sub-folder is not opened as a file";
}

TEST_F(VerifyPass, AnEmptyFileTakesOneReadAndPasses)
{
    put("00000001", "");

    EXPECT_EQ(0, verify("0x55"));

    ASSERT_EQ(1u, reads.size());
    EXPECT_EQ(0u, reads[0].got);
    EXPECT_EQ(0, verify_errors());
}

TEST_F(VerifyPass, AFiveMiBFileTakesAFullReadAndARest)
{
    put("00000001", bytes_of(0x55, 5 * MiB));

    EXPECT_EQ(0, verify("0x55"));

    ASSERT_EQ(2u, reads.size());
    EXPECT_EQ(0u, reads[0].position);
    EXPECT_EQ((DWORD)TRANSFER_SIZE, reads[0].got);
    EXPECT_EQ((DWORD)TRANSFER_SIZE, reads[1].position);
    EXPECT_EQ(MiB, reads[1].got);
    EXPECT_EQ(0, verify_errors());
}

// A read that succeeds with nothing while the file's size says more is to come
// ends that file's check; reading again would deliver nothing for ever.
TEST_F(VerifyPass, AFileThatShrinksWhileReadEndsItsCheck)
{
    put("00000001", bytes_of(0x55, 9 * MiB));
    plan = [this](DWORD, size_t number) {
        if (number >= 8)   // a pass that loops is stopped here, and fails below
            InterlockedExchange(&scope.abort_flag, 1);
        return number >= 1 ? Fault{DELIVER_NOTHING, 0} : Fault{PASS_ON, 0};
    };

    EXPECT_EQ(0, verify("0x55"));

    EXPECT_EQ(2u, reads.size());
    EXPECT_EQ(0, scope.abort_flag);
    EXPECT_EQ(0, verify_errors());
}

// ----------------------------------------------------------- damaged media

class DataError : public VerifyPass, public ::testing::WithParamInterface<DWORD> {
protected:
    std::string question(const std::string &file, DWORD offset)
    {
        return "処理を続けますか？\r\n" + file + ": near " + std::to_string(offset) + "\r\n" +
               system_text(GetParam());
    }
};

TEST_P(DataError, AsksAndOnYesGoesOnAtTheNextSector)
{
    const DWORD code = GetParam();
    put("00000001", bytes_of(0x55, 12 * MiB));
    plan = [code](DWORD position, size_t) {
        return position == 8 * MiB ? Fault{FAIL, code} : Fault{PASS_ON, 0};
    };
    boxes.answer(IDYES);

    EXPECT_EQ(0, verify("0x55"));

    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(question(path("00000001"), 8388608), boxes.shown[0].text);
    EXPECT_EQ((UINT)(MB_YESNO | MB_ICONWARNING), boxes.shown[0].style);
    EXPECT_EQ(scope.owner, boxes.shown[0].owner);
    EXPECT_EQ(code, run_context.last_error);
    EXPECT_TRUE(status.saw("ReadFile(" + path("00000001") + "): near 8388608 " + system_text(code)));

    ASSERT_EQ(4u, reads.size());
    EXPECT_EQ(8u * MiB, reads[2].position);
    EXPECT_EQ(8389120u, reads[3].position) << "the next read begins 512 bytes further on";
    EXPECT_EQ(12u * MiB - 8389120u, reads[3].got);
    EXPECT_EQ(0, verify_errors());
}

TEST_P(DataError, AsksAgainForEveryDamagedSectorOfTheStretch)
{
    const DWORD code = GetParam();
    put("00000001", bytes_of(0x55, 12 * MiB));
    plan = [code](DWORD position, size_t) {
        return position == 8 * MiB || position == 8 * MiB + 512 ? Fault{FAIL, code}
                                                                 : Fault{PASS_ON, 0};
    };
    boxes.answer(IDYES);
    boxes.answer(IDYES);

    EXPECT_EQ(0, verify("0x55"));

    ASSERT_EQ(2u, boxes.shown.size());
    EXPECT_EQ(question(path("00000001"), 8388608), boxes.shown[0].text);
    EXPECT_EQ(question(path("00000001"), 8389120), boxes.shown[1].text);
    ASSERT_EQ(5u, reads.size());
    EXPECT_EQ(8389632u, reads[4].position);
}

// A short read leaves the offset between sectors; a data error there skips to
// the next 512-byte boundary above it, not 512 bytes on.
TEST_P(DataError, SkipsFromAnOddOffsetToTheNextBoundary)
{
    const DWORD code = GetParam();
    put("00000001", bytes_of(0x55, 12 * MiB));
    plan = [code](DWORD position, size_t number) {
        if (number == 1)
            return Fault{SHORT_READ, 1000};
        return position == 4 * MiB + 1000 ? Fault{FAIL, code} : Fault{PASS_ON, 0};
    };
    boxes.answer(IDYES);

    EXPECT_EQ(0, verify("0x55"));

    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(question(path("00000001"), 4195304), boxes.shown[0].text);
    ASSERT_LE(4u, reads.size());
    EXPECT_EQ(4195328u, reads[3].position);
    EXPECT_EQ(0, verify_errors());
}

TEST_P(DataError, OnNoGivesTheFileUpAndChecksTheNext)
{
    const DWORD code = GetParam();
    put("00000001", bytes_of(0x55, 12 * MiB));
    std::string odd = bytes_of(0x55, MiB);
    odd[7] = 0;
    put("00000002", odd);
    plan = [code](DWORD position, size_t) {
        return position == 8 * MiB ? Fault{FAIL, code} : Fault{PASS_ON, 0};
    };
    boxes.answer(IDNO);

    EXPECT_EQ(0, verify("0x55"));

    ASSERT_EQ(1u, boxes.shown.size());
    for (const Read &read : reads)
        EXPECT_FALSE(read.position > 8 * MiB) << "00000001 was read on after No";
    EXPECT_TRUE(status.saw("Verify error in " + path("00000002")));
    EXPECT_EQ(1, verify_errors());
}

INSTANTIATE_TEST_SUITE_P(Codes, DataError,
                         ::testing::Values((DWORD)ERROR_CRC, (DWORD)ERROR_SECTOR_NOT_FOUND));

TEST_F(VerifyPass, AnyOtherReadErrorWarnsAndGoesToTheNextFile)
{
    put("00000001", bytes_of(0x55, 6 * MiB));
    std::string odd = bytes_of(0x55, MiB);
    odd[7] = 0;
    put("00000002", odd);
    plan = [](DWORD position, size_t) {
        return position == 4 * MiB ? Fault{FAIL, ERROR_IO_DEVICE} : Fault{PASS_ON, 0};
    };

    EXPECT_EQ(0, verify("0x55"));

    std::string text = "ReadFile(" + path("00000001") + "): " + system_text(ERROR_IO_DEVICE);
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(text, boxes.shown[0].text);
    EXPECT_EQ((UINT)(MB_OK | MB_ICONWARNING), boxes.shown[0].style);
    EXPECT_EQ(scope.owner, boxes.shown[0].owner);
    EXPECT_TRUE(status.saw(text));
    EXPECT_TRUE(status.saw("Verify error in " + path("00000002")));
    for (const Read &read : reads)
        EXPECT_FALSE(read.position > 4 * MiB) << "00000001 was read on after the error";
}

TEST_F(VerifyPass, AFileThatCannotBeOpenedIsShownAndSkipped)
{
    put("00000001", bytes_of(0x55, MiB));
    std::string odd = bytes_of(0x55, MiB);
    odd[7] = 0;
    put("00000002", odd);
    HANDLE held = CreateFileA(path("00000001").c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);

    EXPECT_EQ(0, verify("0x55"));
    // the file on its own gives the open's error code
    EXPECT_EQ((int)ERROR_SHARING_VIOLATION, verify_file(path("00000001").c_str()));
    CloseHandle(held);

    std::string text =
        "CreateFile(" + path("00000001") + "): " + system_text(ERROR_SHARING_VIOLATION);
    ASSERT_EQ(2u, boxes.shown.size());
    EXPECT_EQ(text, boxes.shown[0].text);
    EXPECT_EQ((UINT)(MB_OK | MB_ICONWARNING), boxes.shown[0].style);
    EXPECT_TRUE(status.saw(text));
    EXPECT_TRUE(status.saw("Verify error in " + path("00000002")));
}

// ----------------------------------------------------------- the pass as a whole

TEST_F(VerifyPass, AFolderThatCannotBeListedEndsThePassWithItsStatus)
{
    RemoveDirectoryA(work.c_str());

    EXPECT_EQ(0, verify("0"));

    EXPECT_EQ("_findfirst(" + work + "\\*.): No such file or directory", status.texts.back());
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(reads.empty());
}

TEST_F(VerifyPass, AnEmptyFolderLeavesTheStatusAtVerify)
{
    EXPECT_EQ(0, verify("0"));

    EXPECT_EQ(std::vector<std::string>{"verify"}, status.texts);
    EXPECT_TRUE(reads.empty());
}

TEST_F(VerifyPass, WithoutATransferBufferWarnsAndEndsWithOne)
{
    put("00000001", bytes_of(0, 1000));
    release_transfer_buffer();

    EXPECT_EQ(1, verify("0"));

    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(0u, boxes.shown[0].text.find("VirtualAlloc(): "));
    EXPECT_EQ(0u, status.texts.back().find("VirtualAlloc(): "));
    EXPECT_TRUE(reads.empty());
}

TEST_F(VerifyPass, AnAbortDuringAReadClosesTheFileAndOpensNoOther)
{
    for (const char *name : {"00000001", "00000002", "00000003"})
        put(name, bytes_of(0x55, 6 * MiB));
    plan = [this](DWORD, size_t) {
        InterlockedExchange(&scope.abort_flag, 1);
        return Fault{PASS_ON, 0};
    };

    EXPECT_EQ(0, verify("0x55")) << "the pass itself ends with 0; the runner sees the flag";

    EXPECT_EQ(1u, reads.size());
    EXPECT_TRUE(boxes.shown.empty());
    for (const char *name : {"00000001", "00000002", "00000003"}) {
        HANDLE alone = CreateFileA(path(name).c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        EXPECT_NE(INVALID_HANDLE_VALUE, alone) << name << " is still held open";
        CloseHandle(alone);
    }
}
