// MT19937: the published check values, and the textbook stream over millions
// of outputs in irregular mixes of fills and draws, on each path (plain, SSE2,
// AVX2) and switching between them; fill_random writes whole words only.
#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>
#include "engine/wipe_engine.h"
#include "support/messages.h"
#include "test_helpers.h"
#include "textbook_mt.h"

class Generator : public ::testing::Test {
protected:
    std::vector<int> paths = { GENERATOR_PLAIN };
    void SetUp() override
    {
        alloc_transfer_buffer(), random_mode = 1;
        if (IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE))
            paths.push_back(GENERATOR_SSE2);
        if (IsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE))
            paths.push_back(GENERATOR_AVX2);
    }
    void TearDown() override { release_transfer_buffer(), random_mode = 0, generator_path = GENERATOR_UNKNOWN; }
    // fill_random(count): the textbook's next words, and the bytes after them untouched
    bool fills(TextbookMt &textbook, int count, int words)
    {
        std::vector<unsigned char> expected(std::min(4 * words + 8, TRANSFER_SIZE), 0xA5);
        memset(run_context.transfer_buffer, 0xA5, expected.size());
        fill_random(count);
        textbook.bytes(expected.data(), 4 * words);
        return !memcmp(expected.data(), run_context.transfer_buffer, expected.size());
    }
};

// The check values of seed 5489 hold for the textbook; then a count >= 0
// fills that many bytes, < 0 draws that many words: the fill pass's rhythm
// (700, then whole buffers), odd byte counts, every kind of block boundary.
// The last round switches path at every step.
TEST_F(Generator, IrregularMixesGiveTheTextbookStreamOnEveryPathAndAcrossSwitches)
{
    TextbookMt published(5489);
    EXPECT_EQ(3499211612u, published.next());
    for (int i = 2; i < 10000; ++i, published.next()) {}
    EXPECT_EQ(4123659995u, published.next()) << "the textbook is wrong, and all that is checked against it";
    const int mix[] = { 700, -1, TRANSFER_SIZE, 3, 15, -1, 2492, 2496, 2500, -3, 4, 4, TRANSFER_SIZE - 4,
                        -623, 8, -624, 4988, 4992, 4996, -625, 703, TRANSFER_SIZE, 44, 1796, 0, -2 };
    const size_t steps = sizeof mix / sizeof mix[0];
    for (size_t forced = 0; forced <= paths.size(); ++forced)
        for (unsigned seed : { 0u, 5489u, 0xFFFFFFFFu }) {
            mt_seed(seed);
            TextbookMt textbook(seed);
            for (size_t step = 0; step < 2 * steps; ++step) {
                generator_path = paths[forced < paths.size() ? forced : step % paths.size()];
                for (int i = 0; i < -mix[step % steps]; ++i)
                    ASSERT_EQ(textbook.next(), mt_next()) << forced << " " << seed << " " << step;
                ASSERT_TRUE(mix[step % steps] < 0 || fills(textbook, mix[step % steps], mix[step % steps] / 4))
                    << forced << " " << seed << " " << step;
            }
        }
}

TEST_F(Generator, NothingIsWrittenOrDrawnForANegativeCountOrWhileRandomModeIsClear)
{
    TextbookMt textbook(77);
    mt_seed(77);
    EXPECT_TRUE(fills(textbook, -4, 0) && (random_mode = 0, fills(textbook, TRANSFER_SIZE, 0)));
    EXPECT_EQ(textbook.next(), mt_next());
}

// A fresh process was never seeded: its first regeneration, here a fill of a
// whole block, seeds with 5489.
static int unseeded_fill()
{
    alloc_transfer_buffer(), random_mode = 1, fill_random(4 * 624);
    TextbookMt textbook(5489);
    std::vector<unsigned char> expected(4 * 624);
    textbook.bytes(expected.data(), 4 * 624);
    return !memcmp(expected.data(), run_context.transfer_buffer, 4 * 624) && textbook.next() == mt_next() ? 0 : 1;
}
static TestChild unseeded("unseeded_fill", unseeded_fill);
TEST(UnseededGenerator, SeedsItselfWithFiveFourEightNine) { EXPECT_EQ(0u, run_child_process("unseeded_fill")); }
