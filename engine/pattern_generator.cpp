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
#define SSE2_CODE __attribute__((target("sse2")))
#define SSE2_ENTRY __attribute__((target("sse2"), force_align_arg_pointer, noinline))
#define AVX2_CODE __attribute__((target("avx2")))
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

SSE2_CODE static inline __m128i twist_vector(__m128i word, __m128i following, __m128i far_word)
{
    const __m128i upper = _mm_set1_epi32((int)MT_UPPER);
    const __m128i lower = _mm_set1_epi32((int)MT_LOWER);
    const __m128i matrix = _mm_set1_epi32((int)MT_MATRIX);
    __m128i y = _mm_or_si128(_mm_and_si128(word, upper), _mm_and_si128(following, lower));
    // all ones where y is odd: the low bit moved to the top, then spread
    __m128i odd = _mm_srai_epi32(_mm_slli_epi32(y, 31), 31);
    return _mm_xor_si128(_mm_xor_si128(far_word, _mm_srli_epi32(y, 1)),
                         _mm_and_si128(odd, matrix));
}

SSE2_CODE static inline __m128i temper_vector(__m128i y)
{
    y = _mm_xor_si128(y, _mm_srli_epi32(y, 11));
    y = _mm_xor_si128(y, _mm_and_si128(_mm_slli_epi32(y, 7), _mm_set1_epi32((int)0x9D2C5680u)));
    y = _mm_xor_si128(y, _mm_and_si128(_mm_slli_epi32(y, 15), _mm_set1_epi32((int)0xEFC60000u)));
    return _mm_xor_si128(y, _mm_srli_epi32(y, 18));
}

AVX2_CODE static inline __m256i twist_vector8(__m256i word, __m256i following, __m256i far_word)
{
    const __m256i upper = _mm256_set1_epi32((int)MT_UPPER);
    const __m256i lower = _mm256_set1_epi32((int)MT_LOWER);
    const __m256i matrix = _mm256_set1_epi32((int)MT_MATRIX);
    __m256i y = _mm256_or_si256(_mm256_and_si256(word, upper), _mm256_and_si256(following, lower));
    __m256i odd = _mm256_srai_epi32(_mm256_slli_epi32(y, 31), 31);
    return _mm256_xor_si256(_mm256_xor_si256(far_word, _mm256_srli_epi32(y, 1)),
                            _mm256_and_si256(odd, matrix));
}

AVX2_CODE static inline __m256i temper_vector8(__m256i y)
{
    y = _mm256_xor_si256(y, _mm256_srli_epi32(y, 11));
    y = _mm256_xor_si256(y, _mm256_and_si256(_mm256_slli_epi32(y, 7),
                                             _mm256_set1_epi32((int)0x9D2C5680u)));
    y = _mm256_xor_si256(y, _mm256_and_si256(_mm256_slli_epi32(y, 15),
                                             _mm256_set1_epi32((int)0xEFC60000u)));
    return _mm256_xor_si256(y, _mm256_srli_epi32(y, 18));
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

// Finishes the group of four words at k: tempered into out when asked.
SSE2_CODE static inline void emit_group(unsigned char *out, int k)
{
    if (out)
        _mm_storeu_si128((__m128i *)(out + 4 * k),
                         temper_vector(_mm_load_si128((const __m128i *)&mt_state[k])));
}

// Replaces all 624 state words in place; with out, also writes the 624 new
// outputs there, so a whole block goes to the buffer without a second pass.
// A word only reads its old successor and the word 397 on, which from word
// 227 onwards is one replaced at least 227 places back: four at a time is
// safe except for the two groups whose reads wrap round the end.
SSE2_ENTRY static void regenerate_sse2(unsigned char *out)
{
    int k = 0;
    for (; k + 4 <= MT_N - MT_M; k += 4) {            // words 0 ... 223
        __m128i word = _mm_load_si128((const __m128i *)&mt_state[k]);
        __m128i following = _mm_loadu_si128((const __m128i *)&mt_state[k + 1]);
        __m128i far_word = _mm_loadu_si128((const __m128i *)&mt_state[k + MT_M]);
        _mm_store_si128((__m128i *)&mt_state[k], twist_vector(word, following, far_word));
        emit_group(out, k);
    }
    // words 224 ... 227: the far words run 621, 622, 623, then the new word 0
    for (int j = k; j < k + 4; ++j)
        twist_one(j);
    emit_group(out, k);
    for (k += 4; k + 4 < MT_N; k += 4) {              // words 228 ... 619
        __m128i word = _mm_load_si128((const __m128i *)&mt_state[k]);
        __m128i following = _mm_loadu_si128((const __m128i *)&mt_state[k + 1]);
        __m128i far_word = _mm_loadu_si128((const __m128i *)&mt_state[k + MT_M - MT_N]);
        _mm_store_si128((__m128i *)&mt_state[k], twist_vector(word, following, far_word));
        emit_group(out, k);
    }
    // words 620 ... 623: the last one's successor is the new word 0
    for (int j = k; j < MT_N; ++j)
        twist_one(j);
    emit_group(out, k);
}

AVX2_CODE static inline void emit_group8(unsigned char *out, int k)
{
    if (out)
        _mm256_storeu_si256((__m256i *)(out + 4 * k),
                            temper_vector8(_mm256_load_si256((const __m256i *)&mt_state[k])));
}

// regenerate_sse2 eight words at a time. From word 232 on, the far words of
// a group (227 places back) are all replaced before the group starts; the
// groups at 224 and 616 straddle the wrap and go one word at a time.
AVX2_ENTRY static void regenerate_avx2(unsigned char *out)
{
    int k = 0;
    for (; k < 224; k += 8) {
        __m256i word = _mm256_load_si256((const __m256i *)&mt_state[k]);
        __m256i following = _mm256_loadu_si256((const __m256i *)&mt_state[k + 1]);
        __m256i far_word = _mm256_loadu_si256((const __m256i *)&mt_state[k + MT_M]);
        _mm256_store_si256((__m256i *)&mt_state[k], twist_vector8(word, following, far_word));
        emit_group8(out, k);
    }
    for (; k < 232; ++k)
        twist_one(k);
    emit_group8(out, 224);
    for (; k < 616; k += 8) {
        __m256i word = _mm256_load_si256((const __m256i *)&mt_state[k]);
        __m256i following = _mm256_loadu_si256((const __m256i *)&mt_state[k + 1]);
        __m256i far_word = _mm256_loadu_si256((const __m256i *)&mt_state[k + MT_M - MT_N]);
        _mm256_store_si256((__m256i *)&mt_state[k], twist_vector8(word, following, far_word));
        emit_group8(out, k);
    }
    for (; k < MT_N; ++k)
        twist_one(k);
    emit_group8(out, 616);
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
        _mm_storeu_si128((__m128i *)(out + 4 * i),
                         temper_vector(_mm_loadu_si128((const __m128i *)(mt_next_word + i))));
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
