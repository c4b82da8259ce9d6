// slots.h: arrays of plain records whose length is chosen at run time, in memory of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace slots {

// Anonymous memory straight from the kernel rather than the heap, for three reasons no standard
// container gives together: new memory reads as zeros without being written (so a large array
// of zero slots costs nothing until used), an array grows without a copy (mremap moves pages,
// not bytes), and freed memory goes back to the system at once (the peak, not the heap's
// high-water mark, is what the memory budget counts).
// Each returns nullptr on failure; Resize keeps the first min(old, new) bytes.
void* Map(std::size_t bytes);
void* Resize(void* memory, std::size_t oldBytes, std::size_t newBytes);
void Unmap(void* memory, std::size_t bytes);
// Puts the first movedBytes of the mapping `from` (fromBytes long) after the first keptBytes of
// the mapping *into (intoBytes long), which then is keptBytes + movedBytes long, and frees
// `from`; keptBytes <= intoBytes and movedBytes <= fromBytes. False when memory ran out: *into
// is then still intoBytes of the same bytes, perhaps moved, and `from` untouched.
[[nodiscard]] bool Append(void** into, std::size_t intoBytes, std::size_t keptBytes, void* from,
                          std::size_t fromBytes, std::size_t movedBytes);
// How many times Map and Resize have asked for memory, for tests that show a loop asks none.
uint64_t Requests();

}  // namespace slots

// A run-time sized array of trivially copyable records; every slot not yet written is zero.
template <typename T>
class SlotArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    SlotArray() = default;
    SlotArray(const SlotArray&) = delete;
    SlotArray& operator=(const SlotArray&) = delete;
    SlotArray(SlotArray&& other) noexcept { Swap(other); }
    SlotArray& operator=(SlotArray&& other) noexcept {
        Release();
        Swap(other);
        return *this;
    }
    ~SlotArray() { Release(); }

    void Swap(SlotArray& other) noexcept {
        std::swap(items_, other.items_);
        std::swap(count_, other.count_);
    }

    // Sets the length to count; slots past the old length are zero. False, with the array
    // unchanged, when memory cannot be had. Not for arrays another thread is reading.
    [[nodiscard]] bool Resize(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) {
            return false;
        }
        void* memory = slots::Resize(items_, count_ * sizeof(T), count * sizeof(T));
        if (memory == nullptr && count != 0) {
            return false;
        }
        items_ = static_cast<T*>(memory);
        count_ = count;
        return true;
    }
    // Puts the first `count` slots of `other` after the first `kept` slots of this array, which
    // then holds kept + count slots, and empties `other`; kept <= size(), count <= other.size().
    // Large arrays move pages rather than copy bytes. False when memory ran out; both arrays are
    // then as they were.
    [[nodiscard]] bool Append(std::size_t kept, SlotArray& other, std::size_t count) {
        void* memory = items_;
        if (!slots::Append(&memory, count_ * sizeof(T), kept * sizeof(T), other.items_,
                           other.count_ * sizeof(T), count * sizeof(T))) {
            items_ = static_cast<T*>(memory);
            return false;
        }
        items_ = static_cast<T*>(memory);
        count_ = kept + count;
        other.items_ = nullptr;
        other.count_ = 0;
        return true;
    }
    // Frees the memory; the array is empty afterwards.
    void Release() {
        slots::Unmap(items_, count_ * sizeof(T));
        items_ = nullptr;
        count_ = 0;
    }

    T* data() { return items_; }
    const T* data() const { return items_; }
    std::size_t size() const { return count_; }
    T& operator[](std::size_t i) { return items_[i]; }
    const T& operator[](std::size_t i) const { return items_[i]; }
    T* begin() { return items_; }
    T* end() { return items_ + count_; }
    const T* begin() const { return items_; }
    const T* end() const { return items_ + count_; }

private:
    T* items_ = nullptr;
    std::size_t count_ = 0;
};
