// slots.cpp: page-granular anonymous memory for SlotArray.
#include "data/slots.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace slots {

namespace {

std::size_t PageSize() {
    static const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// Whole pages holding bytes; 0 for none. Callers keep bytes far below SIZE_MAX.
std::size_t PageBytes(std::size_t bytes) {
    const std::size_t page = PageSize();
    return (bytes + page - 1) / page * page;
}

// Large arrays ask for huge pages: one fault then brings in 2 MiB instead of 4 KiB, and first
// touching hundreds of megabytes of stars is otherwise dominated by page faults.
void AskForHugePages(void* memory, std::size_t bytes) {
    constexpr std::size_t HugePage = std::size_t{2} << 20;
    if (bytes >= HugePage) {
        madvise(memory, PageBytes(bytes), MADV_HUGEPAGE);  // only advice: failure changes nothing
    }
}

}  // namespace

void* Map(std::size_t bytes) {
    if (bytes == 0) {
        return nullptr;
    }
    // Pages never touched cost nothing. The kernel still weighs the request against the memory
    // there is, so an absurd size fails here, with a message, rather than by the out-of-memory
    // killer once the pages are used.
    void* memory = mmap(nullptr, PageBytes(bytes), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return nullptr;
    }
    AskForHugePages(memory, bytes);
    return memory;
}

void* Resize(void* memory, std::size_t oldBytes, std::size_t newBytes) {
    if (memory == nullptr || oldBytes == 0) {
        return Map(newBytes);
    }
    if (newBytes == 0) {
        Unmap(memory, oldBytes);
        return nullptr;
    }
    const std::size_t oldPages = PageBytes(oldBytes);
    const std::size_t newPages = PageBytes(newBytes);
    if (newBytes < oldBytes) {
        // Bytes dropped from the last kept page must read as zero if the array grows again.
        std::memset(static_cast<char*>(memory) + newBytes, 0,
                    std::min(oldBytes, newPages) - newBytes);
    }
    if (newPages == oldPages) {
        return memory;
    }
    void* moved = mremap(memory, oldPages, newPages, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) {
        return nullptr;
    }
    AskForHugePages(moved, newBytes);
    return moved;
}

void Unmap(void* memory, std::size_t bytes) {
    if (memory != nullptr && bytes != 0) {
        munmap(memory, PageBytes(bytes));
    }
}

}  // namespace slots
