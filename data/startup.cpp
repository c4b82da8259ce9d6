// startup.cpp: stop requests, the start-up poll and the progress line.
#include "data/startup.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto PollInterval = std::chrono::milliseconds(20);
constexpr auto ProgressDelay = std::chrono::seconds(1);  // quick start-ups show no line at all
constexpr auto ProgressInterval = std::chrono::milliseconds(250);

static_assert(std::atomic<int>::is_always_lock_free, "stop requests come from signal handlers");
std::atomic<int> StopState{0};  // 0: none; otherwise the signal + 1 (1 for the window)
std::atomic<int64_t> BytesRead{0};

std::thread::id StartupThread;
const char* Label = "";
int64_t TotalBytes = -1;
void (*Poll)() = nullptr;
Clock::time_point Started;
Clock::time_point LastPoll;
Clock::time_point LastProgress;
bool ProgressShown = false;

void DrawProgress() {
    const double read = static_cast<double>(BytesRead.load(std::memory_order_relaxed));
    if (TotalBytes > 0) {
        std::fprintf(stderr, "\r%s: %.1f of %.1f MB read (%.0f%%)\x1b[K", Label, read / 1e6,
                     static_cast<double>(TotalBytes) / 1e6,
                     100.0 * read / static_cast<double>(TotalBytes));
    } else {
        std::fprintf(stderr, "\r%s: %.1f MB read\x1b[K", Label, read / 1e6);
    }
    std::fflush(stderr);
    ProgressShown = true;
}

}  // namespace

void RequestStop(int signal) {
    int none = 0;
    StopState.compare_exchange_strong(none, signal + 1, std::memory_order_relaxed);
}

bool StopRequested() {
    return StopState.load(std::memory_order_relaxed) != 0;
}

int StopSignal() {
    const int state = StopState.load(std::memory_order_relaxed);
    return state == 0 ? 0 : state - 1;
}

void BeginStartup(const char* label) {
    StartupThread = std::this_thread::get_id();
    Label = label;
    TotalBytes = -1;
    BytesRead.store(0, std::memory_order_relaxed);
    Started = LastPoll = LastProgress = Clock::now();
    ProgressShown = false;
}

void EndStartup() {
    if (ProgressShown) {
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
        ProgressShown = false;
    }
    StartupThread = std::thread::id{};
}

void SetStartupPoll(void (*poll)()) {
    Poll = poll;
}

void SetBytesToRead(int64_t bytes) {
    TotalBytes = bytes;
}

void AddBytesRead(int64_t bytes) {
    BytesRead.fetch_add(bytes, std::memory_order_relaxed);
}

bool KeepStarting() {
    if (std::this_thread::get_id() == StartupThread) {
        const Clock::time_point now = Clock::now();
        if (now - LastPoll >= PollInterval) {
            LastPoll = now;
            if (Poll != nullptr) {
                Poll();
            }
            if (now - Started >= ProgressDelay && now - LastProgress >= ProgressInterval &&
                isatty(STDERR_FILENO) == 1) {
                LastProgress = now;
                DrawProgress();
            }
        }
    }
    return !StopRequested();
}

void ResetStartup() {
    StopState.store(0, std::memory_order_relaxed);
    BytesRead.store(0, std::memory_order_relaxed);
    StartupThread = std::thread::id{};
    Label = "";
    TotalBytes = -1;
    Poll = nullptr;
    ProgressShown = false;
}
