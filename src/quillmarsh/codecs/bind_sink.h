// A path argument made into the core's file ByteSink.
#pragma once

#include "bind_common.h"
#include "jxlcore/byte_sink.h"

namespace qmjxl {

// Opens `sink` on the path `path` (str or os.PathLike): its temporary file
// is made now, so a missing folder, a directory or an unwritable target
// fails before any work (OSError). The target is taken as an absolute path
// now, so that a later change of directory does not move it.
void open_path_sink(ByteSink &sink, nb::handle path);

}  // namespace qmjxl
