// Copying the sub-files of an archive being rewritten while a second thread
// checks their digests. A record counts as done, and its progress is
// reported, only once its digest has matched: the reports come in record
// order, exactly as if every record were checked before the next began. The
// copy itself runs ahead by at most the few chunks the hashing thread holds.
#pragma once

#include "crypto/md5_pipeline.h"
#include "pak/pak_events.h"
#include "runtime/stream.h"
#include "runtime/types.h"

#include <deque>
#include <functional>

class PakCheckedCopy {
  public:
    // Reads the next `count` bytes of a sub-file into `buffer`.
    typedef std::function<bool(u8* buffer, u32 count)> Reader;

    static constexpr u32 kChunkSize = 256 * 1024;

    // `progress` (may be null) hears (k, total) as record k is done.
    PakCheckedCopy(IPackEventHandle* progress, u32 total);

    // False when the chunks could not be allocated.
    bool Ready() const { return m_pipeline.Ready(); }

    // Copies `size` bytes from `read` to `dst`; the record is done when their
    // digest equals `expected` (copied). False when a read or write failed.
    bool Copy(u32 size, const Reader& read, Stream* dst, const u8 expected[16]);
    // A record with no bytes to check takes its turn all the same.
    void Add();

    // Reports the records found done, in order; with `wait`, waits for all.
    // False once a digest did not match (nothing after it is reported).
    bool Settle(bool wait);

  private:
    struct Pending {
        bool check;
        u8 expected[16];
    };

    crypto::Md5Pipeline m_pipeline;
    IPackEventHandle* m_progress;
    u32 m_total;
    u32 m_done = 0;
    bool m_mismatch = false;
    std::deque<Pending> m_pending;
};
