#!/bin/sh
# One entry point for developers and CI on a Debian machine.
#   tools/dev.sh demo   install build packages, build, render the demo
#   tools/dev.sh test   install test packages, build with warnings as errors,
#                       run every test
set -eu
cd "$(dirname "$0")/.."
BUILD=${BUILD_DIR:-build}
JOBS=$(nproc 2>/dev/null || echo 2)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages that are missing, updating the package lists
# only when something has to be installed.
need_packages() {
  missing=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
      missing="$missing $p"
  done
  if [ -n "$missing" ]; then
    echo "installing:$missing"
    as_root apt-get update -q
    # shellcheck disable=SC2086
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
  fi
}

BASE_PACKAGES="cmake make g++ gcc libc6-dev"
TEST_PACKAGES="libgtest-dev binutils"

configure_and_build() {
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release "$@"
  cmake --build "$BUILD" -j "$JOBS"
}

case "${1:-}" in
  demo)
    need_packages $BASE_PACKAGES
    configure_and_build -DTRACTWAVE_BUILD_TESTS=OFF
    "$BUILD/examples/tractwave_host"
    ;;
  test)
    need_packages $BASE_PACKAGES $TEST_PACKAGES
    configure_and_build -DTRACTWAVE_BUILD_TESTS=ON -DTRACTWAVE_WARNINGS_AS_ERRORS=ON
    ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS"
    ;;
  *)
    echo "usage: tools/dev.sh demo|test" >&2
    exit 2
    ;;
esac
