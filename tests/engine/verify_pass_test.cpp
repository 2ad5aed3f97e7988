// The verify pass on a real volume (tmpfs, J:). Reads go through the pass's
// reader seam, which records where each began and fakes only damaged media.
#include <gtest/gtest.h>
#include <set>
#include "control_log.h"
#include "engine_checks.h"
#include "support/messages.h"

static const DWORD MiB = 1024 * 1024;
static std::vector<DWORD> reads;                  // where each read began
static std::function<DWORD(DWORD)> read_failure;  // the error of a read at a position, or 0

static ReadFileProc inner_read;                   // the engine's own, or the strict one

static std::set<DWORD> damaged;                   // sectors a read over fails with a data error
static std::function<void()> on_read;             // looks at the volume as each read begins

static BOOL WINAPI watched_read(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    DWORD at = SetFilePointer(file, 0, NULL, FILE_CURRENT);
    reads.push_back(at);
    if (on_read)
        on_read();
    DWORD code = read_failure ? read_failure(reads.back()) : 0;
    auto hit = damaged.lower_bound(at);
    if (hit != damaged.end() && *hit - at < size)
        code = ERROR_CRC;
    if (!code)
        return inner_read(file, buffer, size, got, overlapped);
    return *got = 0, SetLastError(code), FALSE;
}

// A text as a report keeps it: without the line break the system's texts end with.
static std::string kept_text(const std::string &text) { return text.substr(0, text.find_last_not_of("\r\n") + 1); }

class VerifyPass : public PassBench {
protected:
    ControlLog status{scope.owner, 146};
    void SetUp() override
    {
        load_texts(GetModuleHandleA(NULL));
        ASSERT_NO_FATAL_FAILURE(use("verify_tmpfs"));
        reads.clear(), inner_read = file_calls.read, file_calls.read = watched_read;
    }
    void TearDown() override
    {
        file_calls.read = inner_read, read_failure = nullptr, dod_fill_byte = -1, damaged.clear(), on_read = nullptr;
        verify_gives_space_back = 0, verify_give_back_bytes = GIVE_BACK_BYTES, run_totals = RunTotals();
        PassBench::TearDown();
    }
    std::string path(const char *name) { return work + "\\" + name; }
};

// dod: the byte of the run's latest "dod" fill, -1 none; values: what the fill wrote, empty: nothing is compared
struct WordCase { const char *word; int dod; std::vector<unsigned char> values; };
static void PrintTo(const WordCase &c, std::ostream *out) { *out << (c.word ? c.word : "(none)") << " dod " << c.dod; }
class ExpectedBytes : public VerifyPass, public ::testing::WithParamInterface<WordCase> {};

// Files as the fill writes them pass; a byte changed in the second read of a
// 5 MiB file is found, and so is one changed in the last byte of a 512-byte
// block or of a file; an empty file passes; what is not the run's (a name
// with a dot, a name without digits) is not read.
TEST_P(ExpectedBytes, PassWhatTheFillWroteAndReportEachDamagedFile)
{
    const WordCase &c = GetParam();
    dod_fill_byte = c.dod;
    std::vector<unsigned char> block = block_of_list(c.values.empty() ? std::vector<unsigned char>{0x37, 0} : c.values);
    std::string good(5 * MiB + 7, 0), bad, block_end, file_end;
    for (size_t k = 0; k < good.size(); ++k)
        good[k] = (char)block[k % 512];
    (bad = good)[5 * MiB + 3] ^= 1;
    (block_end = good.substr(0, MiB))[511] ^= 0x80;
    (file_end = good.substr(0, MiB + 7))[MiB + 6] ^= 0x80;
    for (auto f : std::map<const char *, std::string>{{"00000001", good}, {"00000002", bad}, {"notes", bad}, {"00000003", ""},
                                                      {"00000004.tmp", "\x01"}, {"00000005", block_end}, {"00000006", file_end}})
        ASSERT_TRUE(write_file(path(f.first), f.second));
    ASSERT_TRUE(CreateDirectoryA(path("00000009").c_str(), NULL));
    ASSERT_TRUE(vouch(work, {"00000001", "00000002", "00000003", "00000005", "00000006"}));

    EXPECT_EQ(0, verify(c.word));

    bool compares = !c.values.empty();
    EXPECT_EQ(compares ? 3 : 0, status.count_starting("Verify error in "));
    for (const char *damaged : {"00000002", "00000005", "00000006"})
        EXPECT_EQ(compares, status.saw("Verify error in " + path(damaged))) << damaged;
    EXPECT_FALSE(status.saw("Verify error in " + path("notes"))) << "a file not the run's was read";
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(7u, reads.size()) << "two reads for each 5 MiB file, one for each smaller one";
}

INSTANTIATE_TEST_SUITE_P(
    Words, ExpectedBytes,
    ::testing::Values(WordCase{"0xff", -1, {0xFF}}, WordCase{"255", -1, {0xFF}}, WordCase{"0377", -1, {0xFF}},
                      WordCase{"-1", -1, {0xFF}}, WordCase{"0x155", -1, {0x55}}, WordCase{"rand", -1, {0}},
                      WordCase{"0x55,0xaa", -1, {0x55, 0xAA}}, WordCase{"1,2,3", -1, {1, 2, 3}},
                      WordCase{"1,,2", -1, {1, 0, 2}}, WordCase{"dod", 0x3C, {0x3C}}, WordCase{"DoD", 0xC3, {0xC3}},
                      WordCase{"dod", -1, {}}, WordCase{nullptr, 0x3C, {}}, WordCase{"RANDOMly", -1, {}}));

class DamagedMedia : public VerifyPass, public ::testing::WithParamInterface<std::tuple<DWORD, int>> {};

// The read that begins at 8 MiB fails; a changed byte lies at 10 MiB.
TEST_P(DamagedMedia, AsksOnDataErrorsAndWarnsOnOthers)
{
    const DWORD code = std::get<0>(GetParam());
    std::string bytes(12 * MiB, 0x55), file = path("00000001"), system = system_text(code);
    bytes[10 * MiB] = 0;
    ASSERT_TRUE(write_file(file, bytes) && vouch(work, {"00000001"}));
    read_failure = [code](DWORD position) { return position == 8 * MiB ? code : 0; };
    boxes.answer(std::get<1>(GetParam()));

    EXPECT_EQ(0, verify("0x55"));

    bool asks = code == ERROR_CRC || code == ERROR_SECTOR_NOT_FOUND, goes_on = asks && std::get<1>(GetParam()) == IDYES;
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(scope.owner, boxes.shown[0].owner);
    EXPECT_EQ(asks ? "処理を続けますか？\r\n" + file + ": near 8388608\r\n" + system : "ReadFile(" + file + "): " + system,
              boxes.shown[0].text);
    EXPECT_EQ((UINT)(asks ? MB_YESNO | MB_ICONWARNING : MB_OK | MB_ICONWARNING), boxes.shown[0].style);
    EXPECT_TRUE(status.saw("ReadFile(" + file + (asks ? "): near 8388608 " : "): ") + system));
    // the damaged sector is found in halves of the transfer, down to the
    // sector; Yes reads the rest of the transfer and goes on after it
    EXPECT_EQ(goes_on ? 10 * MiB : 8 * MiB, reads.back()) << "the last read";
    EXPECT_EQ(goes_on ? 1 : 0, status.count_starting("Verify error in "));
}

INSTANTIATE_TEST_SUITE_P(Codes, DamagedMedia,
                         ::testing::Combine(::testing::Values<DWORD>(ERROR_CRC, ERROR_SECTOR_NOT_FOUND, ERROR_IO_DEVICE),
                                            ::testing::Values(IDYES, IDNO)));

TEST_F(VerifyPass, AnAbortDuringAReadClosesTheFileAndOpensNoOther)
{
    for (const char *name : {"00000001", "00000002"})
        ASSERT_TRUE(write_file(path(name), std::string(6 * MiB, 0x55)));
    ASSERT_TRUE(vouch(work, {"00000001", "00000002"}));
    read_failure = [this](DWORD) { InterlockedExchange(&scope.abort_flag, 1); return (DWORD)0; };

    EXPECT_EQ(1, verify("0x55")) << "a verify cut short has not verified: the stop goes up to the runner";
    EXPECT_EQ(1u, reads.size());
    // a file still open for reading can't be deleted
    EXPECT_TRUE(DeleteFileA(path("00000001").c_str()) && DeleteFileA(path("00000002").c_str()));
}

// No one at the window (an unattended run): the damaged-sector question shows
// no box; its text goes to the run's report, and the file is given up, or
// read on past the sector when the command line said /skip.
TEST_F(VerifyPass, UnattendedTheDamagedSectorQuestionTakesTheSwitchesAnswer)
{
    std::string bytes(12 * MiB, 0x55), file = path("00000001");
    bytes[10 * MiB] = 0;
    ASSERT_TRUE(write_file(file, bytes) && vouch(work, {"00000001"}));
    read_failure = [](DWORD position) { return position == 8 * MiB ? (DWORD)ERROR_CRC : 0; };
    for (int skip : {0, 1}) {
        SCOPED_TRACE(skip ? "/skip" : "without /skip");
        reads.clear(), status.texts.clear(), unattended_texts[0] = 0;
        unattended = 1, skip_damaged_sectors = skip;
        EXPECT_EQ(0, verify("0x55"));
        unattended = 0, skip_damaged_sectors = 0;
        EXPECT_TRUE(boxes.shown.empty()) << "a box waited for someone";
        EXPECT_EQ("処理を続けますか？\r\n" + file + ": near 8388608\r\n" + kept_text(system_text(ERROR_CRC)), unattended_texts);
        EXPECT_EQ(skip != 0, reads.back() > 8 * MiB) << "read on past the sector";
        EXPECT_EQ(skip ? 1 : 0, status.count_starting("Verify error in ")) << "the byte changed beyond it";
    }
    unattended_texts[0] = 0;
}

// A verify that reads no byte after the run has written some has checked
// nothing (an erase cut its files to nothing, or they went): it says so and
// is a failure of the run. Before any write (a method that only verifies)
// nothing read is nothing to tell.
TEST_F(VerifyPass, ReadingNothingAfterTheRunWroteIsAFailure)
{
    const std::string nothing = work + " の作業ファイルから読めるデータがないため、何も検証できませんでした。";
    const struct { const char *name; unsigned long long written; size_t file_size; bool told; } rows[] = {
        {"empty files after a fill", 8 * MiB, 0, true},
        {"empty files, nothing written", 0, 0, false},
        {"a file with bytes after a fill", 8 * MiB, 4096, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(write_file(path("00000001"), std::string(r.file_size, 0)) && write_file(path("00000002"), "") &&
                    vouch(work, {"00000001", "00000002"}));
        clear_run_failures(), status.texts.clear();
        memset(&run_totals, 0, sizeof run_totals);
        run_totals.bytes_written = r.written;
        EXPECT_EQ(0, verify("0")) << "the walk went through";
        EXPECT_EQ(r.told, status.saw(nothing));
        EXPECT_EQ(r.told ? 1 : 0, run_failure_count());
    }
    memset(&run_totals, 0, sizeof run_totals), clear_run_failures();
}

// One damaged sector, or a hundred, is one question a file: the transfer that
// fails is read again in halves down to the sector, each damaged sector is
// gone past and counted, the bytes around it are still compared, and the
// answer holds for the rest of the file. Unattended, /skip answers it.
TEST_F(VerifyPass, DamagedSectorsAreOneQuestionAFileAndCounted)
{
    const DWORD sector = strict_sector() ? strict_sector() : 512;
    std::set<DWORD> one = {5 * MiB + 8192}, hundred;
    for (DWORD i = 0; i < 100; ++i)
        hundred.insert(i * 96 * 1024 + 4096);
    const struct { const char *name; std::set<DWORD> sectors; int attended; } rows[] = {
        {"one damaged sector", one, 1}, {"a hundred", hundred, 1}, {"one, unattended with /skip", one, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        std::string bytes(12 * MiB, 0x55);
        bytes[*r.sectors.begin() + 4096] = 0;   // a changed byte just after the first damaged sector
        ASSERT_TRUE(write_file(path("00000001"), std::string(12 * MiB, 0x55)) && write_file(path("00000002"), bytes) &&
                    vouch(work, {"00000001", "00000002"}));
        damaged = r.sectors, reads.clear(), boxes.shown.clear(), status.texts.clear(), unattended_texts[0] = 0;
        run_totals = RunTotals(), clear_run_failures();
        boxes.answer(IDYES), boxes.answer(IDYES);
        unattended = !r.attended, skip_damaged_sectors = !r.attended;
        EXPECT_EQ(0, verify("0x55"));
        unattended = 0, skip_damaged_sectors = 0;
        EXPECT_EQ(r.attended ? 2u : 0u, boxes.shown.size()) << "one question a file";
        EXPECT_EQ(2 * r.sectors.size(), run_totals.damaged_sectors);
        for (const char *name : {"00000001", "00000002"}) {
            EXPECT_TRUE(status.saw(path(name) + ": 読めないセクタ " + std::to_string(r.sectors.size()) + " 個を飛ばしました。")) << name;
        }
        EXPECT_TRUE(status.saw("Verify error in " + path("00000002"))) << "a byte beside a damaged sector is still compared";
        EXPECT_FALSE(status.saw("Verify error in " + path("00000001")));
        // each damaged sector costs a read of each half on the way down from the transfer
        size_t levels = 0;
        for (DWORD piece = TRANSFER_SIZE; piece > sector; piece /= 2)
            ++levels;
        EXPECT_LE(reads.size(), 2 * (3 + r.sectors.size() * (2 * levels + 1))) << "reads of two 12 MiB files";
    }
}

// A file that no later step reads again gives its space back while it is
// read: from its end, a block at a time (4 MiB here), each block read forward
// and then cut off, and the file is deleted once read, a differing byte
// found all the same. A file a later step reads again is read forward and
// kept, and what is not the run's is neither read nor deleted.
TEST_F(VerifyPass, AFileNoLaterStepReadsGivesItsSpaceBackWhileItIsRead)
{
    verify_give_back_bytes = 4 * MiB;
    const struct { const char *name; int gives_back; std::vector<DWORD> reads; std::vector<std::string> left; } rows[] = {
        {"no later step reads them", 1, {8 * MiB, 4 * MiB, 0, 4 * MiB, 0}, {"notes"}},
        {"a later step reads them again", 0, {0, 4 * MiB, 8 * MiB, 0, 4 * MiB}, {"00000001", "00000002", "notes"}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        std::string changed(6 * MiB, 0x55);
        changed[5 * MiB] = 0;
        forget_run_files();   // each row a run of its own
        ASSERT_TRUE(write_file(path("00000001"), std::string(10 * MiB, 0x55)) && write_file(path("00000002"), changed) &&
                    write_file(path("notes"), std::string(3000, 0x55)) && vouch(work, {"00000001", "00000002"}));
        std::vector<unsigned long long> free_at_read;
        on_read = [&] { free_at_read.push_back(free_bytes_of(root)); };
        reads.clear(), status.texts.clear();
        verify_gives_space_back = r.gives_back;
        EXPECT_EQ(0, verify("0x55"));
        EXPECT_EQ(r.reads, reads) << "where each read began";
        EXPECT_TRUE(status.saw("Verify error in " + path("00000002")));
        EXPECT_EQ(r.left, list_folder(work));
        ASSERT_EQ(5u, free_at_read.size());
        if (r.gives_back) {
            EXPECT_EQ(free_at_read[0] + 6 * MiB, free_at_read[2]) << "file 1's last blocks given back as they were read";
            EXPECT_EQ(free_at_read[2] + 4 * MiB, free_at_read[3]) << "file 1 gone once read";
        } else {
            EXPECT_EQ(free_at_read[0], free_at_read[4]) << "nothing given back";
        }
        for (const std::string &name : list_folder(work))
            DeleteFileA(path(name.c_str()).c_str());
    }
}
