# Sourced by every bench/<area>/run: where the built tree is, building it,
# the programs a benchmark compares against, free ports and bounded waits.
#
# Environment:
#   BENCH_BUILD  the build folder (default build/release; relative paths are
#                taken from the repository's root).
#   BENCH_SMOKE  1: the test run's check that a benchmark still builds and runs.
#                Nothing is built (BENCH_BUILD is already built), each area
#                works at a tiny size, and its figures mean nothing.
#   BENCH_JOBS   parallel build jobs (default the number of processors).

bench_repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_build_dir=${BENCH_BUILD:-build/release}
[[ $bench_build_dir == /* ]] || bench_build_dir="$bench_repo/$bench_build_dir"
bench_bin="$bench_build_dir/bench"
bench_dist="$bench_build_dir/dist"
bench_smoke=${BENCH_SMOKE:-0}
bench_name=$(realpath --relative-to="$bench_repo" "$0")

bench_fail() {
  echo "$bench_name: $*" >&2
  exit 1
}

# Builds the optimised tree with the given targets (all when none), unless
# this is a smoke run of an already built tree.
bench_build() {
  [ "$bench_smoke" = 1 ] && return 0
  local log="$bench_build_dir.log" targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  mkdir -p "$(dirname "$bench_build_dir")"
  if ! { cmake -S "$bench_repo" -B "$bench_build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSPREY_TESTS=OFF &&
    cmake --build "$bench_build_dir" --parallel "${BENCH_JOBS:-$(nproc)}" "${targets[@]}"; } >"$log" 2>&1; then
    bench_fail "the build failed; see $log"
  fi
}

# Installs the Debian packages whose program is missing: pairs of
# "program package". Installing a server must not start the distribution's
# own service; one installation at a time, as the test run may start several
# benchmarks at once.
bench_install() {
  local missing=()
  while [ $# -ge 2 ]; do
    command -v "$1" >/dev/null || [ -x "/usr/sbin/$1" ] || missing+=("$2")
    shift 2
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  echo "$bench_name: installing ${missing[*]}"
  (
    flock 9
    printf '#!/bin/sh\nexit 101\n' | $sudo_cmd tee /usr/sbin/policy-rc.d >/dev/null
    $sudo_cmd chmod +x /usr/sbin/policy-rc.d
    $sudo_cmd apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
    status=$?
    $sudo_cmd rm -f /usr/sbin/policy-rc.d
    exit $status
  ) 9>/tmp/osprey-bench-install.lock || bench_fail "could not install ${missing[*]}"
}

# A loopback port nothing listens on, outside the range the kernel hands out
# for outgoing connections (the tests' own choice).
bench_free_port() {
  /usr/bin/python3 -c "import sys; sys.path.insert(0, '$bench_repo/tests/common'); from peers import free_port; print(free_port())"
}

# Waits up to 30 s until port $1 accepts connections while process $2 runs;
# on failure says why, with the log file $3.
bench_wait_port() {
  local port=$1 pid=$2 log=$3
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || { cat "$log" >&2; bench_fail "the server on port $port exited while starting"; }
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.1
  done
  cat "$log" >&2
  bench_fail "nothing listens on port $port"
}

# Copies the built runnable tree into folder $1 with an empty data folder and
# the configuration $2 (JSON text).
bench_heron_tree() {
  local tree=$1
  mkdir -p "$tree"
  cp -r "$bench_dist/." "$tree/"
  rm -rf "$tree/CMakeFiles" "$tree/cmake_install.cmake" "$tree/data"
  mkdir -p "$tree/data"
  printf '%s\n' "$2" >"$tree/config/osprey.json"
}

# Starts heron -s in tree $1 (its output in heron.out there) and sets
# bench_heron_pid to heron's own process id.
bench_start_heron() {
  (cd "$1" && RAVLINK_DATA="$1/data" exec ./heron -s >"$1/heron.out" 2>&1) &
  bench_heron_pid=$!
}

# Stops process $1 with SIGTERM, then SIGKILL after 10 s.
bench_stop() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
}

ratio_of() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
