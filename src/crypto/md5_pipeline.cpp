#include "crypto/md5_pipeline.h"

#include <new>
#include <system_error>

namespace crypto {

Md5Pipeline::Md5Pipeline(size_t chunkSize, size_t chunkCount, bool hashingThread)
    : m_chunkSize(chunkSize) {
    if (chunkSize == 0 || chunkCount == 0)
        return;
    m_storage.reset(new (std::nothrow) uint8_t[chunkSize * chunkCount]);
    if (!m_storage)
        return;
    for (size_t i = 0; i < chunkCount; ++i)
        m_free.push_back(m_storage.get() + i * chunkSize);
    m_chunkCount = chunkCount;
    // On a single core a second thread would only add switches between them.
    if (!hashingThread || std::thread::hardware_concurrency() == 1)
        return;
    try {
        m_thread = std::thread(&Md5Pipeline::HashLoop, this);
    } catch (const std::system_error&) {
        // No second thread: Feed hashes at once.
    }
}

Md5Pipeline::~Md5Pipeline() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_work.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

uint8_t* Md5Pipeline::Acquire() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_progress.wait(lock, [this] { return !m_free.empty(); });
    uint8_t* chunk = m_free.front();
    m_free.pop_front();
    return chunk;
}

void Md5Pipeline::Feed(uint8_t* chunk, size_t size) {
    const Job job = {chunk, size};
    if (!m_thread.joinable()) {
        Result result{};
        Finish(job, Process(job, &result), result);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_jobs.push_back(job);
    }
    m_work.notify_one();
}

void Md5Pipeline::EndDigest() {
    const Job job = {nullptr, 0};
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_ended;
        if (m_thread.joinable())
            m_jobs.push_back(job);
    }
    if (m_thread.joinable()) {
        m_work.notify_one();
        return;
    }
    Result result{};
    Finish(job, Process(job, &result), result);
}

bool Md5Pipeline::TakeDigest(uint8_t digest[kMd5Size], bool wait) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_ended == 0)
        return false;
    if (wait)
        m_progress.wait(lock, [this] { return !m_done.empty(); });
    if (m_done.empty())
        return false;
    for (size_t i = 0; i < kMd5Size; ++i)
        digest[i] = m_done.front().digest[i];
    m_done.pop_front();
    --m_ended;
    return true;
}

size_t Md5Pipeline::Pending() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_ended;
}

// Runs until stopped with nothing left to hash: chunks already handed over
// are hashed even then, since their digests may still be waited for.
void Md5Pipeline::HashLoop() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_work.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
        if (m_jobs.empty())
            return;
        const Job job = m_jobs.front();
        m_jobs.pop_front();
        lock.unlock();
        Result result{};
        const bool ended = Process(job, &result);
        Finish(job, ended, result);
        lock.lock();
    }
}

bool Md5Pipeline::Process(const Job& job, Result* result) {
    if (job.chunk != nullptr) {
        m_md5.Update(job.chunk, job.size);
        return false;
    }
    m_md5.Final(result->digest);
    m_md5.Reset();
    return true;
}

// The caller is woken for a finished digest, when half the chunks are free
// again, or when nothing is left to hash: one wake-up per chunk would cost
// more than the hashing saves where threads are expensive to wake.
void Md5Pipeline::Finish(const Job& job, bool ended, const Result& result) {
    bool wake;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (job.chunk != nullptr)
            m_free.push_back(job.chunk);
        if (ended)
            m_done.push_back(result);
        wake = ended || m_jobs.empty() || m_free.size() * 2 >= m_chunkCount;
    }
    if (wake)
        m_progress.notify_all();
}

} // namespace crypto
