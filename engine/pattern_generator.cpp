// Pattern generator: MT19937 in the countdown form (a count of state words
// not yet handed out and a pointer to the next one). The twist and the
// tempering of whole blocks run eight words at a time where the processor
// has AVX2, four at a time where it has SSE2, and one at a time elsewhere.
// Output is bit for bit the textbook generator's, whatever mix of single
// draws and buffer fills asks and whichever path runs.
#include <immintrin.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"

// Only the functions marked so may use SSE2 or AVX2: the rest of the file,
// the plain path included, is built for any i686. The entries realign the
// stack, since a thread started by the system guarantees only 4 bytes.
#define SSE2_ENTRY __attribute__((target("sse2"), force_align_arg_pointer, noinline))
#define AVX2_ENTRY __attribute__((target("avx2"), force_align_arg_pointer, noinline))

#define MT_N 624
#define MT_M 397
#define MT_UPPER  0x80000000u
#define MT_LOWER  0x7FFFFFFFu
#define MT_MATRIX 0x9908B0DFu

// 32-byte aligned so that every eighth word starts an aligned vector
alignas(32) static unsigned mt_state[MT_N];
static int mt_left = 1;
static unsigned *mt_next_word;
static int mt_seeded;

int generator_path = GENERATOR_UNKNOWN;

// Asks the processor once, at the first regeneration. Systems that predate
// the AVX2 answer say no, and the SSE2 path serves.
static int chosen_path(void)
{
    if (generator_path == GENERATOR_UNKNOWN) {
        if (IsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE))
            generator_path = GENERATOR_AVX2;
        else if (IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE))
            generator_path = GENERATOR_SSE2;
        else
            generator_path = GENERATOR_PLAIN;
    }
    return generator_path;
}

void mt_seed(unsigned seed)
{
    mt_state[0] = seed;
    for (unsigned i = 1; i < MT_N; ++i)
        mt_state[i] = 1812433253u * (mt_state[i - 1] ^ (mt_state[i - 1] >> 30)) + i;
    mt_left = 1;
    mt_seeded = 1;
}

static inline unsigned twist_word(unsigned word, unsigned following, unsigned far_word)
{
    unsigned y = (word & MT_UPPER) | (following & MT_LOWER);
    return far_word ^ (y >> 1) ^ ((y & 1) ? MT_MATRIX : 0);
}

static inline unsigned temper_word(unsigned y)
{
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    return y ^ (y >> 18);
}

// One word of the twist, wherever its reads wrap round the end.
static inline void twist_one(int k)
{
    unsigned following = k + 1 < MT_N ? mt_state[k + 1] : mt_state[0];
    int far_index = k + MT_M < MT_N ? k + MT_M : k + MT_M - MT_N;
    mt_state[k] = twist_word(mt_state[k], following, mt_state[far_index]);
}

// One output as a little-endian word: x86's own order, so a plain copy.
static inline void put_word(unsigned char *out, unsigned y)
{
    memcpy(out, &y, 4);
}

// Four or eight state words side by side. One shape serves both vector
// paths: a vector type turns into SSE2 or AVX2 instructions only where it is
// inlined into the functions built for them.
typedef unsigned Lanes4 __attribute__((vector_size(16)));
typedef unsigned Lanes8 __attribute__((vector_size(32)));
#define LANES_CODE __attribute__((always_inline)) static inline

// Tempers the words at from into out, as little-endian words.
template <typename Lanes>
LANES_CODE void temper_lanes(const unsigned *from, unsigned char *out)
{
    Lanes y;
    memcpy(&y, from, sizeof y);
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= y >> 18;
    memcpy(out, &y, sizeof y);
}

// Twists the group of words at k, whose far words start at far_index.
template <typename Lanes>
LANES_CODE void twist_lanes(int k, int far_index)
{
    typedef int Signed __attribute__((vector_size(sizeof(Lanes))));
    Lanes word, following, far_word;
    memcpy(&word, &mt_state[k], sizeof word);
    memcpy(&following, &mt_state[k + 1], sizeof following);
    memcpy(&far_word, &mt_state[far_index], sizeof far_word);
    Lanes y = (word & MT_UPPER) | (following & MT_LOWER);
    // all ones where y is odd: the low bit moved to the top, then spread
    Lanes odd = (Lanes)((Signed)(y << 31) >> 31);
    word = far_word ^ (y >> 1) ^ (odd & MT_MATRIX);
    memcpy(&mt_state[k], &word, sizeof word);
}

// Replaces all 624 state words in place, a group of lanes at a time; with
// out, also writes the 624 new outputs there. A word only reads its old
// successor and the word 397 on, which from word 227 onwards was replaced
// 227 places back, so a group's far words are ready once it starts past 227.
// The group at 224 reads round the end into the new word 0, and the last
// group's successor is the new word 0: those two go a word at a time.
template <typename Lanes>
LANES_CODE void regenerate_lanes(unsigned char *out)
{
    const int lanes = sizeof(Lanes) / 4;
    int k = 0;
    for (; k < 224; k += lanes)
        twist_lanes<Lanes>(k, k + MT_M);
    for (; k < 224 + lanes; ++k)
        twist_one(k);
    for (; k + lanes < MT_N; k += lanes)
        twist_lanes<Lanes>(k, k + MT_M - MT_N);
    for (; k < MT_N; ++k)
        twist_one(k);
    // the state is 2.5 KB: tempering it in a second loop reads it from cache
    for (k = 0; out && k < MT_N; k += lanes)
        temper_lanes<Lanes>(&mt_state[k], out + 4 * k);
}

SSE2_ENTRY static void regenerate_sse2(unsigned char *out)
{
    regenerate_lanes<Lanes4>(out);
}

AVX2_ENTRY static void regenerate_avx2(unsigned char *out)
{
    regenerate_lanes<Lanes8>(out);
    // no dirty upper halves left to slow the SSE code that follows
    _mm256_zeroupper();
}

// The textbook order, one word at a time: words 227 on read new words, and
// word 623 reads the new word 0.
static void regenerate_plain(unsigned char *out)
{
    int k = 0;
    for (; k < MT_N - MT_M; ++k)
        mt_state[k] = twist_word(mt_state[k], mt_state[k + 1], mt_state[k + MT_M]);
    for (; k < MT_N - 1; ++k)
        mt_state[k] = twist_word(mt_state[k], mt_state[k + 1], mt_state[k + MT_M - MT_N]);
    mt_state[k] = twist_word(mt_state[k], mt_state[0], mt_state[k + MT_M - MT_N]);
    if (out)
        for (k = 0; k < MT_N; ++k)
            put_word(out + 4 * k, temper_word(mt_state[k]));
}

static void regenerate(unsigned char *out)
{
    switch (chosen_path()) {
    case GENERATOR_AVX2:
        regenerate_avx2(out);
        break;
    case GENERATOR_SSE2:
        regenerate_sse2(out);
        break;
    default:
        regenerate_plain(out);
        break;
    }
}

void mt_next_state(void)
{
    if (!mt_seeded)
        mt_seed(5489);
    mt_left = MT_N;
    mt_next_word = mt_state;
    regenerate(0);
}

unsigned mt_next(void)
{
    if (--mt_left == 0)
        mt_next_state();
    return temper_word(*mt_next_word++);
}

// Hands out count ready state words, tempered, into out: at most one
// block's worth per fill, so four at a time serves the AVX2 path too.
SSE2_ENTRY static void take_words_sse2(unsigned char *out, int count)
{
    int i = 0;
    for (; i + 4 <= count; i += 4)
        temper_lanes<Lanes4>(mt_next_word + i, out + 4 * i);
    for (; i < count; ++i)
        put_word(out + 4 * i, temper_word(mt_next_word[i]));
}

static void take_words(unsigned char *out, int count)
{
    if (chosen_path() != GENERATOR_PLAIN)
        take_words_sse2(out, count);
    else
        for (int i = 0; i < count; ++i)
            put_word(out + 4 * i, temper_word(mt_next_word[i]));
    mt_next_word += count;
    mt_left -= count;
}

void fill_random(int count)
{
    if (!random_mode)
        return;
    int words = count / 4;
    if (words <= 0)
        return;
    unsigned char *out = run_context.transfer_buffer;

    // Between calls mt_left - 1 words are ready; mt_left 1 means none.
    int ready = mt_left - 1;
    int now = words < ready ? words : ready;
    take_words(out, now);
    out += 4 * now;
    words -= now;

    while (words >= MT_N) {
        if (!mt_seeded)
            mt_seed(5489);
        regenerate(out);
        // the whole block is handed out: the next draw regenerates
        mt_next_word = mt_state + MT_N;
        mt_left = 1;
        out += 4 * MT_N;
        words -= MT_N;
    }

    if (words > 0) {
        mt_next_state();
        // mt_next_state leaves the count as mt_next has it after the block's
        // first draw; one more makes all 624 words ready
        mt_left = MT_N + 1;
        take_words(out, words);
    }
}
