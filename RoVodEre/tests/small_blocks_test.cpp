#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "RoVodEre/NoCrtCore.h"

namespace {

// Fills count blocks of size with their own index and checks that none overlaps another
// and every one still holds its index.
std::vector<void*> TakeAndCheck(std::size_t size, std::size_t count)
{
    std::vector<void*> blocks;
    for (std::size_t k = 0; k < count; ++k) {
        void* block = nocrt::AllocateSmallBlock(size);
        EXPECT_NE(nullptr, block);
        EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(block) % 8) << size;
        std::memset(block, static_cast<int>(k & 0xFF), size);
        blocks.push_back(block);
    }
    std::vector<char*> sorted;
    for (void* b : blocks)
        sorted.push_back(static_cast<char*>(b));
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t k = 1; k < sorted.size(); ++k)
        EXPECT_GE(sorted[k] - sorted[k - 1], std::ptrdiff_t(size));
    for (std::size_t k = 0; k < count; ++k) {
        const unsigned char* bytes = static_cast<const unsigned char*>(blocks[k]);
        EXPECT_TRUE(std::all_of(bytes, bytes + size, [k](unsigned char c) { return c == (k & 0xFF); })) << size;
    }
    return blocks;
}

struct Counted : SmallBlockObject {
    static int alive;
    std::uint64_t payload[5];
    Counted() { ++alive; }
    virtual ~Counted() { --alive; }
};
int Counted::alive = 0;

// Bigger than a small block: new and delete go to the heap through the same operators.
struct Large : Counted {
    char more[nocrt::kLargestSmallBlock];
};

}  // namespace

TEST(SmallBlocks, BlocksOfEverySizeAreDistinctAcrossPagesAndReused)
{
    // Enough blocks of each size to span several pages; freed in either order and taken
    // again, they are again distinct and hold what is written to them.
    for (std::size_t size : {1u, 8u, 16u, 24u, 40u, 127u, 128u, 129u, 4096u}) {
        const std::size_t count = size > nocrt::kLargestSmallBlock ? 64 : 3 * 0x10000 / size;
        std::vector<void*> blocks = TakeAndCheck(size, count);
        for (void* block : blocks)
            nocrt::FreeSmallBlock(block, size);
        blocks = TakeAndCheck(size, count);
        for (std::size_t k = blocks.size(); k-- > 0;)
            nocrt::FreeSmallBlock(blocks[k], size);
    }
    nocrt::FreeSmallBlock(nullptr, 16);
}

TEST(SmallBlocks, ObjectsOfDerivedClassesAreFreedByTheirOwnSize)
{
    std::vector<Counted*> objects;
    for (int k = 0; k < 5000; ++k)
        objects.push_back(k % 3 ? new Counted : new Large);
    Counted* made = nocrt::NewObject<Large>();
    ASSERT_NE(nullptr, made);
    objects.push_back(made);
    EXPECT_EQ(5001, Counted::alive);
    for (Counted* object : objects)
        delete object;
    EXPECT_EQ(0, Counted::alive);
}

TEST(SmallBlocks, ThreadsShareThePages)
{
    // Blocks made on one thread may be freed on another; each thread checks its own.
    std::vector<void*> handedOver = TakeAndCheck(32, 20000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &handedOver] {
            for (int round = 0; round < 20; ++round) {
                std::vector<void*> own = TakeAndCheck(24 + 8 * (t % 2), 500);
                for (void* block : own)
                    nocrt::FreeSmallBlock(block, 24 + 8 * (t % 2));
            }
            for (std::size_t k = t; k < handedOver.size(); k += 4)
                nocrt::FreeSmallBlock(handedOver[k], 32);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
}
