#!/usr/bin/env bash
# The relay in a real terminal, driven through tmux: S prints the status
# table, arrow and function keys do not end it, Ctrl-Z gives the shell its
# terminal mode back and `fg` takes keys again, a lone ESC ends it within a
# second with status 0, and the terminal is back in its normal mode after.
#
# Usage: terminal_test.sh VELTOR_BINARY
set -u
veltor=$1
if ! command -v tmux >/dev/null 2>&1; then
  echo "SKIPPED: tmux is not installed (apt-get install tmux)"
  exit 77
fi

work=$(mktemp -d)
socket="$work/tmux.sock"
session=veltor-terminal-test
cleanup() {
  tmux -S "$socket" kill-server >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*"
  echo "--- screen ---"
  tmux -S "$socket" capture-pane -p -t "$session" 2>/dev/null
  exit 1
}

# A port that no socket on this machine holds at the moment.
free_port() {
  local port hex
  for ((tries = 0; tries < 100; tries++)); do
    port=$((20000 + RANDOM % 40000))
    hex=$(printf '%04X' "$port")
    grep -q ":$hex " /proc/net/tcp /proc/net/tcp6 2>/dev/null || { echo "$port"; return; }
  done
  echo 40123
}

# Waits up to $2 tenths of a second for the screen to show $1.
wait_for_screen() {
  local i
  for ((i = 0; i < $2; i++)); do
    tmux -S "$socket" capture-pane -p -t "$session" | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  return 1
}

cat >"$work/veltor.conf" <<CONF
127.0.0.1
$(free_port)
$(free_port)
5
Y, 127.0.0.1, 255.255.255.255, Y, 0, Y
CONF

# Job control on, as in an interactive shell: once the relay is stopped the
# pane shows the terminal's mode and brings it back with fg. After the relay
# ends, the pane shows its status and the mode, then reads a line so that
# echo can be seen.
cat >"$work/pane.sh" <<PANE
set -m
mode() { stty -a | tr ' ' '\n' | grep -E '^-?(icanon|echo)\$' | tr '\n' ' '; }
"$veltor" "$work/veltor.conf" 2>>"$work/stderr.txt"
echo "stopped=\$? mode: \$(mode)"
fg >/dev/null
echo "relay-exit=\$?"
echo "final mode: \$(mode)"
read -r line
echo "read=[\$line]"
sleep 30
PANE

tmux -S "$socket" new-session -d -s "$session" -x 120 -y 40 "bash $work/pane.sh" || fail "tmux did not start"
wait_for_screen "listen socket created" 100 || fail "relay did not open its port"

tmux -S "$socket" send-keys -t "$session" S
for ((i = 0; i < 50; i++)); do grep -q " 0 clients:" "$work/stderr.txt" 2>/dev/null && break; sleep 0.1; done
grep -q " 0 clients:" "$work/stderr.txt" || fail "S printed no status table"

# Arrow keys and function keys arrive as escape sequences; none may end the relay.
tmux -S "$socket" send-keys -t "$session" Up Down Left Right F1 F5 Home
sleep 1
wait_for_screen "relay-exit=" 1 && fail "a special key ended the relay"

# Ctrl-Z stops the relay with the shell's own mode back; after fg, S is read
# again without Enter, so raw mode is back too.
tmux -S "$socket" send-keys -t "$session" C-z
wait_for_screen "stopped=148" 50 || fail "Ctrl-Z did not stop the relay"
wait_for_screen "stopped=148 mode: icanon echo" 1 || fail "stopped relay left the terminal without line editing or echo"
sleep 0.5
tmux -S "$socket" send-keys -t "$session" S
for ((i = 0; i < 50; i++)); do [ "$(grep -c " 0 clients:" "$work/stderr.txt")" -ge 2 ] && break; sleep 0.1; done
[ "$(grep -c " 0 clients:" "$work/stderr.txt")" -ge 2 ] || fail "after fg, S printed no status table"

started=$(date +%s%N)
tmux -S "$socket" send-keys -t "$session" Escape
wait_for_screen "relay-exit=" 20 || fail "ESC did not end the relay within 2 s"
elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))
wait_for_screen "relay-exit=0" 1 || fail "exit status was not 0"
[ "$elapsed_ms" -lt 1500 ] || fail "ESC took ${elapsed_ms} ms"
wait_for_screen "final mode: icanon echo" 20 || fail "terminal left without line editing or echo"

tmux -S "$socket" send-keys -t "$session" "typed back" Enter
wait_for_screen "read=[typed back]" 20 || fail "typed text was not read back"
tmux -S "$socket" capture-pane -p -t "$session" | grep -q "^typed back" || fail "typed text did not echo"

echo "PASSED: status table, special keys ignored, Ctrl-Z and fg, ESC in ${elapsed_ms} ms, terminal restored"
