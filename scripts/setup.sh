# Sourced by the project's commands: finds CPython 3.13, makes or reuses .venv, installs the
# dependencies and builds the package in place (rebuilt automatically when a source changes).
# Progress goes to stderr, so that a command's own output stays clean.
#
# VEXORA_PYTHON=3.14 (or 3.15) does the same with CPython 3.14 (3.15), in .venv-3.14 and
# build/release-3.14 (.venv-3.15, build/release-3.15).
# VEXORA_PYTHON=3.13t does it with free-threaded CPython 3.13 (python3.13t, built once by
# scripts/free-threaded-python when none is found), in .venv-3.13t and build/release-3.13t, with
# NumPy 2.4.6 and SciPy 1.17.1, the last releases with cp313t wheels.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/lib.sh"
python_version=${VEXORA_PYTHON:-3.13}
if [ "$python_version" = 3.13 ]; then
    venv="$root/.venv"
    build="$root/build/release"
else
    venv="$root/.venv-$python_version"
    build="$root/build/release-$python_version"
fi

step() { echo "setup: $*" >&2; }

find_python() {
    if [ "$python_version" = 3.13t ]; then
        find_cpython 3.13t || "$root/scripts/free-threaded-python"
    else
        require_cpython setup "$python_version"
    fi
}

pinned=()
[ "$python_version" != 3.13t ] || pinned=("${free_threaded_313_pins[@]}")

if [ ! -x "$venv/bin/python" ]; then
    base_python=$(find_python)
    step "first run: creating $(basename "$venv") with $base_python; setting up takes about a minute"
    ensure_venv "$venv" "$base_python"
fi
python="$venv/bin/python"
# The build finds NumPy's headers through the venv's numpy-config.
export PATH="$venv/bin:$PATH"

# Install only what is missing, so that a second run is quick.
stamp="$venv/.installed-$(cat "$root/pyproject.toml" "$root/scripts/setup.sh" "$root/scripts/lib.sh" | sha1sum | cut -c1-12)-$(echo "${VEXORA_EXTRAS_PACKAGES:-base}" | tr " " _)"
if [ ! -e "$stamp" ]; then
    step "installing the dependencies (meson-python, NumPy, SciPy, pytest, Hypothesis, mypy, Dask${VEXORA_EXTRAS_PACKAGES:+, $VEXORA_EXTRAS_PACKAGES}): about 20-40 s"
    pip_install "$python" --upgrade pip
    pip_install "$python" "${build_requirements[@]}" "${test_requirements[@]}" "${batch_requirements[@]}" "${pinned[@]}" ${VEXORA_EXTRAS_PACKAGES:-}
    step "compiling the three kernel modules into ${build#"$root"/}: about 20-30 s"
    pip_install "$python" --no-build-isolation --editable "$root" -Cbuild-dir="$build"
    touch "$stamp"
    step "done; later runs reuse $(basename "$venv") and rebuild only what changed"
fi
