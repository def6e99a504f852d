#!/bin/sh
# Installs the build into a fresh prefix, builds the example hosts against the
# installed tree alone, once through find_package(le) and once through
# pkg-config, and runs each build on a bundle. CFLAGS (for example the
# sanitizer flags the library was built with) go to both builds.
# usage: install_consumer.sh CMAKE CC BUILD_DIR SOURCE_DIR LIBDIR BUNDLE WORK_DIR [CFLAGS]
set -eu
cmake=$1 cc=$2 build=$3 src=$4 libdir=$5 bundle=$6 work=$7 cflags=${8:-}
prefix=$work/prefix
rm -rf "$work"
mkdir -p "$work/pkgconfig"

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
for h in "$src"/include/le/*.h; do
  cmp "$h" "$prefix/include/le/${h##*/}"
done

"$cmake" -S "$src/examples" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_BUILD_TYPE=Release >/dev/null
"$cmake" --build "$work/cmake" >/dev/null

export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
for example in "$src"/examples/*.c; do
  name=${example##*/}
  # shellcheck disable=SC2046,SC2086 # flag lists split into words on purpose
  "$cc" -std=c11 -Wall -Wextra -Werror $cflags -o "$work/pkgconfig/${name%.c}" "$example" \
    $(pkg-config --cflags --libs le stb) -lm -Wl,-rpath,"$prefix/$libdir"
done

for way in cmake pkgconfig; do
  "$src/tests/example_paste_solid.sh" "$work/$way/paste_solid" "$bundle" "$work/out_$way"
done
