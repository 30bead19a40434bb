// A recording's binary file and its writer thread (see the header).
#include "app/binary_file_writer.h"

#include "sdk/common/platform/platform.h"
#include "sdk/logger/logger.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace {

uint64_t bytesOf(const BinaryFileWriter::Batch &batch) {
    uint64_t bytes = 0;
    for (const BinaryFileWriter::Record &record : batch)
        bytes += record.size();
    return bytes;
}

// Writes all of size bytes; 0 or the errno of the failure.
int writeAll(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
        long long written = platform_write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

} // namespace

BinaryFileWriter::BinaryFileWriter(const QString &path, uint64_t batchSize, WriterLimits limits)
    : path(path), batchSize(std::max<uint64_t>(batchSize, 1)), limits(limits) {
    const QByteArray name = QFile::encodeName(path);
    fd = platform_open_append(name.constData());
    if (fd < 0) {
        int error = errno;
        log_print(ERROR, "[Recorder] Cannot open %s: %s.\n", name.constData(), strerror(error));
        throw std::system_error(error, std::generic_category(), "open " + name.toStdString());
    }
    fileBytes = static_cast<uint64_t>(std::max<long long>(platform_regular_file_size(fd), 0));
    try {
        thread = std::thread(&BinaryFileWriter::run, this);
    } catch (...) {
        platform_close(fd);
        throw;
    }
}

BinaryFileWriter::~BinaryFileWriter() {
    stop();
}

bool BinaryFileWriter::push(Record &&record) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping || failed) {
            ++recordsDropped; // the failure was logged when it happened
            return false;
        }
        if (queuedBytes + record.size() > limits.maxQueuedBytes) {
            ++recordsDropped;
            wake = false;
        } else {
            // The writer thread arms its flush timer when a batch begins.
            if (currentBatch.empty()) {
                currentBatchStarted = std::chrono::steady_clock::now();
                wake = true;
            }
            queuedBytes += record.size();
            currentBatch.push_back(std::move(record));
            if (currentBatch.size() >= batchSize) {
                queueCurrentBatch();
                wake = true;
            }
            if (wake)
                condition.notify_one();
            return true;
        }
    }
    reportDrop();
    return false;
}

void BinaryFileWriter::reportDrop() {
    DropAdmission admission = dropBudget.admit(std::chrono::steady_clock::now());
    if (!admission.log)
        return;
    const QByteArray name = QFile::encodeName(path);
    if (admission.before == 0)
        log_print(WARN, "[Recorder] %s: the disk falls behind the stream; a record was dropped.\n",
                  name.constData());
    else
        log_print(WARN,
                  "[Recorder] %s: the disk falls behind the stream; a record was dropped "
                  "(%llu more dropped in the last %lld s).\n",
                  name.constData(), admission.before, admission.seconds);
}

void BinaryFileWriter::queueCurrentBatch() {
    if (currentBatch.empty())
        return;
    queue.push_back(std::move(currentBatch));
    currentBatch = Batch();
}

void BinaryFileWriter::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!stopping) {
            queueCurrentBatch();
            stopping = true;
        }
    }
    condition.notify_one();
    if (thread.joinable())
        thread.join(); // on the writer's own thread this throws (resource deadlock)
}

WriterReport BinaryFileWriter::report() const {
    std::lock_guard<std::mutex> lock(mutex);
    return WriterReport{path, recordsWritten, bytesWritten, recordsDropped, failed};
}

void BinaryFileWriter::run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (queue.empty() && !stopping) {
            if (currentBatch.empty())
                condition.wait(lock);
            else
                condition.wait_until(lock, currentBatchStarted + limits.flushInterval);
            // A batch that waited a whole interval goes out as it is.
            if (!currentBatch.empty() &&
                std::chrono::steady_clock::now() - currentBatchStarted >= limits.flushInterval)
                queueCurrentBatch();
            continue;
        }
        if (queue.empty())
            break; // stopping, and everything is written
        Batch batch = std::move(queue.front());
        queue.pop_front();
        uint64_t bytes = bytesOf(batch);
        if (failed) {
            recordsDropped += batch.size();
        } else {
            lock.unlock();
            writeBatch(batch);
            batch = Batch(); // freed outside the lock
            lock.lock();
        }
        queuedBytes -= bytes;
    }
    lock.unlock();
    closeFile();
}

void BinaryFileWriter::writeBatch(const Batch &batch) {
    uint64_t records = 0;
    uint64_t bytes = 0;
    int error = 0;
    for (const Record &record : batch) {
        if (record.empty())
            continue;
        error = writeAll(fd, record.data(), record.size());
        if (error != 0)
            break;
        fileBytes += record.size();
        bytes += record.size();
        ++records;
    }
    std::lock_guard<std::mutex> lock(mutex);
    recordsWritten += records;
    bytesWritten += bytes;
    if (error == 0)
        return;
    // What a failed write left of its record is cut off, so the file ends
    // with a whole record.
    if (const int cut = platform_truncate(fd, fileBytes); cut != 0)
        log_print(WARN, "[Recorder] %s: cannot cut off a partly written record: %s.\n",
                  QFile::encodeName(path).constData(), strerror(cut));
    log_print(ERROR, "[Recorder] Cannot write %s: %s; no more records go to this file.\n",
              QFile::encodeName(path).constData(), strerror(error));
    failed = true;
    recordsDropped += batch.size() - records;
}

void BinaryFileWriter::closeFile() {
    // The records must be on the disk before the recording reports stopped.
    if (const int error = platform_flush_to_disk(fd); error != 0) {
        log_print(ERROR, "[Recorder] Cannot write %s: %s.\n", QFile::encodeName(path).constData(),
                  strerror(error));
        std::lock_guard<std::mutex> lock(mutex);
        failed = true;
    }
    platform_close(fd);
    fd = -1;
}
