#!/usr/bin/env bash
# Runs the test suite the way a user installing the package would, on the oldest and newest CPython the package
# supports that this machine has (3.9 and 3.13), and once against NumPy 1.x. An interpreter that is absent is
# skipped with a notice, not a failure. Each run uses a fresh virtual environment.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
# An interpreter by name: on PATH, else one of pyenv's versions (whose shims refuse versions not selected).
find_python() {
    local name="$1" candidate
    for candidate in "$name" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/"$name"; do
        if "$candidate" -c 'import venv' >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    echo "$name"
}
run() {  # run NAME PYTHON [extra pip requirements...]
    local name="$1" python
    python="$(find_python "$2")"
    shift 2
    if ! "$python" -c 'import venv' >/dev/null 2>&1; then
        echo "other-pythons: $python not found, skipping $name"
        return 0
    fi
    echo "other-pythons: $name ($("$python" --version 2>&1))"
    "$python" -m venv "$root/$name"
    (
        . "$root/$name/bin/activate"
        pip install -q --upgrade pip >/dev/null
        pip install -q ".[test]" "$@"
        python -c "import numpy, sys; print('other-pythons: NumPy', numpy.__version__, 'on', sys.version.split()[0])"
        python -m pytest -q -p no:cacheprovider
    )
}
run py39 python3.9
run py313 python3.13
# pyarrow (dask.dataframe's) 26 and later import only with NumPy 2, and do not say so to pip.
run numpy1 python3.11 "numpy==1.26.*" "pyarrow<26"
