#!/usr/bin/env bash
# quillmarsh task runner. Each task does all set-up it needs on a fresh
# Debian 12/13 machine (as root) before running.
#   bash run.sh demo   [demo args]   JPEG XL against JPEG/WebP/AVIF; report in demo-out/index.html
#   bash run.sh test   [pytest args] the test suite
#   bash run.sh test-ft [pytest args] the test suite on free-threaded CPython 3.13t, GIL off
#   bash run.sh bench                side-by-side benchmarks
#   bash run.sh bench --against REV [--only ROWS]   this tree's module against REV's
#   bash run.sh wheel  [--all]       dist/: a self-contained wheel (libjxl inside) and an sdist
#   bash run.sh matrix               build and smoke-test the wheel on Python 3.9-3.13, 3.13t
#   bash run.sh dev                  fast in-tree rebuild for development
set -euo pipefail
cd "$(dirname "$0")"
task=${1:-test}
shift || true
PY=.venv/bin/python
case "$task" in
    setup) bash scripts/setup ;;
    test)
        bash scripts/setup
        exec "$PY" -m pytest -q -p no:cacheprovider "$@" ;;
    test-ft)
        bash scripts/setup --free-threaded
        PYTHON_GIL=0 exec .venv-ft/bin/python -m pytest -q -p no:cacheprovider "$@" ;;
    demo)
        bash scripts/setup
        exec "$PY" scripts/demo.py "$@" ;;
    bench)
        bash scripts/setup --bench
        if [ "${1:-}" = "--against" ]; then
            shift
            bash benchmarks/run.sh --build-only
            exec "$PY" benchmarks/against.py "$@"
        fi
        exec bash benchmarks/run.sh "$@" ;;
    wheel)
        bash scripts/setup
        # --all includes the free-threaded 3.13t wheel: its interpreter is built once.
        case " $* " in *" --all "*) bash scripts/free-threaded-python >/dev/null ;; esac
        exec "$PY" scripts/wheels.py build --sdist "$@" ;;
    matrix)
        bash scripts/setup
        exec "$PY" scripts/wheels.py matrix "$@" ;;
    dev)
        # Build the extension in place (src/quillmarsh/codecs/_jxl*.so) for
        # PYTHONPATH=src runs; serialised so parallel rebuilds do not collide.
        [ -x "$PY" ] || bash scripts/setup
        mkdir -p build
        export PATH="$PWD/.venv/bin:$PATH"
        flock build/.dev.lock bash -c '
            set -e
            cmake -S . -B build/dev -G Ninja -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
                -DCMAKE_BUILD_TYPE=Release -DQM_TESTING_HOOKS=ON ${QM_CMAKE_ARGS:-} >/dev/null
            cmake --build build/dev
            # Copy then rename: overwriting the file in place would corrupt the
            # module under any process that has it loaded.
            for so in build/dev/_jxl*.so; do
                dst=src/quillmarsh/codecs/$(basename "$so")
                cp "$so" "$dst.tmp.$$" && mv -f "$dst.tmp.$$" "$dst"
            done' ;;
    *) echo "usage: bash run.sh {demo|test|test-ft|bench|wheel|matrix|dev|setup} [args]" >&2; exit 2 ;;
esac
