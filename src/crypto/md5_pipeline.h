// MD5 on a second thread: the caller reads a chunk, hands it over, and goes
// on reading and writing the next one while this one is hashed. Digests come
// out in the order they were ended. The chunks are a fixed ring allocated
// once, so memory does not grow with the data.
#pragma once

#include "crypto/crypto.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace crypto {

class Md5Pipeline {
  public:
    // `chunkCount` chunks of `chunkSize` bytes. Without `hashingThread`, on a
    // single core, or when no thread can be started, the digests are computed
    // in Feed, with the same results.
    Md5Pipeline(size_t chunkSize, size_t chunkCount, bool hashingThread = true);
    ~Md5Pipeline();
    Md5Pipeline(const Md5Pipeline&) = delete;
    Md5Pipeline& operator=(const Md5Pipeline&) = delete;

    // False when the chunks could not be allocated; nothing else may be
    // called then.
    bool Ready() const { return m_storage != nullptr; }
    size_t ChunkSize() const { return m_chunkSize; }

    // A chunk to fill; waits while every chunk is still being hashed. Only
    // the caller writes into chunks.
    uint8_t* Acquire();
    // Adds the first `size` bytes of an acquired chunk to the current
    // digest. The caller may go on reading the chunk (to write it elsewhere)
    // until it next calls Acquire.
    void Feed(uint8_t* chunk, size_t size);
    // Ends the current digest; the next Feed starts a new one.
    void EndDigest();
    // The oldest ended digest not yet taken. With `wait` false, returns false
    // when it is not finished yet; with `wait` true, false only when no
    // digest has been ended.
    bool TakeDigest(uint8_t digest[kMd5Size], bool wait);
    // Ended digests not yet taken.
    size_t Pending() const;

  private:
    struct Job {
        uint8_t* chunk; // null: the end of a digest
        size_t size;
    };
    struct Result {
        uint8_t digest[kMd5Size];
    };

    void HashLoop();
    // Hashes one job; true with `result` filled when it ended a digest.
    bool Process(const Job& job, Result* result);
    void Finish(const Job& job, bool ended, const Result& result);

    size_t m_chunkSize;
    size_t m_chunkCount = 0;
    std::unique_ptr<uint8_t[]> m_storage;
    Md5 m_md5; // used by the hashing thread only, or inline without one

    mutable std::mutex m_lock;
    std::condition_variable m_work;     // jobs queued, or stopping
    std::condition_variable m_progress; // a chunk freed or a digest finished
    std::deque<uint8_t*> m_free;
    std::deque<Job> m_jobs;
    std::deque<Result> m_done;
    size_t m_ended = 0; // ended digests not yet taken, finished or not
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace crypto
