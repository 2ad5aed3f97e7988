// Pattern generator: MT19937 in the countdown form (a count of state words
// not yet handed out and a pointer to the next one), with SSE2 doing the
// twist and the tempering four words at a time. Output is bit for bit the
// plain generator's, whatever mix of single draws and buffer fills asks.
#include <emmintrin.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"

#define MT_N 624
#define MT_M 397
#define MT_UPPER  0x80000000u
#define MT_LOWER  0x7FFFFFFFu
#define MT_MATRIX 0x9908B0DFu

// 16-byte aligned so that every fourth word starts an aligned vector
alignas(16) static unsigned mt_state[MT_N];
static int mt_left = 1;
static unsigned *mt_next_word;
static int mt_seeded;

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

static inline __m128i twist_vector(__m128i word, __m128i following, __m128i far_word)
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

static inline __m128i temper_vector(__m128i y)
{
    y = _mm_xor_si128(y, _mm_srli_epi32(y, 11));
    y = _mm_xor_si128(y, _mm_and_si128(_mm_slli_epi32(y, 7), _mm_set1_epi32((int)0x9D2C5680u)));
    y = _mm_xor_si128(y, _mm_and_si128(_mm_slli_epi32(y, 15), _mm_set1_epi32((int)0xEFC60000u)));
    return _mm_xor_si128(y, _mm_srli_epi32(y, 18));
}

static inline unsigned temper_word(unsigned y)
{
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    return y ^ (y >> 18);
}

// Finishes the group of four words at k: tempered into out when asked.
static inline void emit_group(unsigned char *out, int k)
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
static void regenerate(unsigned char *out)
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
    for (int j = k; j < k + 4; ++j) {
        int far_index = j + MT_M < MT_N ? j + MT_M : j + MT_M - MT_N;
        mt_state[j] = twist_word(mt_state[j], mt_state[j + 1], mt_state[far_index]);
    }
    emit_group(out, k);
    for (k += 4; k + 4 < MT_N; k += 4) {              // words 228 ... 619
        __m128i word = _mm_load_si128((const __m128i *)&mt_state[k]);
        __m128i following = _mm_loadu_si128((const __m128i *)&mt_state[k + 1]);
        __m128i far_word = _mm_loadu_si128((const __m128i *)&mt_state[k + MT_M - MT_N]);
        _mm_store_si128((__m128i *)&mt_state[k], twist_vector(word, following, far_word));
        emit_group(out, k);
    }
    // words 620 ... 623: the last one's successor is the new word 0
    for (int j = k; j < MT_N; ++j) {
        unsigned following = j + 1 < MT_N ? mt_state[j + 1] : mt_state[0];
        mt_state[j] = twist_word(mt_state[j], following, mt_state[j + MT_M - MT_N]);
    }
    emit_group(out, k);
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

// Hands out count ready state words, tempered, into out.
static void take_words(unsigned char *out, int count)
{
    int i = 0;
    for (; i + 4 <= count; i += 4)
        _mm_storeu_si128((__m128i *)(out + 4 * i),
                         temper_vector(_mm_loadu_si128((const __m128i *)(mt_next_word + i))));
    for (; i < count; ++i) {
        unsigned y = temper_word(mt_next_word[i]);
        out[4 * i] = (unsigned char)y;
        out[4 * i + 1] = (unsigned char)(y >> 8);
        out[4 * i + 2] = (unsigned char)(y >> 16);
        out[4 * i + 3] = (unsigned char)(y >> 24);
    }
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
