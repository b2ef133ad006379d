# What building the library and the tool alone needs (scripts/demo): a C++ compiler, CMake
# and Ninja. The library itself depends on nothing else.
kvn_install_build_prereqs() {
    kvn_install_missing g++ cmake ninja-build
}

# Sourced by the scripts: installs what a fresh Debian machine lacks, when run as root.
# Packages: the compilers and build tools, GoogleTest, Google Benchmark, OpenSSL's
# headers and tool, libxml2, libxslt and expat (test and benchmark peers only), xmllint,
# xsltproc, python3 (the stylesheet-table generator and the differential test's documents),
# valgrind (the constant-time check of the RSA private operation), pytest and pip (the
# Python package's tests).
kvn_install_prereqs() {
    kvn_install_missing g++ clang cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev libssl-dev openssl libxml2-dev libxml2-utils libexpat1-dev xsltproc libxslt1-dev python3 valgrind python3-pytest python3-pip zlib1g-dev python3-pandas python3-jsonschema
    # libFuzzer and the sanitizer runtimes ship per clang major version: take the
    # installed clang's.
    clang_major=$(clang --version 2>/dev/null | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n 1)
    [ -z "$clang_major" ] || kvn_install_missing "libclang-rt-$clang_major-dev"
    # The Python package's cluster tests: dask, distributed and pandas.
    kvn_install_missing python3-dask python3-distributed python3-pandas
}

# Installs those of the named packages that are not installed yet (only as root).
kvn_install_missing() {
    missing=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "missing packages:$missing (run as root to install them)" >&2
        return 0
    fi
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq $missing >/dev/null
}
