#!/usr/bin/env bash
# Builds the Debian packages under build/packages/, from a build directory of
# its own (build/package: Debian's compiler and linker flags, installed under
# /usr, no run path, only the libraries and programs the packages hold):
#   libhaldenanalytics3     the shared libraries
#   libhaldenanalytics-dev  headers, CMake package, pkg-config file
#   halden-app              the shell, its pages, desktop entry, icon, metainfo
#   halden-collector        the reference collection service
# CPack's DEB generator makes them (cmake/Packaging.cmake); their run-time
# dependencies are what dpkg-shlibdeps finds.
#   scripts/package.sh
#
# Lintian (scripts/check-packages.sh runs it) reports no error. The warnings
# left, and why:
#   initial-upload-closes-no-bugs (every package): the changelog's first entry
#     closes no ITP bug; these packages are not uploaded to Debian's archive.
#   maintscript-calls-ldconfig (libhaldenanalytics3, postinst and postrm):
#     CPack writes these scripts for any library under /usr/lib and has no
#     switch to leave them out; the package also activates libc's ldconfig
#     trigger, the way lintian asks, so the cache is rebuilt either way.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

build=build/package
# Every hardening feature dpkg knows, immediate binding among them. The
# packages' binaries are stripped, so no debug information is made for them
# (-g left out; it is a good part of the compile time); Release at Debian's
# -O2.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags() { dpkg-buildflags --get "$1" | sed -E 's/(^| )-g( |$)/\1/'; }
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF -DHALDEN_BUILD_BENCHMARKS=OFF \
  -DCMAKE_SKIP_INSTALL_RPATH=ON \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  -DCMAKE_C_FLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
# Only what the packages hold: no tests, benchmarks or examples.
cmake --build "$build" --target HaldenAnalytics HaldenPlatform halden-app halden-collector

rm -rf build/packages
(cd "$build" && cpack -G DEB >/dev/null)
ls -l build/packages/*.deb >&2
