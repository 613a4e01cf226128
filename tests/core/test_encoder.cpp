// The encoder's core: its output sink, without Python.
#include "check.h"

#include "jxlcore/byte_sink.h"

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

}  // namespace

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
