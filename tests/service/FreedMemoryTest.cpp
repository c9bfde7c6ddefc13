// Memory freed between blocks still in use comes back to the system at the give-back, and
// only once it is due.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "service/FreedMemory.h"
#include "tests/support/TestSupport.h"

using Mux::Service::FreedMemory;

namespace {

long ResidentBytes() {
    long pages = 0;
    long resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

}  // namespace

TEST(FreedMemory, GivesBackFreedPagesBetweenLiveBlocksWhenDue) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators keep their own pools";
#endif
    if (TestSupport::DeadlineFactor() > 1) {  // a cross build, run under qemu-user
        GTEST_SKIP() << "under qemu-user the resident size is the emulator's";
    }
    // 32 MiB in 64 KiB blocks (under the mmap threshold), each followed by a small block
    // that stays, so that no freed block lies at the top of the heap.
    constexpr size_t kBlock = 64 * 1024;
    constexpr int kBlocks = 512;
    std::vector<std::unique_ptr<char[]>> blocks;
    std::vector<std::unique_ptr<char[]>> pins;
    for (int n = 0; n < kBlocks; ++n) {
        blocks.emplace_back(new char[kBlock]);
        std::memset(blocks.back().get(), 1, kBlock);
        pins.emplace_back(new char[32]);
    }
    const long full = ResidentBytes();
    blocks.clear();

    const auto start = FreedMemory::Clock::now();
    FreedMemory memory(start);
    memory.GiveBackWhenDue(start + FreedMemory::kInterval / 2);
    EXPECT_GT(ResidentBytes(), full - 8 * 1024 * 1024) << "given back before it was due";
    EXPECT_EQ(memory.NextWake(), start + FreedMemory::kInterval);

    memory.GiveBackWhenDue(memory.NextWake());
    EXPECT_LT(ResidentBytes(), full - 24 * 1024 * 1024);
    EXPECT_EQ(memory.NextWake(), start + 2 * FreedMemory::kInterval);
}
