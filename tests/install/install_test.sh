#!/usr/bin/env bash
# Installs the build tree under a fresh prefix, builds the host project against that prefix
# alone, and runs it. Arguments: the build tree, this folder, the cmake to use, then settings for
# the host project's configuration.
set -euo pipefail
build=$1 project=$2 cmake=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null
for installed in lib/libquellmar.so include/quellmar/quellmar.h bin/quellmar-run bin/quellmar-info share/doc/quellmar/protocol.md \
                 lib/cmake/quellmar/quellmarConfig.cmake; do
  [ -e "$work/prefix/$installed" ] || { echo "not installed: $installed"; exit 1; }
done
"$cmake" -S "$project" -B "$work/host" -DCMAKE_PREFIX_PATH="$work/prefix" "$@" >/dev/null
"$cmake" --build "$work/host" >/dev/null
# The host must not reach into the build tree for anything.
if readelf -d "$work/host/host" | grep -F "$build"; then echo "host refers to the build tree"; exit 1; fi
# The emulator's stand-in driver is private to the emulator's libquellmar: it lies in a folder
# of its own that no other installed file names, so that nothing else takes it for the driver.
while IFS= read -r -d '' installed; do
  case "$installed" in
    "$work/prefix/lib/quellmar/emulator/libcuda.so.1") ;;
    *) echo "a driver installed where others find it: ${installed#"$work/prefix/"}"; exit 1 ;;
  esac
done < <(find "$work/prefix" -name 'libcuda.so*' -print0)
while IFS= read -r -d '' installed; do
  readelf -h "$installed" >/dev/null 2>&1 || continue
  if readelf -d "$installed" | grep -F 'quellmar/emulator' >/dev/null &&
     [ "$installed" != "$work/prefix/lib/libquellmar.so" ]; then
    echo "reaches the emulator's driver: ${installed#"$work/prefix/"}"; exit 1
  fi
done < <(find "$work/prefix" -type f -print0)
# Installed, everything runs as it is, without a library path of the test's. Only a tree built
# with AddressSanitizer needs one: its dlopen interceptor opens the driver from the sanitizer's
# own library, so the loader searches that library's RUNPATH instead of libquellmar's.
case " $* " in
  *-fsanitize=address*) export LD_LIBRARY_PATH="$work/prefix/lib/quellmar/emulator" ;;
  *) unset LD_LIBRARY_PATH ;;
esac
"$work/host/host"
"$work/prefix/bin/quellmar-info" >/dev/null
"$work/prefix/bin/quellmar-run" --resolution 16 --steps 2 >/dev/null
