// SPDX-License-Identifier: MIT
// The simulator's two hot tables: the object slots and the pending events.
#pragma once

#include <cstddef>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

namespace vsim::detail {

// Slots in chunks of a fixed size: a slot never moves while the table grows,
// and slot i is found with a shift and a mask.
template <class T>
class SlotTable {
public:
    static constexpr size_t kChunkBits = 6;
    static constexpr size_t kChunkSize = size_t(1) << kChunkBits;

    size_t size() const { return size_; }
    T &operator[](size_t index) { return chunks_[index >> kChunkBits][index & (kChunkSize - 1)]; }
    const T &operator[](size_t index) const { return chunks_[index >> kChunkBits][index & (kChunkSize - 1)]; }
    T &emplace_back()
    {
        if (size_ == chunks_.size() * kChunkSize) {
            chunks_.push_back(std::make_unique<T[]>(kChunkSize));
        }
        return (*this)[size_++];
    }

    template <class Table, class Value>
    class Iterator {
    public:
        Iterator(Table *table, size_t index) : table_(table), index_(index) {}
        Value &operator*() const { return (*table_)[index_]; }
        Iterator &operator++()
        {
            ++index_;
            return *this;
        }
        bool operator!=(const Iterator &other) const { return index_ != other.index_; }

    private:
        Table *table_;
        size_t index_;
    };
    Iterator<SlotTable, T> begin() { return {this, 0}; }
    Iterator<SlotTable, T> end() { return {this, size_}; }
    Iterator<const SlotTable, const T> begin() const { return {this, 0}; }
    Iterator<const SlotTable, const T> end() const { return {this, size_}; }

private:
    std::vector<std::unique_ptr<T[]>> chunks_;
    size_t size_ = 0;
};

// Entries in order of their keys (unique). Made for a few entries at a time
// (the pending events: a timer or two and the requests in flight): a sorted
// array, so no allocation per entry and the first one at the front.
template <class Key, class Value>
class SortedQueue {
public:
    using Entry = std::pair<Key, Value>;
    using iterator = typename std::vector<Entry>::iterator;

    bool empty() const { return entries_.empty(); }
    size_t size() const { return entries_.size(); }
    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    void emplace(const Key &key, const Value &value)
    {
        // New keys are usually the greatest: searched from the back.
        auto at = entries_.end();
        while (at != entries_.begin() && key < std::prev(at)->first) {
            --at;
        }
        entries_.insert(at, {key, value});
    }
    void erase(const Key &key)
    {
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->first == key) {
                entries_.erase(it);
                return;
            }
        }
    }
    iterator erase(iterator it) { return entries_.erase(it); }
    Entry take_front()
    {
        const Entry front = entries_.front();
        entries_.erase(entries_.begin());
        return front;
    }

private:
    std::vector<Entry> entries_;
};

}  // namespace vsim::detail
