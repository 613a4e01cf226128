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

std::vector<uint8_t> bytes_of(const ByteSink &sink) {
    return std::vector<uint8_t>(sink.data(), sink.data() + sink.size());
}

}  // namespace

TEST(jpeg_recompresses_and_rebuilds_bit_for_bit) {
    const std::vector<uint8_t> jpeg = tiny_jpeg();
    for (bool verify : {true, false}) {
        RecompressOptions opt;
        opt.verify = verify;
        ByteSink stream, rebuilt;
        const Status made = recompress_jpeg(jpeg.data(), jpeg.size(), opt, stream);
        CHECK_EQ_STR(made.message(), "");
        CHECK(made.ok() && signature_ok(stream.data(), stream.size()));
        CHECK(reconstruct_jpeg(stream.data(), stream.size(), ReconstructOptions{}, rebuilt).ok());
        CHECK(bytes_of(rebuilt) == jpeg);
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
        ByteSink stream;
        const Status s = recompress_jpeg(c.jpeg.data(), c.jpeg.size(), RecompressOptions{}, stream);
        CHECK(s.kind() == StatusKind::kValue);
        CHECK_EQ_STR(s.message(), c.message);
    }
}

TEST(jpeg_reconstruction_refuses_what_it_cannot_rebuild) {
    const std::vector<uint8_t> jpeg = tiny_jpeg();
    RecompressOptions pixels_only;
    pixels_only.keep_metadata = false;
    ByteSink bare, full, out;
    CHECK(recompress_jpeg(jpeg.data(), jpeg.size(), pixels_only, bare).ok());
    CHECK(recompress_jpeg(jpeg.data(), jpeg.size(), RecompressOptions{}, full).ok());
    const Status none = reconstruct_jpeg(bare.data(), bare.size(), ReconstructOptions{}, out);
    CHECK(none.kind() == StatusKind::kValue);
    CHECK_EQ_STR(none.message(), "jxl: no JPEG reconstruction data in this file");
    // Cut inside its codestream, the file runs out rather than failing.
    const Status cut = reconstruct_jpeg(full.data(), full.size() - 8, ReconstructOptions{}, out);
    CHECK(cut.kind() == StatusKind::kStream);
    CHECK_EQ_STR(cut.message(), "jxl: truncated stream while reconstructing the JPEG");
}
