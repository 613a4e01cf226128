// The marker walk of a JPEG and the check of its DC coefficients.
//
// libjxl accepts any DC coefficient that fits 16 bits, but rebuilds the JPEG
// with each one clamped to -2047..2047 (the range of an 8-bit JPEG's DCT): a
// damaged JPEG whose DC predictions drift beyond it would come back with
// other bytes. Finding the DC values means decoding the Huffman-coded data:
// all of it in a sequential scan, the DC scans only in a progressive JPEG.
#include "jxlcore/jpeg_scan.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace qmjxl {

namespace {

JpegCheck fail(JpegCheck::Kind kind, std::string reason) { return {kind, std::move(reason), false}; }

// ---- what the entropy check needs from the headers ----------------------------

struct Frame {
    unsigned width = 0, height = 0, ncomp = 0;
    unsigned id[3] = {}, h[3] = {}, v[3] = {};
    unsigned hmax = 1, vmax = 1;
    bool progressive = false;
};

constexpr int kFastBits = 10;

// Entries of Huffman::skip: the bits of an AC code and its extra bits, and
// how far it moves along the block.
constexpr unsigned kSkipCoefficient = 0x80;  // a coefficient: its position is checked
constexpr unsigned kSkipEndOfBlock = 64;

// A JPEG Huffman code: codes up to kFastBits long by table look-up, longer
// ones by the canonical code's largest code per length.
struct Huffman {
    bool defined = false;
    uint16_t fast[1 << kFastBits];  // (length << 8) | symbol; 0: a longer code
    // For AC codes: (bits << 8) | kSkipCoefficient | (run + 1), or ZRL's 16,
    // or kSkipEndOfBlock, when code and extra bits fit kFastBits; else 0.
    uint16_t skip[1 << kFastBits];
    int32_t maxcode[17];  // largest code of each length, -1 for none
    int32_t offset[17];   // values[offset[len] + code] is the symbol
    uint8_t values[256];
};

// False for lengths that are not a prefix code.
bool build_huffman(const uint8_t *counts, const uint8_t *values, size_t n, Huffman *h) {
    std::memset(h->fast, 0, sizeof h->fast);
    std::memset(h->skip, 0, sizeof h->skip);
    std::memcpy(h->values, values, n);
    int32_t code = 0;
    size_t k = 0;
    for (int len = 1; len <= 16; ++len) {
        const int32_t count = counts[len - 1];
        if (code + count > (int32_t{1} << len)) return false;
        h->offset[len] = static_cast<int32_t>(k) - code;
        h->maxcode[len] = count ? code + count - 1 : -1;
        for (int32_t i = 0; i < count; ++i, ++k, ++code) {
            if (len > kFastBits) continue;
            const int shift = kFastBits - len;
            const unsigned sym = values[k], run = sym >> 4, extra = sym & 15;
            unsigned skip = 0;
            if (extra && extra <= 11 && len + static_cast<int>(extra) <= kFastBits)
                skip = ((len + extra) << 8) | kSkipCoefficient | (run + 1);
            else if (sym == 0xF0)
                skip = (len << 8) | 16;
            else if (sym == 0x00)
                skip = (len << 8) | kSkipEndOfBlock;
            for (int j = 0; j < (1 << shift); ++j) {
                h->fast[(code << shift) | j] = static_cast<uint16_t>((len << 8) | sym);
                h->skip[(code << shift) | j] = static_cast<uint16_t>(skip);
            }
        }
        code <<= 1;
    }
    h->defined = true;
    return true;
}

// Bits of one stretch of entropy-coded data (up to the next marker), with
// the stuffed zero after each 0xFF removed. Past the end it reads zeros and
// counts them: reading any means the data ran out.
class ScanBits {
public:
    ScanBits(const uint8_t *p, const uint8_t *end) : p_(p), end_(end) {}
    // At least 32 bits ready: one code (16) and its extra bits (up to 15).
    void need() {
        if (n_ < 32) fill();
    }
    unsigned peek(int k) const { return static_cast<unsigned>(acc_ >> (n_ - k)) & ((1u << k) - 1); }
    void skip(int k) { n_ -= k; }
    unsigned take(int k) {
        const unsigned v = peek(k);
        n_ -= k;
        return v;
    }
    bool overran() const { return n_ < padding_; }

private:
    void fill() {
        // Whole words while they hold no 0xFF (most of the data).
        if (end_ - p_ >= 8) {
            uint64_t w;
            std::memcpy(&w, p_, 8);
            w = __builtin_bswap64(w);
            const uint64_t ones = 0x0101010101010101ull;
            if ((((~w) - ones) & w & (ones << 7)) == 0) {
                const int bytes = (63 - n_) >> 3;  // 4 to 7, as n_ < 32
                acc_ = (acc_ << (8 * bytes)) | (w >> (64 - 8 * bytes));
                n_ += 8 * bytes;
                p_ += bytes;
                return;
            }
        }
        while (n_ <= 56) {
            uint8_t b = 0;
            if (p_ < end_) {
                b = *p_++;
                if (b == 0xFF) ++p_;  // its stuffed zero
            } else {
                padding_ += 8;
            }
            acc_ = (acc_ << 8) | b;
            n_ += 8;
        }
    }
    const uint8_t *p_, *end_;
    uint64_t acc_ = 0;
    int n_ = 0;        // bits in acc_ not yet read
    int padding_ = 0;  // zero bits fed after the end (a block reads fewer than 2000)
};

// The symbol of the next code; -1 if the bits are no code of `h`. After need().
inline int read_symbol(ScanBits &b, const Huffman &h) {
    const unsigned e = h.fast[b.peek(kFastBits)];
    if (e) {
        b.skip(static_cast<int>(e >> 8));
        return static_cast<int>(e & 255);
    }
    for (int len = kFastBits + 1; len <= 16; ++len) {
        const int32_t code = static_cast<int32_t>(b.peek(len));
        if (code <= h.maxcode[len]) {
            b.skip(len);
            return h.values[h.offset[len] + code];
        }
    }
    return -1;
}

inline int extend(unsigned bits, int s) {
    return bits < (1u << (s - 1)) ? static_cast<int>(bits) - (1 << s) + 1 : static_cast<int>(bits);
}

// Start of the next marker at or after `pos` (a 0xFF not followed by a
// stuffed zero); `size` if there is none.
size_t next_marker(const uint8_t *d, size_t size, size_t pos) {
    while (pos + 1 < size) {
        const void *ff = std::memchr(d + pos, 0xFF, size - 1 - pos);
        if (!ff) break;
        pos = static_cast<size_t>(static_cast<const uint8_t *>(ff) - d);
        if (d[pos + 1] != 0x00) return pos;
        pos += 2;
    }
    return size;
}

struct ScanComponent {
    unsigned comp = 0;  // index into the frame's components
    const Huffman *dc = nullptr, *ac = nullptr;
};

enum class DcVerdict { kInRange, kOutOfRange, kUndecided };

struct DcResult {
    DcVerdict verdict = DcVerdict::kInRange;
    long value = 0;
    unsigned comp = 0;
};

// Decodes the DC coefficients of the scan whose data starts at `pos`, the
// way libjxl's JPEG reader does, and checks them against kMaxJpegDc.
// kUndecided: data the check cannot follow (an invalid code, data running
// out, a missing restart marker, ...); libjxl normally refuses such a JPEG.
DcResult check_scan_dc(const uint8_t *d, size_t size, size_t pos, const Frame &f,
                       const ScanComponent *sc, unsigned ns, unsigned ss, unsigned se, unsigned ah,
                       unsigned al, unsigned restart_interval) {
    DcResult res;
    const auto undecided = [&res]() {
        res.verdict = DcVerdict::kUndecided;
        return res;
    };
    bool with_ac = true;
    if (f.progressive) {
        if (ss != 0 || ah != 0) return res;  // AC bands and refinements hold no new DC
        if (se != 0 || al > 10) return undecided();
        with_ac = false;
    } else {
        al = 0;  // sequential scans code every coefficient, unshifted
    }
    for (unsigned i = 0; i < ns; ++i)
        if (!sc[i].dc->defined || (with_ac && !sc[i].ac->defined)) return undecided();

    uint64_t mcu_x, mcu_y;
    unsigned blocks_h[4] = {1, 1, 1, 1}, blocks_v[4] = {1, 1, 1, 1};
    if (ns == 1) {
        const unsigned c = sc[0].comp;
        mcu_x = (uint64_t{f.width} * f.h[c] + 8 * f.hmax - 1) / (8 * f.hmax);
        mcu_y = (uint64_t{f.height} * f.v[c] + 8 * f.vmax - 1) / (8 * f.vmax);
    } else {
        mcu_x = (uint64_t{f.width} + 8 * f.hmax - 1) / (8 * f.hmax);
        mcu_y = (uint64_t{f.height} + 8 * f.vmax - 1) / (8 * f.vmax);
        for (unsigned i = 0; i < ns; ++i) {
            blocks_h[i] = f.h[sc[i].comp];
            blocks_v[i] = f.v[sc[i].comp];
        }
    }
    const long scale = 1L << al;
    uint64_t remaining = mcu_x * mcu_y;
    unsigned next_restart = 0;
    for (;;) {
        const size_t end = next_marker(d, size, pos);
        ScanBits bits(d + pos, d + end);
        long pred[4] = {0, 0, 0, 0};
        uint64_t todo = restart_interval ? std::min<uint64_t>(restart_interval, remaining) : remaining;
        remaining -= todo;
        for (; todo > 0; --todo) {
            for (unsigned i = 0; i < ns; ++i) {
                for (unsigned b = 0; b < blocks_h[i] * blocks_v[i]; ++b) {
                    bits.need();
                    const int s = read_symbol(bits, *sc[i].dc);
                    if (s < 0 || s > 11) return undecided();
                    pred[i] += s ? extend(bits.take(s), s) : 0;
                    // A progressive DC scan leaves the low `al` bits to a
                    // refinement scan: the coefficient ends within [lo, hi].
                    const long lo = pred[i] * scale, hi = lo + scale - 1;
                    if (lo > kMaxJpegDc || hi < -kMaxJpegDc) {
                        res.verdict = DcVerdict::kOutOfRange;
                        res.value = lo;
                        res.comp = sc[i].comp;
                        return res;
                    }
                    if (lo < -kMaxJpegDc || hi > kMaxJpegDc) return undecided();
                    const Huffman &ac = *sc[i].ac;
                    for (int k = 1; with_ac && k < 64;) {
                        bits.need();
                        // Only where each code ends matters, not the values.
                        const unsigned skip = ac.skip[bits.peek(kFastBits)];
                        if (skip) {
                            // A coefficient past the block's end makes libjxl refuse
                            // the JPEG: no need to tell it from the end of the block.
                            bits.skip(static_cast<int>(skip >> 8));
                            k += static_cast<int>(skip & 0x7F);
                            continue;
                        }
                        const int rs = read_symbol(bits, ac);
                        if (rs < 0) return undecided();
                        const int r = rs >> 4, size_bits = rs & 15;
                        if (size_bits) {
                            k += r;
                            if (k > 63 || size_bits > 11) return undecided();
                            bits.skip(size_bits);
                            ++k;
                        } else if (r == 15) {
                            k += 16;
                        } else if (r == 0) {
                            break;
                        } else {
                            return undecided();  // an end-of-band run outside a progressive scan
                        }
                    }
                    if (bits.overran()) return undecided();
                }
            }
        }
        if (remaining == 0) return res;
        if (end + 1 >= size || d[end + 1] != 0xD0 + next_restart) return undecided();
        next_restart = (next_restart + 1) & 7;
        pos = end + 2;
    }
}

// Frame header (SOFn): precision, size, components, sampling factors.
JpegCheck check_frame_header(const uint8_t *seg, size_t len, unsigned marker, Frame *f) {
    if (len < 8) return fail(JpegCheck::kCorrupt, "frame header too short");
    const unsigned precision = seg[2];
    const unsigned height = (seg[3] << 8) | seg[4];
    const unsigned width = (seg[5] << 8) | seg[6];
    const unsigned ncomp = seg[7];
    if (len < 8 + 3 * size_t{ncomp}) return fail(JpegCheck::kCorrupt, "frame header too short");
    if (precision != 8)
        return fail(JpegCheck::kUnsupported, std::to_string(precision) + "-bit samples");
    if (width == 0) return fail(JpegCheck::kCorrupt, "image width 0");
    if (height == 0)
        return fail(JpegCheck::kUnsupported, "image height given after the first scan (DNL)");
    if (ncomp != 1 && ncomp != 3) {
        std::string what = std::to_string(ncomp) + " colour components";
        if (ncomp == 4) what += " (CMYK or YCCK)";
        return fail(JpegCheck::kUnsupported, what);
    }
    // Each component is sampled 1 or 2 times per direction in an MCU.
    std::string factors;
    bool ok = true;
    f->width = width;
    f->height = height;
    f->ncomp = ncomp;
    f->progressive = marker == 0xC2;
    for (unsigned c = 0; c < ncomp; ++c) {
        const unsigned h = seg[9 + 3 * c] >> 4, v = seg[9 + 3 * c] & 15;
        if (h == 0 || v == 0) return fail(JpegCheck::kCorrupt, "sampling factor 0");
        ok = ok && h <= 2 && v <= 2;
        factors += (c ? ", " : "") + std::to_string(h) + "x" + std::to_string(v);
        f->id[c] = seg[8 + 3 * c];
        f->h[c] = h;
        f->v[c] = v;
        f->hmax = std::max(f->hmax, h);
        f->vmax = std::max(f->vmax, v);
    }
    if (!ok)
        return fail(JpegCheck::kUnsupported,
                    "chroma sampling factors " + factors + " (1 or 2 per direction only)");
    return {};
}

uint64_t div_ceil(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// Coefficient memory below which no evidence of image data is asked for.
constexpr uint64_t kFreeCoefficientBytes = uint64_t(64) << 20;

// Blocks of a scan: whole MCUs when interleaved, else the component's own.
uint64_t scan_blocks(const Frame &f, const unsigned *comps, unsigned n) {
    if (n == 1) {
        const unsigned c = comps[0];
        return div_ceil(uint64_t{f.width} * f.h[c], 8 * f.hmax) *
               div_ceil(uint64_t{f.height} * f.v[c], 8 * f.vmax);
    }
    const uint64_t mcus = div_ceil(f.width, 8 * f.hmax) * div_ceil(f.height, 8 * f.vmax);
    uint64_t blocks = 0;
    for (unsigned k = 0; k < n; ++k) blocks += mcus * f.h[comps[k]] * f.v[comps[k]];
    return blocks;
}

// libjxl allocates every component's DCT coefficients (128 bytes a block)
// when it reads the frame header, so a few hundred bytes claiming 65535 x
// 65535 pixels would commit gigabytes. A scan that carries DC values spends
// at least one bit per block (each Huffman code has one) and libjxl refuses a
// scan whose data runs out, so a large frame is accepted only when each
// component has a DC scan with enough bytes for its blocks (`covered`).
JpegCheck check_data_covers_frame(const Frame &f, const bool covered[3], uint64_t data_bytes) {
    const uint64_t mcu_cols = div_ceil(f.width, 8 * f.hmax);
    const uint64_t mcu_rows = div_ceil(f.height, 8 * f.vmax);
    uint64_t coef = 0;
    for (unsigned c = 0; c < f.ncomp; ++c) coef += mcu_cols * f.h[c] * mcu_rows * f.v[c] * 128;
    if (coef <= kFreeCoefficientBytes) return {};
    for (unsigned c = 0; c < f.ncomp; ++c) {
        if (covered[c]) continue;
        return fail(JpegCheck::kCorrupt,
                    std::to_string(f.width) + "x" + std::to_string(f.height) +
                        " pixels claimed, but only " + std::to_string(data_bytes) +
                        " bytes of image data; refused before allocating " +
                        std::to_string(coef >> 20) + " MiB for its coefficients");
    }
    return {};
}

// What a start-of-frame marker other than C0/C1/C2 means.
std::string sof_kind(unsigned m) {
    if (m == 0xC3) return "lossless JPEG (SOF3)";
    if (m >= 0xC5 && m <= 0xC7) return "hierarchical JPEG (SOF" + std::to_string(m - 0xC0) + ")";
    if (m == 0xCB) return "lossless JPEG with arithmetic coding (SOF11)";
    if (m >= 0xCD) return "hierarchical JPEG with arithmetic coding (SOF" + std::to_string(m - 0xC0) + ")";
    return "arithmetic coding (SOF" + std::to_string(m - 0xC0) + ")";
}

// Huffman tables of a DHT segment into dc[]/ac[]; false if malformed.
bool read_tables(const uint8_t *seg, size_t len, Huffman *dc, Huffman *ac) {
    size_t p = 2;
    while (p < len) {
        if (p + 17 > len) return false;
        const unsigned cls = seg[p] >> 4, slot = seg[p] & 15;
        size_t n = 0;
        for (int i = 1; i <= 16; ++i) n += seg[p + i];
        if (cls > 1 || slot > 3 || n > 256 || p + 17 + n > len) return false;
        Huffman *h = cls ? &ac[slot] : &dc[slot];
        if (!build_huffman(seg + p + 1, seg + p + 17, n, h)) return false;
        p += 17 + n;
    }
    return true;
}


// Whether libjxl's JPEG reader takes 0xFF `b` for a marker: the ones it
// reads, and those of coding modes it cannot (refused here by name). Any
// other 0xFF pair is data it keeps between markers.
bool is_marker(unsigned b) {
    return (b >= 0xC0 && b <= 0xEF && b != 0xC8 && b != 0xD8) || b == 0xFE;
}

// The APP2 "ICC_PROFILE" chunks of a JPEG, judged as libjxl does. To rebuild
// the JPEG it replaces the chunks it takes for the profile (chunks 1, 2, ...
// of one count, in order, skipping others) with the profile it stores; it
// stores the profile only when every ICC chunk is one of chunks 1 to N of N,
// in order. A stray, repeated or misnumbered chunk beside a good run leaves
// the JPEG rebuilt from another profile, or not at all; an incomplete run is
// refused by libjxl.
class IccChunks {
public:
    void add(const uint8_t *p, size_t n) {
        static const uint8_t kTag[12] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
        if (n < 12 || std::memcmp(p, kTag, 12) != 0) return;
        const bool numbered = n >= 14;
        const unsigned id = numbered ? p[12] : 0, count = numbered ? p[13] : 0;
        seen_ += std::string(seen_.empty() ? "" : ", ") +
                 (numbered ? std::to_string(id) + " of " + std::to_string(count) : "unnumbered");
        // The chunks libjxl puts the stored profile into.
        if (numbered && id == taken_ + 1) {
            if (declared_ == 0) declared_ = count;
            if (declared_ == count) ++taken_;
        }
        // The profile itself.
        ++ordinal_;
        if (!numbered || id != ordinal_ || count == 0 || (total_ && count != total_) || id > count)
            whole_ = false;
        if (!total_) total_ = count;
    }
    // Empty when libjxl rebuilds the chunks as they are.
    std::string problem() const {
        if (taken_ != declared_)
            return "its ICC profile is incomplete or out of order (APP2 ICC_PROFILE chunks " +
                   seen_ + "); libjxl cannot store it to rebuild the JPEG";
        if (taken_ > 0 && (!whole_ || ordinal_ != total_))
            return "its APP2 ICC_PROFILE chunks (" + seen_ + ") are not one profile in chunks "
                   "1 to N of N, in order (a stray or repeated chunk?); libjxl would not rebuild "
                   "them";
        return {};
    }

private:
    unsigned taken_ = 0, declared_ = 0;  // libjxl's chunk count and the count declared
    unsigned ordinal_ = 0, total_ = 0;
    bool whole_ = true;
    std::string seen_;
};

// Checks the DC coefficients of the scan whose header is `seg` (`len`
// bytes, its data from `pos` on). True while the check can go on; false when
// it cannot follow the data, or when a value is outside what libjxl rebuilds
// (then named in `clamped`).
bool scan_dc_in_range(const uint8_t *d, size_t size, size_t pos, const uint8_t *seg, size_t len,
                      const Frame &frame, Huffman *dc, Huffman *ac, unsigned restart_interval,
                      std::string *clamped) {
    // Scan header: components with their tables, then Ss, Se, Ah/Al.
    const unsigned ns = len >= 3 ? seg[2] : 0;
    ScanComponent sc[4];
    bool known = ns >= 1 && ns <= frame.ncomp && len == 6 + 2 * size_t{ns};
    for (unsigned i = 0; known && i < ns; ++i) {
        const unsigned id = seg[3 + 2 * i], tables = seg[4 + 2 * i];
        unsigned c = 0;
        while (c < frame.ncomp && frame.id[c] != id) ++c;
        known = c < frame.ncomp && (tables >> 4) <= 3 && (tables & 15) <= 3;
        if (known) sc[i] = {c, &dc[tables >> 4], &ac[tables & 15]};
    }
    if (!known) return false;
    const uint8_t *tail = seg + 3 + 2 * ns;
    const DcResult r = check_scan_dc(d, size, pos, frame, sc, ns, tail[0], tail[1], tail[2] >> 4,
                                     tail[2] & 15, restart_interval);
    if (r.verdict == DcVerdict::kOutOfRange)
        *clamped = "its DC coefficient " + std::to_string(r.value) + " (component " +
                   std::to_string(r.comp + 1) + ") is outside -2047..2047, which libjxl would "
                   "clamp (a damaged JPEG?)";
    return r.verdict == DcVerdict::kInRange;
}

// The variant a marker announces that libjxl does not recompress, or empty.
std::string unsupported_variant(unsigned m) {
    if (m >= 0xC3 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) return sof_kind(m);
    if (m == 0xCC) return "arithmetic coding (DAC)";
    if (m == 0xDE || m == 0xDF) return "hierarchical JPEG (DHP/EXP)";
    if (m == 0xDC) return "image height given after the first scan (DNL)";
    return {};
}

// Marks in `covered` the components whose DC values the scan with header
// `seg` (`len` bytes) and `data_bytes` of entropy-coded data can hold for
// the whole frame (see check_data_covers_frame). Progressive scans from Ss 0
// without successive approximation carry DC values (a sequential scan
// always does); a malformed header covers nothing (libjxl refuses it).
void note_dc_coverage(const Frame &frame, const uint8_t *seg, size_t len, size_t data_bytes,
                      bool covered[3]) {
    const unsigned ns = len >= 3 ? seg[2] : 0;
    const bool well_formed = ns >= 1 && ns <= 4 && len >= 6 + 2 * size_t{ns};
    const bool dc_first = well_formed && (!frame.progressive ||
                                          (seg[3 + 2 * ns] == 0 && seg[5 + 2 * ns] >> 4 == 0));
    if (!dc_first) return;
    unsigned comps[4], n = 0;
    for (unsigned k = 0; k < ns; ++k)
        for (unsigned c = 0; c < frame.ncomp; ++c)
            if (frame.id[c] == seg[3 + 2 * k]) {
                comps[n++] = c;
                break;
            }
    if (n && uint64_t{data_bytes} * 8 >= scan_blocks(frame, comps, n))
        for (unsigned k = 0; k < n; ++k) covered[comps[k]] = true;
}

// Entropy-coded data runs to the next marker that is neither a stuffed zero
// nor a restart marker: its offset, or `size` when the JPEG ends first.
size_t end_of_entropy_data(const uint8_t *d, size_t size, size_t pos) {
    for (;;) {
        const void *ff = pos < size ? std::memchr(d + pos, 0xFF, size - pos) : nullptr;
        if (!ff) return size;
        pos = static_cast<size_t>(static_cast<const uint8_t *>(ff) - d);
        if (pos + 1 >= size) return size;
        const unsigned next = d[pos + 1];
        if (next != 0x00 && !(next >= 0xD0 && next <= 0xD7) && next != 0xFF) return pos;
        pos += next == 0xFF ? 1 : 2;
    }
}

// Why libjxl could not store what rebuilding the JPEG needs, or empty.
std::string rebuild_problem(const IccChunks &icc, size_t tail, size_t markers) {
    std::string why = icc.problem();
    if (!why.empty()) return why;
    if (tail > kMaxJpegTail)
        return std::to_string(tail) + " bytes follow its end-of-image marker; libjxl keeps at most " +
               std::to_string(kMaxJpegTail) + " to rebuild it";
    if (markers > kMaxJpegMarkers)
        return "it has " + std::to_string(markers) + " markers; libjxl keeps at most " +
               std::to_string(kMaxJpegMarkers) + " to rebuild it";
    return {};
}

}  // namespace

JpegCheck inspect_jpeg(const uint8_t *d, size_t size, bool check_dc, bool rebuild) {
    if (size < 3 || d[0] != 0xFF || d[1] != 0xD8 || d[2] != 0xFF) return fail(JpegCheck::kNotJpeg, "");
    const char *const kTruncated = "it ends before its end-of-image marker";
    size_t pos = 2;
    size_t markers = 0;  // as libjxl counts them: each run of stray bytes is one
    IccChunks icc;
    bool have_frame = false, have_scan = false;
    // The DC check, until something stops it from following the data.
    bool checking = check_dc;
    Frame frame;
    // On the heap: some 36 KiB, and this may run on a small thread stack.
    const std::unique_ptr<Huffman[]> tables(new Huffman[8]);
    Huffman *dc = tables.get(), *ac = tables.get() + 4;
    unsigned restart_interval = 0;
    std::string clamped;  // why the rebuilt JPEG would differ
    bool covered[3] = {false, false, false};  // see check_data_covers_frame
    uint64_t data_bytes = 0;                  // entropy-coded bytes of all scans
    for (;;) {
        // Bytes up to the next marker are kept by libjxl as they are: fill
        // bytes, stray bytes, and 0xFF followed by a byte that is no marker
        // it knows (0x00, 0xD8, 0xF0, ...).
        const size_t stray = pos;
        while (pos + 1 < size && !(d[pos] == 0xFF && is_marker(d[pos + 1]))) ++pos;
        if (pos + 1 >= size) return fail(JpegCheck::kTruncated, kTruncated);
        markers += (pos > stray) + 1;
        const unsigned m = d[pos + 1];
        pos += 2;
        if (m == 0xD9) break;
        if (m >= 0xD0 && m <= 0xD7) continue;  // a restart marker between scans
        if (pos + 2 > size) return fail(JpegCheck::kTruncated, kTruncated);
        const size_t len = (size_t{d[pos]} << 8) | d[pos + 1];
        if (len < 2) return fail(JpegCheck::kCorrupt, "segment length " + std::to_string(len));
        if (pos + len > size) return fail(JpegCheck::kTruncated, kTruncated);
        const uint8_t *seg = d + pos;
        pos += len;
        if (m == 0xC0 || m == 0xC1 || m == 0xC2) {
            if (have_frame) return fail(JpegCheck::kCorrupt, "two frame headers");
            JpegCheck r = check_frame_header(seg, len, m, &frame);
            if (!r.ok()) return r;
            have_frame = true;
        } else if (const std::string variant = unsupported_variant(m); !variant.empty()) {
            return fail(JpegCheck::kUnsupported, variant);
        } else if (m == 0xDA) {
            if (!have_frame) return fail(JpegCheck::kCorrupt, "a scan before the frame header");
            have_scan = true;
            if (checking)
                checking = scan_dc_in_range(d, size, pos, seg, len, frame, dc, ac,
                                            restart_interval, &clamped);
            const size_t data_start = pos;
            pos = end_of_entropy_data(d, size, pos);
            if (pos >= size) return fail(JpegCheck::kTruncated, kTruncated);
            data_bytes += pos - data_start;
            note_dc_coverage(frame, seg, len, pos - data_start, covered);
        } else if (m == 0xC4) {
            if (checking && !read_tables(seg, len, dc, ac)) checking = false;
        } else if (m == 0xDD) {
            if (len >= 4) restart_interval = (seg[2] << 8) | seg[3];
            else checking = false;
        } else if (m == 0xE2) {
            icc.add(seg + 2, len - 2);
        } else {
            // Quantisation tables, comments and other application data.
        }
    }
    if (!have_frame) return fail(JpegCheck::kCorrupt, "no frame header");
    if (!have_scan) return fail(JpegCheck::kCorrupt, "no image data");
    JpegCheck covers = check_data_covers_frame(frame, covered, data_bytes);
    if (!covers.ok()) return covers;
    // Reported after the walk: the rest of the JPEG may have worse problems.
    if (!clamped.empty()) return fail(JpegCheck::kNotLossless, clamped);
    if (rebuild) {
        std::string why = rebuild_problem(icc, size - pos, markers);
        if (!why.empty()) return fail(JpegCheck::kNotLossless, why);
    }
    JpegCheck ok;
    ok.verify = check_dc && !checking;
    return ok;
}

}  // namespace qmjxl
