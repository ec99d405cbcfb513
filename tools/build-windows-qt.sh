#!/usr/bin/env bash
# Builds a Qt 5 kit for 64-bit Windows from Debian's own qtbase source, cross-compiled with
# Debian's mingw-w64 (the posix thread variant), into a cache outside the tree:
#   ${XDG_CACHE_HOME:-$HOME/.cache}/ludovane/qt-<version>-win64-<options hash>
# It prints that folder on its last line. Nothing is done when the kit is there already. The
# build happens beside the cache folder and is moved into place last, so an interrupted build
# never leaves a kit that looks finished. Takes about 30 minutes on a quiet 2-core machine.
#   build-windows-qt.sh [--print-dir]    --print-dir: only print where the kit goes
set -euo pipefail

qt_version=5.15.8
triplet=x86_64-w64-mingw32
# Only what the launcher and its tests use: Core, Gui, Widgets, Network, Test, the windows
# platform plugin and the windowsvista style. The raster engine draws the window, so no
# OpenGL. Debian's repacked source lacks wintab.h, hence no tablet events.
options=(
  -opensource -confirm-license -release -shared -strip
  -xplatform win32-g++
  -no-opengl -no-dbus -no-icu -no-openssl
  -qt-zlib -qt-pcre -qt-libpng -qt-harfbuzz -qt-freetype -no-libjpeg -no-gif -no-ico
  -nomake examples -nomake tests -no-compile-examples
  -no-feature-sql -no-feature-xml -no-feature-concurrent -no-feature-printer
  -no-feature-tabletevent -no-feature-vulkan -no-feature-direct2d -no-feature-bearermanagement
)

cache=${XDG_CACHE_HOME:-$HOME/.cache}/ludovane
key=$(printf '%s\n' "$qt_version" "$triplet-posix" "${options[@]}" | sha256sum | cut -c1-12)
kit=$cache/qt-$qt_version-win64-$key
if [ "${1:-}" = "--print-dir" ]; then
  echo "$kit"
  exit 0
fi

# A finished kit carries a stamp written last; anything else under that name is a leftover.
if [ -f "$kit/.ludovane-kit-complete" ]; then
  echo "$kit"
  exit 0
fi

say() { echo "build-windows-qt: $*" >&2; }
for tool in $triplet-gcc-posix $triplet-g++-posix $triplet-windres perl python3 make dpkg-source; do
  command -v "$tool" >/dev/null || { say "$tool is missing (tools/install-deps.sh installs it)"; exit 1; }
done

mkdir -p "$cache"
work=$(mktemp -d "$cache/.build-XXXXXX")
trap 'rm -rf "$work"' EXIT
say "building Qt $qt_version for Windows into $kit"
say "this takes about 30 minutes on a quiet 2-core machine; the work folder is $work"

# The source, through a private source list: the machine's apt sources stay as they are, and
# apt checks the archive's signature (and dpkg-source the package's) as for any download.
lists=$work/apt
mkdir -p "$lists/parts" "$lists/lists/partial"
uri=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
uri=${uri:-http://deb.debian.org/debian}
cat >"$lists/parts/qt-source.sources" <<EOF
Types: deb-src
URIs: $uri
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
apt_private=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$lists/parts"
             -o "Dir::State::Lists=$lists/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=)
say "fetching qtbase-opensource-src $qt_version from Debian's archive"
if ! apt-get "${apt_private[@]}" -qq update >"$work/apt.log" 2>&1 \
   || ! (cd "$work" && apt-get "${apt_private[@]}" -qq source --only-source \
           qtbase-opensource-src >>"$work/apt.log" 2>&1); then
  cat "$work/apt.log" >&2
  say "could not fetch or verify Qt's source; no kit was installed"
  exit 1
fi
src=$(find "$work" -maxdepth 1 -type d -name "qtbase-opensource-src-$qt_version*" | head -n1)
[ -n "$src" ] || { say "Debian's archive has no qtbase $qt_version source"; exit 1; }

# win32-g++ calls $CROSS_COMPILE<tool>; a folder of links picks the posix variant of the
# compilers, whose libstdc++ has std::thread, and the ordinary binutils.
bin=$work/cross-bin
mkdir -p "$bin"
for t in gcc g++; do ln -s "$(command -v $triplet-$t-posix)" "$bin/$triplet-$t"; done
for t in ar ranlib strip objcopy nm windres ld; do ln -s "$(command -v $triplet-$t)" "$bin/$triplet-$t"; done

stage=$work/kit
mkdir -p "$work/build"
cd "$work/build"
say "configuring"
"$src/configure" -prefix "$stage" -device-option "CROSS_COMPILE=$bin/$triplet-" "${options[@]}" \
  >"$work/configure.log" 2>&1 || { tail -n 60 "$work/configure.log" >&2; say "configure failed"; exit 1; }
start=$(date +%s)
say "compiling (the log is $work/build.log)"
make -j"$(nproc)" >"$work/build.log" 2>&1 || { tail -n 60 "$work/build.log" >&2; say "the build failed"; exit 1; }
make install >"$work/install.log" 2>&1 || { tail -n 30 "$work/install.log" >&2; say "install failed"; exit 1; }
# Qt's licence texts travel with the DLLs.
mkdir -p "$stage/licenses"
cp "$src"/LICENSE.* "$stage/licenses/"
printf 'Qt %s for %s, configured with:\n%s\n' "$qt_version" "$triplet" "${options[*]}" >"$stage/.ludovane-kit-options"
echo "built in $(( $(date +%s) - start )) s" >>"$stage/.ludovane-kit-options"
touch "$stage/.ludovane-kit-complete"

rm -rf "$kit"
mv "$stage" "$kit"
say "done in $(( ($(date +%s) - start) / 60 )) minutes"
echo "$kit"
