// The frame format, checked against bytes written out by hand from its table,
// and validation and group reassembly of received frames.
#include "sdk/comm/interface/data_xfer.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using bytes = std::vector<uint8_t>;

namespace {

// "ABC" as a lone frame: type 0, tag 0, flags 0, group 1/1, length 3.
// Header check: 01 ^ 01 ^ 03 = 03. Frame check: 03 ^ 03 ^ 41 ^ 42 ^ 43 = 40.
const bytes lone_abc = {0x6C, 0x71, 0x6E, 0x62, 0x6D, 0x3F, 0x00, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0x03,
                        0x41, 0x42, 0x43, 0x00, 0x40, 0x66, 0x63, 0x6E, 0x62};

// 0x55 as frame 1 of 2: tag 0x01020304, flags 0x02, length 1.
// Header check: 01^02^03^04 ^ 02 ^ 02 ^ 01 ^ 01 = 04. Frame check: 04 ^ 04 ^ 55 = 55.
const bytes group_first = {0x6C, 0x71, 0x6E, 0x62, 0x6D, 0x3F, 0x00, 0x01, 0x02,
                           0x03, 0x04, 0x02, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00,
                           0x01, 0x04, 0x55, 0x00, 0x55, 0x66, 0x63, 0x6E, 0x62};

class Frame : public kest_test::logged_test {
protected:
    // A frame built by our own builder; the literal tests above pin the builder.
    bytes frame(const bytes &payload, uint8_t flags = 0, uint16_t word = 0x0101, uint32_t tag = 0) {
        bytes out(PKT_OVERHEAD + payload.size());
        xfer->packet_construct(out.data(), 0, tag, flags, word, 0, payload.data(),
                               static_cast<uint32_t>(payload.size()));
        return out;
    }
    // Validates a copy in a block of exactly its size, so a read past it is caught.
    bool valid(const bytes &received) {
        auto copy = std::make_unique<uint8_t[]>(received.size());
        std::copy(received.begin(), received.end(), copy.get());
        return xfer->packet_valid(copy.get(), received.size());
    }
    // Stages a group frame of size bytes of fill, frame word (index << 8 | count).
    int stage(packet_group &group, size_t size, uint8_t fill, uint16_t word) {
        return xfer->packet_group_staging(frame(bytes(size, fill), PKT_FLAG_GROUP, word).data(),
                                          &group);
    }

    std::unique_ptr<data_xfer> xfer{data_xfer_create(0)};
};

} // namespace

TEST_F(Frame, BuilderWritesTheFormatAndTheValidatorChecksIt) {
    EXPECT_EQ(frame({'A', 'B', 'C'}), lone_abc);
    EXPECT_EQ(frame({0x55}, PKT_FLAG_GROUP, 0x0201, 0x01020304), group_first);
    EXPECT_TRUE(valid(lone_abc));
    EXPECT_TRUE(valid(group_first));
    EXPECT_TRUE(valid(frame({})));
    bytes padded = lone_abc;
    padded.resize(1024, 0xA5);
    EXPECT_TRUE(valid(padded)) << "bytes after the tail are filler";

    bytes unchecked(PKT_OVERHEAD + 2, 0xEE);
    const uint8_t payload[] = {1, 2};
    xfer->packet_construct(unchecked.data(), 0, 0, PKT_FLAG_NO_CHECK, 0x0101, 0, payload, 2);
    EXPECT_EQ(unchecked[19], 0xEE);
    EXPECT_EQ(unchecked[23], 0xEE);
    EXPECT_TRUE(valid(unchecked)) << "unchecked frames are accepted whatever their check bytes";

    // Head, tail, header check, frame check (its high byte must be 0), payload.
    for (const auto &[at, value] : std::vector<std::pair<size_t, uint8_t>>{
             {2, 0x00}, {27, 0x00}, {19, 0x13}, {23, 0x01}, {21, 0x43}}) {
        bytes bad = lone_abc;
        bad[at] = value;
        EXPECT_FALSE(valid(bad)) << "damaged at " << at;
    }
    // A length beyond the transfer is rejected without reading past it.
    bytes bad = lone_abc;
    bad[18] = 0x04; // claims 4 payload bytes in a 29-byte transfer
    EXPECT_FALSE(valid(bad));
    EXPECT_TRUE(kest_test::log_contains("packet length 4 does not fit in the 29-byte transfer."));
    bad[15] = 0xFF; // and one that would wrap a 32-bit offset
    EXPECT_FALSE(valid(bad));
    EXPECT_FALSE(valid(bytes(lone_abc.begin(), lone_abc.begin() + 25)));
    EXPECT_TRUE(
        kest_test::log_contains("packet of 25 bytes is shorter than the 26-byte frame overhead."));
}

TEST_F(Frame, GroupsAreJoinedInOrderAndAnomaliesDropDataInsteadOfTearingIt) {
    packet_group group{};
    ASSERT_EQ(stage(group, 100, 0xA1, 0x0301), 0);
    EXPECT_EQ(group.capacity, 300u) << "the first frame's length sizes the whole group";
    ASSERT_EQ(stage(group, 100, 0xB2, 0x0302), 0);
    EXPECT_FALSE(group.complete);
    ASSERT_EQ(stage(group, 40, 0xC3, 0x0303), 0);
    EXPECT_TRUE(group.complete);
    bytes expected(100, 0xA1);
    expected.resize(200, 0xB2);
    expected.resize(240, 0xC3);
    EXPECT_EQ(bytes(group.buffer, group.buffer + group.filled), expected);
    packet_group_release(&group);
    EXPECT_EQ(group.buffer, nullptr);

    // Frames (size, index << 8 | count): all but the last are taken.
    const struct {
        std::vector<std::pair<size_t, uint16_t>> frames;
        const char *reason;
    } anomalies[] = {
        {{{10, 0x0302}}, "group frame 2/3 without an open group, dropped."},
        {{{10, 0x0301}, {11, 0x0302}, {10, 0x0303}}, // 31 bytes where 30 were announced
         "overflows the group buffer (21 of 30 used); group dropped."},
        {{{10, 0x0301}, {10, 0x0303}},
         "group frame 3/3 out of order, expected 2/3; group dropped."},
        {{{10, 0x0204}}, "group frame 4/2 has no place in a group, dropped."},
    };
    for (const auto &anomaly : anomalies) {
        SCOPED_TRACE(anomaly.reason);
        for (size_t i = 0; i < anomaly.frames.size(); ++i)
            EXPECT_EQ(stage(group, anomaly.frames[i].first, 0x11, anomaly.frames[i].second),
                      i + 1 < anomaly.frames.size() ? 0 : -1);
        EXPECT_TRUE(kest_test::log_contains(anomaly.reason));
        EXPECT_EQ(group.buffer, nullptr);
    }

    ASSERT_EQ(stage(group, 10, 0x11, 0x0301), 0);
    ASSERT_EQ(stage(group, 4, 0x44, 0x0201), 0);
    EXPECT_TRUE(
        kest_test::log_contains("group left unfinished at frame 1/3, dropped for a new group."));
    ASSERT_EQ(stage(group, 4, 0x55, 0x0202), 0);
    EXPECT_TRUE(group.complete);
    EXPECT_EQ(bytes(group.buffer, group.buffer + group.filled),
              bytes({0x44, 0x44, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55}));
    packet_group_release(&group);
}
