// Raw deflate of one long stream on several cores: the input is cut into
// blocks of a fixed size, each compressed on its own with the 32 KiB before
// it as its dictionary and closed with a sync flush, the last one as the
// final block. The pieces join into one ordinary raw-deflate stream. The cut
// does not depend on the number of threads, so the same input always gives
// the same bytes. Levels 0 to 9 are zlib's; level 11 (pigz numbers it so) is
// zopfli's encoder, in the builds that have it (cmake/Zopfli.cmake): the same
// blocks, each searched far harder for a smaller encoding.
#pragma once

#include "runtime/types.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class BlockDeflater {
  public:
    // Receives the compressed bytes in order; false stops the compression.
    typedef std::function<bool(const u8* data, u32 size)> Sink;

    static constexpr u32 kBlockSize = 256 * 1024;
    static constexpr int kZopfliLevel = 11;

    // Whether this build compresses at `level`: 0 to 9, and 11 where zopfli
    // was built in.
    static bool HasLevel(int level);

    // `threads` 0: one per core, at most four for zlib (which waits on the
    // disk as much as it computes), and for zopfli at most 32. With one, or
    // when no thread can be started, everything runs in the caller's thread.
    BlockDeflater(int level, Sink sink, unsigned threads = 0);
    ~BlockDeflater();
    BlockDeflater(const BlockDeflater&) = delete;
    BlockDeflater& operator=(const BlockDeflater&) = delete;

    // False when this build has no such level or memory is short.
    bool Begin(std::string* error);
    bool Add(const void* data, u32 size, std::string* error);
    // Compresses what is left as the final block and hands everything over.
    bool Finish(std::string* error);
    u64 Written() const { return m_written; }

  private:
    struct Block;
    struct Worker;

    bool Dispatch(bool last, std::string* error);
    bool DrainFinished(bool waitForOldest, std::string* error);
    void WorkLoop(Worker* worker);
    bool Compress(Worker& worker, Block& block) const;
    static bool CompressWithZlib(Worker& worker, Block& block);

    int m_level;
    Sink m_sink;
    unsigned m_threads;
    std::vector<std::unique_ptr<Block>> m_blocks;
    std::vector<std::unique_ptr<Worker>> m_workers;
    std::deque<Block*> m_free;
    std::deque<Block*> m_inOrder; // dispatched, oldest first
    Block* m_filling = nullptr;
    std::vector<u8> m_tail; // the dictionary of the next block
    u64 m_written = 0;

    std::mutex m_lock;
    std::condition_variable m_work; // a block queued, or stopping
    std::condition_variable m_done; // a block compressed
    std::deque<Block*> m_queue;
    bool m_stop = false;
};
