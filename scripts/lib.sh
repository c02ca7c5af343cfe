# Shared by the project's scripts (sourced, never run): the Python packages that building and
# testing need, the CPython finder, virtual environments, Debian packages and the Debian mirror.
# Defines functions and variables only; the sourcing script keeps its own shell options.

# What building the package needs (also its build requirements in pyproject.toml), what the test
# suite imports, and what its batch tests add (Dask; they skip without it).
build_requirements=("meson-python>=0.18" "meson>=1.4" ninja "numpy>=2.0")
test_requirements=(pytest hypothesis scipy mypy)
batch_requirements=("dask[array]" distributed)
# What free-threaded CPython 3.13 installs with them: the last NumPy and SciPy with its wheels,
# never built from source, and of the other packages the newest release with a wheel for it where
# a source build would need more than a C compiler: Hypothesis's newest and mypy's dependencies
# from 1.19 on (librt, ast-serialize) have parts in Rust, or in C, without cp313t wheels.
free_threaded_313_pins=(numpy==2.4.6 scipy==1.17.1 "mypy<1.19" --only-binary numpy,scipy --prefer-binary)

# The repository this lib.sh belongs to.
vexora_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Prints the path of a CPython of minor version $1 (3.13 when not given; 3.13t for the
# free-threaded build): `python3.X` on PATH, else the first pyenv installation of that version,
# else (3.13t) the one scripts/free-threaded-python built under build/. Fails, printing nothing,
# when there is none. A free-threaded interpreter never stands in for a normal one, nor the reverse.
find_cpython() {
    local version=${1:-3.13} minor free=False candidate
    minor=${version%t}
    [ "$minor" = "$version" ] || free=True
    for candidate in "$(command -v "python$version" || true)" \
        "$(pyenv root 2>/dev/null || echo /nonexistent)"/versions/"$minor"*/bin/"python$version" \
        "$vexora_root/build/python-$version/install/bin/python$version"; do
        if [ -x "$candidate" ] &&
            "$candidate" -c "import sys, sysconfig
assert '%d.%d' % sys.version_info[:2] == '$minor'
assert bool(sysconfig.get_config_var('Py_GIL_DISABLED')) == $free" 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

# find_cpython, or a message on stderr that says how to get one, naming the script ($1).
require_cpython() {
    local script=$1 version=${2:-3.13}
    find_cpython "$version" && return 0
    if [ "$version" = 3.13t ]; then
        echo "$script: free-threaded CPython 3.13 not found: build it with scripts/free-threaded-python" >&2
    else
        echo "$script: CPython $version not found: put python$version on PATH or install it with pyenv (pyenv install $version)" >&2
    fi
    return 1
}

# pip install, quiet, with the interpreter $1: pip_install PYTHON ARGUMENTS... One install at a
# time per interpreter, so that scripts running side by side (CI's two lanes) never write into
# one environment at once.
pip_install() {
    local python=$1 lock
    shift
    lock="${TMPDIR:-/tmp}/vexora-pip-$(printf '%s' "$python" | sha1sum | cut -c1-16).lock"
    flock "$lock" "$python" -m pip install --quiet --disable-pip-version-check "$@"
}

# Makes a virtual environment at $1 from the interpreter $2 unless one is there. An interpreter
# without a working ensurepip (built without its bundled pip wheel) gets the environment without
# pip, then pip from PyPI's wheel of it, which runs as a program straight from the wheel.
ensure_venv() {
    [ -x "$1/bin/python" ] && return 0
    "$2" -m venv "$1" 2>/dev/null && return 0
    rm -rf "$1"
    "$2" -m venv --without-pip "$1"
    local wheel_dir url status=0
    wheel_dir=$(mktemp -d)
    if ! url=$("$1/bin/python" - <<'PYTHON'
import json, urllib.parse, urllib.request
index = "https://pypi.org/pypi/pip/json"
with urllib.request.urlopen(index, timeout=60) as answer:
    release = json.load(answer)
# A mirror may give the files' addresses relative to the page.
print(urllib.parse.urljoin(index, next(f["url"] for f in release["urls"] if f["filename"].endswith("-py3-none-any.whl"))))
PYTHON
    ) || ! curl -fsSL --retry 3 -o "$wheel_dir/${url##*/}" "$url" ||
        ! "$1/bin/python" "$wheel_dir/${url##*/}/pip" install --quiet --no-index "$wheel_dir/${url##*/}"; then
        echo "ensure_venv: could not install pip from PyPI into $1" >&2
        status=1
    fi
    rm -rf "$wheel_dir"
    return $status
}

# Installs Debian packages with apt-get (through sudo unless root); refreshes the package lists
# and tries again when the first attempt fails, as it does with lists that are missing or old.
apt_install() {
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    local install=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive
        apt-get install -y -qq -o DPkg::Lock::Timeout=300 --no-install-recommends "$@")
    "${install[@]}" >/dev/null 2>&1 && return 0
    "${sudo[@]}" apt-get update -qq -o DPkg::Lock::Timeout=300 >/dev/null &&
        "${install[@]}" >/dev/null
}

# The Debian mirror that the host's apt uses for its own release (not its security or updates
# suites), from apt's own view of its sources, whatever their format.
debian_mirror() {
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE) $(TARGET_OF)' 2>/dev/null |
        awk -v codename="$codename" '$2 == codename && $3 == "deb" { print $1; exit }'
}
