// Inputs found by fuzzing the decoders (tests/fuzz/) and the faults behind
// them, each fed as bytes to the decoder that mishandled it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "io/image_codec.hpp"

using namespace kro;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

bool decodes(const Bytes& file) {
    image_codec::Raster* r = image_codec::decode(file.data(), file.size());
    image_codec::free_raster(r);
    return r != nullptr;
}

// A JPEG's segments: the offset of each marker and, for a scan, of the end of
// its entropy-coded data (the next marker that is not a stuffed byte or a restart).
struct Segment {
    size_t begin, end;
    uint8_t marker;
};

std::vector<Segment> segments_of(const Bytes& d) {
    std::vector<Segment> out;
    size_t i = 2;
    while (i + 4 <= d.size() && d[i] == 0xFF) {
        uint8_t m = d[i + 1];
        if (m == 0xD9) break;
        size_t end = i + 2 + (size_t(d[i + 2]) << 8 | d[i + 3]);
        if (m == 0xDA)
            while (end + 1 < d.size() && !(d[end] == 0xFF && d[end + 1] != 0 && (d[end + 1] & 0xF8) != 0xD0)) end++;
        out.push_back({i, end, m});
        i = end;
    }
    return out;
}

// An 8 x 8 grey progressive JPEG of six scans (DC; AC 1-5; AC 6-63; three refinements).
const char* PROGRESSIVE_GREY =
    "ffd8ffe000104a46494600010100000100010000ffdb004300080606070605080707070909080a0c140d0c0b0b0c1912"
    "130f141d1a1f1e1d1a1c1c20242e2720222c231c1c2837292c30313434341f27393d38323c2e333432ffc2000b080008"
    "000801011100ffc40014000100000000000000000000000000000002ffda00080101000000013fffc400161001010100"
    "000000000000000000000000020105ffda0008010100010502ca109fffc4001910010002030000000000000000000000"
    "00010002111231ffda0008010100063f02dad803ab3fffc400161001010100000000000000000000000000011100ffda"
    "0008010100013f211c83544037ffda0008010100000010ff00ffc4001710010101010000000000000000000000000111"
    "2100ffda0008010100013f108013c022aab801b7bfffd9";

}  // namespace

// Entropy data that stops at a marker before the image is complete was taken
// for a whole image, its missing blocks filled with grey: a file of a few
// hundred bytes claiming 65500 x 4096 pixels then cost seconds to "decode".
// Data cut short is corrupt, whether the cut ends the file or meets a marker.
TEST(FuzzRegressions, JpegEntropyDataEndingAtAMarkerIsCorrupt) {
    std::vector<uint32_t> px(64 * 64);
    for (size_t i = 0; i < px.size(); i++) px[i] = 0xFF000000u | uint32_t(i * 2654435761u >> 8);
    Bytes good;
    ASSERT_TRUE(image_codec::encode(px.data(), 64, 64, image_codec::JPEG, good));
    ASSERT_TRUE(decodes(good));
    std::vector<Segment> segs = segments_of(good);
    ASSERT_FALSE(segs.empty());
    ASSERT_EQ(segs.back().marker, 0xDA);
    size_t header_end = segs.back().begin + 2 + (size_t(good[segs.back().begin + 2]) << 8 | good[segs.back().begin + 3]);
    size_t data = segs.back().end - header_end;
    for (size_t keep : {size_t(0), data / 4, data / 2, data * 3 / 4}) {
        Bytes cut(good.begin(), good.begin() + long(header_end + keep));
        if (!cut.empty() && cut.back() == 0xFF) cut.pop_back();  // not half a stuffed byte
        cut.push_back(0xFF);
        cut.push_back(0xD9);
        EXPECT_FALSE(decodes(cut)) << "entropy data cut to " << keep << " of " << data << " bytes";
    }
}

// Every scan of a progressive file is a pass over the whole image and can be
// a dozen bytes long: thousands of scans made a small file cost a pass for
// each. A few repeated scans are still read; hundreds are refused.
TEST(FuzzRegressions, JpegWithTooManyScansIsRefused) {
    Bytes file = from_hex(PROGRESSIVE_GREY);
    ASSERT_TRUE(decodes(file));
    std::vector<Segment> scans;
    for (const Segment& s : segments_of(file))
        if (s.marker == 0xDA) scans.push_back(s);
    ASSERT_EQ(scans.size(), 6u);
    const Segment& again = scans[1];  // AC 1-5, first pass: decodes the same each time
    struct Case {
        int repeats;
        bool ok;
    };
    for (Case c : {Case{10, true}, Case{600, false}}) {
        Bytes many(file.begin(), file.begin() + long(again.end));
        for (int k = 0; k < c.repeats; k++) many.insert(many.end(), file.begin() + long(again.begin), file.begin() + long(again.end));
        many.insert(many.end(), file.begin() + long(again.end), file.end());
        EXPECT_EQ(decodes(many), c.ok) << c.repeats << " more scans";
    }
}
