// The one box walker: every box of a JPEG XL file in file order, with the
// contents of its metadata boxes (Exif, XMP, JUMBF), brob boxes decompressed
// and metadata held to a size limit.
#pragma once

#include "jxlcore/byte_source.h"

#include <string>
#include <utility>
#include <vector>

namespace qmjxl {

// A box's contents may claim any size; metadata boxes above this are refused.
constexpr uint64_t kMaxBoxBytes = uint64_t(64) << 20;

struct BoxEntry {
    std::string type;        // printable; the decompressed type of a brob box
    uint64_t size = 0;       // contents as stored (compressed size for brob)
    bool unbounded = false;  // the last box, running to the end of the file
    bool compressed = false;
};

struct BoxScan {
    std::vector<BoxEntry> boxes;
    bool have_exif = false, have_xmp = false, have_jumbf = false;
    std::vector<uint8_t> exif_box, xmp, jumbf;  // the first box of each type
};

// All boxes of the stream in file order (those after the codestream too).
// Fails (JxlError) for a corrupt or truncated stream and for a metadata box
// above kMaxBoxBytes; ValueError for an empty input or one that is not JPEG XL.
StatusOr<BoxScan> scan_boxes(ByteSource &src);

// The contents of the first top-level box of `type` in a container held in
// memory, found from the box headers alone (no pass over the data); null
// for a bare codestream, a stream without such a box, or a box cut short.
std::pair<const uint8_t *, size_t> find_box(const uint8_t *data, size_t size, const char *type);

// Where the TIFF-structured part of an Exif box's contents starts (after its
// offset field) and how long it is, checked; a malformed box is a JxlError.
StatusOr<std::pair<size_t, size_t>> exif_tiff_range(const std::vector<uint8_t> &box);

}  // namespace qmjxl
