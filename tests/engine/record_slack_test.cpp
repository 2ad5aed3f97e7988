// The record-slack pass on real volumes, through the real Win32 calls: NTFS
// through ntfs-3g (S:), a drive Wine reports as FAT (F:) and a tmpfs, which
// Wine reports as NTFS although it keeps nothing in file records (H:).
//
// Each test first leaves the work folder as a fill pass does: numbered large
// files of one byte value, the last one written until the volume refuses
// 512 bytes. Then it calls the pass with the last file's number.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <map>
#include <string>
#include <vector>
#include "engine/wipe_engine.h"
#include "engine_checks.h"
#include "support/messages.h"
#include "test_helpers.h"

namespace {

const char STATUS_BEFORE[] = "status before the pass";

// Writes value into a new file until the volume takes no more, or until
// limit bytes; judged by the count, halving down to 512 as the fill does.
unsigned long long write_until_refused(const std::string &path, unsigned char value,
                                       unsigned long long limit)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    static unsigned char chunk[1 << 20];
    memset(chunk, value, sizeof chunk);
    unsigned long long size = 0;
    for (DWORD want = sizeof chunk; want >= 512 && size < limit;) {
        if (want > limit - size)
            want = (DWORD)(limit - size);
        DWORD done = 0;
        WriteFile(file, chunk, want, &done, NULL);
        size += done;
        if (done != want)
            want /= 2;
    }
    CloseHandle(file);
    return size;
}

unsigned long long record_table_size(const std::string &root)
{
    WIN32_FILE_ATTRIBUTE_DATA table;
    if (!GetFileAttributesExA((root + "$MFT").c_str(), GetFileExInfoStandard, &table))
        return 0;
    return ((unsigned long long)table.nFileSizeHigh << 32) | table.nFileSizeLow;
}

// Small files whose bytes NTFS keeps inside their file records, deleted
// again: their records are free but still hold the bytes.
void leave_deleted_small_files(const std::string &folder, int count)
{
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    for (int i = 0; i < count; ++i) {
        char name[32];
        snprintf(name, sizeof name, "\\note%04d.txt", i);
        ASSERT_TRUE(write_file(folder + name, std::string(300, 'n')));
    }
    remove_tree(folder);
}

} // namespace

class RecordSlack : public ::testing::Test {
protected:
    PassScope scope;
    ScriptedBoxes boxes;
    std::string root;
    std::string work;
    std::string elsewhere;
    std::vector<unsigned long long> large_sizes;

    void use_volume(const char *name)
    {
        root = volume_root(name);
        ASSERT_FALSE(root.empty()) << "no volume " << name << " on this bench";
        clear_volume(root);
        work = root + WORK_FOLDER_NAME;
        ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL)) << work;
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        SetCurrentDirectoryA(temp);
        elsewhere = current_directory();
        SetWindowTextA(GetDlgItem(scope.owner, 146), STATUS_BEFORE);
        random_mode = 0;
        dod_mode = 0;
        byte_list_count = 0;
        nomft_mode = 0;
        memset(run_context.transfer_buffer, 0x77, TRANSFER_SIZE);
    }
    void TearDown() override
    {
        nomft_mode = 0;
        if (!root.empty())
            clear_volume(root);
    }

    // Large files 1 to count of value: each of the first holds size bytes,
    // the last whatever the volume still takes (at most last_limit).
    void fill_large_files(int count, unsigned char value, unsigned long long size,
                          unsigned long long last_limit = ~0ull)
    {
        large_sizes.clear();
        for (int n = 1; n <= count; ++n) {
            unsigned long long limit = n < count ? size : last_limit;
            large_sizes.push_back(write_until_refused(in_work(n), value, limit));
            ASSERT_GT(large_sizes.back(), 0u) << "no room for large file " << n;
        }
    }
    int slack() { return fill_record_slack((unsigned)large_sizes.size(), work.c_str()); }

    std::string in_work(unsigned number)
    {
        char name[16];
        snprintf(name, sizeof name, "\\%8.8u", number);
        return work + name;
    }
    std::string status() { return window_text(scope.owner, 146); }

    // The pass shows nothing and hands the current directory back.
    void expect_quiet()
    {
        EXPECT_TRUE(boxes.shown.empty()) << boxes.shown[0].text;
        EXPECT_EQ(STATUS_BEFORE, status());
        EXPECT_EQ(elsewhere, current_directory());
    }
};

// ----------------------------------------------------------- a full NTFS volume

TEST_F(RecordSlack, AfterAFillNewSmallFilesFollowAndEveryWorkFileEndsEmpty)
{
    use_volume("slack_ntfs");
    plant_user_files(root);
    std::map<std::string, std::string> user_before = digest_tree(root);
    fill_large_files(3, 0xA5, 4 * 1024 * 1024);
    ASSERT_EQ(0u, free_bytes_of(root));

    EXPECT_EQ(3, slack()) << "the second phase ends at a file the volume refuses";

    WorkFiles files = check_work_files(work, block_of(0xA5).data());
    ASSERT_EQ("", files.problem) << "work files are numbered without a gap";
    EXPECT_GE(files.names.size(), 5u) << "the probe file and at least one more small file";
    for (size_t i = 0; i < files.sizes.size(); ++i)
        EXPECT_EQ(0u, files.sizes[i]) << files.names[i];
    // the large files were cut: their clusters are free again
    EXPECT_GT(free_bytes_of(root), large_sizes[0] + large_sizes[1]);
    expect_quiet();
    EXPECT_EQ(user_before, digest_tree(root));
}

TEST_F(RecordSlack, WithNomftTheLargeFilesKeepTheirBytesForTheVerify)
{
    use_volume("slack_ntfs");
    plant_user_files(root);
    std::map<std::string, std::string> user_before = digest_tree(root);
    fill_large_files(3, 0x3C, 4 * 1024 * 1024);
    nomft_mode = 1;

    EXPECT_EQ(3, slack());

    WorkFiles files = check_work_files(work, block_of(0x3C).data());
    ASSERT_EQ("", files.problem);
    ASSERT_GE(files.names.size(), 5u);
    EXPECT_EQ(large_sizes[0], files.sizes[0]);
    EXPECT_EQ(large_sizes[1], files.sizes[1]);
    // the last one may give back its end so that the work folder's index can
    // grow; what it gave back still holds the pattern on the disk
    EXPECT_LE(files.sizes[2], large_sizes[2]);
    EXPECT_GE(files.sizes[2] + 1024 * 1024, large_sizes[2]);
    for (size_t i = 3; i < files.sizes.size(); ++i)
        EXPECT_EQ(0u, files.sizes[i]) << files.names[i];
    expect_quiet();

    EXPECT_EQ(0, verify_step(scope.owner, 146, 147, &scope.abort_flag, "0x3c", work.c_str()));
    EXPECT_EQ("verify", status()) << "the verify found a byte other than 0x3c";
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(user_before, digest_tree(root));
}

// A full volume refuses the work folder a new name once its index would need
// a cluster, long before the free records are taken; the records of deleted
// files hold their bytes until a new file takes them.
TEST_F(RecordSlack, TakesEveryRecordThatDeletedFilesLeftFree)
{
    use_volume("slack_ntfs");
    const int deleted = 400;
    leave_deleted_small_files(root + "notes", deleted);
    unsigned long long table_before = record_table_size(root);
    ASSERT_GT(table_before, (unsigned long long)deleted * 1024);
    fill_large_files(2, 0xA5, 4 * 1024 * 1024);

    EXPECT_EQ(3, slack());

    std::vector<std::string> names = list_folder(work);
    EXPECT_GE(names.size() - 2, (size_t)deleted) << "free records were left untaken";
    // the pass stops once new files need new records: the table grows by
    // little more than one release can buy
    unsigned long long grown = record_table_size(root) - table_before;
    EXPECT_LE(grown, 256u * 1024) << "the record table grew by " << grown << " bytes";
    std::printf("[ figures  ] %d deleted small files: %u small files written, "
                "record table grew by %llu bytes\n",
                deleted, (unsigned)(names.size() - 2), grown);
    expect_quiet();
}

// A fill that ended early leaves room: the probe's 4096 bytes go to a
// cluster, and new small files would never be refused, only grow the record
// table into the room, tens of thousands of records on this volume alone.
TEST_F(RecordSlack, AVolumeThatIsNotFullGetsNoNewSmallFiles)
{
    use_volume("slack_ntfs");
    fill_large_files(2, 0xA5, 1024 * 1024, 1024 * 1024);
    unsigned long long table_before = record_table_size(root);
    ASSERT_GT(free_bytes_of(root), 32ull * 1024 * 1024);

    EXPECT_EQ(0, slack());

    EXPECT_EQ((std::vector<std::string>{ "00000001", "00000002", "00000003" }), list_folder(work));
    for (unsigned n = 1; n <= 3; ++n)
        EXPECT_EQ(0u, file_size(in_work(n))) << n;
    EXPECT_LE(record_table_size(root) - table_before, 4096u);
    expect_quiet();
}

TEST_F(RecordSlack, AnAbortDuringTheProbeEndsThePassWithOne)
{
    use_volume("slack_ntfs");
    fill_large_files(2, 0x5A, 4 * 1024 * 1024);
    scope.abort_flag = 1;

    EXPECT_EQ(1, slack());

    // the probe file was made before the first look at the flag; nothing after it
    EXPECT_EQ((std::vector<std::string>{ "00000001", "00000002", "00000003" }), list_folder(work));
    // a full volume took none of the first 1024 bytes, and no trial came after
    EXPECT_EQ(0u, file_size(in_work(3))) << "a trial write was made after the abort";
    std::string bytes;
    ASSERT_TRUE(read_file(in_work(1), &bytes));
    EXPECT_EQ(std::string(large_sizes[0], 0x5A), bytes);
    ASSERT_TRUE(read_file(in_work(2), &bytes));
    EXPECT_EQ(std::string(large_sizes[1], 0x5A), bytes) << "the rewrite ran after the abort";
    expect_quiet();
}

// ----------------------------------------------------------- not NTFS

TEST_F(RecordSlack, AVolumeThatIsNotNtfsGetsNothing)
{
    use_volume("slack_fat");
    fill_large_files(2, 0xC3, 1024 * 1024, 1024 * 1024);
    std::map<std::string, std::string> before = digest_tree(root);
    unsigned long long free_before = free_bytes_of(root);
    ASSERT_GT(free_before, 0u);

    EXPECT_EQ(1, slack());

    EXPECT_EQ((std::vector<std::string>{ "00000001", "00000002" }), list_folder(work));
    WorkFiles files = check_work_files(work, block_of(0xC3).data());
    EXPECT_EQ("", files.problem);
    EXPECT_EQ(large_sizes, files.sizes);
    EXPECT_EQ(free_before, free_bytes_of(root));
    EXPECT_EQ(before, digest_tree(root));
    expect_quiet();
}

// Asked without a root, the query names the current directory's volume: a
// folder that can't be made current must not be judged by another volume.
TEST_F(RecordSlack, AFolderThatCannotBeMadeCurrentGetsNothing)
{
    use_volume("slack_ntfs");
    std::string missing = root + "gone\\" WORK_FOLDER_NAME;
    // the current directory is on an NTFS volume, the same one
    SetCurrentDirectoryA(root.c_str());
    elsewhere = current_directory();
    std::map<std::string, std::string> before = digest_tree(root);

    EXPECT_EQ(1, fill_record_slack(4, missing.c_str()));

    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((root + "gone").c_str()));
    EXPECT_TRUE(list_folder(work).empty());
    EXPECT_EQ(before, digest_tree(root));
    expect_quiet();
}

// ----------------------------------------------------------- NTFS in name only

// Wine calls a tmpfs NTFS. Full, it takes not even two bytes in a new file;
// empty files would go on until its inodes ran out: millions of them by
// default, 2000 on this bench so that such a fault shows at once.
TEST_F(RecordSlack, AVolumeThatKeepsNothingInItsRecordsGetsOnlyTheProbeFile)
{
    use_volume("slack_tmpfs");
    fill_large_files(2, 0x96, 2 * 1024 * 1024);
    ASSERT_EQ(0u, free_bytes_of(root));

    EXPECT_EQ(3, slack());

    EXPECT_EQ((std::vector<std::string>{ "00000001", "00000002", "00000003" }), list_folder(work));
    for (unsigned n = 1; n <= 3; ++n)
        EXPECT_EQ(0u, file_size(in_work(n))) << n;
    expect_quiet();
}

TEST_F(RecordSlack, AVolumeThatKeepsNothingInItsRecordsKeepsTheLargeFilesWithNomft)
{
    use_volume("slack_tmpfs");
    fill_large_files(2, 0x96, 2 * 1024 * 1024);
    nomft_mode = 1;

    EXPECT_EQ(3, slack());

    WorkFiles files = check_work_files(work, block_of(0x96).data());
    ASSERT_EQ("", files.problem);
    EXPECT_EQ((std::vector<unsigned long long>{ large_sizes[0], large_sizes[1], 0 }), files.sizes);
    expect_quiet();
}
