// Arbitrary bytes as each of a recording's three binary files: the reader must
// stop at a record it cannot trust, never read past what it was given and
// never allocate more than the input holds. The same bytes as a converted
// camera calibration (image/cam_in_ex.txt) must be read or refused whole.
#include "recording/converted_calibration.h"
#include "recording/recording_summary.h"

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto calibration =
        parseConvertedCalibration(std::string(reinterpret_cast<const char *>(data), size));
    if (calibration && (calibration->width < 0 || calibration->height < 0))
        abort();
    if (size == 0) // fmemopen takes no empty buffer
        return 0;
    for (RecordKind kind : {RecordKind::Pose, RecordKind::Cloud, RecordKind::Image}) {
        std::FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "rb");
        if (file == nullptr)
            abort();
        RecordFileReader reader;
        reader.attach(file, size, kind);
        RecordFileSummary summary;
        summariseRecords(reader, kind, summary);
        // Every byte is either in a whole record or in the one cut off.
        if (summary.truncatedAt ? *summary.truncatedAt != reader.offset() : reader.offset() != size)
            abort();
        if (summary.minCount > summary.maxCount)
            abort();
        std::fclose(file);
    }
    return 0;
}
