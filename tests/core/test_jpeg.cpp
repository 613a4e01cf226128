// JPEG recompression and reconstruction, without Python.
#include "check.h"

#include "jxlcore/jpeg.h"

#include <vector>

using namespace qmjxl;

namespace {

// A 16x8 grey baseline JPEG written by hand: two blocks (DC +2 with one AC
// coefficient, then DC -1) under a flat quantisation table and the smallest
// Huffman tables that code them.
std::vector<uint8_t> tiny_jpeg(uint8_t sof = 0xC0) {
    std::vector<uint8_t> j = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    j.insert(j.end(), 64, 1);
    const uint8_t frame[] = {0xFF, sof, 0x00, 0x0B, 8, 0x00, 0x08, 0x00, 0x10, 1, 1, 0x11, 0};
    j.insert(j.end(), frame, frame + sizeof frame);
    // DC: categories 0, 1, 2 as 00, 01, 10; AC: end-of-block 00, (0, 1) 01.
    const uint8_t dc[] = {0xFF, 0xC4, 0x00, 0x16, 0x00, 0, 3, 0, 0, 0, 0, 0, 0,
                          0,    0,    0,    0,    0,    0, 0, 0, 0, 1, 2};
    const uint8_t ac[] = {0xFF, 0xC4, 0x00, 0x15, 0x10, 0, 2, 0, 0, 0, 0, 0,
                          0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 1};
    j.insert(j.end(), dc, dc + sizeof dc);
    j.insert(j.end(), ac, ac + sizeof ac);
    // 10 10 01 1 00 | 01 0 00, padded with ones.
    const uint8_t scan[] = {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0x00, 0, 63, 0, 0xA6, 0x23, 0xFF, 0xD9};
    j.insert(j.end(), scan, scan + sizeof scan);
    return j;
}

}  // namespace

TEST(jpeg_recompresses_and_rebuilds_bit_for_bit) {
    const std::vector<uint8_t> jpeg = tiny_jpeg();
    for (bool verify : {true, false}) {
        RecompressOptions opt;
        opt.verify = verify;
        auto stream = recompress_jpeg(jpeg.data(), jpeg.size(), opt);
        CHECK(stream.ok());
        if (!stream.ok()) {
            CHECK_EQ_STR(stream.status().message(), "");
            continue;
        }
        const std::vector<uint8_t> &jxl = stream.value();
        CHECK(signature_ok(jxl.data(), jxl.size()));
        auto rebuilt = reconstruct_jpeg(jxl.data(), jxl.size(), ReconstructOptions{});
        CHECK(rebuilt.ok() && *rebuilt == jpeg);
    }
}

TEST(jpeg_refusals_name_the_reason) {
    std::vector<uint8_t> cut = tiny_jpeg();
    cut.resize(cut.size() - 2);
    const std::vector<uint8_t> arithmetic = tiny_jpeg(0xC9);
    const struct {
        const std::vector<uint8_t> &jpeg;
        const char *message;
    } cases[] = {
        {cut, "jxl: truncated JPEG stream (it ends before its end-of-image marker)"},
        {arithmetic,
         "jxl: this JPEG cannot be recompressed losslessly: arithmetic coding (SOF9) is not "
         "supported by libjxl"},
    };
    for (const auto &c : cases) {
        auto stream = recompress_jpeg(c.jpeg.data(), c.jpeg.size(), RecompressOptions{});
        CHECK(!stream.ok() && stream.status().kind() == StatusKind::kValue);
        CHECK_EQ_STR(stream.status().message(), c.message);
    }
}

TEST(jpeg_reconstruction_refuses_what_it_cannot_rebuild) {
    const std::vector<uint8_t> jpeg = tiny_jpeg();
    RecompressOptions pixels_only;
    pixels_only.keep_metadata = false;
    auto bare = recompress_jpeg(jpeg.data(), jpeg.size(), pixels_only);
    auto full = recompress_jpeg(jpeg.data(), jpeg.size(), RecompressOptions{});
    CHECK(bare.ok() && full.ok());
    if (!bare.ok() || !full.ok()) return;
    auto none = reconstruct_jpeg(bare.value().data(), bare.value().size(), ReconstructOptions{});
    CHECK(!none.ok() && none.status().kind() == StatusKind::kValue);
    CHECK_EQ_STR(none.status().message(), "jxl: no JPEG reconstruction data in this file");
    // Cut inside its codestream, the file runs out rather than failing.
    auto cut = reconstruct_jpeg(full.value().data(), full.value().size() - 8, ReconstructOptions{});
    CHECK(!cut.ok() && cut.status().kind() == StatusKind::kStream);
    CHECK_EQ_STR(cut.status().message(), "jxl: truncated stream while reconstructing the JPEG");
}
