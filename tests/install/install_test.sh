#!/usr/bin/env bash
# Installs the build tree under a fresh prefix, builds the host project against that prefix
# alone, and runs it. Arguments: the build tree, this folder, the cmake to use.
set -euo pipefail
build=$1 project=$2 cmake=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null
for installed in lib/libquellmar.so include/quellmar/quellmar.h bin/quellmar-run bin/quellmar-info \
                 lib/cmake/quellmar/quellmarConfig.cmake; do
  [ -e "$work/prefix/$installed" ] || { echo "not installed: $installed"; exit 1; }
done
"$cmake" -S "$project" -B "$work/host" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
"$cmake" --build "$work/host" >/dev/null
# The host must not reach into the build tree for anything.
if readelf -d "$work/host/host" | grep -F "$build"; then echo "host refers to the build tree"; exit 1; fi
"$work/host/host"
"$work/prefix/bin/quellmar-info" >/dev/null
