#include <algorithm>
#include <random>
#include <vector>

#include "tests/kernel/fixture.h"

namespace torvex_test {
namespace {

constexpr ULONG kTag = ' mdW';

class PoolTest : public KernelTest {};

TEST_F(PoolTest, OutstandingBlocksAreReportedByTagOldestFirst) {
    EXPECT_EQ(host::pool_tag("Wdm "), kTag);
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 80, kTag);
    PVOID b = ExAllocatePoolWithTag(PagedPool, 22, kTag);
    PVOID c = ExAllocatePoolWithTag(NonPagedPool, 8, 'tseT');
    auto blocks = kernel->pool().outstanding(kTag);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].size, 80u);
    EXPECT_EQ(blocks[1].size, 22u);
    EXPECT_EQ(blocks[1].type, PagedPool);
    EXPECT_EQ(kernel->pool().outstanding().size(), 3u);
    EXPECT_NE(kernel->pool().report(kTag).find("'Wdm '     22 bytes paged"), std::string::npos);
    ExFreePool(a);
    ExFreePool(b);
    ExFreePool(c);
    EXPECT_TRUE(kernel->pool().outstanding().empty());
}

// Thousands of live blocks, freed in an order the seed scrambles: each is
// found (and its own size reported) until its free, whatever was freed
// around it.
TEST_F(PoolTest, ManyLiveBlocksAreEachFoundUntilFreed) {
    std::vector<std::pair<PVOID, SIZE_T>> live;
    for (SIZE_T size = 1; size <= 3000; ++size) live.emplace_back(ExAllocatePoolWithTag(NonPagedPool, size, kTag), size);
    std::mt19937 random(static_cast<std::uint32_t>(seed));
    std::shuffle(live.begin(), live.end(), random);
    while (!live.empty()) {
        for (std::size_t i = 0; i < live.size(); i += 97) {
            const host::Pool::Block* block = kernel->pool().find(live[i].first);
            ASSERT_NE(block, nullptr) << live.size() << " blocks live";
            EXPECT_EQ(block->size, live[i].second);
        }
        ExFreePool(live.back().first);
        EXPECT_EQ(kernel->pool().find(live.back().first), nullptr);
        live.pop_back();
    }
    EXPECT_TRUE(kernel->pool().outstanding().empty());
}

TEST_F(PoolTest, FreshPoolIsNotZeroed) {
    auto* bytes = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
    EXPECT_NE(bytes[0], 0);
    ExFreePool(bytes);
}

TEST_F(PoolTest, TheNthAllocationFromNowFails) {
    kernel->pool().fail_nth(3);
    std::vector<PVOID> blocks;
    for (int i = 0; i < 5; ++i) blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 4, kTag));
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_NE(blocks[1], nullptr);
    EXPECT_EQ(blocks[2], nullptr);
    EXPECT_NE(blocks[3], nullptr);
    EXPECT_NE(blocks[4], nullptr);
    EXPECT_EQ(kernel->pool().injected_failures(), 1u);
    for (PVOID block : blocks) {
        if (block) ExFreePool(block);
    }
}

TEST_F(PoolTest, EveryAllocationOfAFailedTagFailsUntilCleared) {
    kernel->pool().fail_tag(kTag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4, kTag), nullptr);
    PVOID other = ExAllocatePoolWithTag(NonPagedPool, 4, 'rehO');
    EXPECT_NE(other, nullptr);
    ExFreePool(other);
    // IRPs come from pool too, under their own tag.
    kernel->pool().fail_tag(host::pool_tag("Irp "));
    EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
    kernel->pool().clear_failures();
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
}

TEST_F(PoolTest, RandomFailuresFollowTheSeed) {
    auto pattern = [this] {
        kernel->pool().fail_random(0.3);
        std::vector<bool> failed;
        for (int i = 0; i < 64; ++i) {
            PVOID block = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
            failed.push_back(block == nullptr);
            if (block) ExFreePool(block);
        }
        kernel->pool().clear_failures();
        return failed;
    };
    std::vector<bool> first = pattern();
    build(seed);
    EXPECT_EQ(pattern(), first);
    auto failures = std::count(first.begin(), first.end(), true);
    EXPECT_GT(failures, 5);
    EXPECT_LT(failures, 40);
}

}  // namespace
}  // namespace torvex_test
