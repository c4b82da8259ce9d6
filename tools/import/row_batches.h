// row_batches.h: rows of field text handed from the thread that splits a text table into fields
// to the thread that turns them into stars, a few batches at a time and in order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The text of the fields the plan reads, for consecutive rows.
struct RowBatch {
    struct RowMark {
        int64_t line;            // the line the row starts on
        std::size_t fieldCount;  // fields the row has, read or not
    };
    std::string text;                    // the kept fields, back to back
    std::vector<std::size_t> fieldEnds;  // for each row, the end in text of each kept field
    std::vector<RowMark> rows;
    std::size_t reserveStars = 0;  // room to make for stars before converting, if not 0

    void Clear() {
        text.clear();
        fieldEnds.clear();
        rows.clear();
        reserveStars = 0;
    }
};

// Hands batches to `convert` in the order they were filled: on a thread of its own, so that
// splitting and converting overlap, or with one thread on the caller's thread at once. Either
// way every batch is converted exactly as the other would. At most a few batches exist, so
// memory stays bounded however long the table is.
class RowPipeline {
  public:
    RowPipeline(std::function<void(const RowBatch&)> convert, int threads);
    RowPipeline(const RowPipeline&) = delete;
    RowPipeline& operator=(const RowPipeline&) = delete;
    ~RowPipeline();

    // The batch being filled.
    RowBatch& Current() { return *current_; }
    // Passes the current batch on and starts a fresh one; waits while too many are queued.
    void Hand();
    // Passes the current batch on and waits until every batch has been converted.
    void Finish();

  private:
    static constexpr std::size_t BatchCount = 4;  // filling, queued and converting
    void ConvertQueued();

    std::function<void(const RowBatch&)> convert_;
    std::vector<RowBatch> batches_{BatchCount};
    RowBatch* current_ = &batches_[0];
    std::deque<RowBatch*> full_;  // handed, waiting to be converted, oldest first
    std::deque<RowBatch*> free_;  // converted, to be filled again
    bool finished_ = false;       // Finish has run; the caller's thread only
    bool finishing_ = false;      // no more batches come; under the mutex
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread converter_;
};
