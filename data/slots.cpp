// slots.cpp: page-granular anonymous memory for SlotArray.
#include "data/slots.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
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

// Large arrays live on huge pages: one fault then brings in 2 MiB instead of 4 KiB, and first
// touching hundreds of megabytes of stars is otherwise dominated by page faults. For that they
// begin on a 2 MiB boundary, and when they move they move to one: pages moved to an address
// not so aligned are split into 4 KiB ones, and on a virtual machine the first use of each
// afterwards costs as much as a fault (a read of 256 MiB took 360 ms instead of 9).
constexpr std::size_t HugePage = std::size_t{2} << 20;

void AskForHugePages(void* memory, std::size_t bytes) {
    if (bytes >= HugePage) {
        madvise(memory, PageBytes(bytes), MADV_HUGEPAGE);  // only advice: failure changes nothing
    }
}

// Fresh address space for `pageBytes`, on a 2 MiB boundary when it is that large; nullptr when
// the system refuses. The kernel still weighs the request against the memory there is, so an
// absurd size fails here, with a message, rather than by the out-of-memory killer once the
// pages are used.
void* MapAligned(std::size_t pageBytes) {
    const std::size_t slack = pageBytes >= HugePage ? HugePage - PageSize() : 0;
    if (pageBytes > SIZE_MAX - slack) {
        return nullptr;
    }
    void* memory = mmap(nullptr, pageBytes + slack, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t aligned = slack == 0 ? start : (start + slack) / HugePage * HugePage;
    if (aligned != start) {
        munmap(memory, aligned - start);
    }
    if (const std::size_t after = start + slack - aligned; after != 0) {
        munmap(reinterpret_cast<void*>(aligned + pageBytes), after);
    }
    return reinterpret_cast<void*>(aligned);
}

bool IsHugeAligned(const void* memory) {
    return reinterpret_cast<std::uintptr_t>(memory) % HugePage == 0;
}

// Moves the pages [memory, memory + pages) to `target`, replacing what was mapped there; false
// if the kernel will not (one that cannot move a range made of several mappings, which appended
// arrays are), with nothing changed.
bool MovePages(void* memory, std::size_t pages, void* target) {
    return mremap(memory, pages, pages, MREMAP_MAYMOVE | MREMAP_FIXED, target) != MAP_FAILED;
}

// Grows a mapping to `newPages`: in place where the addresses after it are free; otherwise its
// pages move, not its bytes, to the start of fresh aligned address space of the new size, and
// only where the kernel cannot move them are the bytes copied. nullptr on failure, with the
// mapping unchanged.
void* GrowMapping(void* memory, std::size_t oldPages, std::size_t newPages) {
    // An array that outgrows a huge page where it began unaligned moves to an aligned place.
    if (newPages < HugePage || IsHugeAligned(memory)) {
        if (void* grown = mremap(memory, oldPages, newPages, 0); grown != MAP_FAILED) {
            return grown;
        }
    }
    void* target = MapAligned(newPages);
    if (target != nullptr && !MovePages(memory, oldPages, target)) {
        std::memcpy(target, memory, oldPages);
        munmap(memory, oldPages);
    }
    return target;
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
uint64_t Keeps = 0;                      // mappings kept so far
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
    // Pages never touched cost nothing.
    void* memory = MapAligned(PageBytes(bytes));
    if (memory != nullptr) {
        AskForHugePages(memory, bytes);
    }
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
    // Shrinking never moves a mapping.
    void* moved = newPages < oldPages ? mremap(memory, oldPages, newPages, 0)
                                      : GrowMapping(memory, oldPages, newPages);
    if (moved == MAP_FAILED || moved == nullptr) {
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

namespace {

// Append by copying the bytes.
bool AppendCopy(void** into, std::size_t intoBytes, std::size_t keptBytes, void* from,
                std::size_t fromBytes, std::size_t movedBytes) {
    void* grown = Resize(*into, intoBytes, keptBytes + movedBytes);
    if (grown == nullptr && keptBytes + movedBytes != 0) {
        return false;
    }
    *into = grown;
    if (movedBytes != 0) {
        std::memcpy(static_cast<char*>(grown) + keptBytes, from, movedBytes);
    }
    Unmap(from, fromBytes);
    return true;
}

}  // namespace

bool Append(void** into, std::size_t intoBytes, std::size_t keptBytes, void* from,
            std::size_t fromBytes, std::size_t movedBytes) {
    if (movedBytes < HugePage || intoBytes == 0 || !IsHugeAligned(*into) ||
        !IsHugeAligned(from)) {
        return AppendCopy(into, intoBytes, keptBytes, from, fromBytes, movedBytes);
    }
    // The moved pages go to the first huge page boundary after the kept bytes, whole huge pages
    // and all, and the bytes are then shifted down by less than one huge page: only the moved
    // bytes are written, and no fresh memory is touched.
    const std::size_t at = (keptBytes + HugePage - 1) / HugePage * HugePage;
    const std::size_t movedPages = PageBytes(movedBytes);
    const std::size_t intoPages = PageBytes(intoBytes);
    const std::size_t mapped = std::max(intoPages, at + movedPages);
    if (intoPages < mapped) {
        void* grown = GrowMapping(*into, intoPages, mapped);
        if (grown == nullptr) {
            return false;
        }
        *into = grown;
    }
    char* base = static_cast<char*>(*into);
    if (!MovePages(from, movedPages, base + at)) {
        if (intoPages < mapped) {
            munmap(base + intoPages, mapped - intoPages);  // as it was, if perhaps moved
        }
        return AppendCopy(into, intoBytes, keptBytes, from, fromBytes, movedBytes);
    }
    if (const std::size_t fromPages = PageBytes(fromBytes); fromPages > movedPages) {
        munmap(static_cast<char*>(from) + movedPages, fromPages - movedPages);
    }
    std::memmove(base + keptBytes, base + at, movedBytes);
    // Past the joined bytes: the last page's stale bytes zeroed, the pages after it dropped.
    const std::size_t joined = keptBytes + movedBytes;
    std::memset(base + joined, 0, PageBytes(joined) - joined);
    if (mapped > PageBytes(joined)) {
        munmap(base + PageBytes(joined), mapped - PageBytes(joined));
    }
    return true;
}

uint64_t Requests() {
    return RequestCount.load(std::memory_order_relaxed);
}

}  // namespace slots
