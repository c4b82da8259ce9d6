// frame_pipeline.cpp: the bounded queue between galaxy-render's renderer and its encoders.
#include "tools/frame_pipeline.h"

#include <cstring>
#include <utility>

FramePipeline::FramePipeline(size_t workers, size_t slots, int32_t pitch, int32_t height,
                             FrameConsumer consumer)
    : Consumer(std::move(consumer)), Slots(slots), Queue(slots) {
    for (size_t slot = 0; slot < slots; ++slot) {
        Slots[slot].Pitch = pitch;
        Slots[slot].Pixels.assign(size_t(pitch) * size_t(height), 0);
        FreeSlots.push_back(slot);
    }
    for (size_t worker = 0; worker < workers; ++worker) {
        Workers.emplace_back(&FramePipeline::RunWorker, this, worker);
    }
}

FramePipeline::~FramePipeline() {
    Finish();
}

bool FramePipeline::SubmitFrame(int64_t frame, const uint8_t* pixels) {
    std::unique_lock<std::mutex> guard(Lock);
    SlotFreed.wait(guard, [this] { return !FreeSlots.empty() || !Error.empty(); });
    if (!Error.empty()) {
        return false;
    }
    const size_t slot = FreeSlots.back();
    FreeSlots.pop_back();
    guard.unlock();
    // No worker touches a free slot, so the copy needs no lock.
    FrameSlot& target = Slots[slot];
    target.Frame = frame;
    std::memcpy(target.Pixels.data(), pixels, target.Pixels.size());
    guard.lock();
    Queue[(QueueHead + QueueLength) % Queue.size()] = slot;
    ++QueueLength;
    FrameQueued.notify_one();
    return true;
}

std::string FramePipeline::Finish() {
    {
        const std::lock_guard<std::mutex> guard(Lock);
        Stopping = true;
        FrameQueued.notify_all();  // under the lock, as helgrind likes it
    }
    for (std::thread& worker : Workers) {
        worker.join();
    }
    Workers.clear();
    return Error;
}

// Takes the oldest queued frame, consumes it outside the lock and frees its slot; after an error
// the remaining frames are dropped, and the worker ends once the queue is empty and stopping.
void FramePipeline::RunWorker(size_t worker) {
    std::unique_lock<std::mutex> guard(Lock);
    for (;;) {
        FrameQueued.wait(guard, [this] { return QueueLength > 0 || Stopping; });
        if (QueueLength == 0) {
            return;
        }
        const size_t slot = Queue[QueueHead];
        QueueHead = (QueueHead + 1) % Queue.size();
        --QueueLength;
        const bool dropped = !Error.empty();
        guard.unlock();
        std::string error;
        const bool consumed = dropped || Consumer(Slots[slot], worker, error);
        guard.lock();
        if (!consumed && Error.empty()) {
            Error = error;
        }
        FreeSlots.push_back(slot);
        SlotFreed.notify_one();
    }
}
