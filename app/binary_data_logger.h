// One recording on disk: its folder, named after the local start time, two
// small text files and the three binary files with their writers.
//
//   <root>/<T>/                   T: start time as yyyyMMdd_HHmmss (20250131_142501)
//   <root>/<T>/image/info.txt     "device=KestOne\ncreated_at=<T>\n"
//   <root>/<T>/image/cam_in_ex.txt  a placeholder line; the calibration at stop
//   <root>/<T>/KestPose.bin       pose records      } appended to: two recordings
//   <root>/<T>/MT<T>.kvx          cloud records     } started in the same second
//   <root>/<T>/KestImage.bin      image records     } share their files
//
// The record layouts are in app/stream_decoding_records.h.
#pragma once

#include "app/binary_file_writer.h"
#include "recording/record_layout.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>

struct RecorderConfig {
    uint64_t batchSize = 100;
    // Empty: KEST_DATA_DIR, else $HOME/KestData, else ./KestData.
    QString root;
    WriterLimits limits;
    // When the recording starts; invalid means now. Tests give one to name the folder.
    QDateTime startTime;
};

class BinaryDataLogger {
public:
    // Creates the folders and the text files and opens the three binary files.
    // Throws std::system_error naming the folder or file that cannot be made.
    explicit BinaryDataLogger(const RecorderConfig &config);
    // Stops the writers if stop was not called.
    ~BinaryDataLogger();
    BinaryDataLogger(const BinaryDataLogger &) = delete;
    BinaryDataLogger &operator=(const BinaryDataLogger &) = delete;

    // Stops the pose, cloud and image writers in that order, each after it has
    // written everything queued, and returns their reports in that order.
    std::array<WriterReport, 3> stop();

    // The root a recording goes under when its configuration gives none.
    static QString defaultRoot();

    const QString recordDir;
    const std::unique_ptr<BinaryFileWriter> poseWriter;
    const std::unique_ptr<BinaryFileWriter> cloudWriter;
    const std::unique_ptr<BinaryFileWriter> imageWriter;

    static constexpr const char *PLACEHOLDER_CALIBRATION = StreamDecoding::PLACEHOLDER_CALIBRATION;
};
