// One binary file of a recording and the thread that writes it. The decoders
// push finished records on the device layer's callback thread; the writer
// collects them into batches and its own thread appends whole batches to the
// file, so a push never waits for the disk.
//
// What a recording must survive: a disk slower than the stream (the queue is
// bounded by bytes; beyond it whole records are dropped, counted and reported
// at most once per DROP_REPORT_INTERVAL), a disk that fails (the file keeps
// every record written before the failure, the writer takes no more) and a
// crash (a batch that is not full is written once it is FLUSH_INTERVAL old).
#pragma once

#include "app/drop_budget.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

struct WriterLimits {
    uint64_t maxQueuedBytes = uint64_t{256} << 20; // records pushed but not yet written
    std::chrono::milliseconds flushInterval{1000};
};

// What became of the records pushed to one writer.
struct WriterReport {
    QString path;
    uint64_t recordsWritten = 0;
    uint64_t bytesWritten = 0;
    uint64_t recordsDropped = 0; // refused: queue full, file failed, or writer stopped
    bool failed = false;         // a write failed; the file ends at its last whole record
};

class BinaryFileWriter {
public:
    using Record = std::vector<uint8_t>;
    using Batch = std::vector<Record>;

    // Opens path for appending (creating it) and starts the writer thread.
    // Throws std::system_error naming the file when it cannot be opened or the
    // thread cannot start.
    BinaryFileWriter(const QString &path, uint64_t batchSize, WriterLimits limits = {});
    // Stops: everything queued is written first.
    ~BinaryFileWriter();
    BinaryFileWriter(const BinaryFileWriter &) = delete;
    BinaryFileWriter &operator=(const BinaryFileWriter &) = delete;

    // Takes over one record; false when it was dropped instead (see above).
    // Records of length 0 are accepted and skipped. Any thread but the writer's.
    bool push(Record &&record);

    // Writes everything queued, closes the file and joins the thread; blocks
    // until the data is on the disk. Later pushes are dropped. Idempotent.
    void stop();

    WriterReport report() const;

    static constexpr std::chrono::seconds DROP_REPORT_INTERVAL{5};

private:
    void run();
    // Moves the current batch to the queue.
    void queueCurrentBatch();
    // Appends batch to the file; on a failure, marks the writer failed.
    void writeBatch(const Batch &batch);
    void closeFile();
    void reportDrop();

    const QString path;
    const uint64_t batchSize;
    const WriterLimits limits;
    int fd = -1;
    uint64_t fileBytes = 0; // the file's size after the last whole record (writer thread)

    mutable std::mutex mutex; // guards everything below but the thread
    std::condition_variable condition;
    Batch currentBatch;
    std::chrono::steady_clock::time_point currentBatchStarted;
    std::deque<Batch> queue;
    uint64_t queuedBytes = 0; // in currentBatch and queue, and in the batch being written
    bool stopping = false;
    bool failed = false;
    uint64_t recordsWritten = 0;
    uint64_t bytesWritten = 0;
    uint64_t recordsDropped = 0;

    DropBudget dropBudget{DROP_REPORT_INTERVAL};
    std::thread thread;
};
