// The fill pass on real volumes, through the real Win32 calls: tmpfs (T:, V:,
// W:, G:), ext4 (U:) and NTFS through ntfs-3g (N:). Random and dod fills are
// read back against a textbook MT19937; the progress texts are read from the
// real status control.
#include <gtest/gtest.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <string>
#include <vector>
#include "engine/wipe_engine.h"
#include <mmsystem.h>
#include "control_log.h"
#include "engine_checks.h"
#include "support/messages.h"
#include "test_helpers.h"
#include "textbook_mt.h"

class FillPass : public ::testing::Test {
protected:
    PassScope scope;
    ScriptedBoxes boxes;
    std::string root;
    std::string work;
    std::string elsewhere;

    // Takes an empty volume and gives it a work folder.
    void use_volume(const char *name)
    {
        root = volume_root(name);
        ASSERT_FALSE(root.empty()) << "no volume " << name << " on this bench";
        clear_volume(root);
        work = root + WORK_FOLDER_NAME;
        ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL)) << work;
        // the pass must hand back whatever directory was current before it
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        SetCurrentDirectoryA(temp);
        elsewhere = current_directory();
        SetWindowTextA(GetDlgItem(scope.owner, 146), "status before the pass");
    }
    void TearDown() override
    {
        if (!root.empty())
            clear_volume(root);
    }

    int erase(const char *word = nullptr)
    {
        return erase_step(scope.owner, 146, 147, &scope.abort_flag, word, work.c_str());
    }
    std::string status() { return window_text(scope.owner, 146); }
};

// ----------------------------------------------------------- full volumes

struct FillCase {
    const char *volume;
    const char *word;          // the step's pattern word, or null
    bool erase_verify;         // the erase half of "erase,verify": "/nomft" added
    std::vector<unsigned char> values;
    int nomft;
    // how far the files' total may miss the free space measured before (below)
    unsigned long long under;
    unsigned long long over;
};

static void PrintTo(const FillCase &c, std::ostream *out)
{
    *out << c.volume << " " << (c.word ? c.word : "(no word)") << (c.erase_verify ? " /nomft" : "");
}

class FillsTheVolume : public FillPass, public ::testing::WithParamInterface<FillCase> {};

TEST_P(FillsTheVolume, UntilA512ByteWriteIsRefusedAndTouchesNothingElse)
{
    const FillCase &c = GetParam();
    use_volume(c.volume);
    plant_user_files(root);
    std::map<std::string, std::string> user_before = digest_tree(root);
    unsigned long long free_before = free_bytes_of(root);
    ASSERT_GT(free_before, (unsigned long long)TRANSFER_SIZE);

    int result = c.erase_verify
        ? erase_step_nomft(scope.owner, 146, 147, &scope.abort_flag, c.word, work.c_str())
        : erase(c.word);

    EXPECT_EQ(0, result);
    EXPECT_EQ(c.nomft, nomft_mode);
    EXPECT_TRUE(boxes.shown.empty()) << boxes.shown[0].text;
    EXPECT_EQ("", status()) << "a finished pass clears the status box";
    EXPECT_EQ(elsewhere, current_directory());

    std::vector<unsigned char> block = c.values.size() == 1 ? block_of(c.values[0])
                                                            : block_of_list(c.values);
    WorkFiles files = check_work_files(work, block.data());
    ASSERT_EQ("", files.problem);
    ASSERT_EQ(1u, files.names.size()) << "a volume below 1 GiB takes one work file";

    // the volume refused the last write: nothing it reports is left
    EXPECT_EQ(0u, free_bytes_of(root));
    EXPECT_GE(files.total + c.under, free_before);
    EXPECT_LE(files.total, free_before + c.over);

    EXPECT_EQ(user_before, digest_tree(root)) << "a file outside the work folder changed";
}

// How far the files' total may fall short of (under) or pass (over) the free
// space measured before the pass:
// - tmpfs counts whole 4 KiB pages, and every phase ends a work file on a page
//   boundary: the files hold exactly what was free.
// - ext4 here has 1 KiB blocks, while Wine reports free space in whole 4 KiB
//   units: up to 3 KiB more than reported is free, and the tail's 512-byte
//   writes take it.
// - NTFS (ntfs-3g, 4 KiB clusters): the work file's record may make the volume
//   grow its record table by a cluster.
// In every case the volume reports nothing free afterwards.
INSTANTIATE_TEST_SUITE_P(
    Volumes, FillsTheVolume,
    ::testing::Values(
        FillCase{ "fill_tmpfs", nullptr, false, { 0x00 }, 0, 0, 0 },
        FillCase{ "fill_tmpfs", "/nomft", false, { 0x00 }, 1, 0, 0 },
        FillCase{ "fill_ext4", nullptr, false, { 0x00 }, 0, 0, 3072 },
        FillCase{ "fill_ext4", "0xff", true, { 0xFF }, 1, 0, 3072 },
        FillCase{ "fill_ntfs", nullptr, false, { 0x00 }, 0, 4096, 0 },
        FillCase{ "fill_ntfs", "1,2,3", false, { 1, 2, 3 }, 0, 4096, 0 }));

TEST_F(FillPass, AListRunsAcrossThe512ByteBlockBoundaryInTheFile)
{
    use_volume("fill_tmpfs");
    ASSERT_EQ(0, erase("1,2,3"));
    std::string bytes;
    ASSERT_TRUE(read_file(work + "\\00000001", &bytes));
    ASSERT_GT(bytes.size(), 1024u);
    // 512 = 3 * 170 + 2: bytes 510 to 513 read 1, 2, 1, 2
    EXPECT_EQ(std::string("\x01\x02\x01\x02", 4), bytes.substr(510, 4));
    EXPECT_EQ(std::string("\x01\x02\x03", 3), bytes.substr(0, 3));
}

TEST_F(FillPass, AmpleSpaceClosesFileOneAtOneGibAndGoesOnWithFileTwo)
{
    use_volume("big_tmpfs");
    unsigned long long free_before = free_bytes_of(root);
    ASSERT_GT(free_before, (unsigned long long)MAX_FILE_BYTES + TRANSFER_SIZE);

    EXPECT_EQ(0, erase());
    EXPECT_TRUE(boxes.shown.empty());

    WorkFiles files = check_work_files(work, block_of(0).data());
    ASSERT_EQ("", files.problem);
    ASSERT_EQ(2u, files.names.size());
    EXPECT_EQ("00000002", files.names[1]);
    EXPECT_EQ((unsigned long long)MAX_FILE_BYTES, files.sizes[0]);
    EXPECT_EQ(free_before - MAX_FILE_BYTES, files.sizes[1]);
    EXPECT_EQ(0u, free_bytes_of(root));
}

// ----------------------------------------------------------- little or no space

TEST_F(FillPass, LessThanOneWriteFreeIsWrittenWholeThenTheTailEnds)
{
    use_volume("full_tmpfs");
    const unsigned long long leave = 1024 * 1024 + 12 * 4096;
    ASSERT_TRUE(fill_volume_outside(root + "filler.bin", leave));
    std::map<std::string, std::string> user_before = digest_tree(root);
    unsigned long long free_before = free_bytes_of(root);
    ASSERT_EQ(leave, free_before);

    EXPECT_EQ(0, erase("0x3c"));
    EXPECT_TRUE(boxes.shown.empty());

    WorkFiles files = check_work_files(work, block_of(0x3C).data());
    ASSERT_EQ("", files.problem);
    ASSERT_EQ(1u, files.names.size());
    EXPECT_EQ(free_before, files.sizes[0]);
    EXPECT_EQ(0u, free_bytes_of(root));
    EXPECT_EQ(user_before, digest_tree(root));
}

TEST_F(FillPass, AFullVolumeGetsFileOneEmptyAndThePassEndsNormally)
{
    use_volume("full_tmpfs");
    ASSERT_TRUE(fill_volume_outside(root + "filler.bin", 0));
    std::map<std::string, std::string> user_before = digest_tree(root);
    ASSERT_EQ(0u, free_bytes_of(root));

    // no free space is an answer, not an error
    SetCurrentDirectoryA(work.c_str());
    strcpy(probe_path, current_directory().c_str());
    look_up_free_ex();
    unsigned long long free_now = 1;
    EXPECT_EQ(0u, query_free_bytes(&free_now));
    EXPECT_EQ(0u, free_now);
    SetCurrentDirectoryA(elsewhere.c_str());

    EXPECT_EQ(0, erase("0xff"));
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ("", status());
    ASSERT_EQ(std::vector<std::string>{ "00000001" }, list_folder(work));
    EXPECT_EQ(0u, file_size(work + "\\00000001"));
    EXPECT_EQ(user_before, digest_tree(root));
}

// ----------------------------------------------------------- abort

TEST_F(FillPass, AnAbortBeforeTheFirstFileCreatesNothingAndLeavesTheStatus)
{
    use_volume("fill_tmpfs");
    scope.abort_flag = 1;
    unsigned long long free_before = free_bytes_of(root);

    EXPECT_EQ(1, erase());
    EXPECT_TRUE(list_folder(work).empty());
    EXPECT_EQ("status before the pass", status());
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(free_before, free_bytes_of(root));
    EXPECT_EQ(elsewhere, current_directory());
}

// The extended probe hands control to the test at its n-th call, so that the
// test's thread can set the abort flag while the pass waits between writes.
static GetDiskFreeSpaceExProc real_free_ex;
static LONG probes_seen;
static LONG stop_at_probe;
static HANDLE probe_reached;
static HANDLE flag_set;

static BOOL WINAPI probe_then_wait(LPCSTR path, PULARGE_INTEGER available, PULARGE_INTEGER total,
                                   PULARGE_INTEGER total_free)
{
    if (InterlockedIncrement(&probes_seen) == stop_at_probe) {
        SetEvent(probe_reached);
        WaitForSingleObject(flag_set, INFINITE);
    }
    return real_free_ex(path, available, total, total_free);
}

// Waits for a worker thread while letting its window messages through.
static void pump_until(HANDLE object)
{
    while (MsgWaitForMultipleObjects(1, &object, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }
}

class AbortedFill : public FillPass {
public:
    int erase_for_worker() { return erase(); }

    // An aborted pass neither clears the status box nor reports: it keeps
    // the text it had, or the last progress text the pass showed.
    void expect_status_not_cleared(const ControlLog &log)
    {
        EXPECT_FALSE(log.saw("")) << "an aborted pass cleared the status box";
        std::string expected = log.texts.empty() ? "status before the pass" : log.texts.back();
        EXPECT_EQ(expected, status());
        for (const std::string &text : log.texts)
            EXPECT_TRUE(isdigit((unsigned char)text[0])) << "not a progress text: " << text;
    }
};

struct EraseOnWorker {
    AbortedFill *test;
    int result;
};

static DWORD WINAPI erase_on_worker(void *param)
{
    EraseOnWorker *job = (EraseOnWorker *)param;
    job->result = job->test->erase_for_worker();
    return 0;
}

TEST_F(AbortedFill, SetBetweenWritesStopsBeforeTheNextWrite)
{
    use_volume("fill_tmpfs");
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    real_free_ex = (GetDiskFreeSpaceExProc)(void (*)(void))GetProcAddress(kernel, "GetDiskFreeSpaceExA");
    probes_seen = 0;
    stop_at_probe = 3;
    probe_reached = CreateEventA(NULL, TRUE, FALSE, NULL);
    flag_set = CreateEventA(NULL, TRUE, FALSE, NULL);
    get_free_ex = probe_then_wait;
    get_free_ex_ready = 1;

    ControlLog log(scope.owner, 146);
    EraseOnWorker job = { this, -1 };
    HANDLE worker = CreateThread(NULL, 0, erase_on_worker, &job, 0, NULL);
    ASSERT_NE(nullptr, worker);
    pump_until(probe_reached);
    InterlockedExchange(&scope.abort_flag, 1);
    SetEvent(flag_set);
    pump_until(worker);
    CloseHandle(worker);
    CloseHandle(probe_reached);
    CloseHandle(flag_set);

    EXPECT_EQ(1, job.result);
    EXPECT_EQ(3, probes_seen) << "the pass went on probing after the abort";
    expect_status_not_cleared(log);
    EXPECT_TRUE(boxes.shown.empty());
    WorkFiles files = check_work_files(work, block_of(0).data());
    ASSERT_EQ("", files.problem);
    ASSERT_EQ(1u, files.names.size());
    // two full writes before the third probe; the third write never happened
    EXPECT_EQ(2ull * TRANSFER_SIZE, files.sizes[0]);
    EXPECT_EQ(elsewhere, current_directory());
}

TEST_F(AbortedFill, FromAnotherThreadDuringALongFillKeepsWholeWritesOnly)
{
    use_volume("big_tmpfs");
    ControlLog log(scope.owner, 146);
    EraseOnWorker job = { this, -1 };
    HANDLE worker = CreateThread(NULL, 0, erase_on_worker, &job, 0, NULL);
    ASSERT_NE(nullptr, worker);

    // abort once the first file holds a couple of writes: well over a gigabyte
    // is still to come, so the pass is surely in the middle of its work
    unsigned long long seen = 0;
    std::string first = work + "\\00000001";
    while (WaitForSingleObject(worker, 0) == WAIT_TIMEOUT) {
        unsigned long long size = file_size(first);
        if (size != ~0ull && size >= 2ull * TRANSFER_SIZE) {
            seen = size;
            InterlockedExchange(&scope.abort_flag, 1);
            break;
        }
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        Sleep(1);
    }
    pump_until(worker);
    CloseHandle(worker);

    EXPECT_EQ(1, job.result);
    ASSERT_NE(0u, seen) << "the pass ended before the test could abort it";
    expect_status_not_cleared(log);
    EXPECT_TRUE(boxes.shown.empty());
    WorkFiles files = check_work_files(work, block_of(0).data());
    ASSERT_EQ("", files.problem);
    ASSERT_FALSE(files.names.empty());
    // the abort takes effect between writes, never inside one: full files are
    // 1 GiB, and the last holds whole writes (or only its first 700 bytes)
    for (size_t i = 0; i + 1 < files.sizes.size(); ++i)
        EXPECT_EQ((unsigned long long)MAX_FILE_BYTES, files.sizes[i]);
    unsigned long long last = files.sizes.back();
    EXPECT_TRUE(last % TRANSFER_SIZE == 0 || (files.names.size() > 1 && last == FIRST_WRITE_BYTES))
        << "the last file holds " << last << " bytes";
    EXPECT_GE(files.total, seen);
    // the pass stopped rather than running on to the end of the volume
    EXPECT_GE(free_bytes_of(root), (unsigned long long)TRANSFER_SIZE);
}

// ----------------------------------------------------------- failures

TEST_F(FillPass, AWorkFileThatCantBeCreatedGivesOneWarningAndTheStepGoesOn)
{
    use_volume("fill_tmpfs");
    // the "folder" is a file: no name inside it can be created, even by root
    std::string not_a_folder = root + "plain.txt";
    ASSERT_TRUE(write_file(not_a_folder, "a user's file"));
    std::map<std::string, std::string> user_before = digest_tree(root);
    std::string intended = not_a_folder + "\\00000001";
    ASSERT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA(intended.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                          CREATE_ALWAYS, 0, NULL));
    DWORD code = GetLastError();
    ASSERT_NE(0u, code);
    std::string expected = "CreateFile(" + intended + "): " + system_text(code);

    const char *args[2] = { "vanta", not_a_folder.c_str() };
    EXPECT_EQ(0, erase_free_space(2, args));
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(expected, boxes.shown[0].text);
    EXPECT_EQ(scope.owner, boxes.shown[0].owner);
    EXPECT_EQ((UINT)(MB_OK | MB_ICONWARNING), boxes.shown[0].style);
    EXPECT_EQ(expected, status());
    EXPECT_EQ(code, run_context.last_error);
    EXPECT_EQ(elsewhere, current_directory());

    // as a step it counts as done: the status box is cleared for the next step
    EXPECT_EQ(0, erase_step(scope.owner, 146, 147, &scope.abort_flag, nullptr,
                            not_a_folder.c_str()));
    EXPECT_EQ(2u, boxes.shown.size());
    EXPECT_EQ("", status());
    EXPECT_EQ(user_before, digest_tree(root));
}

TEST_F(FillPass, WorkFilePathsOf259CharactersWorkAndLongerOnesFailLikeCreation)
{
    use_volume("fill_tmpfs");
    // 250 characters: "<folder>\00000001" is exactly 259
    std::string longest = root + std::string(247, 'L');
    ASSERT_TRUE(CreateDirectoryA(longest.c_str(), NULL));
    EXPECT_EQ(0, erase_step(scope.owner, 146, 147, &scope.abort_flag, "0x5a", longest.c_str()));
    EXPECT_TRUE(boxes.shown.empty());
    WorkFiles files = check_work_files(longest, block_of(0x5A).data());
    EXPECT_EQ("", files.problem);
    EXPECT_EQ(std::vector<std::string>{ "00000001" }, files.names);
    remove_tree(longest);

    // one character more: never cut into another name, reported as a creation failure
    std::string too_long = root + std::string(248, 'L');
    ASSERT_TRUE(CreateDirectoryA(too_long.c_str(), NULL));
    std::map<std::string, std::string> before = digest_tree(root);
    const char *args[3] = { "vanta", too_long.c_str(), "0x5a" };
    EXPECT_EQ(0, erase_free_space(3, args));
    std::string expected = "CreateFile(" + too_long + "\\00000001): " +
                           system_text(ERROR_FILENAME_EXCED_RANGE);
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(expected, boxes.shown[0].text);
    EXPECT_EQ(expected, status());
    EXPECT_EQ((DWORD)ERROR_FILENAME_EXCED_RANGE, run_context.last_error);
    EXPECT_TRUE(list_folder(too_long).empty());
    EXPECT_EQ(before, digest_tree(root));
    EXPECT_EQ(elsewhere, current_directory());
}

// A basic free-space query that fails: always, or from the moment it has
// reported less than one full write free (the tail phase).
static LONG basic_failures;
static bool fail_every_probe;
static bool small_figure_given;

static BOOL WINAPI failing_basic(LPCSTR root, LPDWORD sectors, LPDWORD bytes, LPDWORD free_clusters,
                                 LPDWORD total_clusters)
{
    if (!fail_every_probe && !small_figure_given) {
        if (!GetDiskFreeSpaceA(root, sectors, bytes, free_clusters, total_clusters))
            return FALSE;
        // one cluster less than the truth, so the tail has a cluster to fill
        if (*free_clusters)
            --*free_clusters;
        if ((unsigned long long)*free_clusters * *sectors * *bytes < TRANSFER_SIZE)
            small_figure_given = true;
        return TRUE;
    }
    ++basic_failures;
    SetLastError(ERROR_NOT_READY);
    return FALSE;
}

TEST_F(FillPass, AProbeFailingInTheMainPhaseEndsTheFileAndTheFill)
{
    use_volume("fill_tmpfs");
    basic_failures = 0;
    fail_every_probe = true;
    get_free_basic = failing_basic;
    unsigned long long free_before = free_bytes_of(root);

    EXPECT_EQ(0, erase("0x77"));
    std::string expected = "GetDiskFreeSpace(): " + system_text(ERROR_NOT_READY);
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(expected, boxes.shown[0].text);
    EXPECT_EQ(1, basic_failures);

    // file 1 was made and closed with at most its first write; no file 2
    WorkFiles files = check_work_files(work, block_of(0x77).data());
    ASSERT_EQ("", files.problem);
    ASSERT_EQ(std::vector<std::string>{ "00000001" }, files.names);
    EXPECT_LE(files.sizes[0], (unsigned long long)FIRST_WRITE_BYTES);
    EXPECT_GT(free_bytes_of(root), free_before - 2 * 4096);
}

TEST_F(FillPass, AProbeFailingInTheTailWarnsEachTimeAndTheTailFillsWhatIsLeft)
{
    use_volume("fill_tmpfs");
    basic_failures = 0;
    fail_every_probe = false;
    small_figure_given = false;
    get_free_basic = failing_basic;
    // without the extended query, the basic figure sizes the writes
    get_free_ex = NULL;
    get_free_ex_ready = 1;
    unsigned long long free_before = free_bytes_of(root);

    // erase_free_space directly: erase_step would clear the status text
    const char *args[3] = { "vanta", work.c_str(), "0x99" };
    EXPECT_EQ(0, erase_free_space(3, args));

    std::string expected = "GetDiskFreeSpace(): " + system_text(ERROR_NOT_READY);
    // the hidden cluster takes 512-byte writes, each after a failed probe
    EXPECT_GE(basic_failures, 2);
    ASSERT_EQ((size_t)basic_failures, boxes.shown.size());
    for (const BoxRecord &box : boxes.shown)
        EXPECT_EQ(expected, box.text);
    EXPECT_EQ(expected, status());

    WorkFiles files = check_work_files(work, block_of(0x99).data());
    ASSERT_EQ("", files.problem);
    ASSERT_EQ(1u, files.names.size());
    EXPECT_EQ(free_before, files.total);
    EXPECT_EQ(0u, free_bytes_of(root));
}

// ----------------------------------------------------------- random and dod

// The pass's seed clock, set by the test.
static DWORD fixed_seed;
static DWORD WINAPI fixed_seed_clock(void) { return fixed_seed; }

// Offset of the first of length bytes of a file, from offset on, that is not
// the textbook's next output; -1 when all are, -2 when the file is short.
static long long first_off_stream(const std::string &path, unsigned long long offset,
                                  unsigned long long length, TextbookMt &stream)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return -2;
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    SetFilePointerEx(file, at, NULL, FILE_BEGIN);
    static std::vector<unsigned char> expected(TRANSFER_SIZE), got(TRANSFER_SIZE);
    long long result = -1;
    for (unsigned long long done = 0; done < length && result == -1;) {
        DWORD want = (DWORD)std::min<unsigned long long>(TRANSFER_SIZE, length - done);
        DWORD read = 0;
        if (!ReadFile(file, got.data(), want, &read, NULL) || read != want) {
            result = -2;
            break;
        }
        stream.bytes(expected.data(), want);
        if (memcmp(expected.data(), got.data(), want) != 0) {
            DWORD i = 0;
            while (expected[i] == got[i])
                ++i;
            result = (long long)(offset + done + i);
        }
        done += want;
    }
    CloseHandle(file);
    return result;
}

class RandomFill : public FillPass {
protected:
    SeedClockProc saved_clock;
    void SetUp() override { saved_clock = seed_clock; }
    void TearDown() override
    {
        seed_clock = saved_clock;
        FillPass::TearDown();
    }

    // The erase half of an "erase,verify" step: its files keep their bytes
    // for the verify pass, whatever follows the fill loop on NTFS.
    int erase_keeping(const char *word)
    {
        return erase_step_nomft(scope.owner, 146, 147, &scope.abort_flag, word, work.c_str());
    }

    // The work files that hold data, in order. Files numbered after them
    // may only be empty.
    std::vector<std::string> data_files()
    {
        std::vector<std::string> names;
        bool empty_seen = false;
        for (const std::string &name : list_folder(work)) {
            unsigned long long size = file_size(work + "\\" + name);
            if (size == 0) {
                empty_seen = true;
                continue;
            }
            EXPECT_FALSE(empty_seen) << name << " holds data after an empty work file";
            names.push_back(work + "\\" + name);
        }
        return names;
    }

    void remove_work_files()
    {
        for (const std::string &name : list_folder(work))
            DeleteFileA((work + "\\" + name).c_str());
    }
};

// The first 175 words of each file are drawn for its 700-byte first write,
// which the main phase then overwrites from offset 0: the file holds the
// stream from its 176th word on.
TEST_F(RandomFill, TheFileHoldsTheStreamOfTheMillisecondSeedFromWord175On)
{
    use_volume("random_tmpfs");
    unsigned long long free_before = free_bytes_of(root);
    // more than one full write, and a last write that is not a full one
    ASSERT_GT(free_before, 2ull * TRANSFER_SIZE);
    ASSERT_NE(0u, free_before % TRANSFER_SIZE);

    DWORD before = timeGetTime();
    EXPECT_EQ(0, erase_keeping("random"));
    DWORD after = timeGetTime();
    EXPECT_TRUE(boxes.shown.empty());

    std::vector<std::string> files = data_files();
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(free_before, file_size(files[0]));
    EXPECT_EQ(0u, free_bytes_of(root));

    // the seed is a reading of the millisecond clock during the pass: the
    // file's first two words name it
    std::string head;
    ASSERT_TRUE(read_file(files[0], &head));
    ASSERT_GE(head.size(), 8u);
    std::vector<DWORD> seeds;
    for (DWORD waited = 0; waited <= after - before; ++waited) {
        TextbookMt stream(before + waited);
        stream.skip(175);
        unsigned char expected[8];
        stream.bytes(expected, 8);
        if (memcmp(expected, head.data(), 8) == 0)
            seeds.push_back(before + waited);
    }
    head.clear();
    ASSERT_EQ(1u, seeds.size()) << "no single seed between " << before << " and " << after;

    TextbookMt stream(seeds[0]);
    stream.skip(175);
    EXPECT_EQ(-1, first_off_stream(files[0], 0, free_before, stream));
}

// With less than one full write free, the main phase's only write takes the
// free bytes less the page the first write holds; tmpfs then has that page
// left, and the tail writes it from the start of the buffer, which still
// holds the same write's first words.
TEST_F(RandomFill, TheTailRepeatsTheStartOfTheLastWriteWithoutFreshWords)
{
    use_volume("random_tmpfs");
    const unsigned long long leave = 1024 * 1024 + 12 * 4096;
    ASSERT_TRUE(fill_volume_outside(root + "filler.bin", leave));
    ASSERT_EQ(leave, free_bytes_of(root));
    seed_clock = fixed_seed_clock;
    fixed_seed = 0x5EED0001;

    EXPECT_EQ(0, erase_keeping("random"));
    EXPECT_TRUE(boxes.shown.empty());

    std::vector<std::string> files = data_files();
    ASSERT_EQ(1u, files.size());
    ASSERT_EQ(leave, file_size(files[0]));
    EXPECT_EQ(0u, free_bytes_of(root));

    TextbookMt stream(fixed_seed);
    stream.skip(175);
    EXPECT_EQ(-1, first_off_stream(files[0], 0, leave - 4096, stream));
    TextbookMt again(fixed_seed);
    again.skip(175);
    EXPECT_EQ(-1, first_off_stream(files[0], leave - 4096, 4096, again));
}

TEST_F(RandomFill, TwoPassesWithTheSameSeedWriteTheSameFilesAndAnotherSeedDoesNot)
{
    use_volume("random_tmpfs");
    seed_clock = fixed_seed_clock;
    std::vector<std::string> contents;
    for (DWORD seed : { 0x2468ACE0u, 0x2468ACE0u, 0x2468ACE1u }) {
        remove_work_files();
        fixed_seed = seed;
        EXPECT_EQ(0, erase_keeping("random"));
        std::vector<std::string> files = data_files();
        ASSERT_EQ(1u, files.size());
        std::string bytes;
        ASSERT_TRUE(read_file(files[0], &bytes));
        contents.push_back(bytes);
    }
    EXPECT_TRUE(boxes.shown.empty());
    ASSERT_GT(contents[0].size(), (size_t)TRANSFER_SIZE);
    EXPECT_TRUE(contents[0] == contents[1]) << "the same seed gave different files";
    ASSERT_EQ(contents[0].size(), contents[2].size());
    // a seed one apart starts a wholly different stream
    size_t same = 0;
    for (size_t i = 0; i < contents[0].size(); i += 4)
        if (memcmp(&contents[0][i], &contents[2][i], 4) == 0)
            ++same;
    EXPECT_LT(same, 8u) << "words alike in the files of seeds one apart";
}

// 1.5 GiB: file 1 takes 256 full writes, then file 2 draws 175 words for its
// own first write before its main phase goes on with the stream.
TEST_F(RandomFill, TheStreamRunsOnAcrossWorkFiles)
{
    use_volume("big_tmpfs");
    unsigned long long free_before = free_bytes_of(root);
    ASSERT_GT(free_before, (unsigned long long)MAX_FILE_BYTES + TRANSFER_SIZE);
    seed_clock = fixed_seed_clock;
    fixed_seed = 19650218;

    EXPECT_EQ(0, erase_keeping("random"));
    EXPECT_TRUE(boxes.shown.empty());

    std::vector<std::string> files = data_files();
    ASSERT_EQ(2u, files.size());
    ASSERT_EQ((unsigned long long)MAX_FILE_BYTES, file_size(files[0]));
    unsigned long long second = free_before - MAX_FILE_BYTES;
    ASSERT_EQ(second, file_size(files[1]));

    TextbookMt stream(fixed_seed);
    stream.skip(175);
    EXPECT_EQ(-1, first_off_stream(files[0], 0, MAX_FILE_BYTES, stream));
    stream.skip(175);
    EXPECT_EQ(-1, first_off_stream(files[1], 0, second, stream));
}

TEST_F(RandomFill, DodWritesTheLowByteOfTheFirstOutputEverywhere)
{
    use_volume("random_tmpfs");
    unsigned long long free_before = free_bytes_of(root);
    seed_clock = fixed_seed_clock;

    // 5489 starts with 0xD091BB5C; the second seed's byte differs from it
    // and from zero, so a fill of the wrong byte can't pass
    auto dod_byte = [](DWORD seed) { return (unsigned char)TextbookMt(seed).next(); };
    DWORD other = 1;
    while (dod_byte(other) == 0x5C || dod_byte(other) == 0)
        ++other;
    for (DWORD seed : { (DWORD)5489, other }) {
        remove_work_files();
        fixed_seed = seed;
        EXPECT_EQ(0, erase_keeping("dod"));

        TextbookMt textbook(seed);
        unsigned char byte = (unsigned char)textbook.next();
        WorkFiles files = check_work_files(work, block_of(byte).data());
        EXPECT_EQ("", files.problem) << "seed " << seed;
        EXPECT_EQ(free_before, files.total) << "seed " << seed;
        EXPECT_EQ(0u, free_bytes_of(root));
        // the pass took one output, and the writes none
        EXPECT_EQ(textbook.next(), mt_next()) << "seed " << seed;
    }
    EXPECT_TRUE(boxes.shown.empty());
}

// ----------------------------------------------------------- progress

// The clocks of the progress display: every reading of the tick is 1001 ms
// after the one before, every time stamp half a second after the last.
static DWORD progress_ticks;
static long long progress_stamp;
static DWORD WINAPI stepping_tick(void) { return progress_ticks += 1001; }
static long long stepping_time(void) { return progress_stamp += 5000000; }

// Every free-byte figure the extended probe hands to the pass.
static GetDiskFreeSpaceExProc probe_for_real;
static std::vector<unsigned long long> probed;
static BOOL WINAPI recording_probe(LPCSTR path, PULARGE_INTEGER available, PULARGE_INTEGER total,
                                   PULARGE_INTEGER total_free)
{
    BOOL ok = probe_for_real(path, available, total, total_free);
    if (ok)
        probed.push_back(available->QuadPart);
    return ok;
}

// The free-space line of a figure in the two bands a small volume meets.
static std::string free_line(unsigned long long free_bytes)
{
    if (free_bytes >= 10240000ull)
        return std::to_string(free_bytes >> 20) + "MB";
    return std::to_string(free_bytes >> 10) + "KB";
}

class LiveProgress : public FillPass {
protected:
    ProgressTickProc saved_tick;
    ProgressTimeProc saved_time;
    DWORD saved_last_shown;
    void SetUp() override
    {
        saved_tick = progress_tick;
        saved_time = progress_time;
        saved_last_shown = last_shown_tick;
        progress_tick = stepping_tick;
        progress_time = stepping_time;
        progress_ticks = last_shown_tick + 5000;
        progress_stamp = 0;
        HMODULE kernel = GetModuleHandleA("kernel32.dll");
        probe_for_real = (GetDiskFreeSpaceExProc)(void (*)(void))GetProcAddress(kernel,
                                                                               "GetDiskFreeSpaceExA");
    }
    void TearDown() override
    {
        progress_tick = saved_tick;
        progress_time = saved_time;
        last_shown_tick = saved_last_shown;
        FillPass::TearDown();
    }

    // One zero fill, every probe recorded; the texts the status box received.
    std::vector<std::string> fill_and_watch()
    {
        probed.clear();
        get_free_ex = recording_probe;
        get_free_ex_ready = 1;
        ControlLog log(scope.owner, 146);
        EXPECT_EQ(0, erase());
        return log.texts;
    }
};

TEST_F(LiveProgress, EveryMainPhaseWriteShowsTheFreeSpaceProbedAndTheSpeedSinceTheFirst)
{
    use_volume("random_tmpfs");
    unsigned long long free_before = free_bytes_of(root);
    std::vector<std::string> texts = fill_and_watch();
    EXPECT_TRUE(boxes.shown.empty());

    // the main phase probes until a figure below one full write; the tail's
    // probes after it show nothing
    size_t main_probes = 0;
    while (main_probes < probed.size() && probed[main_probes] >= TRANSFER_SIZE)
        ++main_probes;
    ASSERT_LT(main_probes, probed.size()) << "the main phase never ended";
    ++main_probes;
    ASSERT_GE(main_probes, 4u);
    EXPECT_LT(main_probes, probed.size()) << "no tail probe after the main phase";

    // the figures are the volume's: the first write's page, then 4 MiB a write
    EXPECT_EQ(free_before - 4096, probed[0]);
    for (size_t i = 1; i < main_probes; ++i)
        EXPECT_EQ(free_before - i * TRANSFER_SIZE, probed[i]) << "probe " << i + 1;

    // each text: the free line of its probe, and from the second on the
    // speed from the first sample, half a second of the test's clock a write
    std::vector<std::string> expected;
    for (size_t i = 0; i < main_probes; ++i) {
        std::string text = free_line(probed[i]);
        if (i > 0) {
            long long tenths = 5 * (long long)i;
            long long speed = (long long)(probed[0] - probed[i]) * 10 / tenths;
            ASSERT_GT(speed, 1024);
            ASSERT_LT(speed, 10240000);
            text += "\r\nspeed " + std::to_string(speed / 1024) + "KB/sec";
        }
        expected.push_back(text);
    }
    // the finished step clears the box
    expected.push_back("");
    EXPECT_EQ(expected, texts);
    // 4 MiB a write at two writes a second, less the first write's page:
    // just under 8 MiB/s every time
    for (size_t i = 1; i < main_probes; ++i) {
        size_t at = texts[i].find("speed ");
        ASSERT_NE(std::string::npos, at) << texts[i];
        int figure = atoi(texts[i].c_str() + at + 6);
        EXPECT_GE(figure, 8184) << texts[i];
        EXPECT_LT(figure, 8192) << texts[i];
    }

    // a second pass measures from its own first write again
    clear_volume(root);
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    EXPECT_EQ(texts, fill_and_watch());
}
