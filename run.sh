#!/usr/bin/env bash
# Set-up and entry points.
#   ./run.sh demo    install what is missing, build, run the agent demo:
#                    agents sharing tables through the collections
#                    (options: --size N --duration S --seed N; --help)
#   ./run.sh demo-engine  the engine demo: one writer, reader and shadow
#                    processes on one table through the engine itself
#                    (options: --size N --readers R --duration S; --help)
#   ./run.sh demo-l2 the L2 hardware-entry demo
#   ./run.sh test    install what is missing, build, run every test (ctest)
#   ./run.sh bench   install what is missing, build, run the benchmarks
#   ./run.sh build   install what is missing and build
#   ./run.sh test-aarch64  cross-build the runtime, value-type, engine,
#                    shared-memory and stress suites for aarch64 into
#                    build-aarch64/ and run them under qemu-user (ctest)
# BUILD_DIR (default build/, build-aarch64/ for test-aarch64) and JOBS
# (default: all cores) may be set.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$here"
cmd="${1:-}"
shift || true
build_dir="${BUILD_DIR:-$here/build}"
[[ $cmd != test-aarch64 ]] || build_dir="${BUILD_DIR:-$here/build-aarch64}"
jobs="${JOBS:-$(nproc)}"

# Debian packages the build needs. Checked with dpkg; the missing ones are
# installed with one `apt-get update` and one `apt-get install -y`.
# clang and its runtime build the libFuzzer targets; libabsl-dev gives the
# benchmarks an in-process hash map to compare with; liblmdb-dev a
# memory-mapped key-value store to compare the table engine with;
# libcli11-dev the command-line parser of the zolm tool.
packages=(cmake ninja-build g++ libfmt-dev libgtest-dev libbenchmark-dev clang libclang-rt-14-dev libabsl-dev liblmdb-dev libcli11-dev)

# The aarch64 cross build (test-aarch64) needs only these, of the arm64
# architecture where they are libraries. They come without their
# recommendations: qemu-user's would register qemu with the kernel's
# binfmt_misc, machine-wide, where a container can at all, and hide what
# the tests must handle themselves (cmake/qemu-aarch64-run).
cross_packages=(cmake ninja-build g++-aarch64-linux-gnu qemu-user libfmt-dev:arm64 libgtest-dev:arm64)

# install_missing [--cross]: the build's packages, or the cross build's.
install_missing() {
  local sudo="" wanted=("${packages[@]}") options=()
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  if [[ ${1:-} == --cross ]]; then
    wanted=("${cross_packages[@]}")
    options=(--no-install-recommends)
    dpkg --print-foreign-architectures | grep -qx arm64 || $sudo dpkg --add-architecture arm64
  fi
  local missing=()
  for p in "${wanted[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "run.sh: installing ${missing[*]}"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${options[@]}" "${missing[@]}"
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

case "$cmd" in
  build)
    build
    ;;
  demo)
    build
    "$build_dir/tools/agentdemo/vexa-agent-demo" "$@"
    ;;
  demo-engine)
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
  test-aarch64)
    # The suites that show what breaks off x86 (alignment, page size,
    # atomics, syscalls); no tools, benchmarks, fuzzers, sanitized twins.
    # Flags as the native build's.
    install_missing --cross
    suites=(runtime_tests tables_tests engine_tests shm_tests stress_tests)
    first=()
    if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
      first=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/aarch64-linux-gnu.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo
             "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
    fi
    cmake -S "$here" -B "$build_dir" "${first[@]}" -DVEXA_WERROR=ON -DVEXA_BUILD_TESTS=ON -DVEXA_BUILD_TOOLS=OFF \
      -DVEXA_BUILD_BENCH=OFF -DVEXA_FUZZ=OFF -DVEXA_SANITIZED_TESTS=OFF >/dev/null
    cmake --build "$build_dir" -j "$jobs" --target "${suites[@]}"
    cd "$build_dir"
    ctest --output-on-failure -j "$jobs" -R "^($(IFS='|'; echo "${suites[*]}"))\\." "$@"
    ;;
  bench)
    build -DVEXA_BUILD_BENCH=ON
    for b in "$build_dir"/bench/*_bench; do
      echo "== $(basename "$b")"
      "$b" "$@"
    done
    ;;
  *)
    echo "usage: ./run.sh demo|demo-engine|demo-l2|test|test-aarch64|bench|build" >&2
    exit 2
    ;;
esac
