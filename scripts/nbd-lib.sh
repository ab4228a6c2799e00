# Shared by scripts/demo and scripts/bench-nbd (sourced, not run): starting
# nbdkit servers on unix sockets, remembering their PIDs, and stopping exactly
# those processes again.

NBD_PIDS=()

# nbd_start NAME SOCKET [nbdkit arguments...]
# Starts nbdkit in the foreground of a background job, waits until it serves
# (its PID file appears), and records the PID. Its log goes to $NBD_LOGS/NAME.log.
nbd_start() {
  local name=$1 sock=$2; shift 2
  local pidfile="$NBD_LOGS/$name.pid"
  rm -f "$sock" "$pidfile"
  nbdkit -f -U "$sock" -P "$pidfile" "$@" >"$NBD_LOGS/$name.log" 2>&1 &
  local pid=$!
  NBD_PIDS+=("$pid")
  local i
  for i in $(seq 1 200); do
    if [ -s "$pidfile" ] && [ -S "$sock" ]; then return 0; fi
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "nbdkit ($name) failed to start:" >&2
      sed 's/^/  /' "$NBD_LOGS/$name.log" >&2
      return 1
    fi
    sleep 0.05
  done
  echo "nbdkit ($name) did not come up within 10 s" >&2
  return 1
}

# nbd_stop_pid PID: asks one server to exit (SIGTERM, so that plugins unload),
# waits up to 10 s, then kills it.
nbd_stop_pid() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 1 200); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# nbd_stop_last: stops the most recently started server.
nbd_stop_last() {
  local n=${#NBD_PIDS[@]}
  [ "$n" -gt 0 ] || return 0
  nbd_stop_pid "${NBD_PIDS[$((n - 1))]}"
  unset "NBD_PIDS[$((n - 1))]"
  NBD_PIDS=("${NBD_PIDS[@]}")
}

# nbd_stop_all: stops every server started here, newest first.
nbd_stop_all() {
  while [ ${#NBD_PIDS[@]} -gt 0 ]; do nbd_stop_last; done
}

nbd_uri() { echo "nbd+unix:///?socket=$1"; }

# Path of the plugin in the host build (or in $TESSIRO_BUILD_DIR, an already
# configured build tree); builds it when missing or stale.
nbd_plugin() {
  local root=$1
  local build=${TESSIRO_BUILD_DIR:-$root/build/host}
  if [ -z "${TESSIRO_BUILD_DIR:-}" ] && [ ! -f "$build/CMakeCache.txt" ]; then
    (cd "$root" && cmake --preset host >/dev/null)
  fi
  cmake --build "$build" --target nbdkit-tessiro8-plugin -j2 >&2
  echo "$build/tools/nbdkit/nbdkit-tessiro8-plugin.so"
}

# Path of the benchmarks' floor plugin (bench/nbd-floor) in the host build;
# builds it when missing or stale.
nbd_floor_plugin() {
  local root=$1
  local build=${TESSIRO_BUILD_DIR:-$root/build/host}
  if [ -z "${TESSIRO_BUILD_DIR:-}" ] && [ ! -f "$build/CMakeCache.txt" ]; then
    (cd "$root" && cmake --preset host >/dev/null)
  fi
  cmake --build "$build" --target nbdkit-floor-plugin -j2 >&2
  echo "$build/bench/nbdkit-floor-plugin.so"
}
