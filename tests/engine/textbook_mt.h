// MT19937 as its authors published it (init_genrand, the index form): what
// the generator and the random work files are checked against.
#ifndef VANTA_TESTS_TEXTBOOK_MT_H
#define VANTA_TESTS_TEXTBOOK_MT_H
#include <stdint.h>

struct TextbookMt {
    uint32_t mt[624];
    int mti = 624;
    explicit TextbookMt(uint32_t seed)
    {
        for (int i = 0; i < 624; i++)
            mt[i] = i ? 1812433253u * (mt[i - 1] ^ (mt[i - 1] >> 30)) + (uint32_t)i : seed;
    }
    uint32_t next()
    {
        if (mti == 624) {
            for (int k = 0; k < 624; k++) {
                uint32_t y = (mt[k] & 0x80000000u) | (mt[(k + 1) % 624] & 0x7fffffffu);
                mt[k] = mt[(k + 397) % 624] ^ (y >> 1) ^ (y & 1 ? 0x9908b0dfu : 0);
            }
            mti = 0;
        }
        uint32_t y = mt[mti++];
        y ^= y >> 11, y ^= (y << 7) & 0x9d2c5680u, y ^= (y << 15) & 0xefc60000u;
        return y ^ (y >> 18);
    }
    // The next count / 4 outputs as little-endian words, as files hold them.
    void bytes(unsigned char *out, uint32_t count)
    {
        for (uint32_t i = 0; i + 4 <= count; i += 4)
            for (uint32_t y = next(), b = 0; b < 4; ++b)
                out[i + b] = (unsigned char)(y >> 8 * b);
    }
};
#endif
