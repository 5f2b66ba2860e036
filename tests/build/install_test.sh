#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds a C program against it
# with pkg-config and runs it.
#   install_test.sh <build dir> <program source> <C compiler>
set -euo pipefail
build=$1 source=$2 cc=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name orvelle.pc -print -quit)")/..
for f in include/orvelle.h bin/orvelleclient; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
for f in liborvelle_shared.so liborvelle_shared.so.5 liborvelle_java.so; do
  [ -e "$libdir/$f" ] || { echo "not installed: $f"; exit 1; }
done
find "$prefix" -name orvelle.jar | grep -q . || { echo "not installed: orvelle.jar"; exit 1; }

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
"$cc" -Wall -Werror -o "$prefix/embed" "$source" $(pkg-config --cflags --libs orvelle)
LD_LIBRARY_PATH="$libdir" "$prefix/embed"
