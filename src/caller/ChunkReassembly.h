#pragma once
// Reassembly of chunked transfers, shared by call chunks and return chunks: checks
// an arriving chunk, stores its bytes in the next slot of its direction's store,
// keeps the index and the per-transfer ledger, and puts a completed transfer together.
#include "talvex05u/caller/RP_CallerEx.h"

#include <cstdint>
#include <map>

namespace talvex {

// The four longs that lead every chunk.
struct ChunkHeader {
    std::int32_t transferReference = 0;
    std::int32_t chunkCount = 0;
    std::int32_t chunkIndex = 0;
    std::int32_t byteCount = 0;
};

enum class ChunkOutcome {
    Refused,    // malformed or inconsistent: nothing stored
    Repeated,   // the same chunk is already stored: nothing stored again
    Stored,     // stored; the transfer still lacks chunks
    Completed,  // stored, and with it the transfer has all its chunks
    Finished,   // a late repeat of a chunk of a transfer put together already: nothing stored
};

// A view of one direction's chunk store. It owns nothing: the index, the store,
// the slot counter and the ledger are members of the caller.
class ChunkReassembly {
public:
    using Index = std::multimap<talvex::ChunkKey, talvex::ChunkEntry>;

    ChunkReassembly(Index& index, unsigned char* store, std::int32_t& lastSlot, talvex::ChunkLedger& ledger);

    // Reads the chunk header at the block's read position and stores the chunk as
    // part of `sender`'s transfer. `header` receives what was read (also for a
    // refused chunk).
    ChunkOutcome Accept(const CUdpDataBlockEx& chunk, ChunkSender sender, ChunkHeader* header);

    // Puts the completed transfer into `target`'s data (length and buffer; the
    // caller sets the header fields), then removes its entries and its ledger
    // record. False, target untouched, when the transfer is not complete or its
    // buffer cannot be enlarged.
    bool Collect(const TransferKey& transfer, CUdpDataBlockEx& target);

    // True when `data` points into this direction's store.
    bool OwnsSlot(const unsigned char* data) const;

private:
    bool IsWellFormed(const CUdpDataBlockEx& chunk, const ChunkHeader& header) const;
    Index::iterator FindStored(std::int32_t chunkIndex, const TransferKey& transfer);
    // A slot that holds no chunk of an open transfer, from the one after the last used
    // on; when every slot is taken, the oldest open transfer other than `keep` is dropped.
    std::int32_t TakeFreeSlot(const TransferKey& keep);
    bool DropOldestTransferBut(const TransferKey& keep);
    void DropTransfer(const TransferKey& transfer);
    // Keeps the list of open transfers' records short: records of transfers no longer open go.
    void ForgetClosedRecords();
    // Removes an index entry and frees its slot; AddEntry reuses what it removed.
    void EraseEntry(Index::iterator entry);
    void AddEntry(const talvex::ChunkKey& key, const talvex::ChunkEntry& entry);
    void RememberCompleted(const TransferKey& transfer, const CompletedTransfer& completion);

    Index& m_index;
    unsigned char* m_store;
    std::int32_t& m_lastSlot;
    talvex::ChunkLedger& m_ledger;
};

// The sender number of a chunk that came from `address`.
ChunkSender ChunkSenderOf(const CSockAddr& address);

// Words of `chunk` that can be read: its data words that lie inside its buffer and,
// for a block still being received, only the part that has arrived.
std::int32_t ReadableChunkWords(const CUdpDataBlockEx& chunk);

}  // namespace talvex
