# Sourced by the scripts: installs what a fresh Debian machine lacks, when run as root.
# Packages: the compilers and build tools, GoogleTest, Google Benchmark, OpenSSL's
# headers and tool, libxml2, libxslt and expat (test and benchmark peers only), xmllint,
# xsltproc, python3 (the stylesheet-table generator and the differential test's documents),
# valgrind (the constant-time check of the RSA private operation), pytest and pip (the
# Python package's tests).
kvn_install_prereqs() {
    pkgs="g++ clang cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev libssl-dev openssl libxml2-dev libxml2-utils libexpat1-dev xsltproc libxslt1-dev python3 libclang-rt-14-dev valgrind python3-pytest python3-pip"
    missing=""
    for p in $pkgs; do
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
