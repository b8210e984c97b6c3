#!/bin/sh
# Runs the relay on the bundled example configuration against the demo feed.
# The feed runs in the background for exactly as long as the relay does; the
# relay gets the terminal, so ESC and S work. Exits with the relay's status.
#
# Usage: tools/run-demo.sh [BUILD_DIR]   (default: build)
set -u
cd "$(dirname "$0")/.." || exit 1
build_dir=${1:-build}
feed_bin=$build_dir/tools/veltor-demo-feed
relay_bin=$build_dir/veltor
feed_log=$build_dir/demo-feed.log

for bin in "$feed_bin" "$relay_bin"; do
  if [ ! -x "$bin" ]; then
    echo "run-demo: $bin is missing; build first (make build)" >&2
    exit 1
  fi
done

feed_pid=
stop_feed() {
  if [ -n "$feed_pid" ]; then
    kill "$feed_pid" 2>/dev/null
    wait "$feed_pid" 2>/dev/null
    feed_pid=
  fi
}
# The feed dies on every way out of this script. INT, TERM and HUP from the
# terminal also reach the relay, which shuts down on them; the script only has
# to survive them long enough to collect the relay's status and clean up.
trap stop_feed EXIT
trap : INT TERM HUP

# The feed's chatter goes to a log so it does not mix with the relay's output.
"$feed_bin" 7023 >"$feed_log" 2>&1 &
feed_pid=$!

# Wait (at most 3 s) for the feed to listen, so the relay's first connect works.
tries=0
until grep -q "listening" "$feed_log" 2>/dev/null; do
  tries=$((tries + 1))
  if [ "$tries" -gt 30 ] || ! kill -0 "$feed_pid" 2>/dev/null; then
    echo "run-demo: the demo feed did not start:" >&2
    cat "$feed_log" >&2
    exit 1
  fi
  sleep 0.1
done

echo "Veltor is relaying the demo feed: connect with  $build_dir/tools/veltor-watch 127.0.0.1 7024  (press ESC here to quit)" >&2
"$relay_bin" examples/veltor.conf
status=$?
stop_feed
exit "$status"
