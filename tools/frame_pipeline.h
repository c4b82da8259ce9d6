// frame_pipeline.h: hands rendered frames to worker threads through a small fixed ring of buffers.
//
// Rendering stays on the calling thread; SubmitFrame copies the front buffer into a free slot
// (waiting while every slot is taken, so memory stays flat however long the run) and a worker
// encodes it. With one worker, frames are consumed in the order they were submitted.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A frame waiting in the ring: its number and its pixels (4 bytes each: B, G, R, unused).
struct FrameSlot {
    int64_t Frame = 0;
    int32_t Pitch = 0;
    std::vector<uint8_t> Pixels;
};

// What a worker does with a frame; returns false with error set to stop the run. The worker
// index tells apart the per-worker state (encoders, buffers) a consumer keeps.
using FrameConsumer = std::function<bool(const FrameSlot& slot, size_t worker, std::string& error)>;

class FramePipeline {
  public:
    // Starts workers threads sharing slots buffers of height rows of pitch bytes.
    FramePipeline(size_t workers, size_t slots, int32_t pitch, int32_t height,
                  FrameConsumer consumer);
    ~FramePipeline();
    FramePipeline(const FramePipeline&) = delete;
    FramePipeline& operator=(const FramePipeline&) = delete;

    // Copies the picture into a free slot and queues it; false once a worker has failed.
    bool SubmitFrame(int64_t frame, const uint8_t* pixels);
    // Waits for the queued frames and stops the workers; returns the first error, "" if none.
    std::string Finish();

  private:
    void RunWorker(size_t worker);

    FrameConsumer Consumer;
    std::vector<FrameSlot> Slots;
    std::vector<size_t> FreeSlots;  // slots the renderer may fill (a stack)
    std::vector<size_t> Queue;      // filled slots in submission order (a ring)
    size_t QueueHead = 0;           // index in Queue of the oldest filled slot
    size_t QueueLength = 0;         // filled slots waiting for a worker
    bool Stopping = false;          // no more frames will come
    std::string Error;              // the first worker's error; the run stops
    std::mutex Lock;
    std::condition_variable SlotFreed;
    std::condition_variable FrameQueued;
    std::vector<std::thread> Workers;
};
