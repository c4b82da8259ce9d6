// slots.cpp: page-granular anonymous memory for SlotArray.
#include "data/slots.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

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

// Small arrays are made and freed over and over (the grouping's scratch, a scene started
// again). A fresh mapping costs a page fault per 4 KiB touched, and unmapping one flushes the
// address translations of every core the program's threads run on: on a small galaxy that was
// more than the work itself. So a few small mappings are kept when freed, zeroed, and handed out
// again for the same number of pages. Large arrays still go back to the system at once.
constexpr std::size_t KeptMaxBytes = std::size_t{1} << 20;
constexpr std::size_t KeptCount = 16;

struct KeptMapping {
    void* memory = nullptr;
    std::size_t pageBytes = 0;
    uint64_t kept = 0;  // when it was kept, in Keep calls: the oldest goes first
};

std::mutex KeptLock;  // arrays may be freed on any thread
std::array<KeptMapping, KeptCount> Kept;
uint64_t Keeps = 0;  // mappings kept so far
std::atomic<uint64_t> RequestCount = 0;  // see Requests

void* TakeKept(std::size_t pageBytes) {
    const std::lock_guard lock(KeptLock);
    for (KeptMapping& entry : Kept) {
        if (entry.memory != nullptr && entry.pageBytes == pageBytes) {
            return std::exchange(entry.memory, nullptr);
        }
    }
    return nullptr;
}

// Keeps a mapping whose first `bytes` may be written and whose rest is zero, in place of the
// one kept longest ago when all places are taken: the sizes in use now are the ones to keep.
void Keep(void* memory, std::size_t bytes) {
    std::memset(memory, 0, bytes);
    void* dropped = nullptr;
    std::size_t droppedBytes = 0;
    {
        const std::lock_guard lock(KeptLock);
        KeptMapping* place = &Kept[0];
        for (KeptMapping& entry : Kept) {
            if (entry.memory == nullptr) {
                place = &entry;
                break;
            }
            place = entry.kept < place->kept ? &entry : place;
        }
        dropped = place->memory;
        droppedBytes = place->pageBytes;
        *place = KeptMapping{memory, PageBytes(bytes), ++Keeps};
    }
    if (dropped != nullptr) {
        munmap(dropped, droppedBytes);
    }
}

}  // namespace

void* Map(std::size_t bytes) {
    if (bytes == 0) {
        return nullptr;
    }
    RequestCount.fetch_add(1, std::memory_order_relaxed);
    if (PageBytes(bytes) <= KeptMaxBytes) {
        if (void* kept = TakeKept(PageBytes(bytes))) {
            return kept;
        }
    }
    // Pages never touched cost nothing. The kernel still weighs the request against the memory
    // there is, so an absurd size fails here, with a message, rather than by the out-of-memory
    // killer once the pages are used.
    void* memory =
        mmap(nullptr, PageBytes(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
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
    RequestCount.fetch_add(1, std::memory_order_relaxed);
    void* moved = mremap(memory, oldPages, newPages, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) {
        return nullptr;
    }
    AskForHugePages(moved, newBytes);
    return moved;
}

void Unmap(void* memory, std::size_t bytes) {
    if (memory == nullptr || bytes == 0) {
        return;
    }
    if (PageBytes(bytes) <= KeptMaxBytes) {
        Keep(memory, bytes);
    } else {
        munmap(memory, PageBytes(bytes));
    }
}

uint64_t Requests() {
    return RequestCount.load(std::memory_order_relaxed);
}

}  // namespace slots
