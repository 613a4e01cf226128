// The encoder's core: a session's frames and refusals, and its output sink,
// without Python.
#include "check.h"

#include "jxlcore/byte_sink.h"
#include "jxlcore/encoder_session.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace qmjxl;

namespace {

// A fresh directory under the system's temporary folder, removed (with its
// files) when the test ends.
struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/qm_core_XXXXXX";
        if (mkdtemp(name)) path = name;
    }
    ~TempDir() {
        for (const std::string &f : files()) ::unlink((path + "/" + f).c_str());
        ::rmdir(path.c_str());
    }
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        if (DIR *d = ::opendir(path.c_str())) {
            while (dirent *e = ::readdir(d)) {
                const std::string n = e->d_name;
                if (n != "." && n != "..") out.push_back(n);
            }
            ::closedir(d);
        }
        return out;
    }
    std::string read(const std::string &name) const {
        std::ifstream in(path + "/" + name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void write(const std::string &name, const std::string &text) const {
        std::ofstream(path + "/" + name, std::ios::binary) << text;
    }
};

Status fill(ByteSink &sink, const std::string &text) {
    QM_RETURN_IF_ERROR(sink.reserve(text.size()));
    std::copy(text.begin(), text.end(), sink.data());
    sink.set_size(text.size());
    return Status::Ok();
}

// The first frame of `stream` as planes of uint16 samples in each channel's
// own range: its (grey) colour, then each extra channel.
std::vector<std::vector<uint16_t>> decode_planes(const uint8_t *stream, size_t size,
                                                 uint32_t extras) {
    JxlDecoderPtr dec = JxlDecoderMake(nullptr);
    JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_FULL_IMAGE);
    JxlDecoderSetInput(dec.get(), stream, size);
    JxlDecoderCloseInput(dec.get());
    const JxlPixelFormat pf = {1, JXL_TYPE_UINT16, JXL_NATIVE_ENDIAN, 0};
    const JxlBitDepth depth = {JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0};
    std::vector<std::vector<uint16_t>> planes(extras + 1);
    for (;;) {
        const JxlDecoderStatus st = JxlDecoderProcessInput(dec.get());
        if (st == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            size_t n = 0;
            JxlDecoderImageOutBufferSize(dec.get(), &pf, &n);
            planes[0].resize(n / 2);
            JxlDecoderSetImageOutBuffer(dec.get(), &pf, planes[0].data(), n);
            JxlDecoderSetImageOutBitDepth(dec.get(), &depth);
            for (uint32_t k = 0; k < extras; ++k) {
                planes[k + 1].resize(n / 2);
                JxlDecoderSetExtraChannelBuffer(dec.get(), &pf, planes[k + 1].data(), n, k);
            }
        } else if (st == JXL_DEC_FULL_IMAGE) {
            return planes;
        } else {
            return {};
        }
    }
}

FrameConfig still_config(size_t x, size_t y, size_t samples) {
    FrameConfig c;
    c.xsize = x;
    c.ysize = y;
    c.samples = samples;
    c.sample = {JXL_TYPE_UINT16, 16, 0};
    return c;
}

}  // namespace

// Five channels: grey colour plus four extra channels, split and handed over
// separately, one of them 8 bits deep.
TEST(lossless_split_frame_decodes_back_exactly) {
    const size_t x = 37, y = 23, samples = 5;
    std::vector<uint16_t> pixels(x * y * samples);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint16_t>(static_cast<uint32_t>(i * 2654435761u) >>
                                          (i % samples == 2 ? 24 : 16));
    FrameConfig config = still_config(x, y, samples);
    auto layout = implicit_channel_layout(samples, 0);
    CHECK(layout.ok() && (*layout).split && (*layout).extras.size() == 4);
    config.channels = *layout;
    config.channels.extras[1].bits = 8;
    config.channels.codestream_depth = true;

    EncoderSession session;
    session.options().effort = 3;
    CHECK(session.start().ok());
    CHECK(session.configure(config).ok());
    CHECK(session.set_frame_header(FrameHeaderFields{}).ok());
    CHECK(session.add_frame(pixels.data(), pixels.size() * 2, true).ok());
    CHECK(session.frames_accepted() == 1);
    CHECK(session.out().size() > 0);
    const auto planes = decode_planes(session.out().data(), session.out().size(), 4);
    CHECK(planes.size() == samples);
    bool same = planes.size() == samples;
    for (size_t c = 0; same && c < samples; ++c) {
        same = planes[c].size() == x * y;
        for (size_t i = 0; same && i < x * y; ++i) same = planes[c][i] == pixels[i * samples + c];
    }
    CHECK(same);
}

TEST(refusals_come_back_as_status_with_their_message) {
    ChannelListBuilder builder(SampleType{JXL_TYPE_FLOAT, 32, 8});
    ChannelEntry color;
    color.type = "color";
    color.has_bits = true;
    color.bits = 16;
    const Status bits = builder.add(0, color);
    CHECK(bits.kind() == StatusKind::kValue);
    CHECK_EQ_STR(bits.message(), "jxl: channel 0 bits must be 32 for this float type (got 16)");

    // An RGB profile for grey pixels: refused before libjxl sees it.
    EncoderSession session;
    session.options().icc_profile.assign(128, '\0');
    session.options().icc_profile.replace(16, 4, "RGB ");
    CHECK(session.start().ok());
    const Status icc = session.configure(still_config(8, 8, 1));
    CHECK(icc.kind() == StatusKind::kValue);
    CHECK_EQ_STR(icc.message(), "jxl: icc_profile describes RGB colour but the image is grey; "
                                "pass a grey profile, or RGB pixels");
    CHECK(!session.configured());

    // A frame of the wrong size: libjxl's own refusal, named by its call.
    EncoderSession small;
    CHECK(small.start().ok());
    CHECK(small.configure(still_config(8, 8, 1)).ok());
    std::vector<uint16_t> short_frame(10);
    const Status add = small.add_frame(short_frame.data(), short_frame.size() * 2, true);
    CHECK(add.kind() == StatusKind::kEncoderCall);
    CHECK_EQ_STR(add.call(), "JxlEncoderAddImageFrame");
    CHECK(add.error() == JXL_ENC_ERR_API_USAGE);
    CHECK(small.frames_added() == 1 && small.frames_accepted() == 0);
}

TEST(file_sink_leaves_nothing_behind_until_committed) {
    TempDir dir;
    CHECK(!dir.path.empty());
    dir.write("out.jxl", "previous");
    const std::string target = dir.path + "/out.jxl";
    {
        ByteSink sink;
        CHECK(sink.open_file(target, "'out.jxl'").ok());
        CHECK(fill(sink, "abandoned").ok());
        CHECK(sink.write_at(0, reinterpret_cast<const uint8_t *>("xx"), 2) == 0);
        CHECK(dir.files().size() == 2);  // the target and the temporary file
    }  // dropped uncommitted: a failed encode
    CHECK(dir.files() == std::vector<std::string>{"out.jxl"});
    CHECK_EQ_STR(dir.read("out.jxl"), "previous");

    ByteSink sink;
    CHECK(sink.open_file(target, "'out.jxl'").ok());
    CHECK(sink.write_at(0, reinterpret_cast<const uint8_t *>("new "), 4) == 0);
    CHECK(fill(sink, "stream").ok());  // appended after what write_at put there
    CHECK(sink.commit().ok());
    CHECK(dir.files() == std::vector<std::string>{"out.jxl"});
    CHECK_EQ_STR(dir.read("out.jxl"), "new stream");
}

TEST(file_sink_refuses_unusable_targets_before_any_work) {
    TempDir dir;
    ByteSink sink;
    const Status is_dir = sink.open_file(dir.path, "'here'");
    CHECK(is_dir.kind() == StatusKind::kOs && is_dir.status() == EISDIR);
    CHECK_EQ_STR(is_dir.message(), "jxl: destination is a directory: 'here'");
    const Status missing = sink.open_file(dir.path + "/no/such/x.jxl", "'x.jxl'");
    CHECK(missing.kind() == StatusKind::kOs && missing.status() == ENOENT);
    CHECK(!sink.is_file());
    CHECK(dir.files().empty());
}
