// The box walker (see boxes.h).
#include "jxlcore/boxes.h"

#include "jxlcore/parse_pass.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qmjxl {

namespace {

std::string mib(uint64_t n) { return std::to_string(n >> 20) + " MiB"; }

// A box type as printable text (types are four bytes, not always ASCII).
std::string box_type_text(const JxlBoxType t) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = static_cast<unsigned char>(t[i]);
        if (c >= 0x20 && c < 0x7f) {
            s += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            s += hex;
        }
    }
    return s;
}

const char *box_label(const std::string &type) {
    if (type == "Exif") return "Exif";
    if (type == "xml ") return "XMP (\"xml \")";
    return "JUMBF (\"jumb\")";
}

// Lists the boxes as libjxl reaches them and collects the contents of the
// first Exif, XMP and JUMBF box into a buffer that grows as libjxl asks.
class BoxCollector {
public:
    explicit BoxCollector(JxlDecoder *dec) : dec_(dec) {}

    Status on_event(JxlDecoderStatus st) {
        if (st == JXL_DEC_BOX) {
            finish();
            return on_box();
        }
        if (st == JXL_DEC_BOX_NEED_MORE_OUTPUT) return grow();
        if (st == JXL_DEC_BOX_COMPLETE) finish();
        return Status::Ok();
    }
    // The contents collected so far trimmed to what libjxl wrote.
    void finish() {
        if (!target_) return;
        const size_t rest = JxlDecoderReleaseBoxBuffer(dec_);
        target_->resize(target_->size() - rest);
        target_ = nullptr;
    }
    BoxScan take() { return std::move(scan_); }

private:
    Status on_box();
    Status grow();
    Status give_room() {
        const JxlDecoderStatus st =
            JxlDecoderSetBoxBuffer(dec_, target_->data() + filled_, target_->size() - filled_);
        if (st != JXL_DEC_SUCCESS) return Status::DecoderCall("JxlDecoderSetBoxBuffer", st);
        return Status::Ok();
    }

    JxlDecoder *dec_;
    BoxScan scan_;
    std::vector<uint8_t> *target_ = nullptr;  // contents being collected
    std::string target_type_;
    size_t filled_ = 0;
};

Status BoxCollector::on_box() {
    JxlBoxType raw, type;
    if (JxlDecoderGetBoxType(dec_, raw, JXL_FALSE) != JXL_DEC_SUCCESS ||
        JxlDecoderGetBoxType(dec_, type, JXL_TRUE) != JXL_DEC_SUCCESS)
        return StreamError("jxl: corrupt box header (no box type)");
    uint64_t raw_size = 0, size = 0;
    (void)JxlDecoderGetBoxSizeRaw(dec_, &raw_size);
    (void)JxlDecoderGetBoxSizeContents(dec_, &size);
    BoxEntry e;
    e.type = box_type_text(type);
    e.compressed = std::memcmp(raw, "brob", 4) == 0;
    e.unbounded = raw_size == 0;
    e.size = size;
    scan_.boxes.push_back(e);

    std::vector<uint8_t> *want = nullptr;
    bool *have = nullptr;
    if (e.type == "Exif") {
        want = &scan_.exif_box;
        have = &scan_.have_exif;
    } else if (e.type == "xml ") {
        want = &scan_.xmp;
        have = &scan_.have_xmp;
    } else if (e.type == "jumb") {
        want = &scan_.jumbf;
        have = &scan_.have_jumbf;
    }
    if (!want || *have) return Status::Ok();  // only the first box of each kind
    if (!e.compressed && !e.unbounded && size > kMaxBoxBytes)
        return StreamError(std::string("jxl: ") + box_label(e.type) + " box of " +
                           std::to_string(size) + " bytes is larger than the " +
                           mib(kMaxBoxBytes) + " limit for metadata boxes");
    // A compressed or unbounded box's size says little: start with a guess.
    uint64_t cap = e.compressed || e.unbounded ? std::max<uint64_t>(size * 4, 65536)
                                               : std::max<uint64_t>(size, 1);
    cap = std::min(cap, kMaxBoxBytes);
    *have = true;
    want->assign(static_cast<size_t>(cap), 0);
    target_ = want;
    target_type_ = e.type;
    filled_ = 0;
    return give_room();
}

Status BoxCollector::grow() {
    if (!target_) return StreamError("jxl: box output requested without a buffer");
    filled_ = target_->size() - JxlDecoderReleaseBoxBuffer(dec_);
    if (target_->size() >= kMaxBoxBytes)
        return StreamError(std::string("jxl: ") + box_label(target_type_) +
                           " box is larger than the " + mib(kMaxBoxBytes) +
                           " limit for metadata boxes");
    target_->resize(
        static_cast<size_t>(std::min<uint64_t>(uint64_t(target_->size()) * 2, kMaxBoxBytes)));
    return give_room();
}

}  // namespace

StatusOr<BoxScan> scan_boxes(ByteSource &src) {
    QM_ASSIGN_OR_RETURN(JxlDecoderPtr owner,
                        make_parse_decoder(JXL_DEC_BOX | JXL_DEC_BOX_COMPLETE));
    JxlDecoder *dec = owner.get();
    if (JxlDecoderSetDecompressBoxes(dec, JXL_TRUE) != JXL_DEC_SUCCESS)
        return StreamError("jxl: this libjxl cannot decompress brob boxes (built without Brotli)");
    BoxCollector boxes(dec);
    QM_RETURN_IF_ERROR(run_parse_pass(dec, src, "its boxes",
                                      [&](JxlDecoderStatus st) { return boxes.on_event(st); }));
    boxes.finish();
    return boxes.take();
}

StatusOr<std::pair<size_t, size_t>> exif_tiff_range(const std::vector<uint8_t> &box) {
    if (box.size() < 4)
        return StreamError("jxl: malformed Exif box: " + std::to_string(box.size()) +
                           " bytes, too short for its 4-byte offset field");
    const uint32_t offset = (uint32_t(box[0]) << 24) | (uint32_t(box[1]) << 16) |
                            (uint32_t(box[2]) << 8) | uint32_t(box[3]);
    if (offset > box.size() - 4)
        return StreamError("jxl: malformed Exif box: its TIFF header offset " +
                           std::to_string(offset) + " points past its end");
    const size_t start = 4 + offset;
    const size_t n = box.size() - start;
    const uint8_t *tiff = box.data() + start;
    if (n < 8 || !(std::memcmp(tiff, "II*\0", 4) == 0 || std::memcmp(tiff, "MM\0*", 4) == 0))
        return StreamError(
            "jxl: malformed Exif box: no TIFF header (\"II*\\0\" or \"MM\\0*\") at its offset");
    return std::make_pair(start, n);
}

std::pair<const uint8_t *, size_t> find_box(const uint8_t *data, size_t size, const char *type) {
    static const uint8_t kSignature[12] = {0, 0, 0, 12, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    if (size < sizeof kSignature || std::memcmp(data, kSignature, sizeof kSignature) != 0)
        return {nullptr, 0};
    auto be = [&](size_t at, int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 8) | data[at + i];
        return v;
    };
    size_t pos = 0;
    while (size - pos >= 8) {
        uint64_t len = be(pos, 4);
        size_t head = 8;
        if (len == 1) {
            if (size - pos < 16) break;
            len = be(pos + 8, 8);
            head = 16;
        } else if (len == 0) {
            len = size - pos;
        }
        if (len < head || len > size - pos) break;
        if (std::memcmp(data + pos + 4, type, 4) == 0)
            return {data + pos + head, static_cast<size_t>(len) - head};
        pos += static_cast<size_t>(len);
    }
    return {nullptr, 0};
}

}  // namespace qmjxl
