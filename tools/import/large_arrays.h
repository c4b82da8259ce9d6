// large_arrays.h: an allocator for the importer's million-element arrays that asks the kernel
// for huge pages: filling 100 MB page by page costs tens of thousands of page faults, and on a
// virtual machine each one is slow.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <vector>

template <typename T>
struct LargeArrayAllocator {
    using value_type = T;
    static constexpr std::size_t HugeFrom = std::size_t{4} << 20;  // smaller blocks: malloc's

    LargeArrayAllocator() = default;
    template <typename U>
    explicit LargeArrayAllocator(const LargeArrayAllocator<U>&) {}

    T* allocate(std::size_t count) {
        const std::size_t bytes = count * sizeof(T);
        if (count > SIZE_MAX / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        if (bytes < HugeFrom) {
            return static_cast<T*>(::operator new(bytes));
        }
        void* block =
            mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) {
            throw std::bad_alloc();
        }
        madvise(block, bytes, MADV_HUGEPAGE);  // advice only: without huge pages all still works
        return static_cast<T*>(block);
    }

    void deallocate(T* block, std::size_t count) {
        const std::size_t bytes = count * sizeof(T);
        if (bytes < HugeFrom) {
            ::operator delete(block);
        } else {
            munmap(block, bytes);
        }
    }

    template <typename U>
    bool operator==(const LargeArrayAllocator<U>&) const {
        return true;
    }
};

template <typename T>
using LargeArray = std::vector<T, LargeArrayAllocator<T>>;
