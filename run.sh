#!/usr/bin/env bash
# Set-up and entry points.
#   ./run.sh demo    install what is missing, build, run the table demo
#                    (options: --size N --readers R --duration S; --help)
#   ./run.sh demo-l2 the L2 hardware-entry demo
#   ./run.sh test    install what is missing, build, run every test (ctest)
#   ./run.sh bench   install what is missing, build, run the benchmarks
#   ./run.sh build   install what is missing and build
# BUILD_DIR (default build/) and JOBS (default: all cores) may be set.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$here"
build_dir="${BUILD_DIR:-$here/build}"
jobs="${JOBS:-$(nproc)}"

# Debian packages the build needs. Checked with dpkg; the missing ones are
# installed with one `apt-get update` and one `apt-get install -y`.
# clang and its runtime build the libFuzzer targets; libabsl-dev gives the
# benchmarks an in-process hash map to compare with; liblmdb-dev a
# memory-mapped key-value store to compare the table engine with;
# libcli11-dev the command-line parser of the zolm tool.
packages=(cmake ninja-build g++ libfmt-dev libgtest-dev libbenchmark-dev clang libclang-rt-14-dev libabsl-dev liblmdb-dev libcli11-dev)

install_missing() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "run.sh: installing ${missing[*]}"
    local sudo=""
    [[ $(id -u) -eq 0 ]] || sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
  fi
}

# Configured on every build (cheap when nothing changed), so the options
# here reach an existing build directory too. The generator and build type
# are chosen only for a new one.
# Our builds carry line tables (-g1) rather than full debug info: enough for
# backtraces and profiles, at two thirds of the compile time. Benchmarks are
# built for `bench` only.
build() {
  install_missing
  local first=()
  if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
    first=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
  fi
  cmake -S "$here" -B "$build_dir" "${first[@]}" -DVEXA_WERROR=ON "$@" >/dev/null
  cmake --build "$build_dir" -j "$jobs"
}

cmd="${1:-}"
shift || true
case "$cmd" in
  build)
    build
    ;;
  demo)
    build
    "$build_dir/tools/tabledemo/vexa-table-demo" "$@"
    ;;
  demo-l2)
    build
    "$build_dir/tools/l2tool/vexa-l2" "$@"
    ;;
  test)
    build -DVEXA_BUILD_BENCH=OFF
    cd "$build_dir"
    ctest --output-on-failure -j "$jobs" "$@"
    ;;
  bench)
    build -DVEXA_BUILD_BENCH=ON
    for b in "$build_dir"/bench/*_bench; do
      echo "== $(basename "$b")"
      "$b" "$@"
    done
    ;;
  *)
    echo "usage: ./run.sh demo|demo-l2|test|bench|build" >&2
    exit 2
    ;;
esac
