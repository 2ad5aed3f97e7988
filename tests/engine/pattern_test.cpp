// The transfer buffer, and what the fill pass puts in it for each pattern
// word: with the abort flag set before it starts, the pass prepares the
// buffer and the pattern state, then stops before its first file.
#include <gtest/gtest.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include "engine_checks.h"
#include "support/messages.h"

TEST(TransferBuffer, IsACommittedPageAlignedZeroedBlockThatReleaseGivesBack)
{
    ASSERT_EQ(0u, alloc_transfer_buffer());
    unsigned char *buffer = run_context.transfer_buffer;
    MEMORY_BASIC_INFORMATION region;
    ASSERT_TRUE(VirtualQuery(buffer, &region, sizeof region) && (UINT_PTR)buffer % 4096 == 0);
    EXPECT_TRUE(region.State == MEM_COMMIT && region.Protect == PAGE_READWRITE && region.RegionSize >= TRANSFER_SIZE);
    EXPECT_EQ(std::vector<unsigned char>(TRANSFER_SIZE), std::vector<unsigned char>(buffer, buffer + TRANSFER_SIZE));
    release_transfer_buffer();
    EXPECT_TRUE(!run_context.transfer_buffer && VirtualQuery(buffer, &region, sizeof region) && region.State == MEM_FREE);
}

static int clock_reads;
static DWORD WINAPI clock_5489(void) { return ++clock_reads, 5489; }

// 5489's first output is 0xD091BB5C: "dod" fills its low byte, and "random"
// leaves the buffer to the writes. A list repeats a 512-byte block (1,2,3
// ends it with 1, 2); a stray character ends the list, 512 values at most.
TEST(PatternWord, EachWordPreparesItsBufferAndModes)
{
    std::string long_list;
    std::vector<unsigned char> first_512(512);
    for (int i = 0; i < 600; ++i)
        long_list += std::to_string(i & 0xFF) + ",", first_512[i % 512] = i % 512 & 0xFF;
    struct Case { const char *word, *option; std::vector<unsigned char> block; int random, dod, list, nomft; };
    const Case cases[] = {
        { nullptr, nullptr, { 0 }, 0, 0, 0, 0 },       { "0xff", nullptr, { 0xFF }, 0, 0, 0, 0 },
        { "-1", nullptr, { 0xFF }, 0, 0, 0, 0 },       { "256", nullptr, { 0 }, 0, 0, 0, 0 },
        { "010", nullptr, { 8 }, 0, 0, 0, 0 },         { "08", nullptr, { 0 }, 0, 0, 0, 0 },
        { "abc", nullptr, { 0 }, 0, 0, 0, 0 },         { " +12x", nullptr, { 12 }, 0, 0, 0, 0 },
        { "9999999999", nullptr, { 0xFF }, 0, 0, 0, 0 }, { "-9999999999", nullptr, { 0 }, 0, 0, 0, 0 },
        { "RANDOM", nullptr, { 0xA5 }, 1, 0, 0, 0 },   { "random ", nullptr, { 0 }, 0, 0, 0, 0 },
        { "DoD", nullptr, { 0x5C }, 0, 1, 0, 0 },      { "/nomft", nullptr, { 0 }, 0, 0, 0, 1 },
        { "0x11", "/NoMft", { 0x11 }, 0, 0, 0, 1 },    { "0x11", "/nomftx", { 0x11 }, 0, 0, 0, 0 },
        { "1,2,3", nullptr, { 1, 2, 3 }, 0, 0, 3, 0 }, { "1,,2", "/nomft", { 1, 0, 2 }, 0, 0, 3, 1 },
        { ",5", nullptr, { 0, 5 }, 0, 0, 2, 0 },       { "5,", nullptr, { 5 }, 0, 0, 1, 0 },
        { "1, 2 3", nullptr, { 1, 2 }, 0, 0, 2, 0 },   { "1,abc,2", nullptr, { 1, 0 }, 0, 0, 2, 0 },
        { "-1,256,0x10,010", nullptr, { 0xFF, 0, 0x10, 8 }, 0, 0, 4, 0 },
        { long_list.c_str(), nullptr, first_512, 0, 0, 512, 0 },
    };
    PassScope scope;
    scope.abort_flag = 1, seed_clock = clock_5489;
    std::string folder = current_directory() + "\\vanta-pattern";
    CreateDirectoryA(folder.c_str(), NULL);
    for (const Case &c : cases) {
        random_mode = dod_mode = byte_list_count = nomft_mode = 1, clock_reads = 0;
        memset(run_context.transfer_buffer, 0xA5, TRANSFER_SIZE);
        const char *args[4] = { "vanta", folder.c_str(), c.word, c.option };
        EXPECT_EQ(1, erase_free_space(c.option ? 4 : c.word ? 3 : 2, args));
        std::vector<unsigned char> block = block_of_list(c.block);
        long wrong = -1;
        for (long i = 0; i < TRANSFER_SIZE && wrong < 0; ++i)
            wrong = run_context.transfer_buffer[i] != block[i % 512] ? i : -1;
        std::string word = c.word ? std::string(c.word).substr(0, 20) : "(none)";
        EXPECT_EQ(-1, wrong) << word;
        EXPECT_EQ(c.random + c.dod, clock_reads) << word;
        EXPECT_TRUE(c.random == random_mode && c.dod == dod_mode && c.list == byte_list_count && c.nomft == nomft_mode) << word;
    }
    EXPECT_TRUE(list_folder(folder).empty());
    const char *args[3] = { "vanta", folder.c_str(), "random" };
    erase_free_space(3, args);
    EXPECT_EQ(3499211612u, mt_next()) << "a random pass drew before its first write";
    remove_tree(folder);
}
