// row_batches.cpp: the bounded, ordered hand-over of row batches between two threads.
#include "tools/import/row_batches.h"

#include <utility>

RowPipeline::RowPipeline(std::function<void(const RowBatch&)> convert, int threads)
    : convert_(std::move(convert)) {
    for (std::size_t i = 1; i < BatchCount; ++i) {
        free_.push_back(&batches_[i]);
    }
    if (threads > 1) {
        converter_ = std::thread([this] { ConvertQueued(); });
    }
}

RowPipeline::~RowPipeline() {
    Finish();
}

void RowPipeline::Hand() {
    if (!converter_.joinable()) {
        convert_(*current_);
        current_->Clear();
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    full_.push_back(current_);
    changed_.notify_all();
    changed_.wait(lock, [this] { return !free_.empty(); });
    current_ = free_.front();
    free_.pop_front();
}

void RowPipeline::Finish() {
    if (finished_) {
        return;
    }
    Hand();
    finished_ = true;
    if (converter_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finishing_ = true;
        }
        changed_.notify_all();
        converter_.join();
    }
}

// The converting thread: takes the oldest full batch, converts it outside the lock, gives it
// back; ends when finishing and nothing is queued.
void RowPipeline::ConvertQueued() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !full_.empty() || finishing_; });
        if (full_.empty()) {
            return;
        }
        RowBatch* batch = full_.front();
        full_.pop_front();
        lock.unlock();
        convert_(*batch);
        batch->Clear();
        lock.lock();
        free_.push_back(batch);
        changed_.notify_all();
    }
}
