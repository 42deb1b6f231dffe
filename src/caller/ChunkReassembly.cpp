// Reassembly of chunked transfers: one arriving chunk costs a header check, a few
// index and ledger lookups and one copy into a preallocated slot, whatever the
// number of chunks received before.
#include "caller/ChunkReassembly.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace talvex {

namespace {
constexpr std::size_t kStoreBytes = static_cast<std::size_t>(talvex::kChunkSlots) * static_cast<std::size_t>(talvex::kChunkSlotBytes);
}  // namespace

ChunkSender ChunkSenderOf(const CSockAddr& address) {
    return (static_cast<ChunkSender>(address.sin_addr.s_addr) << 16) | address.sin_port;
}

std::int32_t ReadableChunkWords(const CUdpDataBlockEx& chunk) {
    std::int32_t words = chunk.m_nLength;
    // A block that is still being received holds only the words up to its packet position.
    if (chunk.m_nPacketPos > 0 && chunk.m_nPacketPos < words) words = chunk.m_nPacketPos;
    words = std::min(words, chunk.m_nCapacity);
    if (chunk.m_pData == nullptr || words < 0) return 0;
    return words;
}

ChunkReassembly::ChunkReassembly(Index& index, unsigned char* store, std::int32_t& lastSlot, talvex::ChunkLedger& ledger)
    : m_index(index), m_store(store), m_lastSlot(lastSlot), m_ledger(ledger) {}

bool ChunkReassembly::OwnsSlot(const unsigned char* data) const {
    const std::less<const unsigned char*> before;
    return data != nullptr && !before(data, m_store) && before(data, m_store + kStoreBytes);
}

ChunkOutcome ChunkReassembly::Accept(const CUdpDataBlockEx& chunk, ChunkSender sender, ChunkHeader* headerOut) {
    ChunkHeader header;
    header.transferReference = chunk.GetLongData();
    header.chunkCount = chunk.GetLongData();
    header.chunkIndex = chunk.GetLongData();
    header.byteCount = chunk.GetLongData();
    if (headerOut != nullptr) *headerOut = header;
    if (!IsWellFormed(chunk, header)) return ChunkOutcome::Refused;

    const std::uint64_t useNumber = m_ledger.slotUses;
    const TransferKey transfer{sender, header.transferReference};
    // A transfer dropped for want of slots lost chunks its sender saw answered: none of
    // its chunks is answered again, so its call ends false rather than with an answer
    // to a transfer that never came together.
    if (m_ledger.recentlyDropped.count(transfer) != 0) return ChunkOutcome::Refused;
    const auto open = m_ledger.transfers.find(transfer);
    // A late copy of a chunk of a transfer put together already is not the start of a
    // new one. Chunk 0 may begin a new transfer under a reference used before (a sender
    // that started over); a copy of the completing chunk, the one whose answer its
    // sender may still wait for, is recognised even then by the call it came in, and a
    // chunk 0 that completed a transfer (sent with chunks in flight) by its index: its
    // sender tries it again under a new call, and an empty acknowledgement of it would
    // be taken for the answer. A late copy of chunk 0 is known by the call it came in:
    // a sender that starts over sends its chunk 0 in a call of another number.
    const auto done = m_ledger.recentlyCompleted.find(transfer);
    if (done != m_ledger.recentlyCompleted.end()) {
        const bool completingCopy = header.chunkIndex == done->second.chunkIndex &&
                                    (chunk.m_nReferenceNumber == done->second.callReference || header.chunkIndex == 0);
        const bool firstChunkCopy = header.chunkIndex == 0 && chunk.m_nReferenceNumber == done->second.firstChunkCallReference;
        if (completingCopy || firstChunkCopy || (header.chunkIndex > 0 && open == m_ledger.transfers.end())) {
            return ChunkOutcome::Finished;
        }
    }
    if (open != m_ledger.transfers.end()) {
        if (open->second.chunkCount != header.chunkCount) return ChunkOutcome::Refused;
        // Chunks come in rising index as a rule: only one at or below the highest stored
        // can be a repeat, and only then is the index searched.
        if (header.chunkIndex <= open->second.highestIndex && FindStored(header.chunkIndex, transfer) != m_index.end()) {
            return ChunkOutcome::Repeated;
        }
    }

    const std::int32_t slot = TakeFreeSlot(transfer);
    if (slot < 0) return ChunkOutcome::Refused;
    unsigned char* slotData = m_store + static_cast<std::size_t>(slot) * talvex::kChunkSlotBytes;
    std::memcpy(slotData, chunk.m_pData + chunk.m_nReadPos, static_cast<std::size_t>(header.byteCount));
    AddEntry(talvex::ChunkKey{header.chunkIndex, header.transferReference}, talvex::ChunkEntry{header.byteCount, slotData, sender});
    m_lastSlot = slot;
    m_ledger.slotUses = useNumber + 1;

    auto [entry, isNew] = m_ledger.transfers.try_emplace(transfer);
    talvex::ChunkTransferState& state = entry->second;
    if (isNew) {
        state.chunkCount = header.chunkCount;
        state.firstUse = useNumber;
        m_ledger.openedOrder.emplace_back(useNumber, transfer);
        ForgetClosedRecords();
    }
    ++state.stored;
    state.bytes += header.byteCount;
    state.lastIndex = header.chunkIndex;
    state.highestIndex = std::max(state.highestIndex, header.chunkIndex);
    state.lastCallReference = chunk.m_nReferenceNumber;
    if (header.chunkIndex == 0) state.firstChunkCallReference = chunk.m_nReferenceNumber;
    return state.stored == state.chunkCount ? ChunkOutcome::Completed : ChunkOutcome::Stored;
}

bool ChunkReassembly::Collect(const TransferKey& transfer, CUdpDataBlockEx& target) {
    const auto open = m_ledger.transfers.find(transfer);
    if (open == m_ledger.transfers.end() || open->second.stored != open->second.chunkCount) return false;
    const talvex::ChunkTransferState state = open->second;
    const std::int64_t words = state.bytes / 4;
    if (target.m_nCapacity < words && !target.Grow(static_cast<std::int32_t>(words - target.m_nCapacity))) {
        DropTransfer(transfer);
        return false;
    }
    auto* out = reinterpret_cast<unsigned char*>(target.m_pData);
    const std::int64_t room = static_cast<std::int64_t>(target.m_nCapacity) * 4;
    std::int64_t offset = 0;
    for (std::int32_t index = 0; index < state.chunkCount; ++index) {
        const auto stored = FindStored(index, transfer);
        if (stored == m_index.end() || stored->second.m_nByteCount < 0 ||
            offset + stored->second.m_nByteCount > room) {
            DropTransfer(transfer);
            return false;
        }
        std::memcpy(out + offset, stored->second.m_pData, static_cast<std::size_t>(stored->second.m_nByteCount));
        offset += stored->second.m_nByteCount;
        EraseEntry(stored);
    }
    m_ledger.transfers.erase(transfer);
    RememberCompleted(transfer, {state.lastIndex, state.lastCallReference, state.firstChunkCallReference});
    target.m_nLength = static_cast<std::int32_t>(offset / 4);
    return true;
}

void ChunkReassembly::RememberCompleted(const TransferKey& transfer, const CompletedTransfer& completion) {
    if (!m_ledger.recentlyCompleted.insert_or_assign(transfer, completion).second) return;
    m_ledger.completedOrder.push_back(transfer);
    if (m_ledger.completedOrder.size() > kRecentTransfers) {
        m_ledger.recentlyCompleted.erase(m_ledger.completedOrder.front());
        m_ledger.completedOrder.pop_front();
    }
}

bool ChunkReassembly::IsWellFormed(const CUdpDataBlockEx& chunk, const ChunkHeader& header) const {
    if (header.chunkCount < 1 || header.chunkCount > talvex::kChunkSlots) return false;
    if (header.chunkIndex < 0 || header.chunkIndex >= header.chunkCount) return false;
    if (header.byteCount < 0 || header.byteCount > talvex::kChunkBytes || header.byteCount % 4 != 0) return false;
    // Every chunk but the last is full; otherwise the transfer's byte offsets would not add up.
    if (header.chunkIndex < header.chunkCount - 1 && header.byteCount != talvex::kChunkBytes) return false;
    const std::int64_t wordsLeft = static_cast<std::int64_t>(ReadableChunkWords(chunk)) - chunk.m_nReadPos;
    return chunk.m_nReadPos >= 0 && header.byteCount / 4 <= wordsLeft;
}

ChunkReassembly::Index::iterator ChunkReassembly::FindStored(std::int32_t chunkIndex, const TransferKey& transfer) {
    auto [first, last] = m_index.equal_range(talvex::ChunkKey{chunkIndex, transfer.reference});
    for (auto it = first; it != last; ++it) {
        if (it->second.m_nSender == transfer.sender && OwnsSlot(it->second.m_pData)) return it;
    }
    return m_index.end();
}

std::int32_t ChunkReassembly::TakeFreeSlot(const TransferKey& keep) {
    auto& live = m_ledger.liveSlots;
    if (live.empty()) live.assign(talvex::kChunkSlots, false);
    if (m_ledger.liveCount >= talvex::kChunkSlots && !DropOldestTransferBut(keep)) return -1;
    // A counter outside its range (set from outside) starts again at slot 0.
    std::int32_t slot = (m_lastSlot >= -1 && m_lastSlot < talvex::kChunkSlots - 1) ? m_lastSlot + 1 : 0;
    for (std::int32_t tried = 0; tried < talvex::kChunkSlots && live[static_cast<std::size_t>(slot)]; ++tried) {
        slot = slot == talvex::kChunkSlots - 1 ? 0 : slot + 1;
    }
    live[static_cast<std::size_t>(slot)] = true;
    ++m_ledger.liveCount;
    return slot;
}

bool ChunkReassembly::DropOldestTransferBut(const TransferKey& keep) {
    auto& order = m_ledger.openedOrder;
    for (std::size_t looked = 0, records = order.size(); looked < records; ++looked) {
        const auto [firstUse, transfer] = order.front();
        order.pop_front();
        const auto open = m_ledger.transfers.find(transfer);
        // A record whose transfer completed, or was replaced by a later one with the
        // same reference, is only discarded.
        if (open == m_ledger.transfers.end() || open->second.firstUse != firstUse) continue;
        if (transfer == keep) {
            order.emplace_back(firstUse, transfer);
            continue;
        }
        DropTransfer(transfer);
        return m_ledger.liveCount < talvex::kChunkSlots;
    }
    return false;
}

void ChunkReassembly::ForgetClosedRecords() {
    auto& order = m_ledger.openedOrder;
    const auto closed = [this](const std::pair<std::uint64_t, TransferKey>& record) {
        const auto open = m_ledger.transfers.find(record.second);
        return open == m_ledger.transfers.end() || open->second.firstUse != record.first;
    };
    while (!order.empty() && closed(order.front())) order.pop_front();
    // An open transfer at the front keeps the records behind it; every open transfer
    // holds a slot, so clearing out the closed ones now and then bounds the list.
    if (order.size() > 2 * static_cast<std::size_t>(talvex::kChunkSlots)) std::erase_if(order, closed);
}

void ChunkReassembly::EraseEntry(Index::iterator entry) {
    if (OwnsSlot(entry->second.m_pData) && !m_ledger.liveSlots.empty()) {
        const auto slot = static_cast<std::size_t>(entry->second.m_pData - m_store) / talvex::kChunkSlotBytes;
        if (m_ledger.liveSlots[slot]) {
            m_ledger.liveSlots[slot] = false;
            --m_ledger.liveCount;
        }
    }
    // The entry's node is kept for a later chunk (as many as a store has slots).
    auto node = m_index.extract(entry);
    if (m_ledger.spares.nodes.size() < static_cast<std::size_t>(talvex::kChunkSlots)) {
        m_ledger.spares.nodes.push_back(std::move(node));
    }
}

void ChunkReassembly::AddEntry(const talvex::ChunkKey& key, const talvex::ChunkEntry& entry) {
    std::vector<Index::node_type>& spares = m_ledger.spares.nodes;
    if (spares.empty()) {
        m_index.emplace_hint(m_index.end(), key, entry);
        return;
    }
    Index::node_type node = std::move(spares.back());
    spares.pop_back();
    node.key() = key;
    node.mapped() = entry;
    // Chunks come in rising index as a rule: a hint at the end makes their insertion
    // constant time, and a wrong hint costs only the usual search (entries of one key
    // still stay in the order of their insertion).
    m_index.insert(m_index.end(), std::move(node));
}

void ChunkReassembly::DropTransfer(const TransferKey& transfer) {
    const auto open = m_ledger.transfers.find(transfer);
    if (open == m_ledger.transfers.end()) return;
    for (std::int32_t index = 0; index < open->second.chunkCount; ++index) {
        const auto stored = FindStored(index, transfer);
        if (stored != m_index.end()) EraseEntry(stored);
    }
    m_ledger.transfers.erase(open);
    if (m_ledger.recentlyDropped.insert_or_assign(transfer, m_ledger.slotUses).second) {
        m_ledger.droppedOrder.push_back(transfer);
        if (m_ledger.droppedOrder.size() > kRecentTransfers) {
            m_ledger.recentlyDropped.erase(m_ledger.droppedOrder.front());
            m_ledger.droppedOrder.pop_front();
        }
    }
}

}  // namespace talvex
