#include <gtest/gtest.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"

static bool all_zero(const unsigned char *bytes, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (bytes[i])
            return false;
    return true;
}

TEST(TransferBuffer, IsOneCommittedPageAlignedZeroFilledBlock)
{
    ASSERT_EQ(0u, alloc_transfer_buffer());
    unsigned char *buffer = run_context.transfer_buffer;
    ASSERT_NE(nullptr, buffer);

    SYSTEM_INFO system;
    GetSystemInfo(&system);
    EXPECT_EQ(0u, (UINT_PTR)buffer % system.dwPageSize);

    MEMORY_BASIC_INFORMATION region;
    ASSERT_NE(0u, VirtualQuery(buffer, &region, sizeof region));
    EXPECT_EQ((DWORD)MEM_COMMIT, region.State);
    EXPECT_EQ((DWORD)PAGE_READWRITE, region.Protect);
    EXPECT_GE(region.RegionSize, (SIZE_T)TRANSFER_SIZE);
    EXPECT_TRUE(all_zero(buffer, TRANSFER_SIZE));

    // every byte, the last one included, is writable
    memset(buffer, 0xA5, TRANSFER_SIZE);
    EXPECT_EQ(0xA5, buffer[TRANSFER_SIZE - 1]);
    release_transfer_buffer();
}

TEST(TransferBuffer, ReleaseFreesTheBlockAndClearsThePointer)
{
    ASSERT_EQ(0u, alloc_transfer_buffer());
    unsigned char *buffer = run_context.transfer_buffer;
    release_transfer_buffer();
    EXPECT_EQ(nullptr, run_context.transfer_buffer);

    MEMORY_BASIC_INFORMATION region;
    ASSERT_NE(0u, VirtualQuery(buffer, &region, sizeof region));
    EXPECT_EQ((DWORD)MEM_FREE, region.State);

    // a second release has nothing to do and must not fault
    release_transfer_buffer();
    EXPECT_EQ(nullptr, run_context.transfer_buffer);
}

TEST(TransferBuffer, ANewAllocationStartsZeroedEvenWhenOneWasHeld)
{
    ASSERT_EQ(0u, alloc_transfer_buffer());
    unsigned char *first = run_context.transfer_buffer;
    memset(first, 0xFF, TRANSFER_SIZE);
    ASSERT_EQ(0u, alloc_transfer_buffer());
    EXPECT_TRUE(all_zero(run_context.transfer_buffer, TRANSFER_SIZE));

    // the old block went back to the system rather than leaking
    MEMORY_BASIC_INFORMATION region;
    if (run_context.transfer_buffer != first) {
        ASSERT_NE(0u, VirtualQuery(first, &region, sizeof region));
        EXPECT_EQ((DWORD)MEM_FREE, region.State);
    }
    release_transfer_buffer();
}
