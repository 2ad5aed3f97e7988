// What the fill pass puts into the transfer buffer for each pattern word.
// The abort flag is set before the pass starts, so it prepares the buffer
// and the pattern state and then stops before its first file: nothing is
// written, and the buffer is left for the test to read.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include "engine/wipe_engine.h"
#include <mmsystem.h>
#include "engine_checks.h"
#include "support/messages.h"
#include "test_helpers.h"
#include "textbook_mt.h"

class PatternWord : public ::testing::Test {
protected:
    PassScope scope;
    std::string folder;

    void SetUp() override
    {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        folder = std::string(temp) + "vanta-pattern";
        CreateDirectoryA(folder.c_str(), NULL);
        scope.abort_flag = 1;
        ASSERT_NE(nullptr, run_context.transfer_buffer);
        // stale bytes from an earlier pass, which every word must replace
        memset(run_context.transfer_buffer, 0xA5, TRANSFER_SIZE);
    }
    void TearDown() override { remove_tree(folder); }

    // Runs the pass's preparation for word (and option); returns its result.
    int prepare(const char *word, const char *option = nullptr)
    {
        const char *args[4] = { "vanta", folder.c_str(), word, option };
        int count = option ? 4 : word ? 3 : 2;
        int result = erase_free_space(count, args);
        EXPECT_TRUE(list_folder(folder).empty()) << "an aborted pass created a work file";
        return result;
    }

    // Offset of the first byte of the buffer that is not value, or -1.
    long first_byte_not(unsigned char value)
    {
        const unsigned char *buffer = run_context.transfer_buffer;
        for (long i = 0; i < TRANSFER_SIZE; ++i)
            if (buffer[i] != value)
                return i;
        return -1;
    }

    // Offset of the first byte not equal to block[offset % 512], or -1.
    long first_byte_off_block(const std::vector<unsigned char> &block)
    {
        const unsigned char *buffer = run_context.transfer_buffer;
        for (long i = 0; i < TRANSFER_SIZE; ++i)
            if (buffer[i] != block[i % 512])
                return i;
        return -1;
    }
};

TEST_F(PatternWord, NoWordFillsZerosAndClearsEveryMode)
{
    random_mode = dod_mode = byte_list_count = nomft_mode = 1;
    EXPECT_EQ(1, prepare(nullptr));
    EXPECT_EQ(-1, first_byte_not(0x00));
    EXPECT_EQ(0, random_mode);
    EXPECT_EQ(0, dod_mode);
    EXPECT_EQ(0, byte_list_count);
    EXPECT_EQ(0, nomft_mode);
}

TEST_F(PatternWord, NumbersGiveTheirLowEightBitsAsStrtolReadsThem)
{
    struct Case { const char *word; unsigned char byte; };
    const Case cases[] = {
        { "0xff", 0xFF }, { "0XFF", 0xFF }, { "-1", 0xFF }, { "255", 0xFF },
        { "256", 0x00 },  { "010", 0x08 },  { "08", 0x00 },  { "abc", 0x00 },
        { "0x55", 0x55 }, { "  42", 42 },   { "+7", 7 },     { "12abc", 12 },
        { "-255", 0x01 },
        // clamped to the ends of the signed 32-bit range
        { "2147483647", 0xFF }, { "2147483648", 0xFF }, { "99999999999999", 0xFF },
        { "-2147483648", 0x00 }, { "-2147483649", 0x00 }, { "-99999999999999", 0x00 },
    };
    for (const Case &c : cases) {
        memset(run_context.transfer_buffer, 0xA5, TRANSFER_SIZE);
        EXPECT_EQ(1, prepare(c.word));
        EXPECT_EQ(-1, first_byte_not(c.byte)) << "word '" << c.word << "'";
        EXPECT_EQ(0, byte_list_count) << c.word;
        EXPECT_EQ(0, random_mode + dod_mode + nomft_mode) << c.word;
    }
}

TEST_F(PatternWord, RandomAndDodAreKeywordsInAnyCaseAndOnlyWhole)
{
    for (const char *word : { "random", "RANDOM", "Random", "rAnDoM" }) {
        EXPECT_EQ(1, prepare(word));
        EXPECT_EQ(1, random_mode) << word;
        EXPECT_EQ(0, dod_mode) << word;
        EXPECT_EQ(0, byte_list_count) << word;
    }
    for (const char *word : { "dod", "DoD", "DOD" }) {
        EXPECT_EQ(1, prepare(word));
        EXPECT_EQ(1, dod_mode) << word;
        EXPECT_EQ(0, random_mode) << word;
    }
    // not the keyword: a number without digits, so zeros
    for (const char *word : { "random ", " random", "randomly", "do d" }) {
        memset(run_context.transfer_buffer, 0xA5, TRANSFER_SIZE);
        EXPECT_EQ(1, prepare(word));
        EXPECT_EQ(0, random_mode + dod_mode) << "'" << word << "'";
        EXPECT_EQ(-1, first_byte_not(0x00)) << "'" << word << "'";
    }
}

TEST_F(PatternWord, AListRepeatsA512ByteBlockAcrossTheWholeBuffer)
{
    EXPECT_EQ(1, prepare("1,2,3"));
    EXPECT_EQ(3, byte_list_count);
    const unsigned char *buffer = run_context.transfer_buffer;
    // 512 = 3 * 170 + 2: the block ends 1, 2 and the next starts with 1 again
    EXPECT_EQ(1, buffer[510]);
    EXPECT_EQ(2, buffer[511]);
    EXPECT_EQ(1, buffer[512]);
    EXPECT_EQ(2, buffer[TRANSFER_SIZE - 1]);
    EXPECT_EQ(-1, first_byte_off_block(block_of_list({ 1, 2, 3 })));
    EXPECT_EQ(0, random_mode + dod_mode + nomft_mode);

    EXPECT_EQ(1, prepare("0,255,0x55"));
    EXPECT_EQ(-1, first_byte_off_block(block_of_list({ 0x00, 0xFF, 0x55 })));

    // a single value with a trailing comma is a list of one
    EXPECT_EQ(1, prepare("7,"));
    EXPECT_EQ(1, byte_list_count);
    EXPECT_EQ(-1, first_byte_not(7));
}

// ----------------------------------------------------------- random and dod

// A seed clock that gives the test's value and counts its readings.
static DWORD clock_value;
static int clock_reads;
static DWORD WINAPI test_clock(void)
{
    ++clock_reads;
    return clock_value;
}

class SeededPattern : public PatternWord {
protected:
    SeedClockProc saved_clock;
    void SetUp() override
    {
        PatternWord::SetUp();
        saved_clock = seed_clock;
        seed_clock = test_clock;
        clock_reads = 0;
    }
    void TearDown() override
    {
        seed_clock = saved_clock;
        PatternWord::TearDown();
    }
};

TEST_F(SeededPattern, DodFillsTheBufferWithTheLowByteOfTheFirstOutputAfterSeeding)
{
    // 5489's first output is 0xD091BB5C
    for (DWORD seed : { 5489u, 0u, 1u, 0x80000000u, 0xFFFFFFFFu, 3141592653u }) {
        memset(run_context.transfer_buffer, 0xA5, TRANSFER_SIZE);
        // a half-used generator: the pass must start it afresh
        mt_seed(seed ^ 0x5555);
        mt_next();
        clock_value = seed;
        clock_reads = 0;
        EXPECT_EQ(1, prepare("DoD"));

        TextbookMt textbook(seed);
        unsigned char byte = (unsigned char)textbook.next();
        EXPECT_EQ(-1, first_byte_not(byte)) << "seed " << seed;
        EXPECT_EQ(1, clock_reads) << "seed " << seed;
        // one output taken, no more
        EXPECT_EQ(textbook.next(), mt_next()) << "seed " << seed;
    }
    clock_value = 5489;
    EXPECT_EQ(1, prepare("dod"));
    EXPECT_EQ(-1, first_byte_not(0x5C));
}

TEST_F(SeededPattern, RandomSeedsFromTheClockAndLeavesTheBufferToTheWrites)
{
    mt_seed(99);
    mt_next();
    clock_value = 123456789;
    EXPECT_EQ(1, prepare("random"));
    EXPECT_EQ(1, clock_reads);
    // nothing drawn yet: the writes draw their own words
    EXPECT_EQ(-1, first_byte_not(0xA5));
    TextbookMt textbook(123456789);
    EXPECT_EQ(textbook.next(), mt_next());
    EXPECT_EQ(textbook.next(), mt_next());
}

TEST_F(SeededPattern, OtherWordsNeitherReadTheClockNorDraw)
{
    mt_seed(77);
    TextbookMt textbook(77);
    EXPECT_EQ(textbook.next(), mt_next());
    for (const char *word : { (const char *)nullptr, "0xff", "1,2,3", "/nomft", "random ", "abc" }) {
        EXPECT_EQ(1, prepare(word));
        EXPECT_EQ(0, clock_reads) << (word ? word : "(no word)");
    }
    EXPECT_EQ(1, prepare("0x11", "/nomft"));
    EXPECT_EQ(0, clock_reads);
    EXPECT_EQ(textbook.next(), mt_next()) << "a pass without random or dod drew from the generator";
}

TEST_F(PatternWord, TheSeedIsTheMillisecondClockByDefault)
{
    // the first output after seeding names the seed: it must be a reading
    // of timeGetTime taken while the pass prepared its pattern
    DWORD before = timeGetTime();
    EXPECT_EQ(1, prepare("random"));
    DWORD after = timeGetTime();
    unsigned first = mt_next();
    int matches = 0;
    for (DWORD waited = 0; waited <= after - before; ++waited) {
        TextbookMt textbook(before + waited);
        if (textbook.next() == first)
            ++matches;
    }
    EXPECT_EQ(1, matches) << "window " << before << " to " << after;
}

TEST(ByteList, ItemsConvertLikeNumbersAndEmptyItemsGiveZero)
{
    struct Case { const char *word; std::vector<unsigned char> values; };
    const Case cases[] = {
        { "1,2,3", { 1, 2, 3 } },
        { "1,,2", { 1, 0, 2 } },
        { ",5", { 0, 5 } },
        { "5,", { 5 } },
        { ",", { 0 } },
        { "0x10,010,10", { 0x10, 0x08, 10 } },
        { "-1,256,300", { 0xFF, 0x00, 0x2C } },
        { "99999999999,-99999999999", { 0xFF, 0x00 } },
        // white space before an item is skipped, as strtol does
        { "1, 2,\t3", { 1, 2, 3 } },
        { "9", { 9 } },
    };
    for (const Case &c : cases) {
        ASSERT_EQ((int)c.values.size(), parse_byte_list(c.word)) << "list '" << c.word << "'";
        for (size_t i = 0; i < c.values.size(); ++i)
            EXPECT_EQ(c.values[i], byte_values[i]) << "list '" << c.word << "' item " << i;
        EXPECT_EQ(0, memcmp(byte_pattern, block_of_list(c.values).data(), 512)) << c.word;
    }
    EXPECT_EQ(0, parse_byte_list(""));
}

TEST(ByteList, AStrayCharacterEndsTheListWithTheValuesSoFar)
{
    struct Case { const char *word; std::vector<unsigned char> values; };
    const Case cases[] = {
        { "1,2 3", { 1, 2 } },
        { "1 ,2", { 1 } },
        { "4;5,6", { 4 } },
        { "1,2\n", { 1, 2 } },
        { "1,2,;3", { 1, 2, 0 } },
        // an item without digits still counts, then its first letter ends the list
        { "1,abc,2", { 1, 0 } },
    };
    for (const Case &c : cases) {
        ASSERT_EQ((int)c.values.size(), parse_byte_list(c.word)) << "list '" << c.word << "'";
        for (size_t i = 0; i < c.values.size(); ++i)
            EXPECT_EQ(c.values[i], byte_values[i]) << "list '" << c.word << "' item " << i;
        EXPECT_EQ(0, memcmp(byte_pattern, block_of_list(c.values).data(), 512)) << c.word;
    }
}

TEST(ByteList, KeepsTheFirst512ValuesOfALongerList)
{
    std::string word;
    for (int i = 0; i < 2000; ++i)
        word += std::to_string(i % 251) + ",";
    memset(byte_values, 0xEE, sizeof byte_values);
    ASSERT_EQ(BYTE_LIST_MAX, parse_byte_list(word.c_str()));
    for (int i = 0; i < BYTE_LIST_MAX; ++i)
        ASSERT_EQ(i % 251, byte_values[i]) << "item " << i;
    EXPECT_EQ(0, memcmp(byte_pattern, byte_values, BYTE_LIST_MAX));

    // exactly 512 values, and 513: the same 512 either way
    std::string exact, over;
    for (int i = 0; i < 512; ++i)
        exact += std::to_string(i & 0xFF) + (i < 511 ? "," : "");
    over = exact + ",77";
    ASSERT_EQ(512, parse_byte_list(exact.c_str()));
    EXPECT_EQ(0xFF, byte_values[511]);
    ASSERT_EQ(512, parse_byte_list(over.c_str()));
    EXPECT_EQ(0xFF, byte_values[511]);
    EXPECT_EQ(0xFF, byte_pattern[511]);
}

TEST(ByteList, ApplyCopiesWholeBlocksThenThePartOfOne)
{
    ASSERT_EQ(3, parse_byte_list("1,2,3"));
    std::vector<unsigned char> block = block_of_list({ 1, 2, 3 });
    for (unsigned length : { 0u, 1u, 511u, 512u, 513u, 1000u, 4096u }) {
        std::vector<unsigned char> destination(length + 16, 0xEE);
        apply_byte_list(destination.data(), length);
        for (unsigned i = 0; i < length; ++i)
            ASSERT_EQ(block[i % 512], destination[i]) << "length " << length << " byte " << i;
        // not one byte past the length
        for (unsigned i = length; i < destination.size(); ++i)
            ASSERT_EQ(0xEE, destination[i]) << "length " << length << " byte " << i;
    }
}

TEST_F(PatternWord, NomftIsTheLastWordOfTheVector)
{
    // "/nomft" as the pattern word: zeros, and the mode set
    EXPECT_EQ(1, prepare("/nomft"));
    EXPECT_EQ(1, nomft_mode);
    EXPECT_EQ(-1, first_byte_not(0x00));

    EXPECT_EQ(1, prepare("0xff", "/NoMft"));
    EXPECT_EQ(1, nomft_mode);
    EXPECT_EQ(-1, first_byte_not(0xFF));

    EXPECT_EQ(1, prepare("0xff", "/nomftx"));
    EXPECT_EQ(0, nomft_mode);

    EXPECT_EQ(1, prepare("0xff"));
    EXPECT_EQ(0, nomft_mode);
}

TEST_F(PatternWord, EraseVerifyStepsAlwaysSetNomftAndAPlainEraseClearsIt)
{
    EXPECT_EQ(1, erase_step_nomft(scope.owner, 146, 147, &scope.abort_flag, nullptr,
                                  folder.c_str()));
    EXPECT_EQ(1, nomft_mode);
    EXPECT_EQ(-1, first_byte_not(0x00));

    EXPECT_EQ(1, erase_step(scope.owner, 146, 147, &scope.abort_flag, nullptr, folder.c_str()));
    EXPECT_EQ(0, nomft_mode);

    EXPECT_EQ(1, erase_step_nomft(scope.owner, 146, 147, &scope.abort_flag, "1,2,3",
                                  folder.c_str()));
    EXPECT_EQ(1, nomft_mode);
    EXPECT_EQ(3, byte_list_count);
    EXPECT_EQ(-1, first_byte_off_block(block_of_list({ 1, 2, 3 })));

    EXPECT_EQ(1, erase_step(scope.owner, 146, 147, &scope.abort_flag, "0x11", folder.c_str()));
    EXPECT_EQ(0, nomft_mode);
    EXPECT_EQ(0, byte_list_count);
    EXPECT_EQ(-1, first_byte_not(0x11));
    EXPECT_TRUE(list_folder(folder).empty());
}

TEST_F(PatternWord, StepEntriesStoreTheirWindowStatusIdAndAbortFlag)
{
    HWND other = create_status_window(150);
    volatile LONG other_flag = 1;
    EXPECT_EQ(1, erase_step(other, 150, 147, &other_flag, nullptr, folder.c_str()));
    EXPECT_EQ(other, run_context.owner);
    EXPECT_EQ(150, run_context.status_id);
    EXPECT_EQ(&other_flag, run_context.abort_flag);

    EXPECT_EQ(1, erase_step_nomft(scope.owner, 146, 147, &scope.abort_flag, nullptr,
                                  folder.c_str()));
    EXPECT_EQ(scope.owner, run_context.owner);
    EXPECT_EQ(146, run_context.status_id);
    EXPECT_EQ(&scope.abort_flag, run_context.abort_flag);
    DestroyWindow(other);
}

TEST_F(PatternWord, WithoutATransferBufferThePassWarnsAndStops)
{
    ScriptedBoxes boxes;
    scope.abort_flag = 0;
    release_transfer_buffer();
    SetWindowTextA(GetDlgItem(scope.owner, 146), "before");
    std::string before = current_directory();

    const char *args[2] = { "vanta", folder.c_str() };
    EXPECT_EQ(1, erase_free_space(2, args));

    ASSERT_EQ(1u, boxes.shown.size());
    std::string expected = "VirtualAlloc(): " + system_text(run_context.last_error);
    EXPECT_EQ(expected, boxes.shown[0].text);
    EXPECT_EQ(scope.owner, boxes.shown[0].owner);
    EXPECT_EQ((UINT)(MB_OK | MB_ICONWARNING), boxes.shown[0].style);
    EXPECT_EQ(expected, window_text(scope.owner, 146));
    EXPECT_EQ(before, current_directory());
    EXPECT_TRUE(list_folder(folder).empty());
}

TEST(WorkFilePath, NamesAreEightDigitsAndNeverCutIntoAnotherName)
{
    char path[MAX_PATH];
    EXPECT_EQ(0u, format_work_file_path(path, "T:\\$VANTA$$", 1));
    EXPECT_STREQ("T:\\$VANTA$$\\00000001", path);
    EXPECT_EQ(0u, format_work_file_path(path, "T:\\$VANTA$$", 12345678));
    EXPECT_STREQ("T:\\$VANTA$$\\12345678", path);
    EXPECT_EQ(0u, format_work_file_path(path, "T:\\$VANTA$$", 99999999));
    EXPECT_STREQ("T:\\$VANTA$$\\99999999", path);

    // 250 + 1 + 8 = 259 characters fit; one more does not, and nothing is cut
    std::string folder = "T:\\" + std::string(247, 'a');
    ASSERT_EQ(250u, folder.size());
    EXPECT_EQ(0u, format_work_file_path(path, folder.c_str(), 1));
    EXPECT_EQ(folder + "\\00000001", path);
    EXPECT_EQ(259u, strlen(path));

    folder += "b";
    memset(path, 'x', sizeof path);
    EXPECT_EQ((DWORD)ERROR_FILENAME_EXCED_RANGE, format_work_file_path(path, folder.c_str(), 1));
    EXPECT_EQ('\0', path[0]);
}
