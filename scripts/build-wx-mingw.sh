#!/bin/sh
# Cross-builds a static wxWidgets 3.2 (base and core, MSW port) for the Windows
# build of the tray program, from Debian's own source package, and keeps it in a
# cache folder keyed by the source version so that CI builds it once.
# qrcodegen, which the pairing window links, goes into the same prefix: Debian
# ships it only for the host.
# Usage: scripts/build-wx-mingw.sh [CACHE_ROOT]
# Prints the install prefix as its last line.
set -eu

CACHE_ROOT=${1:-${VANDREL_CACHE:-/var/cache/vandrel}}
HOST=x86_64-w64-mingw32
JOBS=${VANDREL_WX_JOBS:-2}
started=$(date +%s)

say() { echo "build-wx-mingw: $*" >&2; }
die() { say "$*"; exit 1; }

[ "$(id -u)" -eq 0 ] || die "must run as root (it adds a deb-src entry and installs dpkg-dev)"

# apt-get source needs a deb-src entry; add one mirroring the main archive's
# deb stanza rather than editing the machine's own file.
SRC_FILE=/etc/apt/sources.list.d/vandrel-deb-src.sources
have_deb_src() {
  grep -qsE '^[[:space:]]*Types:.*deb-src' /etc/apt/sources.list.d/*.sources && return 0
  grep -qsE '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list && return 0
  return 1
}
if ! have_deb_src; then
  main_stanza=""
  if [ -r /etc/apt/sources.list.d/debian.sources ]; then
    # The paragraph of Types "deb" whose URI is the main archive (…/debian),
    # not debian-security or a third-party repository.
    main_stanza=$(awk '
      BEGIN { RS = ""; FS = "\n" }
      {
        deb = 0; main = 0; out = ""
        for (i = 1; i <= NF; i++) {
          line = $i
          if (line ~ /^[[:space:]]*#/) continue
          if (line ~ /^Types:/ && line ~ /[[:space:]]deb([[:space:]]|$)/) deb = 1
          if (line ~ /^URIs:/ && line ~ /\/debian\/?([[:space:]]|$)/) main = 1
          if (line ~ /^(URIs|Suites|Components|Signed-By):/) out = out line "\n"
        }
        if (deb && main) { printf "%s", out; exit }
      }' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$main_stanza" ]; then
    codename=$(. /etc/os-release; echo "$VERSION_CODENAME")
    main_stanza=$(printf 'URIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\n' "$codename")
  fi
  say "adding $SRC_FILE"
  printf 'Types: deb-src\n%s\n' "$main_stanza" >"$SRC_FILE"
  apt-get update -qq
fi

# Highest source version apt knows; the cache key and the download both use it.
version=""
for v in $(apt-cache showsrc wxwidgets3.2 2>/dev/null | awk '/^Version:/ { print $2 }'); do
  if [ -z "$version" ] || dpkg --compare-versions "$v" gt "$version"; then version=$v; fi
done
[ -n "$version" ] || die "apt-cache showsrc wxwidgets3.2 found no source package"
key="wx-mingw-$(echo "$version" | tr ':~' '__')"
PREFIX="$CACHE_ROOT/$key"

# The program uses the base and core libraries only and decodes no image
# files (the artwork is drawn from raw pixels), so everything else stays out.
# Debian's repack drops the bundled zlib, libpng, libjpeg, libtiff and expat;
# none of them is needed then, and regex comes from the bundled PCRE2.
# wxGraphicsContext stays out too: its GDI+ backend defines the GDI+ flat API
# itself, which clashes with the import library the desktop code links.
WX_OPTIONS="--host=$HOST --build=x86_64-linux-gnu
  --disable-shared --enable-unicode --with-msw --disable-debug --disable-compat30
  --without-opengl --without-libpng --without-libjpeg --without-libtiff --without-liblzma
  --without-expat --without-zlib --with-regex=builtin --without-nanosvg
  --disable-xrc --disable-html --disable-webview --disable-mediactrl --disable-propgrid
  --disable-ribbon --disable-stc --disable-richtext --disable-aui
  --disable-debugreport --disable-sockets --disable-svg --disable-fs_zip --disable-graphics_ctx"
# A cached build made with other options is rebuilt, not reused.
RECIPE=$(echo $WX_OPTIONS)

if [ -e "$PREFIX/.complete" ] && [ "$(cat "$PREFIX/.complete")" = "$RECIPE" ]; then
  say "cached: $PREFIX"
  echo "$PREFIX"
  exit 0
fi

if ! command -v dpkg-source >/dev/null 2>&1; then
  say "installing dpkg-dev"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends dpkg-dev >/dev/null
fi

WORK="$CACHE_ROOT/$key.work"
mkdir -p "$WORK"
cd "$WORK"
# The same compilers as cmake/mingw-w64-x86_64.cmake: the posix thread model
# throughout, so that one libstdc++ serves wx and the program.
export CC=$HOST-gcc-posix CXX=$HOST-g++-posix
export AR=$HOST-ar RANLIB=$HOST-ranlib WINDRES=$HOST-windres STRIP=$HOST-strip

# A run interrupted after wx was installed goes on with qrcodegen; before that,
# it starts the wx build again from a clean prefix.
if [ "$(cat "$WORK/wx.installed" 2>/dev/null)" != "$RECIPE" ]; then
  rm -rf "$PREFIX"
  # An interrupted run leaves the unpacked source behind; reuse it.
  src=$(find . -maxdepth 1 -type d -name 'wxwidgets3.2-*' | head -n 1)
  if [ -z "$src" ]; then
    apt-get source -qq "wxwidgets3.2=$version" >/dev/null
    src=$(find . -maxdepth 1 -type d -name 'wxwidgets3.2-*' | head -n 1)
    [ -n "$src" ] || die "apt-get source unpacked nothing"
  fi
  src=$(cd "$src" && pwd)

  rm -rf "$WORK/build"
  mkdir -p "$WORK/build"
  cd "$WORK/build"
  say "configuring wxWidgets $version"
  "$src/configure" --prefix="$PREFIX" $WX_OPTIONS \
    >configure.log 2>&1 || { tail -n 40 configure.log >&2; die "configure failed ($WORK/build/configure.log)"; }
  say "building wxWidgets with -j$JOBS"
  make -j"$JOBS" >make.log 2>&1 || { tail -n 40 make.log >&2; die "make failed ($WORK/build/make.log)"; }
  make install >install.log 2>&1 || { tail -n 40 install.log >&2; die "make install failed"; }
  echo "$RECIPE" >"$WORK/wx.installed"
fi

# qrcodegen's C++ library is one source file; build it with the same compiler.
# Only the upstream tarball is used: Debian's patch adds a compat API that the
# program does not use, and the archive does not always serve its tarball.
cd "$WORK"
if [ ! -d qrcodegen ]; then
  # Version, checksum and name of the upstream tarball, from one source record.
  set -- $(apt-cache showsrc qr-code-generator | awk '
    /^Version:/ { v = $2 }
    /^Checksums-Sha256:/ { f = 1; next }
    /^[^ ]/ { f = 0 }
    f && $3 ~ /\.orig\.tar\./ { print v, $1, $3; exit }')
  [ "$#" -eq 3 ] || die "apt-cache showsrc qr-code-generator names no upstream tarball"
  apt-get source --download-only -qq "qr-code-generator=$1" >/dev/null 2>&1 || true
  echo "$2  $3" | sha256sum -c --quiet - || die "qr-code-generator upstream tarball missing or corrupt"
  rm -rf qrcodegen.part
  mkdir qrcodegen.part
  tar -xf "$3" -C qrcodegen.part --strip-components=1
  mv qrcodegen.part qrcodegen
fi
qr="$WORK/qrcodegen"
say "building qrcodegen"
mkdir -p "$PREFIX/include/qrcodegen" "$PREFIX/lib"
$CXX -std=c++17 -O2 -c "$qr/cpp/qrcodegen.cpp" -o "$WORK/qrcodegen.o"
rm -f "$PREFIX/lib/libqrcodegencpp.a"
$AR rcs "$PREFIX/lib/libqrcodegencpp.a" "$WORK/qrcodegen.o"
cp "$qr/cpp/qrcodegen.hpp" "$PREFIX/include/qrcodegen/"

echo "$RECIPE" >"$PREFIX/.complete"
cd "$CACHE_ROOT"
rm -rf "$WORK"

elapsed=$(( $(date +%s) - started ))
say "built in $((elapsed / 60)) min $((elapsed % 60)) s"
echo "$PREFIX"
