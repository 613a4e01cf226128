#!/usr/bin/env bash
# Side-by-side benchmarks of quillmarsh.codecs._jxl against libjxl called
# directly. Builds the direct program (build/bench/jxlbench_direct) when its
# source is newer, then runs benchmarks/bench.py with the venv's python.
#   bash benchmarks/run.sh [--quick] [bench.py options]
#   bash benchmarks/run.sh --build-only
# Works with the installed package and with PYTHONPATH=src after `bash run.sh dev`.
set -euo pipefail
cd "$(dirname "$0")/.."

src=benchmarks/direct/jxlbench_direct.cc
bin=build/bench/jxlbench_direct
if [ ! -x "$bin" ] || [ "$src" -nt "$bin" ] || [ "$0" -nt "$bin" ]; then
    mkdir -p build/bench
    # shellcheck disable=SC2046  # pkg-config output is a list of flags
    g++ -O2 -std=c++17 -o "$bin.tmp" "$src" $(pkg-config --cflags --libs libjxl libjxl_threads)
    mv "$bin.tmp" "$bin"
fi
if [ "${1:-}" = "--build-only" ]; then
    exit 0
fi

PY=.venv/bin/python
[ -x "$PY" ] || PY=python3
# The multichannel comparison needs its competitors and scikit-image's photographs.
"$PY" -c 'import numcodecs, tifffile, skimage' 2>/dev/null ||
    "$PY" -m pip install -q --disable-pip-version-check numcodecs tifffile scikit-image ||
    echo "run.sh: numcodecs/tifffile/scikit-image not installed; C rows will be MISSING" >&2
exec "$PY" benchmarks/bench.py --direct "$bin" "$@"
