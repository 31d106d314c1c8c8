// The simulator's hot tables.
#pragma once

#include <cstddef>
#include <memory>
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

}  // namespace vsim::detail
