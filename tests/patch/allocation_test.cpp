// Memory sized from bytes on disk, with the allocator made to refuse large
// blocks, as a 32-bit process's runs out: the job fails with a reason and a
// log line, and never ends the program. This program replaces the global
// allocation functions, so it runs alone.
#include "patch_test_support.h"

#include "pak/pak_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<size_t> g_largestAllowed{SIZE_MAX};

// Refuses blocks above `bytes` while it lives.
class AllocationLimit {
  public:
    explicit AllocationLimit(size_t bytes) { g_largestAllowed = bytes; }
    ~AllocationLimit() { g_largestAllowed = SIZE_MAX; }
};

} // namespace

// Every form of the plain allocation functions, so that none of them comes
// from elsewhere (a sanitizer's runtime) and meets the others' free.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return size <= g_largestAllowed.load() ? std::malloc(size != 0 ? size : 1) : nullptr;
}

void* operator new(std::size_t size) {
    if (void* block = operator new(size, std::nothrow))
        return block;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size) {
    return operator new(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return operator new(size, std::nothrow);
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}

void operator delete[](void* block) noexcept {
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}

using namespace patchtest;

namespace {

TEST(Allocation, AnIndexThatDoesNotFitFailsTheJobWithAReason) {
    Workspace space;
    const std::string path = space.GamePath("big.pak");
    paktest::ItemSet items;
    for (int i = 0; i < 4000; ++i)
        items.Add("sub\\file" + std::to_string(i) + ".dat", "x");
    ASSERT_TRUE(paktest::UpdateArchive(g_pakManager, path, items)); // an index of some 300 KB
    const std::string before = ReadFileBytes(path);
    PackageContents contents;
    contents.paks.push_back({"big.pak", Stamp(1), {space.File("new.dat", "new")}});
    const std::string installer = space.Build(contents);

    JobRun run;
    {
        AllocationLimit limit(128 << 10);
        run = RunJob(space.game(), installer);
    }
    EXPECT_FALSE(run.result);
    EXPECT_NE(run.failure.find("cannot open the archive big.pak"), std::string::npos)
        << run.failure;
    EXPECT_TRUE(ReadFileBytes(path) == before);
    EXPECT_TRUE(LeftoverTemps(space.game()).empty());
    // With the memory there, the same patch goes in.
    EXPECT_TRUE(RunJob(space.game(), installer).result);
}

TEST(Allocation, ARecordTableThatDoesNotFitFailsTheJobWithAReason) {
    Workspace space;
    PackageContents contents;
    for (int i = 0; i < 3000; ++i) // a table of some 960 KB
        contents.looseFiles.push_back(space.File("f" + std::to_string(i) + ".txt", ""));
    const std::string installer = space.Build(contents);
    JobRun run;
    {
        AllocationLimit limit(256 << 10);
        run = RunJob(space.game(), installer);
    }
    EXPECT_FALSE(run.result);
    EXPECT_NE(run.failure.find("not enough memory for the file table"), std::string::npos)
        << run.failure;
    EXPECT_FALSE(Exists(space.GamePath("f0.txt")));
    EXPECT_TRUE(LeftoverTemps(space.game()).empty());
}

} // namespace
