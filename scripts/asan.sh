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
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_SANITIZE=ON -DQM_TESTING_HOOKS=ON >/dev/null
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

# Deselected: the leak check's RSS bound (the sanitizer's quarantine and
# shadow memory are resident too), the in-suite fuzz run, which runs below
# without its time limit (the sanitized module is several times slower), and
# the demo's browser check (Chromium inherits the preloaded runtimes and does
# not finish). tests/test_bombs.py and the other tests that bound resident
# memory see the preloaded sanitizer and skip only those bounds.
# A deselected test that was renamed would silently run again: each must exist.
deselect=(tests/test_leaks.py::test_repeated_calls_keep_rss_within_2_mib
          tests/test_fuzz.py::test_seeded_run_finds_no_crash_hang_or_unexpected_exception
          tests/test_demo.py::test_page_renders_in_a_real_browser)
"$PY" -m pytest -q -p no:cacheprovider --collect-only "${deselect[@]}" >/dev/null || {
    echo "asan.sh: a deselected test no longer exists: ${deselect[*]}" >&2; exit 2; }
"$PY" -m pytest -q -p no:cacheprovider "${deselect[@]/#/--deselect=}" "$@"

# The short fuzz run.
"$PY" scripts/fuzz.py --quick --iterations 20000 --seed 2024 \
    --timeout 300 --findings build/asan/fuzz-findings
