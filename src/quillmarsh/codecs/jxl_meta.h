// Metadata of a JPEG XL stream that needs no pixels: the container's boxes
// (Exif, XMP, JUMBF and the box listing) and the frame headers (timing,
// names, layers), read by parse-only decoder passes of their own.
#pragma once

#include "bind_common.h"

#include <string>
#include <vector>

namespace qmjxl {

// A box's contents may claim any size; metadata boxes above this are refused.
constexpr uint64_t kMaxBoxBytes = uint64_t(64) << 20;
// Longest frame name a frame header can hold, in UTF-8 bytes.
constexpr size_t kMaxFrameName = 1071;

// Where a metadata pass reads its bytes: a span that stays valid for the
// pass, or a binary file object read in chunks (with the lock held).
class MetaInput {
public:
    static MetaInput memory(const uint8_t *data, size_t size) {
        MetaInput in;
        in.data_ = data;
        in.size_ = size;
        return in;
    }
    static MetaInput file(nb::object readable) {
        MetaInput in;
        in.file_ = std::move(readable);
        return in;
    }
    // A file descriptor read with pread from `offset` on: the descriptor's
    // own position (which another reader may be using) is left alone.
    static MetaInput fd(int fd, int64_t offset) {
        MetaInput in;
        in.fd_ = fd;
        in.pos_ = offset;
        return in;
    }
    // The first input for `dec`; false for an empty stream.
    bool start(JxlDecoder *dec);
    // After NEED_MORE_INPUT: the unconsumed tail plus the next chunk; false
    // when the input has ended.
    bool refill(JxlDecoder *dec);

private:
    bool read_chunk();
    bool chunked() const { return file_.is_valid() || fd_ >= 0; }
    int fd_ = -1;
    int64_t pos_ = 0;
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    nb::object file_;
    std::vector<uint8_t> buf_;
    bool eof_ = false;
};

// The input of a metadata probe function: a path or a file-like is read in
// chunks (a file-like from where it stands), a bytes-like is used in place.
struct ProbeSource {
    ByteView view;
    nb::object file;
    bool own_file = false;
    ~ProbeSource();
    MetaInput input();
    void open(nb::handle data);
};

struct BoxEntry {
    std::string type;   // the decompressed type of a brob box
    uint64_t size = 0;  // contents as stored (compressed size for brob)
    bool unbounded = false;  // the last box, running to the end of the file
    bool compressed = false;
};

struct BoxScan {
    std::vector<BoxEntry> boxes;
    bool have_exif = false, have_xmp = false, have_jumbf = false;
    std::vector<uint8_t> exif_box, xmp, jumbf;  // the first box of each type
};

// All boxes of the stream in file order (those after the codestream too),
// with the first Exif, "xml " and "jumb" boxes' contents, brob boxes
// decompressed. Raises JxlError for a corrupt or truncated stream and for a
// metadata box above kMaxBoxBytes.
BoxScan scan_boxes(MetaInput &in);

// The TIFF-structured part of an Exif box (after its offset field), checked.
nb::bytes exif_payload(const std::vector<uint8_t> &box);

// The BoxScan as Python objects: exif, xmp and jumbf as bytes or None, boxes
// as a list of (type, size, compressed).
nb::dict boxes_to_dict(const BoxScan &scan);
nb::list box_list(const BoxScan &scan);

// One dict per frame, as a decoder with coalescing on or off delivers them.
nb::list scan_frames(MetaInput &in, bool coalesce);

void register_meta(nb::module_ &m);

}  // namespace qmjxl
