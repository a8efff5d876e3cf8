#!/usr/bin/env bash
# One entry point for a fresh machine: finds Python 3.13, makes the virtual
# environment .venv, builds and installs the package into it, then runs
#   ./run.sh check   the system requirements report (the main job)
#   ./run.sh test    the test suite
#   ./run.sh bench   the per-call timings
#   ./run.sh install ...   the reference installer front end
set -euo pipefail
cd "$(dirname "$0")"

find_python() {
    local candidates=("${PYTHON:-}" python3.13)
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/3.13*/bin/python3.13)
    fi
    candidates+=(/usr/local/bin/python3.13 /usr/bin/python3.13 python3)
    for p in "${candidates[@]}"; do
        [ -n "$p" ] || continue
        # a pyenv shim may exist and still refuse to run: ask the interpreter itself
        if "$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then
            echo "$p"
            return 0
        fi
    done
    echo "run.sh: no Python 3.13 interpreter found (set PYTHON=/path/to/python3.13)" >&2
    return 1
}

# ZELKOR_VENV names another environment; ZELKOR_SANITIZE=1 builds the
# extensions with AddressSanitizer and UndefinedBehaviorSanitizer.
VENV="${ZELKOR_VENV:-.venv}"
PY="$VENV/bin/python"

setup() {
    if [ ! -x "$PY" ]; then
        "$(find_python)" -m venv "$VENV"
    fi
    local pip=("$PY" -m pip -q --disable-pip-version-check)
    "${pip[@]}" install --upgrade pip
    # build requirements live in the venv so rebuilds are incremental
    "${pip[@]}" install "scikit-build-core>=0.10" "pybind11>=2.13" cmake ninja
    local build=()
    if [ "${ZELKOR_SANITIZE:-0}" = 1 ]; then
        build=(--config-settings=cmake.define.ZELKOR_SANITIZE=ON
               --config-settings=build-dir=build/sanitize)
    fi
    # Build the wheel and install that, so what is tested is what ships.
    local dist="$VENV/dist"
    rm -rf "$dist"
    "${pip[@]}" wheel --no-build-isolation --no-deps "${build[@]}" -w "$dist" .
    local wheel
    wheel="$(ls "$dist"/zelkor_installer-*.whl)"
    "${pip[@]}" install --force-reinstall --no-deps "$wheel"
    "${pip[@]}" install "$wheel[test]"
}

cmd="${1:-check}"
[ $# -gt 0 ] && shift
setup
# PYTHONSAFEPATH keeps the source tree off sys.path: tests run the installed package
export PYTHONSAFEPATH=1
case "$cmd" in
    check) exec "$PY" -m zelkor_installer check "$@" ;;
    test)
        # a sanitizer build needs its runtime loaded before the interpreter's own code
        if [ -n "${ZELKOR_PRELOAD:-}" ]; then export LD_PRELOAD="$ZELKOR_PRELOAD"; fi
        exec "$PY" -m pytest "$@" ;;
    bench) exec "$PY" bench/run.py "$@" ;;
    install) exec "$PY" -m zelkor_installer install "$@" ;;
    *) echo "usage: ./run.sh check|test|bench|install [args]" >&2; exit 2 ;;
esac
