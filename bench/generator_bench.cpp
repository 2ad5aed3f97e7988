// Generator throughput: MT19937 output through fill_random into the 4 MiB
// transfer buffer, beside a plain one-word-at-a-time MT19937 writing the same
// buffer. Prints the figures; asserts nothing about them.
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"

#define ROUNDS 7
#define FILLS_PER_ROUND 48

// The textbook generator, one word at a time.
static unsigned plain_state[624];
static int plain_index;

static void plain_seed(unsigned seed)
{
    plain_state[0] = seed;
    for (plain_index = 1; plain_index < 624; ++plain_index)
        plain_state[plain_index] = 1812433253u * (plain_state[plain_index - 1] ^
                                                  (plain_state[plain_index - 1] >> 30)) +
                                   (unsigned)plain_index;
}

static unsigned plain_next(void)
{
    unsigned y;
    if (plain_index >= 624) {
        static const unsigned odd[2] = { 0, 0x9908B0DFu };
        int k;
        for (k = 0; k < 624 - 397; ++k) {
            y = (plain_state[k] & 0x80000000u) | (plain_state[k + 1] & 0x7FFFFFFFu);
            plain_state[k] = plain_state[k + 397] ^ (y >> 1) ^ odd[y & 1];
        }
        for (; k < 623; ++k) {
            y = (plain_state[k] & 0x80000000u) | (plain_state[k + 1] & 0x7FFFFFFFu);
            plain_state[k] = plain_state[k + 397 - 624] ^ (y >> 1) ^ odd[y & 1];
        }
        y = (plain_state[623] & 0x80000000u) | (plain_state[0] & 0x7FFFFFFFu);
        plain_state[623] = plain_state[396] ^ (y >> 1) ^ odd[y & 1];
        plain_index = 0;
    }
    y = plain_state[plain_index++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    return y ^ (y >> 18);
}

static void plain_fill(int count)
{
    unsigned *words = (unsigned *)run_context.transfer_buffer;   // x86: little-endian
    for (int i = 0; i < count / 4; ++i)
        words[i] = plain_next();
}

static double seconds_between(LARGE_INTEGER start, LARGE_INTEGER end)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
}

// Best and median rate of ROUNDS rounds of FILLS_PER_ROUND full-buffer fills.
static void measure(const char *name, void (*fill)(int))
{
    double rates[ROUNDS];
    fill(TRANSFER_SIZE);                      // warm the buffer's pages
    for (int round = 0; round < ROUNDS; ++round) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        for (int i = 0; i < FILLS_PER_ROUND; ++i)
            fill(TRANSFER_SIZE);
        QueryPerformanceCounter(&end);
        rates[round] = (double)TRANSFER_SIZE * FILLS_PER_ROUND / seconds_between(start, end);
    }
    for (int i = 1; i < ROUNDS; ++i)          // insertion sort, descending
        for (int j = i; j > 0 && rates[j] > rates[j - 1]; --j) {
            double swap = rates[j];
            rates[j] = rates[j - 1];
            rates[j - 1] = swap;
        }
    printf("%-28s best %13.0f bytes/s (%.2f GB/s)  median %13.0f bytes/s (%.2f GB/s)\n", name,
           rates[0], rates[0] / 1e9, rates[ROUNDS / 2], rates[ROUNDS / 2] / 1e9);
}

int main(void)
{
    if (alloc_transfer_buffer() != 0) {
        fprintf(stderr, "generator_bench: no transfer buffer\n");
        return 1;
    }
    random_mode = 1;

    // the figures only count if both produce the same stream
    static unsigned char plain_copy[TRANSFER_SIZE];
    plain_seed(5489);
    plain_fill(TRANSFER_SIZE);
    memcpy(plain_copy, run_context.transfer_buffer, TRANSFER_SIZE);
    mt_seed(5489);
    fill_random(TRANSFER_SIZE);
    int same = memcmp(plain_copy, run_context.transfer_buffer, TRANSFER_SIZE) == 0;
    printf("4 MiB of output, seed 5489: %s\n", same ? "identical" : "DIFFERENT");

    printf("%d rounds of %d fills of %d bytes each\n", ROUNDS, FILLS_PER_ROUND, TRANSFER_SIZE);
    measure("fill_random (vanta)", fill_random);
    measure("plain MT19937", plain_fill);

    release_transfer_buffer();
    return same ? 0 : 1;
}
