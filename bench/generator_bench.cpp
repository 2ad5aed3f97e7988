// Generator throughput: exact MT19937 output through fill_random into the
// 4 MiB transfer buffer, on every path this processor can run, beside a
// textbook one-word-at-a-time MT19937 writing the same buffer. The fills
// follow the fill pass's rhythm: 175 words before each file, then full
// buffers. Prints the figures; asserts nothing about them.
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"

#define ROUNDS 7
#define FILLS_PER_ROUND 48

// The textbook generator, one word at a time.
static unsigned textbook_state[624];
static int textbook_index;

static void textbook_seed(unsigned seed)
{
    textbook_state[0] = seed;
    for (textbook_index = 1; textbook_index < 624; ++textbook_index)
        textbook_state[textbook_index] =
            1812433253u * (textbook_state[textbook_index - 1] ^
                           (textbook_state[textbook_index - 1] >> 30)) +
            (unsigned)textbook_index;
}

static unsigned textbook_next(void)
{
    unsigned y;
    if (textbook_index >= 624) {
        static const unsigned odd[2] = { 0, 0x9908B0DFu };
        int k;
        for (k = 0; k < 624 - 397; ++k) {
            y = (textbook_state[k] & 0x80000000u) | (textbook_state[k + 1] & 0x7FFFFFFFu);
            textbook_state[k] = textbook_state[k + 397] ^ (y >> 1) ^ odd[y & 1];
        }
        for (; k < 623; ++k) {
            y = (textbook_state[k] & 0x80000000u) | (textbook_state[k + 1] & 0x7FFFFFFFu);
            textbook_state[k] = textbook_state[k + 397 - 624] ^ (y >> 1) ^ odd[y & 1];
        }
        y = (textbook_state[623] & 0x80000000u) | (textbook_state[0] & 0x7FFFFFFFu);
        textbook_state[623] = textbook_state[396] ^ (y >> 1) ^ odd[y & 1];
        textbook_index = 0;
    }
    y = textbook_state[textbook_index++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    return y ^ (y >> 18);
}

static void textbook_fill(int count)
{
    unsigned *words = (unsigned *)run_context.transfer_buffer;   // x86: little-endian
    for (int i = 0; i < count / 4; ++i)
        words[i] = textbook_next();
}

static void avx2_fill(int count)
{
    generator_path = GENERATOR_AVX2;
    fill_random(count);
}

static void sse2_fill(int count)
{
    generator_path = GENERATOR_SSE2;
    fill_random(count);
}

static void plain_fill(int count)
{
    generator_path = GENERATOR_PLAIN;
    fill_random(count);
}

static double seconds_between(LARGE_INTEGER start, LARGE_INTEGER end)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
}

// Best and median rate of ROUNDS rounds; each round is one work file's
// start (700 bytes) and FILLS_PER_ROUND full buffers, all counted.
static double measure(const char *name, void (*fill)(int))
{
    double rates[ROUNDS];
    fill(TRANSFER_SIZE);                      // warm the buffer's pages
    for (int round = 0; round < ROUNDS; ++round) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        fill(FIRST_WRITE_BYTES);
        for (int i = 0; i < FILLS_PER_ROUND; ++i)
            fill(TRANSFER_SIZE);
        QueryPerformanceCounter(&end);
        rates[round] = ((double)TRANSFER_SIZE * FILLS_PER_ROUND + FIRST_WRITE_BYTES) /
                       seconds_between(start, end);
    }
    for (int i = 1; i < ROUNDS; ++i)          // insertion sort, descending
        for (int j = i; j > 0 && rates[j] > rates[j - 1]; --j) {
            double swap = rates[j];
            rates[j] = rates[j - 1];
            rates[j - 1] = swap;
        }
    printf("%-22s best %12.0f bytes/s (%5.2f GB/s)  median %12.0f bytes/s (%5.2f GB/s)\n", name,
           rates[0], rates[0] / 1e9, rates[ROUNDS / 2], rates[ROUNDS / 2] / 1e9);
    return rates[ROUNDS / 2];
}

// The first bytes of the pass's rhythm from seed 5489, by one fill function.
static int same_as_textbook(void (*fill)(int), const unsigned char *expected,
                            unsigned char *copy)
{
    mt_seed(5489);
    fill(FIRST_WRITE_BYTES);
    memcpy(copy, run_context.transfer_buffer, FIRST_WRITE_BYTES);
    fill(TRANSFER_SIZE);
    return memcmp(copy, expected, FIRST_WRITE_BYTES) == 0 &&
           memcmp(run_context.transfer_buffer, expected + FIRST_WRITE_BYTES, TRANSFER_SIZE) == 0;
}

int main(void)
{
    if (alloc_transfer_buffer() != 0) {
        fprintf(stderr, "generator_bench: no transfer buffer\n");
        return 1;
    }
    random_mode = 1;
    mt_next();                                // lets the generator ask the processor
    int chosen = generator_path;
    static const char *const path_names[] = { "plain", "SSE2", "AVX2" };
    printf("processor: the %s path is the default\n", path_names[chosen]);

    // the figures only count if every path produces the same stream
    static unsigned char expected[FIRST_WRITE_BYTES + TRANSFER_SIZE];
    static unsigned char copy[FIRST_WRITE_BYTES];
    textbook_seed(5489);
    textbook_fill(FIRST_WRITE_BYTES);
    memcpy(expected, run_context.transfer_buffer, FIRST_WRITE_BYTES);
    textbook_fill(TRANSFER_SIZE);
    memcpy(expected + FIRST_WRITE_BYTES, run_context.transfer_buffer, TRANSFER_SIZE);
    int same = same_as_textbook(plain_fill, expected, copy) &&
               (chosen < GENERATOR_SSE2 || same_as_textbook(sse2_fill, expected, copy)) &&
               (chosen < GENERATOR_AVX2 || same_as_textbook(avx2_fill, expected, copy));
    printf("first 700 + 4 MiB of output, seed 5489, every path: %s\n",
           same ? "identical to the textbook" : "DIFFERENT");

    printf("%d rounds of 700 bytes and %d fills of %d bytes each\n", ROUNDS, FILLS_PER_ROUND,
           TRANSFER_SIZE);
    double avx2 = chosen >= GENERATOR_AVX2 ? measure("fill_random, AVX2", avx2_fill) : 0.0;
    double sse2 = chosen >= GENERATOR_SSE2 ? measure("fill_random, SSE2", sse2_fill) : 0.0;
    double plain = measure("fill_random, plain", plain_fill);
    double textbook = measure("textbook MT19937", textbook_fill);
    printf("median rates against the textbook:");
    if (avx2 > 0)
        printf(" AVX2 %.2f", avx2 / textbook);
    if (sse2 > 0)
        printf(" SSE2 %.2f", sse2 / textbook);
    printf(" plain %.2f\n", plain / textbook);
    printf("generator %.0f\n", chosen == GENERATOR_AVX2 ? avx2 : chosen == GENERATOR_SSE2 ? sse2 : plain);

    generator_path = chosen;
    release_transfer_buffer();
    return same ? 0 : 1;
}
