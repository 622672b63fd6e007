# Shell helpers shared by tools/dev.sh and the CI stages in tools/ci.d/.
# Sourced, not run.

JOBS=$(nproc 2>/dev/null || echo 2)
# The main build folder, for tools/dev.sh and every stage in tools/ci.d/.
BUILD_DIR=${BUILD_DIR:-build}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages that are missing, updating the package lists
# once per run and only when something has to be installed.
need_packages() {
  missing=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
      missing="$missing $p"
  done
  [ -n "$missing" ] || return 0
  echo "installing:$missing"
  if [ -z "${TW_APT_UPDATED:-}" ]; then
    as_root apt-get update -q
    TW_APT_UPDATED=1
    export TW_APT_UPDATED
  fi
  # shellcheck disable=SC2086
  as_root env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends $missing
}

# pocketsphinx-en-us: the pronouncing dictionary tractwave-say reads words
# from; help2man: the tools' manual pages, made at build time; libxml2-dev:
# the MusicXML reader of tractwave-sing.
BASE_PACKAGES="cmake make g++ gcc libc6-dev pkgconf libsndfile1-dev libcli11-dev nlohmann-json3-dev pocketsphinx-en-us help2man libxml2-dev"
TEST_PACKAGES="libgtest-dev libbenchmark-dev binutils dpf-source lv2-dev liblilv-dev libcairo2-dev libx11-dev libxext-dev espeak-ng"

# For stages that start servers (jackd, Xvfb, hosts): a scratch folder
# $work and a list $pids of what was started, both gone when the stage ends
# however it ends. Processes are asked to stop, then killed after 5 s.
stop_processes() {
  for p in "$@"; do kill "$p" 2>/dev/null || true; done
  for _ in $(seq 25); do
    alive=""
    for p in "$@"; do kill -0 "$p" 2>/dev/null && alive="$alive $p"; done
    [ -n "$alive" ] || return 0
    sleep 0.2
  done
  for p in $alive; do kill -9 "$p" 2>/dev/null || true; done
}
end_scratch() {
  # shellcheck disable=SC2086
  [ -z "$pids" ] || stop_processes $pids
  rm -rf "$work"
}
start_scratch() {
  work=$(mktemp -d)
  pids=""
  trap end_scratch EXIT
}
