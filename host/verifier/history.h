// Bounded records of what the machine saw, kept for the tests and pollers that read them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace host {

// The last `capacity` records of one kind, oldest first, numbered from the first ever made: what
// crossed one edge of the stack, for the tests and pollers that read it, in bounded memory. A new
// record reuses the storage of the one it replaces.
template <class Record>
class History {
public:
    explicit History(size_t capacity) : capacity_(capacity) {}
    // The slot of the next record, to be filled in: the oldest record's when full.
    Record& Add()
    {
        if (ring_.size() < capacity_) {
            ring_.emplace_back();
        }
        return ring_[count_++ % capacity_];
    }
    // The records numbered `first` and after, from the oldest kept.
    std::vector<Record> Since(uint64_t first) const
    {
        std::vector<Record> out;
        for (uint64_t n = std::max<uint64_t>(first, count_ - ring_.size()); n < count_; ++n) {
            out.push_back(ring_[n % capacity_]);
        }
        return out;
    }

    // Records ever made: the number a poller starts from.
    uint64_t Count() const { return count_; }

private:
    size_t capacity_;
    std::vector<Record> ring_;
    uint64_t count_ = 0;   // records ever made
};

}  // namespace host
