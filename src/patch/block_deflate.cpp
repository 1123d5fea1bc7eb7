#include "patch/block_deflate.h"

#include "patch/report.h"
#include "patch/zopfli_block.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <system_error>

namespace {

constexpr u32 kDictionarySize = 32768; // the whole deflate window
constexpr unsigned kMaxThreads = 4;
constexpr unsigned kMaxZopfliThreads = 32;
// Deflate's worst case for a block, with the sync flush marker.
constexpr u32 kOutputCapacity = BlockDeflater::kBlockSize + BlockDeflater::kBlockSize / 8 + 1024;
// zopfli's own default. Each call sees one block of 256 KiB, the size for
// which zopfli recommends it (it suggests fewer only for inputs of several
// MB in one call); bench/README.md has what it costs.
constexpr int kZopfliIterations = 15;

unsigned ThreadCount(unsigned asked, int level) {
    if (asked != 0)
        return asked;
    const unsigned most = level == BlockDeflater::kZopfliLevel ? kMaxZopfliThreads : kMaxThreads;
    return std::max(1u, std::min(std::thread::hardware_concurrency(), most));
}

bool Failed(std::string* error, const char* text) {
    if (error)
        *error = text;
    return false;
}

} // namespace

struct BlockDeflater::Block {
    std::vector<u8> input; // `dictionary` bytes of the stream before, then its own
    u32 dictionary = 0;
    u32 size = 0;
    bool last = false;
    std::vector<u8> output;
    u32 produced = 0;
    bool done = false;
    bool failed = false;
};

struct BlockDeflater::Worker {
    z_stream z;
    bool ready = false;
    std::thread thread;
};

BlockDeflater::BlockDeflater(int level, Sink sink, unsigned threads)
    : m_level(level), m_sink(std::move(sink)), m_threads(ThreadCount(threads, level)) {}

BlockDeflater::~BlockDeflater() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_work.notify_all();
    for (auto& worker : m_workers) {
        if (worker->thread.joinable())
            worker->thread.join();
        if (worker->ready)
            deflateEnd(&worker->z);
    }
}

bool BlockDeflater::HasLevel(int level) {
    return (level >= 0 && level <= 9) || (level == kZopfliLevel && ZopfliBuiltIn());
}

bool BlockDeflater::Begin(std::string* error) {
    if (m_level == kZopfliLevel && !HasLevel(m_level))
        return Failed(error, "compression level 11 (zopfli) is not available in this build");
    if (!HasLevel(m_level))
        return Failed(error, FormatText("cannot start compression at level %d", m_level).c_str());
    for (unsigned i = 0; i < m_threads; ++i) {
        m_workers.push_back(std::make_unique<Worker>());
        Worker& worker = *m_workers.back();
        std::memset(&worker.z, 0, sizeof worker.z);
        if (m_level == kZopfliLevel)
            continue; // zopfli keeps no state between blocks
        if (deflateInit2(&worker.z, m_level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            return Failed(error,
                          FormatText("cannot start compression at level %d", m_level).c_str());
        worker.ready = true;
    }
    if (m_threads > 1) {
        for (auto& worker : m_workers) {
            try {
                worker->thread = std::thread(&BlockDeflater::WorkLoop, this, worker.get());
            } catch (const std::system_error&) {
                break; // the threads that did start share the work
            }
        }
    }
    // One block filling, one compressing per thread, one finished waiting to
    // be written.
    const size_t blocks = m_threads > 1 ? m_threads + 2 : 2;
    for (size_t i = 0; i < blocks; ++i) {
        m_blocks.push_back(std::make_unique<Block>());
        m_blocks.back()->input.resize(kDictionarySize + kBlockSize);
        m_blocks.back()->output.resize(kOutputCapacity);
        m_free.push_back(m_blocks.back().get());
    }
    m_tail.resize(kDictionarySize);
    m_filling = m_free.front();
    m_free.pop_front();
    return true;
}

bool BlockDeflater::Add(const void* data, u32 size, std::string* error) {
    const u8* bytes = static_cast<const u8*>(data);
    while (size != 0) {
        Block& block = *m_filling;
        const u32 piece = std::min(size, kBlockSize - block.size);
        std::memcpy(block.input.data() + block.dictionary + block.size, bytes, piece);
        block.size += piece;
        bytes += piece;
        size -= piece;
        if (block.size == kBlockSize && !Dispatch(false, error))
            return false;
    }
    return true;
}

bool BlockDeflater::Finish(std::string* error) {
    if (!Dispatch(true, error))
        return false;
    while (!m_inOrder.empty())
        if (!DrainFinished(true, error))
            return false;
    return true;
}

// Hands the filling block over and starts the next one with the last 32 KiB
// of the stream so far as its dictionary.
bool BlockDeflater::Dispatch(bool last, std::string* error) {
    Block* block = m_filling;
    block->last = last;
    block->done = false;
    block->failed = false;
    const u32 total = block->dictionary + block->size;
    const u32 tail = std::min(total, kDictionarySize);
    // Kept apart: the block may be written and reused before the next one
    // takes its dictionary.
    std::memcpy(m_tail.data(), block->input.data() + total - tail, tail);

    const bool threaded = m_workers.front()->thread.joinable();
    if (threaded) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_queue.push_back(block);
        m_inOrder.push_back(block);
    } else {
        block->failed = !Compress(*m_workers.front(), *block);
        block->done = true;
        m_inOrder.push_back(block);
    }
    if (threaded)
        m_work.notify_one();
    m_filling = nullptr;
    if (last)
        return true;
    while (m_free.empty())
        if (!DrainFinished(true, error))
            return false;
    if (!DrainFinished(false, error))
        return false;
    m_filling = m_free.front();
    m_free.pop_front();
    std::memcpy(m_filling->input.data(), m_tail.data(), tail);
    m_filling->dictionary = tail;
    m_filling->size = 0;
    return true;
}

// Writes the compressed blocks that are ready, oldest first; with
// `waitForOldest`, waits for the oldest one first.
bool BlockDeflater::DrainFinished(bool waitForOldest, std::string* error) {
    for (bool wait = waitForOldest;; wait = false) {
        Block* oldest;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            if (m_inOrder.empty())
                return true;
            oldest = m_inOrder.front();
            if (wait)
                m_done.wait(lock, [oldest] { return oldest->done; });
            if (!oldest->done)
                return true;
            m_inOrder.pop_front();
        }
        m_free.push_back(oldest);
        if (oldest->failed)
            return Failed(error, "compression failed");
        if (oldest->produced != 0 && !m_sink(oldest->output.data(), oldest->produced))
            return Failed(error, "cannot write the compressed data");
        m_written += oldest->produced;
    }
}

void BlockDeflater::WorkLoop(Worker* worker) {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_work.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        Block* block = m_queue.front();
        m_queue.pop_front();
        lock.unlock();
        const bool compressed = Compress(*worker, *block);
        lock.lock();
        block->failed = !compressed;
        block->done = true;
        m_done.notify_all();
    }
}

bool BlockDeflater::Compress(Worker& worker, Block& block) const {
    if (m_level != kZopfliLevel)
        return CompressWithZlib(worker, block);
    return ZopfliCompressBlock(block.input.data(), block.dictionary, block.size, block.last,
                               kZopfliIterations, block.output.data(), kOutputCapacity,
                               &block.produced);
}

bool BlockDeflater::CompressWithZlib(Worker& worker, Block& block) {
    z_stream& z = worker.z;
    if (deflateReset(&z) != Z_OK)
        return false;
    if (block.dictionary != 0 &&
        deflateSetDictionary(&z, block.input.data(), block.dictionary) != Z_OK)
        return false;
    z.next_in = block.input.data() + block.dictionary;
    z.avail_in = block.size;
    z.next_out = block.output.data();
    z.avail_out = kOutputCapacity;
    const int result = deflate(&z, block.last ? Z_FINISH : Z_SYNC_FLUSH);
    block.produced = kOutputCapacity - z.avail_out;
    if (block.last)
        return result == Z_STREAM_END;
    // A full output buffer could hide an unfinished flush.
    return result == Z_OK && z.avail_in == 0 && z.avail_out != 0;
}
