# Shared helpers of the benchmark scripts; sourced, never run.

build() {
  scripts/install-deps
  cmake --preset release >/dev/null
  cmake --build --preset release -j "${BENCH_BUILD_JOBS:-4}" --target "$@" >/dev/null
}

# Runs a command with only the loopback interface up, as the tests do.
loopback_only() {
  if unshare -n true 2>/dev/null; then
    unshare -n -- bash -c 'ip link set lo up && exec "$@"' bash "$@"
  else
    echo "bench: cannot create a network namespace (needs root); using the host network" >&2
    "$@"
  fi
}

wait_for_port() {
  local port=$1
  for _ in $(seq 1 100); do
    if (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "nothing listens on port $port" >&2
  return 1
}
