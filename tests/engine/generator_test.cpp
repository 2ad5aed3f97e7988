// The pattern generator: MT19937's published values, the word counts and
// bounds of fill_random, and stream identity with a textbook MT19937 over
// millions of outputs drawn in irregular mixes of single draws and fills,
// on each of the generator's paths (plain, SSE2, AVX2) and across switches
// between them.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <vector>
#include "engine/wipe_engine.h"
#include "support/messages.h"
#include "test_helpers.h"
#include "textbook_mt.h"

namespace {

uint32_t buffer_word(size_t index)
{
    const unsigned char *p = run_context.transfer_buffer + 4 * index;
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// Holds a transfer buffer and random_mode for one test, both put back after.
class Generator : public ::testing::Test {
protected:
    unsigned char *saved_buffer = nullptr;
    int saved_random_mode = 0;
    int saved_path = GENERATOR_UNKNOWN;

    void SetUp() override
    {
        saved_buffer = run_context.transfer_buffer;
        saved_random_mode = random_mode;
        saved_path = generator_path;
        run_context.transfer_buffer = nullptr;
        ASSERT_EQ(0u, alloc_transfer_buffer());
        random_mode = 1;
    }
    void TearDown() override
    {
        release_transfer_buffer();
        run_context.transfer_buffer = saved_buffer;
        random_mode = saved_random_mode;
        generator_path = saved_path;
    }

    // Index of the first of words buffer words that differs from the
    // textbook's next outputs, or -1.
    long first_mismatch(TextbookMt &textbook, int words)
    {
        long bad = -1;
        for (int i = 0; i < words; ++i)
            if (textbook.next() != buffer_word(i) && bad < 0)
                bad = i;
        return bad;
    }
};

// Whether this processor can run a path at all.
bool processor_runs(int path)
{
    if (path == GENERATOR_AVX2)
        return IsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE) != 0;
    if (path == GENERATOR_SSE2)
        return IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE) != 0;
    return true;
}

// The same checks on each path, forced for the whole test.
class GeneratorPath : public Generator, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override
    {
        Generator::SetUp();
        if (!processor_runs(GetParam()))
            GTEST_SKIP() << "this processor can't run the path";
        generator_path = GetParam();
    }
};

std::string path_name(const ::testing::TestParamInfo<int> &info)
{
    return info.param == GENERATOR_AVX2 ? "Avx2" : info.param == GENERATOR_SSE2 ? "Sse2" : "Plain";
}

INSTANTIATE_TEST_SUITE_P(Paths, GeneratorPath,
                         ::testing::Values(GENERATOR_PLAIN, GENERATOR_SSE2, GENERATOR_AVX2),
                         path_name);

// ---------------------------------------------------------------- seeding

TEST_F(Generator, SeedFiveFourEightNineGivesThePublishedCheckValues)
{
    // the textbook must agree too, or the comparisons below prove nothing
    TextbookMt textbook(5489);
    uint32_t first = textbook.next();
    for (int i = 2; i < 10000; ++i)
        textbook.next();
    EXPECT_EQ(3499211612u, first);
    EXPECT_EQ(4123659995u, textbook.next());

    mt_seed(5489);
    EXPECT_EQ(3499211612u, mt_next());
    for (int i = 2; i < 10000; ++i)
        mt_next();
    EXPECT_EQ(4123659995u, mt_next());
}

TEST_F(Generator, OutputsLandAsLittleEndianWords)
{
    mt_seed(5489);
    fill_random(4);
    // 3499211612 = 0xD091BB5C
    const unsigned char expected[4] = { 0x5C, 0xBB, 0x91, 0xD0 };
    EXPECT_EQ(0, memcmp(expected, run_context.transfer_buffer, 4));
}

TEST_F(Generator, SameSeedSameStreamWhateverCameBefore)
{
    const unsigned seeds[] = { 0u, 1u, 5489u, 0x7FFFFFFFu, 0xFFFFFFFFu, 123456789u };
    for (unsigned seed : seeds) {
        mt_seed(seed);
        std::vector<uint32_t> first;
        for (int i = 0; i < 1000; ++i)
            first.push_back(mt_next());

        // leave the generator mid-block, then seed again: nothing carries over
        fill_random(4 * 1001);
        mt_next();
        mt_seed(seed);
        fill_random(4 * 700);
        for (int i = 0; i < 700; ++i)
            ASSERT_EQ(first[i], buffer_word(i)) << "seed " << seed << " word " << i;
        for (int i = 700; i < 1000; ++i)
            ASSERT_EQ(first[i], mt_next()) << "seed " << seed << " output " << i;
    }
}

TEST_F(Generator, DifferentSeedsGiveDifferentStreams)
{
    mt_seed(1000);
    uint32_t a = mt_next(), b = mt_next();
    mt_seed(1001);
    uint32_t c = mt_next(), d = mt_next();
    EXPECT_FALSE(a == c && b == d);
}

// A fresh process has never been seeded: its first regeneration seeds with 5489.
static int unseeded_draw_child()
{
    return mt_next() == 3499211612u ? 0 : 1;
}
static TestChild unseeded_draw("unseeded_draw", unseeded_draw_child);

static int unseeded_fill_child()
{
    if (alloc_transfer_buffer() != 0)
        return 2;
    random_mode = 1;
    // a fill of whole blocks regenerates without going through mt_next
    fill_random(4 * 624 * 2 + 4);
    TextbookMt textbook(5489);
    for (int i = 0; i < 624 * 2 + 1; ++i)
        if (buffer_word(i) != textbook.next())
            return 1;
    return mt_next() == textbook.next() ? 0 : 3;
}
static TestChild unseeded_fill("unseeded_fill", unseeded_fill_child);

TEST(UnseededGenerator, SeedsItselfWithFiveFourEightNine)
{
    EXPECT_EQ(0u, run_child_process("unseeded_draw"));
    EXPECT_EQ(0u, run_child_process("unseeded_fill"));
}

// ---------------------------------------------------------------- fill_random bounds

TEST_F(Generator, FillWritesWholeWordsOnlyAndLeavesTheRestAlone)
{
    struct Case { int count; int words; };
    const Case cases[] = {
        { 700, 175 }, { 703, 175 }, { 4, 1 }, { 3, 0 }, { 1, 0 }, { 0, 0 },
        { -4, 0 }, { -700, 0 }, { 2496, 624 }, { 2500, 625 },
    };
    for (const Case &c : cases) {
        memset(run_context.transfer_buffer, 0xA5, 8192);
        mt_seed(77);
        fill_random(c.count);
        TextbookMt textbook(77);
        EXPECT_EQ(-1, first_mismatch(textbook, c.words)) << "count " << c.count;
        // the guard bytes behind the last whole word
        const unsigned char *p = run_context.transfer_buffer;
        long touched = -1;
        for (long i = 4L * c.words; i < 8192 && touched < 0; ++i)
            if (p[i] != 0xA5)
                touched = i;
        EXPECT_EQ(-1, touched) << "count " << c.count;
        // the stream went on by exactly the words written
        EXPECT_EQ(textbook.next(), mt_next()) << "count " << c.count;
    }
}

TEST_P(GeneratorPath, FullTransferBufferTakesOneMillionWords)
{
    memset(run_context.transfer_buffer, 0xA5, TRANSFER_SIZE);
    mt_seed(20240601);
    fill_random(TRANSFER_SIZE);
    TextbookMt textbook(20240601);
    EXPECT_EQ(-1, first_mismatch(textbook, TRANSFER_SIZE / 4));
    EXPECT_EQ(textbook.next(), mt_next());
}

TEST_F(Generator, NothingIsDrawnOrWrittenWhileRandomModeIsClear)
{
    memset(run_context.transfer_buffer, 0xA5, TRANSFER_SIZE);
    mt_seed(5489);
    random_mode = 0;
    fill_random(700);
    fill_random(TRANSFER_SIZE);
    random_mode = 1;
    const unsigned char *p = run_context.transfer_buffer;
    long touched = -1;
    for (long i = 0; i < TRANSFER_SIZE && touched < 0; ++i)
        if (p[i] != 0xA5)
            touched = i;
    EXPECT_EQ(-1, touched);
    EXPECT_EQ(3499211612u, mt_next());
}

// ---------------------------------------------------------------- stream identity

TEST_P(GeneratorPath, SeedFiveFourEightNineGivesThePublishedCheckValuesFromAFill)
{
    mt_seed(5489);
    fill_random(4 * 10000);
    EXPECT_EQ(3499211612u, buffer_word(0));
    EXPECT_EQ(4123659995u, buffer_word(9999));
}

// Fills of every size from 0 to 1,300 words, each followed by one single
// draw: every position inside a block meets every kind of fill (part of a
// block, a block boundary, whole blocks, a remainder).
TEST_P(GeneratorPath, EveryFillSizeAtEveryBlockPositionContinuesOneStream)
{
    const unsigned seeds[] = { 5489u, 4357u };
    for (unsigned seed : seeds) {
        mt_seed(seed);
        TextbookMt textbook(seed);
        for (int words = 0; words <= 1300; ++words) {
            fill_random(4 * words);
            ASSERT_EQ(-1, first_mismatch(textbook, words)) << "seed " << seed << " fill " << words;
            ASSERT_EQ(textbook.next(), mt_next()) << "seed " << seed << " after fill " << words;
        }
    }
}

// The fill pass's own rhythm (175 words, then full buffers) and odd mixes,
// several million outputs per seed.
TEST_P(GeneratorPath, IrregularMixesMatchTheTextbookOverMillionsOfOutputs)
{
    // a count > 0 is a fill of that many words; a count < 0 is that many single draws
    const int mix[] = {
        175, -1, 1048576, 3, -1, 623, 624, 625, -3, 1, 1, 1048576, 175, 1048575,
        -623, 1048576, 2, -624, 1247, 1248, 1249, -625, 1048576, 175, -2, 11, 1048576,
    };
    const unsigned seeds[] = { 0u, 5489u, 0xFFFFFFFFu, 19650218u };
    for (unsigned seed : seeds) {
        mt_seed(seed);
        TextbookMt textbook(seed);
        long long outputs = 0;
        for (int step = 0; step < (int)(sizeof mix / sizeof mix[0]); ++step) {
            int count = mix[step];
            if (count > 0) {
                fill_random(4 * count);
                ASSERT_EQ(-1, first_mismatch(textbook, count)) << "seed " << seed << " step " << step;
                outputs += count;
            } else {
                for (int i = 0; i < -count; ++i)
                    ASSERT_EQ(textbook.next(), mt_next()) << "seed " << seed << " step " << step;
                outputs -= count;
            }
        }
        EXPECT_GT(outputs, 6000000);
    }
}

// A fill of 1,048,576 words straight after 175: the block boundaries fall
// at word 449 of the fill and every 624 after, none aligned to 16 bytes.
TEST_P(GeneratorPath, BlocksWrittenAtUnalignedPositionsKeepTheStream)
{
    for (int lead = 0; lead < 8; ++lead) {
        mt_seed(31337 + lead);
        TextbookMt textbook(31337 + lead);
        for (int i = 0; i < lead; ++i)
            ASSERT_EQ(textbook.next(), mt_next());
        fill_random(4 * 175);
        ASSERT_EQ(-1, first_mismatch(textbook, 175));
        fill_random(TRANSFER_SIZE);
        ASSERT_EQ(-1, first_mismatch(textbook, TRANSFER_SIZE / 4)) << "lead " << lead;
    }
}

// A path forced between any two fills or draws takes over the stream where
// the last one left it: the state is the same whichever path made it.
TEST_F(Generator, SwitchingPathsBetweenFillsContinuesOneStream)
{
    std::vector<int> paths;
    for (int path : { GENERATOR_PLAIN, GENERATOR_SSE2, GENERATOR_AVX2 })
        if (processor_runs(path))
            paths.push_back(path);
    ASSERT_FALSE(paths.empty());

    const int fills[] = { 175, 1048576, 624, 1, 1247, 175, 1048576, 3, 625, 2000 };
    for (unsigned seed : { 5489u, 0xDEADBEEFu }) {
        mt_seed(seed);
        TextbookMt textbook(seed);
        int turn = 0;
        for (int round = 0; round < 3; ++round)
            for (int words : fills) {
                generator_path = paths[turn++ % paths.size()];
                fill_random(4 * words);
                ASSERT_EQ(-1, first_mismatch(textbook, words))
                    << "seed " << seed << " fill of " << words << " on path " << generator_path;
                generator_path = paths[turn++ % paths.size()];
                ASSERT_EQ(textbook.next(), mt_next()) << "seed " << seed << " path " << generator_path;
            }
    }
}

}  // namespace
