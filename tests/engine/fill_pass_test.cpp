// Fill, free-space probe and record-slack passes on real volumes: tmpfs (T:,
// V:, W:), ext4 (U:), NTFS through ntfs-3g (N:), a drive Wine reports as FAT
// (F:). Wine calls tmpfs and ext4 NTFS as well; full, they take not even two
// bytes in a new file, so there the record-slack pass only cuts files.
#include <gtest/gtest.h>
#include <stdio.h>
#include "engine_checks.h"
#include "textbook_mt.h"

typedef std::vector<unsigned long long> Sizes;

// The extended query as the pass asks it, setting the abort flag at its third call.
static int probes;
static volatile LONG *abort_flag_at_third;
static BOOL WINAPI watching_ex(LPCSTR path, PULARGE_INTEGER available, PULARGE_INTEGER total, PULARGE_INTEGER free_total)
{
    if (++probes == 3)
        *abort_flag_at_third = 1;
    return GetDiskFreeSpaceExA(path, available, total, free_total);
}
static DWORD WINAPI seed_19650218(void) { return 19650218; }

class Fill : public PassBench {
protected:
    // keep: the erase half of "erase,verify", whose files keep their bytes
    int erase(const char *word, bool keep = false)
    {
        return (keep ? erase_step_nomft : erase_step)(scope.owner, 146, 147, &scope.abort_flag, word, work.c_str());
    }
    // The work files' sizes; they must be numbered from 1 and hold only value.
    Sizes sizes(unsigned char value)
    {
        WorkFiles files = check_work_files(work, block_of(value).data());
        EXPECT_EQ("", files.problem);
        return files.sizes;
    }
    // Every pass hands the directory back; the record-slack pass shows nothing.
    void expect_quiet(const char *status)
    {
        EXPECT_TRUE(boxes.shown.empty()) << boxes.shown[0].text;
        EXPECT_TRUE(status == window_text(scope.owner, 146) && scope.saved_directory == current_directory()) << status;
    }
};

// How far the total may miss the free space before: tmpfs counts whole pages
// and ext4 here has 4 KiB blocks (a disk of 4096-byte sectors could carry no
// smaller), exact both; ext4 may refuse the file its last free block when the
// file's extent tree would need it (kept). On NTFS the record-slack pass gives
// back the end of file 1 in 64 KiB steps while that lets the work folder's
// index grow, and the index and new records take it. A full volume gets file
// 1 empty and the probe file 2 after it.
struct FillCase { const char *volume, *word, *verify_word; std::vector<unsigned char> values; unsigned long long under, over, kept; bool full; };
class Fills : public Fill, public ::testing::WithParamInterface<FillCase> {};
INSTANTIATE_TEST_SUITE_P(Volumes, Fills,
    ::testing::Values(FillCase{ "fill_tmpfs", "1,2,3", nullptr, { 1, 2, 3 }, 0, 0, 0, false },
                      FillCase{ "fill_ext4", "0xff", "0xff", { 0xFF }, 0, 0, 4096, false },
                      FillCase{ "fill_ntfs", "0x3c", "0x3c", { 0x3C }, 512 * 1024, 0, 0, false },
                      FillCase{ "full_tmpfs", "0x3c", nullptr, { 0x3C }, 0, 0, 0, true }));

// The flushes a pass makes: of its work files, and of its volume (opened by
// its "\\.\" name), as the system's calls see them.
static decltype(win.CreateFileA) inner_create_a;
static decltype(win.FlushFileBuffers) inner_flush;
static std::vector<HANDLE> volume_handles;
static int file_flushes, volume_opens, volume_flushes;
static HANDLE WINAPI noting_create(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD flags, HANDLE model)
{
    HANDLE handle = inner_create_a(path, access, share, security, disposition, flags, model);
    if (strncmp(path, "\\\\.\\", 4) == 0 && ++volume_opens && handle != INVALID_HANDLE_VALUE)
        volume_handles.push_back(handle);
    return handle;
}
static BOOL WINAPI counting_flush(HANDLE handle)
{
    auto volume = std::find(volume_handles.begin(), volume_handles.end(), handle);
    ++(volume != volume_handles.end() ? volume_flushes : file_flushes);
    if (volume != volume_handles.end())
        volume_handles.erase(volume);   // its handle's value goes to a work file next
    return inner_flush(handle);
}

TEST_P(Fills, TheVolumeUntilA512ByteWriteIsRefusedAndNothingElse)
{
    const FillCase &c = GetParam();
    use(c.volume);
    plant_user_files(root);
    ASSERT_TRUE(!c.full || fill_volume_outside(root + "filler.bin"));
    auto user_before = digest_tree(root);
    unsigned long long free_before = free_bytes_of(root);
    // each work file on the disk before its space goes back, and the volume
    // flushed while the pass still holds it full
    inner_create_a = win.CreateFileA, inner_flush = win.FlushFileBuffers;
    win.CreateFileA = noting_create, win.FlushFileBuffers = counting_flush;
    volume_handles.clear(), file_flushes = volume_opens = volume_flushes = 0;
    EXPECT_EQ(0, erase(c.word, true));
    win.CreateFileA = inner_create_a, win.FlushFileBuffers = inner_flush;
    EXPECT_EQ(1, volume_opens) << "the volume asked for once a pass";
    EXPECT_EQ(0u, volume_handles.size()) << "a volume opened and not flushed";
    printf("[ figures  ] %s: %d work files flushed, the volume %s\n", c.volume, file_flushes,
           volume_flushes ? "flushed" : "not opened");
    expect_quiet("");
    EXPECT_EQ(user_before, digest_tree(root));
    WorkFiles files = check_work_files(work, block_of_list(c.values).data());
    ASSERT_EQ("", files.problem);
    // file 1 holds the fill; the probe file and small files (NTFS only) are empty
    ASSERT_GE(files.names.size(), 2u);
    EXPECT_GE(file_flushes, 2) << "the work file and the probe file flushed";
    EXPECT_EQ(files.total, files.sizes[0]);
    EXPECT_EQ(c.under != 0, files.names.size() > 2) << files.names.size() << " work files";
    printf("[ figures  ] %s: %llu free, %llu written, %u work files\n", c.volume, free_before, files.total, (unsigned)files.names.size());
    EXPECT_LE(free_bytes_of(root), c.kept) << "free space left";
    EXPECT_GE(files.total + c.under + c.kept, free_before) << "written";
    EXPECT_LE(files.total, free_before + c.over) << "written";
    EXPECT_TRUE(!c.verify_word || verify(c.verify_word) == 0);
    // without /nomft the record-slack pass cuts every work file to nothing
    // (the files before it deleted, as every erase step begins)
    EXPECT_EQ(0, delete_work_files(scope.owner, 146, 147, &scope.abort_flag, work.c_str()));
    EXPECT_EQ(0, erase(c.word));
    Sizes after = sizes(0);
    // ext4 counts the blocks of files cut in a transaction free once it is committed
    EXPECT_TRUE(run_unix("sync -f '" + unix_path(root) + "'"));
    EXPECT_EQ(Sizes(after.size(), 0), after);
    EXPECT_GE(free_bytes_of(root) + c.under, free_before);
    expect_quiet("");
}

// File 1 closes at exactly 1 GiB. Each file's first 175 words go to its
// 700-byte first write, which its main phase overwrites.
TEST_F(Fill, AmpleSpaceClosesFileOneAtOneGibAndTheRandomStreamRunsOnIntoFileTwo)
{
    use("big_tmpfs");
    unsigned long long free_before = free_bytes_of(root);
    seed_clock = seed_19650218;
    EXPECT_EQ(0, erase("random", true));
    TextbookMt stream(19650218);
    static std::vector<unsigned char> want(TRANSFER_SIZE), got(TRANSFER_SIZE);
    Sizes found;
    for (const std::string &name : list_folder(work)) {
        stream.bytes(want.data(), 700);
        HANDLE file = CreateFileA((work + "\\" + name).c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        DWORD read = 0;
        for (found.push_back(0); ReadFile(file, got.data(), TRANSFER_SIZE, &read, NULL) && read; found.back() += read) {
            stream.bytes(want.data(), read);
            ASSERT_EQ(0, memcmp(want.data(), got.data(), read)) << name << " near " << found.back();
        }
        CloseHandle(file);
    }
    EXPECT_EQ(Sizes({ MAX_FILE_BYTES, free_before - MAX_FILE_BYTES, 0 }), found);
}

TEST_F(Fill, AnAbortBeforeTheThirdWriteKeepsTwoWritesAndSkipsTheSlackPass)
{
    use("fill_tmpfs");
    get_free_ex = watching_ex, get_free_ex_ready = 1, abort_flag_at_third = &scope.abort_flag, probes = 0;
    EXPECT_TRUE(erase(nullptr) == 1 && probes == 3) << probes;
    EXPECT_EQ(Sizes({ 2 * TRANSFER_SIZE }), sizes(0));
    EXPECT_NE("", window_text(scope.owner, 146)) << "an aborted pass cleared the status box";
}

// The record-slack pass's first file, as the pass creates it, sets the abort flag.
static CreateInFolderProc inner_create;
static volatile LONG *abort_flag_at_small_file;
static HANDLE WINAPI abort_at_small_file(HANDLE folder, LPCWSTR name, DWORD access, DWORD share, DWORD disposition,
                                         DWORD flags)
{
    if ((access & ~DELETE) == GENERIC_WRITE && disposition == CREATE_NEW)
        *abort_flag_at_small_file = 1;
    return inner_create(folder, name, access, share, disposition, flags);
}

// An Abort while the pass packs the record area (a minute and more on a large
// NTFS volume) is a stop like any other: the pass says so to the runner.
TEST_F(Fill, AnAbortWhileTheRecordAreaIsPackedStopsThePass)
{
    use("fill_tmpfs");
    inner_create = file_calls.create, file_calls.create = abort_at_small_file;
    abort_flag_at_small_file = &scope.abort_flag;
    EXPECT_EQ(1, erase(nullptr)) << "the record-slack pass's stop was dropped";
    EXPECT_EQ(1, scope.abort_flag) << "no record-slack file was made";
}

// Free space left unwritten is never a success: the pass ends as a reported
// failure, its text stays in the status box, and no record-slack file follows.
TEST_F(Fill, AWorkFolderOrFileThatCantBeUsedEndsThePassAsAReportedFailure)
{
    use("fill_tmpfs");
    // a file in the folder's place stops even root; a name over 259
    // characters is never cut into another name
    std::string file = root + "plain.txt", too_long = root + std::string(248, 'L'), gone = root + "gone";
    ASSERT_TRUE(write_file(file, "a user's file") && CreateDirectoryA(too_long.c_str(), NULL));
    std::map<std::string, std::string> before = digest_tree(root);
    const struct { const char *name; std::string folder, box; } cases[] = {
        {"a file in the folder's place", file, "CreateFile(" + file + "): " + system_text(ERROR_DIRECTORY)},
        {"a folder that is gone", gone, "CreateFile(" + gone + "): " + system_text(ERROR_FILE_NOT_FOUND)},
        {"a work file name over 259 characters", too_long,
         "CreateFile(" + too_long + "\\00000001): " + system_text(ERROR_FILENAME_EXCED_RANGE)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (bool as_step : {false, true}) {
            boxes.shown.clear();
            const char *args[2] = { "vanta", c.folder.c_str() };
            EXPECT_EQ(3, as_step ? erase_step(scope.owner, 146, 147, &scope.abort_flag, nullptr, c.folder.c_str())
                                 : erase_free_space(2, args));
            ASSERT_EQ(1u, boxes.shown.size());
            EXPECT_EQ(c.box, boxes.shown[0].text);
            EXPECT_EQ((UINT)(MB_OK | MB_ICONWARNING), boxes.shown[0].style);
            EXPECT_EQ(c.box, window_text(scope.owner, 146)) << "the text stays in the status box";
            EXPECT_EQ(scope.saved_directory, current_directory());
        }
    }
    EXPECT_EQ(before, digest_tree(root));
}

// A volume that takes no further file (here: no inode left) has come to its
// end only when the probe agrees that it has less than a cluster free; with
// room left the refusal is a failure, at file 1 as after a full 1 GiB one.
TEST_F(Fill, NoRoomForAWorkFileIsTheVolumesEndOnlyWhenTheProbeFindsItFull)
{
    use("big_tmpfs");
    std::vector<std::string> taken;
    for (int i = 0; i < 5000; ++i) {   // nr_inodes=2000
        std::string name = root + "inode" + std::to_string(i);
        if (!write_file(name, ""))
            break;
        taken.push_back(name);
    }
    ASSERT_FALSE(write_file(root + "one more", ""));
    DWORD code = GetLastError();
    ASSERT_TRUE(code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL) << code;
    // freed: inodes given back (the row before gives back file 1 too);
    // filled: all but 1 GiB taken by a file of its own inode first
    const struct { const char *name; int freed; bool filled; int result; Sizes files; const char *refused; } cases[] = {
        {"no room for file 1", 0, false, 3, {}, "00000001"},
        {"room for file 1 only, 0.5 GiB free after it", 1, false, 3, {MAX_FILE_BYTES}, "00000002"},
        {"room for file 1 only, nothing free after it", 0, true, 0, {MAX_FILE_BYTES}, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < c.freed + (c.filled ? 1 : 0); ++i) {
            ASSERT_TRUE(DeleteFileA(taken.back().c_str()));
            taken.pop_back();
        }
        if (c.filled) {   // written, not sparse: tmpfs gives a sparse file no room
            static const std::string chunk(TRANSFER_SIZE, 'f');
            HANDLE filler = CreateFileA((root + "filler.bin").c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            DWORD written = 0;
            for (unsigned long long left = free_bytes_of(root) - MAX_FILE_BYTES; left; left -= written)
                if (!WriteFile(filler, chunk.data(), (DWORD)std::min<unsigned long long>(left, chunk.size()), &written, NULL) || !written)
                    break;
            CloseHandle(filler);
            ASSERT_EQ((unsigned long long)MAX_FILE_BYTES, free_bytes_of(root));
        }
        boxes.shown.clear();
        EXPECT_EQ(c.result, erase_step_nomft(scope.owner, 146, 147, &scope.abort_flag, nullptr, work.c_str()));
        EXPECT_EQ(c.files, sizes(0));
        ASSERT_EQ(c.refused ? 1u : 0u, boxes.shown.size());
        if (c.refused) {
            EXPECT_EQ("CreateFile(" + work + "\\" + c.refused + "): " + system_text(code), boxes.shown[0].text);
        }
        remove_tree(work), CreateDirectoryA(work.c_str(), NULL);
    }
}

// The extended query is asked about the work folder: a missing one fails it.
TEST_F(Fill, TheProbeGivesTheExtendedFigureForTheWorkFolderAndReportsAFailure)
{
    use("fill_ext4");
    SetCurrentDirectoryA(work.c_str());
    strcpy(probe_path, current_directory().c_str());
    look_up_free_ex();
    unsigned long long free_bytes = 0;
    EXPECT_TRUE(query_free_bytes(&free_bytes) == 0 && free_bytes_of(root) == free_bytes);
    strcpy(probe_path, (work + "\\missing").c_str());
    EXPECT_FALSE(GetDiskFreeSpaceExA(probe_path, NULL, NULL, NULL));
    DWORD code = GetLastError();
    EXPECT_EQ(code, query_free_bytes(&free_bytes));
    EXPECT_EQ("GetDiskFreeSpaceEx(): " + system_text(code), boxes.shown.at(0).text);
    EXPECT_EQ(boxes.shown[0].text, window_text(scope.owner, 146)) << "the status box shows the box's text";
}

// The extended query as a volume may answer it: it says more than the volume
// takes, less, nothing for a while, or fails. Any other answer is the truth.
enum ProbeAnswer { TRUTH, SAYS_A_MILLION, SAYS_NOTHING, NOTHING_AT_FIRST, FAILS_LATER, FAILS_WITHOUT_CODE, FULL_FOR_A_MOMENT,
                   KEEPS_48_MIB_FOR_OTHERS, TRUTH_BUT_A_SHORT_WRITE, TRUTH_BUT_WRITES_CUT_SHORT, SAYS_24_MIB };
static ProbeAnswer probe_answer;
static volatile LONG *abort_when_endless;
static BOOL WINAPI answering_ex(LPCSTR path, PULARGE_INTEGER available, PULARGE_INTEGER total, PULARGE_INTEGER free_total)
{
    // a pass that would never end is stopped here, so that the test can fail
    if (++probes == 200000)
        *abort_when_endless = 1;
    if ((probe_answer == FAILS_LATER || probe_answer == FAILS_WITHOUT_CODE) && probes >= 3)
        return SetLastError(probe_answer == FAILS_LATER ? ERROR_NOT_READY : 0), FALSE;
    // at the fourth answer another program takes all the room for a moment:
    // the probe says a million, the write is refused, then the room is back
    std::string filler = std::string(path).substr(0, 3) + "filler.bin";
    if (probe_answer == FULL_FOR_A_MOMENT && probes == 4)
        fill_volume_outside(filler);
    if (probe_answer == FULL_FOR_A_MOMENT && probes == 5)
        DeleteFileA(filler.c_str());
    BOOL ok = GetDiskFreeSpaceExA(path, available, total, free_total);
    if (probe_answer == SAYS_A_MILLION || (probe_answer == FULL_FOR_A_MOMENT && probes == 4))
        available->QuadPart = 1000000;
    if (probe_answer == SAYS_NOTHING || (probe_answer == NOTHING_AT_FIRST && probes <= 30))
        available->QuadPart = 0;
    if (probe_answer == SAYS_24_MIB)   // as a compressing volume with 24 MiB free says it
        available->QuadPart = 24 << 20;
    if (probe_answer == KEEPS_48_MIB_FOR_OTHERS)   // a quota, or a reserve for others (Wine never says so)
        free_total->QuadPart += 48 << 20;
    return ok;
}

// The third write of a pass takes only half of what it was given, while the
// volume has room (as a volume may): the pass counts what was written.
static WriteFileProc inner_write;
static int writes;
static BOOL WINAPI short_third_write(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    return inner_write(file, buffer, ++writes == 3 ? size / 2 : size, written, overlapped);
}

// Every write of more than 64 KiB takes one 4 KiB sector, however much room
// there is: the pass halves its writes until they are taken whole.
static BOOL WINAPI writes_cut_short(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    return inner_write(file, buffer, size > (64 << 10) ? 4096 : size, written, overlapped);
}

// Every write is sized by the probe, and the pass ends however the probe
// answers: refused sizes are never tried again in a file, so a volume that
// says it has room it refuses ends within a few writes; one that says it has
// nothing while it takes more gets doubled writes; room that shows again is
// written in whole buffers, and no file outgrows 1 GiB. A probe that fails is
// reported once and ends the pass as a failure, with or without a code. Free
// space the volume keeps from the caller is counted for the run's summary.
TEST_F(Fill, ThePassEndsAndFillsWhateverTheProbeSays)
{
    const struct { const char *name, *volume; ProbeAnswer answer; bool full; int result, most_probes; size_t boxes;
                   unsigned long long out_of_reach; } cases[] = {
        {"says a million free, takes nothing", "full_tmpfs", SAYS_A_MILLION, true, 0, 20, 0, 0},
        {"says nothing free, takes 24 MiB", "fill_tmpfs", SAYS_NOTHING, false, 0, 40, 0, 0},
        {"says nothing, then 1.5 GiB again", "big_tmpfs", NOTHING_AT_FIRST, false, 0, 450, 0, 0},
        // far more written than it ever said: no compression to warn about
        {"says nothing free, takes 1.5 GiB", "big_tmpfs", SAYS_NOTHING, false, 0, 480, 0, 0},
        {"full for a moment, then room again", "fill_tmpfs", FULL_FOR_A_MOMENT, false, 0, 12, 0, 0},
        {"keeps 48 MiB for others", "fill_tmpfs", KEEPS_48_MIB_FOR_OTHERS, false, 0, 20, 0, 48 << 20},
        {"a short count while room remains", "fill_tmpfs", TRUTH_BUT_A_SHORT_WRITE, false, 0, 20, 0, 0},
        // 384 writes of 64 KiB, not 6,144 of a sector
        {"every write cut short while room remains", "fill_tmpfs", TRUTH_BUT_WRITES_CUT_SHORT, false, 0, 450, 0, 0},
        {"fails from its third answer", "fill_tmpfs", FAILS_LATER, false, 3, 3, 1, 0},
        {"fails without a code", "fill_tmpfs", FAILS_WITHOUT_CODE, false, 3, 3, 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        use(c.volume);
        ASSERT_TRUE(!c.full || fill_volume_outside(root + "filler.bin"));
        unsigned long long free_before = free_bytes_of(root);
        get_free_ex = answering_ex, get_free_ex_ready = 1, abort_when_endless = &scope.abort_flag;
        probe_answer = c.answer, probes = 0, boxes.shown.clear(), scope.abort_flag = 0;
        run_totals = RunTotals();
        inner_write = file_calls.write, writes = 0;
        file_calls.write = c.answer == TRUTH_BUT_A_SHORT_WRITE      ? short_third_write
                           : c.answer == TRUTH_BUT_WRITES_CUT_SHORT ? writes_cut_short
                                                                    : inner_write;
        EXPECT_EQ(c.result, erase(nullptr, true));
        file_calls.write = inner_write;
        EXPECT_LE(probes, c.most_probes) << "writes sized by the probe";
        ASSERT_EQ(c.boxes, boxes.shown.size());
        if (c.boxes) {
            EXPECT_EQ("GetDiskFreeSpaceEx(): " + system_text(c.answer == FAILS_LATER ? ERROR_NOT_READY : 0), boxes.shown[0].text);
            EXPECT_EQ(boxes.shown[0].text, window_text(scope.owner, 146)) << "the failure's text stays";
            continue;
        }
        EXPECT_EQ(c.out_of_reach, run_totals.bytes_out_of_reach) << "free, but not the caller's to write";
        WorkFiles files = check_work_files(work, block_of(0).data());
        EXPECT_EQ("", files.problem);
        EXPECT_EQ(free_before, files.total) << "every free byte, and only those";
        EXPECT_EQ(files.total, pass_bytes_written) << "the bytes counted are the bytes written";
        EXPECT_EQ(0u, free_bytes_of(root));
        for (unsigned long long size : files.sizes)
            EXPECT_LE(size, (unsigned long long)MAX_FILE_BYTES);
        if (free_before > MAX_FILE_BYTES) {
            EXPECT_EQ((unsigned long long)MAX_FILE_BYTES, files.sizes.at(0));
        }
    }
}

// Counts the extended query's answers and passes the truth on, keeping the most it said.
static unsigned long long most_said;
static BOOL WINAPI counting_ex(LPCSTR path, PULARGE_INTEGER available, PULARGE_INTEGER total, PULARGE_INTEGER free_total)
{
    ++probes;
    BOOL ok = probe_answer == TRUTH ? GetDiskFreeSpaceExA(path, available, total, free_total)
                                    : answering_ex(path, available, total, free_total);
    if (ok && available->QuadPart > most_said)
        most_said = available->QuadPart;
    return ok;
}

// Real volumes that take more, or store less, than the probe says: ext4 with
// a 5% root reserve, which Wine, running as root, may fill although the
// probe says nothing is left; btrfs compressing everything with zstd, which
// stores a zero pass in almost nothing; a volume that says it has 24 MiB free
// however much it takes (as a nearly full compressing share does). A zero
// pass there ends with a warning once it has written twice the most the
// volume said it had free and a work file more, while it still says it has
// room; a random pass fills it.
TEST_F(Fill, VolumesThatTakeMoreOrStoreLessThanTheProbeSays)
{
    const char *small = "このボリュームは書き込んだパターンを実際より小さく保存するため（圧縮または重複除去）、"
                        "このパターンでは空き領域を埋められません。乱数（random）の消去方法を使ってください。";
    const struct { const char *name, *volume, *word; ProbeAnswer answer; int result; bool warned; } cases[] = {
        {"ext4 with a root reserve, zeros", "reserve_ext4", nullptr, TRUTH, 0, false},
        {"btrfs compressing, zeros", "compress_btrfs", nullptr, TRUTH, 3, true},
        {"btrfs compressing, random", "compress_btrfs", "random", TRUTH, 0, false},
        // bound by the free space, not by the volume's 1.5 GiB
        {"says 24 MiB free, takes 1.5 GiB", "big_tmpfs", nullptr, SAYS_24_MIB, 3, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        use(c.volume);
        ULARGE_INTEGER available, total;
        ASSERT_TRUE(GetDiskFreeSpaceExA(root.c_str(), &available, &total, NULL));
        get_free_ex = counting_ex, get_free_ex_ready = 1, probes = 0, boxes.shown.clear();
        probe_answer = c.answer, abort_when_endless = &scope.abort_flag, most_said = 0;
        EXPECT_EQ(c.result, erase(c.word, true));
        unsigned long long written = 0;
        for (const std::string &name : list_folder(work)) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            GetFileAttributesExA((work + "\\" + name).c_str(), GetFileExInfoStandard, &data);
            written += ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
        }
        printf("[ figures  ] %s: %llu of %llu bytes available, %llu written, %d probes\n", c.name,
               available.QuadPart, total.QuadPart, written, probes);
        ASSERT_EQ(c.warned ? 1u : 0u, boxes.shown.size());
        if (c.warned) {   // no plain volume takes twice what it says it has free and a work file more
            EXPECT_EQ(small, boxes.shown[0].text);
            EXPECT_EQ(small, window_text(scope.owner, 146));
            EXPECT_GT(written + 2 * TRANSFER_SIZE, 2 * most_said + MAX_FILE_BYTES) << "warned too soon";
            EXPECT_LT(written, 2 * most_said + MAX_FILE_BYTES + 2 * TRANSFER_SIZE) << "went on past the guard";
        } else if (c.word) {   // random data can't be stored smaller
            EXPECT_LT(free_bytes_of(root), 8u << 20);
            EXPECT_GT(written, available.QuadPart / 2);
        } else {   // most of the 5% root reserve is written too, beyond what the probe said
            EXPECT_GT(written, available.QuadPart + total.QuadPart / 25);
            EXPECT_LE(probes, 200) << "the reserve written 512 bytes at a time";
        }
        clear_volume(root), CreateDirectoryA(work.c_str(), NULL);
    }
}

static unsigned long long record_table_size(const std::string &root)
{
    WIN32_FILE_ATTRIBUTE_DATA table;
    return GetFileAttributesExA((root + "$MFT").c_str(), GetFileExInfoStandard, &table) ? table.nFileSizeLow : 0;
}

// The pass alone after a large file of the test's own. 4096 bytes fit no
// record: taken, the volume is not full and no small file follows. A full one
// takes not the first 1024 bytes, and an abort stops the probe before any
// trial. A drive that is not NTFS gets nothing.
TEST_F(Fill, TheSlackPassAloneOnRoomyFullAndFatVolumes)
{
    struct Case { const char *volume; bool full; LONG abort; int result; Sizes after; };
    for (const Case &c : { Case{ "fill_ntfs", false, 0, 0, { 0, 0 } }, Case{ "fill_ntfs", true, 1, 1, { 1 << 20, 0 } },
                           Case{ "slack_fat", false, 0, 1, { 1 << 20 } } }) {
        use(c.volume);
        ASSERT_TRUE(write_file(work + "\\00000001", std::string(1 << 20, 'x')) && vouch(work, {"00000001"}));
        ASSERT_TRUE(!c.full || fill_volume_outside(root + "filler.bin"));
        unsigned long long table_before = record_table_size(root);
        scope.abort_flag = c.abort;
        nomft_mode = 0, random_mode = 0;   // as a plain erase leaves them
        EXPECT_EQ(c.result, fill_record_slack(1, work.c_str())) << c.volume << c.full;
        EXPECT_EQ(c.after, sizes('x')) << c.volume << c.full;
        EXPECT_LE(record_table_size(root) - table_before, 4096u);
        expect_quiet("before");
    }
}

// slack_residue.sh's erase, "erase,verify" with VANTA_RESIDUE_VERIFY set. The
// deleted small files' records are free: a full volume refuses the folder a new
// name once its index needs a cluster, so the pass gives back the large file's
// end until a release buys fewer than 128 files, never growing the table much.
TEST_F(Fill, DISABLED_EraseForTheResidueProof)
{
    const char *word = getenv("VANTA_RESIDUE_WORD");
    bool verify = getenv("VANTA_RESIDUE_VERIFY") != NULL;
    std::string volume = volume_root("residue_ntfs");
    ASSERT_TRUE(word && CreateDirectoryA((work = volume + WORK_FOLDER_NAME).c_str(), NULL));
    unsigned long long table_before = record_table_size(volume);
    EXPECT_TRUE(erase(word, verify) == 0 && (!verify || this->verify(word) == 0));
    unsigned long long grown = record_table_size(volume) - table_before;
    EXPECT_LE(grown, 256u * 1024) << "new records instead of the free ones";
    std::vector<std::string> names = list_folder(work);
    remove_tree(work);
    EXPECT_TRUE(GetFileAttributesA(work.c_str()) == INVALID_FILE_ATTRIBUTES && boxes.shown.empty());
    printf("[ figures  ] erase%s %s: %u work files, record table grew %llu bytes\n", verify ? ",verify" : "", word,
           (unsigned)names.size(), grown);
}

// A volume mounted in a folder of another drive (an NTFS image at
// F:\data\ntfs, the drive around it one Wine takes for FAT): every query is
// about the inner volume, so the fill fills it, the record-slack pass finds
// it NTFS and runs, and the drive around it keeps its free space. Wine gives
// the mount point as the volume's root but refuses to name its file system
// there (ERROR_DIR_NOT_ROOT); asked through a handle to the folder, it does.
TEST_F(Fill, AVolumeMountedInAFolderIsAskedAboutItself)
{
    use("slack_fat");
    const char *build = getenv("VANTA_BUILD_DIR");
    std::string mount = root + "data\\ntfs", image = std::string(build ? build : "") + "/volumes/nested_ntfs.img";
    ASSERT_TRUE(build && CreateDirectoryA((root + "data").c_str(), NULL) && CreateDirectoryA(mount.c_str(), NULL));
    std::string unix_mount = unix_path(mount);
    ULARGE_INTEGER outer, inner, total;
    ASSERT_TRUE(GetDiskFreeSpaceExA(root.c_str(), &outer, NULL, NULL));
    ASSERT_TRUE(run_unix("truncate -s 32m " + image + " && mkntfs -q -F -Q " + image + " >/dev/null 2>&1 && ntfs-3g " +
                         image + " '" + unix_mount + "'"));
    ASSERT_TRUE(GetDiskFreeSpaceExA(mount.c_str(), &inner, &total, NULL));
    ASSERT_GT(total.QuadPart, 16u << 20) << "the NTFS image is not mounted at " << unix_mount;
    char root_name[MAX_PATH] = "", file_system[32] = "";
    GetVolumePathNameA(mount.c_str(), root_name, MAX_PATH);
    DWORD refused = GetVolumeInformationA((std::string(root_name) + "\\").c_str(), NULL, 0, NULL, NULL, NULL, file_system,
                                          sizeof file_system) ? 0 : GetLastError();
    printf("[ figures  ] Wine: volume root of %s is %s, its file system '%s' (error %lu)\n", mount.c_str(), root_name,
           file_system, refused);

    work = mount + "\\$VANTA$$";
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    EXPECT_EQ(0, erase("0x3c", true));
    WorkFiles files = check_work_files(work, block_of(0x3c).data());
    EXPECT_EQ("", files.problem);
    EXPECT_GT(files.names.size(), 2u) << "no record-slack files: the pass took the volume for the drive around it";
    EXPECT_GT(files.total + (1u << 20), inner.QuadPart) << "the inner volume not filled";
    EXPECT_LE(files.total, inner.QuadPart);
    ULARGE_INTEGER outer_after;
    EXPECT_TRUE(GetDiskFreeSpaceExA(root.c_str(), &outer_after, NULL, NULL) && outer_after.QuadPart == outer.QuadPart);
    expect_quiet("");
    remove_tree(work);
    run_unix("umount '" + unix_mount + "'; rm -f " + image);
    for (int i = 0; i < 100 && GetDiskFreeSpaceExA(mount.c_str(), NULL, &total, NULL) && total.QuadPart > 16u << 20; ++i)
        Sleep(50);
}
