#!/usr/bin/env bash
# Installs the library from a build tree into a temporary prefix, builds a program that knows only
# the installed package, and runs it against a fresh repository.
set -euo pipefail
BUILD=$1
HERE=$(cd "$(dirname "$0")" && pwd)
WORK=$(mktemp -d /tmp/rpx-package.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

cmake --install "$BUILD" --prefix "$WORK/prefix" >/dev/null
cmake -S "$HERE/consumer" -B "$WORK/build" -DCMAKE_PREFIX_PATH="$WORK/prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$WORK/build" -j 2 >/dev/null
mkdir -p "$WORK/root"
export LD_LIBRARY_PATH="$WORK/prefix/lib:$WORK/prefix/lib64:${LD_LIBRARY_PATH:-}"
# The program and the library load one Qt: the major version the build was configured with.
qt=$(sed -n 's/^QT_MAJOR_VERSION:STRING=//p' "$BUILD/CMakeCache.txt")
loaded=$(ldd "$WORK/build/consumer" | grep -o 'libQt[0-9]*' | sort -u | tr '\n' ' ')
[ "$loaded" = "libQt${qt:-5} " ] || { echo "package: Qt ${qt:-5} build loads $loaded" >&2; exit 1; }
RPX_CONFIG_ROOT="$WORK/root" "$WORK/build/consumer"
test -f "$WORK/root/rpxstore.db"
echo "package: 1 passed, 0 failed"
