// Packets as a miniport or a protocol hands them to NDIS: NET_BUFFER_LISTs with their
// NET_BUFFERs and MDL chains over memory the host owns. Host only.
#include <algorithm>
#include <cstring>

#include "host/ndis/ndis.h"
#include "host/ndis/ndis_internal.h"

namespace host {

namespace {

void DescribeMemory(MDL& mdl, uint8_t* bytes, size_t length, SegmentMapping mapping)
{
    auto address = reinterpret_cast<uintptr_t>(bytes);
    mdl.Size = static_cast<CSHORT>(sizeof(MDL));
    mdl.StartVa = reinterpret_cast<PVOID>(address & ~uintptr_t(0xFFF));
    mdl.ByteOffset = static_cast<ULONG>(address & 0xFFF);
    mdl.ByteCount = static_cast<ULONG>(length);
    switch (mapping) {
    case SegmentMapping::NonPagedPool:
        mdl.MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
        mdl.MappedSystemVa = bytes;
        break;
    case SegmentMapping::MappedToSystemVa:
        mdl.MdlFlags = static_cast<CSHORT>(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
        mdl.MappedSystemVa = bytes;
        break;
    case SegmentMapping::Unmapped:
        mdl.MdlFlags = MDL_PAGES_LOCKED;
        mdl.MappedSystemVa = nullptr;
        break;
    }
}

}  // namespace

Packet::~Packet() = default;

PacketBuilder::PacketBuilder() { buffers_.emplace_back(); }

PacketBuilder& PacketBuilder::Segment(std::vector<uint8_t> bytes, SegmentMapping mapping)
{
    buffers_.back().segments.emplace_back(std::move(bytes), mapping);
    return *this;
}

PacketBuilder& PacketBuilder::Offset(ULONG currentMdlOffset)
{
    buffers_.back().offset = currentMdlOffset;
    return *this;
}

PacketBuilder& PacketBuilder::Length(ULONG dataLength)
{
    buffers_.back().lengthSet = true;
    buffers_.back().length = dataLength;
    return *this;
}

PacketBuilder& PacketBuilder::SplitFrame(const std::vector<uint8_t>& frame, size_t headerBytes, SegmentMapping mapping)
{
    size_t split = std::min(headerBytes, frame.size());
    Segment(std::vector<uint8_t>(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(split)), mapping);
    Segment(std::vector<uint8_t>(frame.begin() + static_cast<std::ptrdiff_t>(split), frame.end()), mapping);
    return *this;
}

PacketBuilder& PacketBuilder::NextNetBuffer()
{
    buffers_.emplace_back();
    return *this;
}

std::unique_ptr<Packet> PacketBuilder::Build()
{
    auto packet = std::make_unique<Packet>();
    for (Pending& pending : buffers_) {
        auto buffer = std::make_unique<Packet::Buffer>();
        size_t total = 0;
        for (auto& [bytes, mapping] : pending.segments) {
            auto segment = std::make_unique<Packet::Segment>();
            segment->length = bytes.size();
            // A zero-length segment still gets an address of its own.
            segment->bytes = std::make_unique<uint8_t[]>(std::max<size_t>(bytes.size(), 1));
            if (!bytes.empty()) {
                std::memcpy(segment->bytes.get(), bytes.data(), bytes.size());
            }
            DescribeMemory(segment->mdl, segment->bytes.get(), segment->length, mapping);
            if (!buffer->segments.empty()) {
                buffer->segments.back()->mdl.Next = &segment->mdl;
            }
            total += segment->length;
            buffer->segments.push_back(std::move(segment));
        }
        NET_BUFFER& nb = buffer->netBuffer;
        nb.MdlChain = buffer->segments.empty() ? nullptr : &buffer->segments.front()->mdl;
        nb.CurrentMdl = nb.MdlChain;
        nb.CurrentMdlOffset = pending.offset;
        nb.DataOffset = pending.offset;
        ULONG available = total > pending.offset ? static_cast<ULONG>(total - pending.offset) : 0;
        nb.DataLength = pending.lengthSet ? pending.length : available;
        if (!packet->buffers_.empty()) {
            packet->buffers_.back()->netBuffer.Next = &nb;
        }
        packet->buffers_.push_back(std::move(buffer));
    }
    packet->list_.FirstNetBuffer = packet->buffers_.empty() ? nullptr : &packet->buffers_.front()->netBuffer;
    return packet;
}

std::unique_ptr<Packet> MakeFramePacket(const std::vector<uint8_t>& frame, SegmentMapping mapping)
{
    return PacketBuilder().Segment(frame, mapping).Build();
}

PNET_BUFFER_LIST LinkPackets(const std::vector<std::unique_ptr<Packet>>& packets)
{
    std::vector<PNET_BUFFER_LIST> lists;
    for (const auto& packet : packets) {
        lists.push_back(packet->List());
    }
    return LinkChain(lists);
}

}  // namespace host

namespace host {

struct ReceivePool::Entry {
    NET_BUFFER_LIST list{};
    NET_BUFFER netBuffer{};
    MDL mdl{};
    uintptr_t cookie = 0;
    Entry* next = nullptr;   // on the free stack
};

ReceivePool::ReceivePool(size_t capacity) : capacity_(capacity), entries_(std::make_unique<Entry[]>(capacity))
{
    for (size_t i = capacity; i-- > 0;) {
        entries_[i].next = free_.load(std::memory_order_relaxed);
        free_.store(&entries_[i], std::memory_order_relaxed);
    }
    available_.store(capacity, std::memory_order_relaxed);
    // The list is each entry's first member.
    NdisGuard guard(Ndis().lock);
    Ndis().lists.AddPool(&entries_[0].list, sizeof(Entry), capacity);
}

ReceivePool::~ReceivePool()
{
    NdisGuard guard(Ndis().lock);
    Ndis().lists.RemovePool(&entries_[0].list);
}

PNET_BUFFER_LIST ReceivePool::Take(uint8_t* bytes, size_t length, uintptr_t cookie, SegmentMapping mapping)
{
    Entry* entry = free_.load(std::memory_order_acquire);
    // Only this thread pops, so `entry` cannot be taken and pushed back between the load and the
    // exchange: a failed exchange means a give pushed on top, and the load is simply repeated.
    while (entry != nullptr && !free_.compare_exchange_weak(entry, entry->next, std::memory_order_acquire)) {
    }
    if (entry == nullptr) {
        return nullptr;
    }
    available_.fetch_sub(1, std::memory_order_relaxed);
    entry->cookie = cookie;
    DescribeMemory(entry->mdl, bytes, length, mapping);
    entry->mdl.Next = nullptr;
    entry->netBuffer = NET_BUFFER{};
    entry->netBuffer.MdlChain = &entry->mdl;
    entry->netBuffer.CurrentMdl = &entry->mdl;
    entry->netBuffer.DataLength = static_cast<ULONG>(length);
    entry->list = NET_BUFFER_LIST{};
    entry->list.FirstNetBuffer = &entry->netBuffer;
    return &entry->list;
}

uintptr_t ReceivePool::Give(PNET_BUFFER_LIST list)
{
    // The list is the entry's first member.
    Entry* entry = reinterpret_cast<Entry*>(list);
    const uintptr_t cookie = entry->cookie;
    entry->next = free_.load(std::memory_order_relaxed);
    while (!free_.compare_exchange_weak(entry->next, entry, std::memory_order_release, std::memory_order_relaxed)) {
    }
    available_.fetch_add(1, std::memory_order_relaxed);
    return cookie;
}

}  // namespace host
