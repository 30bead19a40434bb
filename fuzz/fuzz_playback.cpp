// Arbitrary bytes as a recording played back and sliced: the first two bytes
// say where the pose file ends and the cloud file begins, the rest is the
// picture file; they also choose where to seek, step and cut. Whatever the
// records say (times, lengths, points), the player must send what it can,
// stop at what it cannot read, and never overflow or crash.
#include "recording/recording_slice.h"
#include "sim/kestone_playback.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

fs::path folder;

void write(const fs::path &path, const uint8_t *data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), std::streamsize(size));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char pattern[] = "/tmp/fuzz-playback-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    folder = fs::path(pattern) / "rec";
    fs::create_directories(folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const size_t rest = size - 2;
    const size_t poses = std::min<size_t>(data[0] * 8, rest);
    const size_t clouds = std::min<size_t>(data[1] * 64, rest - poses);
    write(folder / "KestPose.bin", data + 2, poses);
    write(folder / "MTrec.kvx", data + 2 + poses, clouds);
    write(folder / "KestImage.bin", data + 2 + poses + clouds, rest - poses - clouds);

    kest_sim::recording_player player;
    std::string error;
    if (!player.open({folder.string(), 1, data[0] % 2 == 1, std::nullopt}, error))
        return 0;
    // Far past any sane time, a few times over: every record that can be sent
    // is; then back to a point chosen by the input, and a step either way.
    const double fraction = data[1] / 255.0;
    for (int call = 0; call < 6; ++call) {
        if (call == 3)
            player.seek(player.length_s() * fraction);
        if (call >= 3)
            player.step(call == 4 ? 1 : -1);
        player.advance(call < 3 ? 1e12 : 0);
        for (const auto &[endpoint, message] : player.take_due(64, data[0] % 4 == 0))
            if (message.empty())
                abort();
        if (player.position_s() < 0 || player.position_s() > player.length_s())
            abort();
    }
    RecordingTimeline timeline;
    SliceCounts counts;
    if (readTimeline(folder.string(), timeline, error)) {
        fs::remove_all(folder.parent_path() / "slice");
        sliceRecording(timeline, timeline.length * fraction / 2, timeline.length * fraction,
                       (folder.parent_path() / "slice").string(), counts, error);
        if (counts.poses > timeline.records[0].size() || counts.clouds > timeline.records[1].size())
            abort();
    }
    return 0;
}
