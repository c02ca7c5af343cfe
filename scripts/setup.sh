# Sourced by the project's commands: finds CPython 3.13, makes or reuses .venv, installs the
# dependencies and builds the package in place (rebuilt automatically when a source changes).
# Progress goes to stderr, so that a command's own output stays clean.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venv"

step() { echo "setup: $*" >&2; }

find_python() {
    if command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
        command -v python3.13
        return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local candidate
        for candidate in "$(pyenv root)"/versions/3.13*/bin/python3.13; do
            if [ -x "$candidate" ]; then
                echo "$candidate"
                return
            fi
        done
    fi
    echo "setup: CPython 3.13 not found: put python3.13 on PATH or install it with pyenv (pyenv install 3.13)" >&2
    return 1
}

if [ ! -x "$venv/bin/python" ]; then
    base_python=$(find_python)
    step "first run: creating .venv with $base_python; setting up takes about a minute"
    "$base_python" -m venv "$venv"
fi
python="$venv/bin/python"
# The build finds NumPy's headers through the venv's numpy-config.
export PATH="$venv/bin:$PATH"

# Install only what is missing, so that a second run is quick.
stamp="$venv/.installed-$(cat "$root/pyproject.toml" "$root/scripts/setup.sh" | sha1sum | cut -c1-12)-$(echo "${VEXORA_EXTRAS_PACKAGES:-base}" | tr " " _)"
if [ ! -e "$stamp" ]; then
    step "installing the dependencies (meson-python, NumPy, SciPy, pytest, Hypothesis, mypy, Dask${VEXORA_EXTRAS_PACKAGES:+, $VEXORA_EXTRAS_PACKAGES}): about 20-40 s"
    "$python" -m pip install --quiet --disable-pip-version-check --upgrade pip
    "$python" -m pip install --quiet --disable-pip-version-check "meson-python>=0.18" "meson>=1.4" ninja "numpy>=2.0" pytest hypothesis scipy mypy "dask[array]" distributed ${VEXORA_EXTRAS_PACKAGES:-}
    step "compiling the three kernel modules into build/release: about 20-30 s"
    "$python" -m pip install --quiet --disable-pip-version-check --no-build-isolation --editable "$root" -Cbuild-dir="$root/build/release"
    touch "$stamp"
    step "done; later runs reuse .venv and rebuild only what changed"
fi
