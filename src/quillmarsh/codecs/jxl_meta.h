// Metadata of a JPEG XL stream that needs no pixels: the container's boxes
// (Exif, XMP, JUMBF and the box listing) and the frame headers (timing,
// names, layers), read by parse-only decoder passes of their own; and the
// writer's side: box contents, frame durations and names checked and handed
// to an encoder.
#pragma once

#include "bind_common.h"

#include <string>
#include <vector>

namespace qmjxl {

// A box's contents may claim any size; metadata boxes above this are refused.
constexpr uint64_t kMaxBoxBytes = uint64_t(64) << 20;
// Longest frame name a frame header can hold, in UTF-8 bytes.
constexpr size_t kMaxFrameName = 1071;
// The writer's time base: ticks per second, so whole milliseconds are exact.
constexpr uint32_t kTicksPerSecond = 1000;

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

// ---- writing -------------------------------------------------------------

// Exif box contents (offset field + TIFF data) from TIFF data with or
// without a leading "Exif\0\0"; None gives an empty object. Raises ValueError.
nb::bytes exif_box_contents(nb::handle exif);
// A metadata payload as bytes (None gives an empty object); `what` names the
// argument in errors. Raises TypeError / ValueError.
nb::bytes box_payload(nb::handle value, const char *what);
// Seconds as ticks of kTicksPerSecond; ValueError for negative, NaN,
// infinite or too long durations.
uint32_t duration_ticks(nb::handle seconds, const char *what);
// A frame name as UTF-8 (str, no NUL, at most kMaxFrameName bytes).
std::string frame_name_utf8(nb::handle name);

struct PendingBox {
    char type[4];
    nb::bytes contents;
};
// Adds the boxes to `enc` (JxlEncoderUseBoxes must have been called).
void add_boxes(JxlEncoder *enc, const std::vector<PendingBox> &boxes, bool compress);

// The writer's metadata options, checked at construction and applied at the
// first frame (boxes, time base, loops) and at every frame (its header).
struct WriterMeta {
    std::vector<PendingBox> boxes;
    bool compress_boxes = false;
    bool animation = false;
    uint32_t default_ticks = kTicksPerSecond / 10;  // 0.1 s per frame
    std::vector<uint32_t> ticks;                     // one per frame, when a sequence was given
    bool per_frame = false;
    uint32_t num_loops = 0;
    // SMPTE timecodes (0xHHMMSSFF), one per frame, when a sequence was given.
    std::vector<uint32_t> timecodes;
    bool timecodes_given = false;
    // Whether the frames carry timecodes: decided at the first frame (given
    // a sequence, or a timecode on that frame), since the basic info says so.
    bool have_timecodes = false;

    // `duration`: None, a number of seconds or a sequence of them; `loops`:
    // plays, 0 for forever; `timecodes`: None or a sequence of 32-bit
    // timecodes. Raises TypeError / ValueError.
    void parse(nb::handle exif, nb::handle xmp, nb::handle jumbf, nb::handle compress,
               nb::handle duration, nb::handle loops, nb::handle timecodes, bool animation);
    bool wants_container() const { return !boxes.empty(); }
    // Before JxlEncoderSetBasicInfo: the time base and loop count.
    void fill_basic_info(JxlBasicInfo &info) const;
    // After JxlEncoderUseContainer and before the first frame.
    void add_boxes_to(JxlEncoder *enc) const;
    // Frame header of frame `index` (0-based); `duration`, `name` and
    // `timecode` are write_frame's (None: the writer's own).
    void set_frame_header(JxlEncoder *enc, JxlEncoderFrameSettings *fs, size_t index,
                          bool is_last, nb::handle duration, nb::handle name,
                          nb::handle timecode = nb::handle()) const;
};

void register_meta(nb::module_ &m);

}  // namespace qmjxl
