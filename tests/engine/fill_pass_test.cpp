// The fill pass on real volumes, through the real Win32 calls: tmpfs (T:, V:,
// W:), ext4 (U:) and NTFS through ntfs-3g (N:).
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include "engine/wipe_engine.h"
#include "engine_checks.h"
#include "support/messages.h"
#include "test_helpers.h"

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
    EXPECT_EQ("status before the pass", status());
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
    EXPECT_EQ("status before the pass", status());
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
