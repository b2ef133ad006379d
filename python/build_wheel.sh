#!/bin/sh
# Builds a wheel of the kelvane Python package that carries the built library inside it.
#
#   python/build_wheel.sh [LIBRARY] [OUTDIR]
#
# LIBRARY defaults to build/test/libkelvane.so.5 (cmake --preset test && cmake --build
# build/test --target kelvane), OUTDIR to build/wheel. The wheel, kelvane-VERSION-py3-none-PLATFORM.whl,
# installs offline with `pip install OUTDIR/kelvane-*.whl`; the package then loads the
# library from its own folder. Needs only python3.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
library=${1:-build/test/libkelvane.so.5}
outdir=${2:-build/wheel}
[ -f "$library" ] || { echo "build_wheel.sh: no library at $library" >&2; exit 1; }
mkdir -p "$outdir"
outdir=$(cd "$outdir" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
# A copy of the package tree with the library beside the modules; the source tree stays clean.
mkdir "$stage/python"
cp -R "$here/pyproject.toml" "$here/README.md" "$here/_build" "$here/kelvane" "$stage/python/"
cp -L "$library" "$stage/python/kelvane/libkelvane.so.5"
# Debug sections are most of a RelWithDebInfo build; the wheel does without them.
if command -v strip >/dev/null 2>&1; then strip --strip-debug "$stage/python/kelvane/libkelvane.so.5"; fi
${PYTHON:-python3} -c '
import sys
sys.path.insert(0, sys.argv[1] + "/_build")
import kelvane_build
print(sys.argv[2] + "/" + kelvane_build.build_wheel(sys.argv[2]))
' "$stage/python" "$outdir"
