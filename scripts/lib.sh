# Shared by the project's scripts (sourced, never run): the Python packages that building and
# testing need, the CPython finder, virtual environments, Debian packages and the Debian mirror.
# Defines functions and variables only; the sourcing script keeps its own shell options.

# What building the package needs (also its build requirements in pyproject.toml), what the test
# suite imports, and what its batch tests add (Dask; they skip without it).
build_requirements=("meson-python>=0.18" "meson>=1.4" ninja "numpy>=2.0")
test_requirements=(pytest hypothesis scipy mypy)
batch_requirements=("dask[array]" distributed)

# Prints the path of a CPython of minor version $1 (3.13 when not given): `python3.X` on PATH,
# else the first pyenv installation of that version. Fails, printing nothing, when there is none.
find_cpython() {
    local version=${1:-3.13} candidate
    for candidate in "$(command -v "python$version" || true)" \
        "$(pyenv root 2>/dev/null || echo /nonexistent)"/versions/"$version"*/bin/"python$version"; do
        if [ -x "$candidate" ] &&
            "$candidate" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$version'" 2>/dev/null; then
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
    echo "$script: CPython $version not found: put python$version on PATH or install it with pyenv (pyenv install $version)" >&2
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

# Makes a virtual environment at $1 from the interpreter $2 unless one is there.
ensure_venv() {
    [ -x "$1/bin/python" ] || "$2" -m venv "$1"
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
