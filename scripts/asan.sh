#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer run of the _jxl extension:
# builds it with -DQM_SANITIZE=ON into build/asan, puts the sanitized module
# into a private copy of the package (so the in-tree module and other
# developers' rebuilds are untouched), then runs the test suite and the short
# seeded fuzz run against it. Extra arguments go to pytest.
#
#   bash scripts/asan.sh                 (also: make asan)
#   bash scripts/asan.sh -k threads      a subset of the suite
#
# CPython itself is not instrumented: the sanitizer runtimes are preloaded,
# leak detection is off (the interpreter keeps memory until exit) and
# PYTHONMALLOC=malloc sends Python's allocations through ASan's allocator.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python
[ -x "$PY" ] || bash scripts/setup
export PATH="$PWD/.venv/bin:$PATH"

cmake -S . -B build/asan -G Ninja -DPython_EXECUTABLE="$PWD/$PY" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_SANITIZE=ON >/dev/null
cmake --build build/asan

tree=$(mktemp -d "${TMPDIR:-/tmp}/quillmarsh-asan.XXXXXX")
trap 'rm -rf "$tree"' EXIT
cp -r src/quillmarsh "$tree/"
rm -f "$tree"/quillmarsh/codecs/_jxl*.so
cp build/asan/_jxl*.so "$tree/quillmarsh/codecs/"

export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# allocator_may_return_null: a huge frame array (a decompression bomb) is a
# MemoryError, as without the sanitizer, not an abort.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
export PYTHONMALLOC=malloc
export PYTHONPATH="$tree"

"$PY" -c "import quillmarsh.codecs._jxl as m, sys; assert m.__file__.startswith('$tree'), m.__file__"

# Deselected: RSS bounds (the sanitizer's quarantine and shadow memory are
# resident too) and the in-suite fuzz run, which runs below without its
# time limit (the sanitized module is several times slower).
"$PY" -m pytest -q -p no:cacheprovider \
    --deselect tests/test_leaks.py::test_repeated_calls_keep_rss_within_2_mib \
    --deselect tests/test_bombs.py::test_gigapixel_claim_is_refused_without_committing_memory \
    --deselect tests/test_bombs.py::test_header_parse_of_a_bomb_commits_nothing \
    --deselect tests/test_fuzz.py::test_seeded_run_finds_no_crash_hang_or_unexpected_exception \
    "$@"

# The bomb cases without their RSS bound, and the short fuzz run.
"$PY" - <<'EOF'
import sys
sys.path.insert(0, "tests")
import tempfile, pathlib
import test_bombs as tb
from _images import synthetic
from quillmarsh.codecs import _jxl
d = pathlib.Path(tempfile.mkdtemp())
for kind, ((c, dt), opts) in tb.KINDS.items():
    img = synthetic(64, 64, c, dt, seed=3)
    stream = tb.codestream(_jxl.encode(img, numthreads=1, **opts))
    p = d / f"{kind}.jxl"
    p.write_bytes(tb.relabel(stream, _jxl.decode(stream), 65536, 65536))
    for op in ("decode", "decode-ds8", "decode-index", "thumbnail_bytes", "frame_count"):
        got = tb.probe(p, op)
        assert got["outcome"][0] in ("JxlError", "MemoryError"), (kind, op, got)
print("bombs: refused cleanly under the sanitizers")
EOF
"$PY" scripts/fuzz.py --quick --iterations 20000 --seed 2024 \
    --timeout 60 --findings build/asan/fuzz-findings
