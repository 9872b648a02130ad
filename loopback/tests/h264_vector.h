// The x264 test vector (data/x264_160x120.h264, made by data/make_x264_vector.py from the
// moving pattern of media_signals.h), read and cut into access units the way a sender hands
// them to SendVideoFrame: one unit per picture, optionally led by an access unit delimiter.
#ifndef OSTREL_LOOPBACK_TESTS_H264_VECTOR_H_
#define OSTREL_LOOPBACK_TESTS_H264_VECTOR_H_

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace h264_vector {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int kFrames = 30;

// The type of a NAL unit, from its header byte.
inline int nal_type(uint8_t header) { return header & 0x1f; }

// The access units of an Annex B stream. A unit starts at a delimiter, a parameter set or SEI
// that follows a picture's slices, or at a slice whose first_mb_in_slice is 0 (its first bit
// set) that follows a slice.
inline std::vector<std::vector<uint8_t>> access_units(const std::vector<uint8_t>& stream) {
    std::vector<size_t> starts;  // offsets of the start codes (3 or 4 bytes)
    for (size_t i = 0; i + 3 < stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            starts.push_back(i > 0 && stream[i - 1] == 0 ? i - 1 : i);
            i += 2;
        }
    }
    starts.push_back(stream.size());
    std::vector<std::vector<uint8_t>> units;
    std::vector<uint8_t> unit;
    bool has_slice = false;
    for (size_t k = 0; k + 1 < starts.size(); ++k) {
        size_t header = starts[k];
        while (stream[header] == 0) ++header;
        ++header;  // past the 1 of the start code
        const int type = nal_type(stream[header]);
        const bool slice = type == 1 || type == 5;
        const bool first_slice = slice && header + 1 < stream.size() && (stream[header + 1] & 0x80) != 0;
        if (has_slice && (type == 9 || type == 7 || type == 8 || type == 6 || first_slice)) {
            units.push_back(std::move(unit));
            unit.clear();
            has_slice = false;
        }
        has_slice = has_slice || slice;
        unit.insert(unit.end(), stream.begin() + static_cast<std::ptrdiff_t>(starts[k]),
                    stream.begin() + static_cast<std::ptrdiff_t>(starts[k + 1]));
    }
    if (!unit.empty()) units.push_back(std::move(unit));
    return units;
}

// The vector's access units; with `delimiters`, each led by an access unit delimiter (any
// primary picture type) as encoders that write them do.
inline std::vector<std::vector<uint8_t>> units(bool delimiters) {
    std::ifstream in(std::string(OSTREL_TEST_DATA_DIR) + "/x264_160x120.h264", std::ios::binary);
    const std::vector<uint8_t> stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::vector<uint8_t>> out = access_units(stream);
    if (delimiters) {
        static const uint8_t kDelimiter[] = {0, 0, 0, 1, 0x09, 0xf0};
        for (std::vector<uint8_t>& u : out) u.insert(u.begin(), std::begin(kDelimiter), std::end(kDelimiter));
    }
    return out;
}

}  // namespace h264_vector

#endif  // OSTREL_LOOPBACK_TESTS_H264_VECTOR_H_
