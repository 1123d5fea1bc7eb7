#include "pak/pak_copy.h"

#include <algorithm>
#include <cstring>

namespace {

// Enough chunks for the reading side to stay a little ahead of the hashing
// one: 1 MiB in all, whatever the size of the sub-files.
constexpr size_t kChunkCount = 4;

} // namespace

PakCheckedCopy::PakCheckedCopy(IPackEventHandle* progress, u32 total)
    : m_pipeline(kChunkSize, kChunkCount), m_progress(progress), m_total(total) {}

bool PakCheckedCopy::Copy(u32 size, const Reader& read, Stream* dst, const u8 expected[16]) {
    for (u32 done = 0; done < size;) {
        const u32 piece = std::min(size - done, kChunkSize);
        u8* chunk = m_pipeline.Acquire();
        const bool got = read(chunk, piece);
        // A chunk is handed over in any case, so that it comes back.
        m_pipeline.Feed(chunk, got ? piece : 0);
        if (!got || !dst->Write(chunk, piece))
            return false;
        done += piece;
    }
    m_pipeline.EndDigest();
    Pending pending;
    pending.check = true;
    std::memcpy(pending.expected, expected, 16);
    m_pending.push_back(pending);
    return true;
}

void PakCheckedCopy::Add() {
    Pending pending;
    pending.check = false;
    m_pending.push_back(pending);
}

bool PakCheckedCopy::Settle(bool wait) {
    while (!m_mismatch && !m_pending.empty()) {
        if (m_pending.front().check) {
            u8 digest[16];
            if (!m_pipeline.TakeDigest(digest, wait))
                return true; // not finished yet
            m_mismatch = std::memcmp(digest, m_pending.front().expected, 16) != 0;
            if (m_mismatch)
                return false;
        }
        m_pending.pop_front();
        if (m_progress)
            m_progress->OnProgress(++m_done, m_total);
    }
    return !m_mismatch;
}
