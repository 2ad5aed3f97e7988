// MT19937 as its authors first published it (index form, init_genrand): the
// reference the engine's generator and the work files are checked against.
#ifndef VANTA_TESTS_TEXTBOOK_MT_H
#define VANTA_TESTS_TEXTBOOK_MT_H

#include <stdint.h>

struct TextbookMt {
    uint32_t mt[624];
    int mti;

    explicit TextbookMt(uint32_t seed)
    {
        mt[0] = seed;
        for (mti = 1; mti < 624; mti++)
            mt[mti] = 1812433253u * (mt[mti - 1] ^ (mt[mti - 1] >> 30)) + (uint32_t)mti;
    }
    uint32_t next()
    {
        static const uint32_t mag01[2] = { 0x0u, 0x9908b0dfu };
        uint32_t y;
        if (mti >= 624) {
            int kk;
            for (kk = 0; kk < 624 - 397; kk++) {
                y = (mt[kk] & 0x80000000u) | (mt[kk + 1] & 0x7fffffffu);
                mt[kk] = mt[kk + 397] ^ (y >> 1) ^ mag01[y & 0x1u];
            }
            for (; kk < 623; kk++) {
                y = (mt[kk] & 0x80000000u) | (mt[kk + 1] & 0x7fffffffu);
                mt[kk] = mt[kk + (397 - 624)] ^ (y >> 1) ^ mag01[y & 0x1u];
            }
            y = (mt[623] & 0x80000000u) | (mt[0] & 0x7fffffffu);
            mt[623] = mt[396] ^ (y >> 1) ^ mag01[y & 0x1u];
            mti = 0;
        }
        y = mt[mti++];
        y ^= (y >> 11);
        y ^= (y << 7) & 0x9d2c5680u;
        y ^= (y << 15) & 0xefc60000u;
        y ^= (y >> 18);
        return y;
    }
    void skip(uint64_t count)
    {
        while (count--)
            next();
    }
    // The next count outputs as little-endian words, as a work file holds them.
    void bytes(unsigned char *out, uint32_t count)
    {
        for (uint32_t i = 0; i + 4 <= count; i += 4) {
            uint32_t y = next();
            out[i] = (unsigned char)y;
            out[i + 1] = (unsigned char)(y >> 8);
            out[i + 2] = (unsigned char)(y >> 16);
            out[i + 3] = (unsigned char)(y >> 24);
        }
    }
};

#endif
