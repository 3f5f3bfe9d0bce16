# Shared by the window checks: a private virtual display, and reading a running window from
# outside. Sourced; the caller sets `work` (a scratch folder) and `failures=0`.

fail() {
  echo "FAIL: $*" >&2
  # A display that went away is told apart from a window that did not answer.
  if [ -n "${xvfb_pid:-}" ] && ! kill -0 "$xvfb_pid" 2>/dev/null; then
    echo "Xvfb ($DISPLAY) is gone; its log ends:" >&2
    tail -n 20 "$work/xvfb.log" >&2 2>/dev/null || true
  fi
  exit 1
}

# Starts Xvfb on a free display number and exports DISPLAY. Its output goes to a file, never to a
# pipe of the caller's. -noreset: by default the server resets when its last client leaves, and a
# client that connects at that moment (the next program, or xdotool looking for its window, right
# after the one before was killed) is dropped with "Can't open display".
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" </dev/null >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    sleep 0.1
  done
  [ -s "$work/display" ] || fail "Xvfb gave no display number"
  export DISPLAY=":$(head -n1 "$work/display")"
}

stop_xvfb() {
  if [ -n "${xvfb_pid:-}" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
}

clipboard_marker="(window check: nothing copied)"

# Copies the text of the focused text box and prints it. Home, Shift+End selects the whole line in
# both toolkits (Ctrl+A does not in Wine's edit control).
copy_focused_field() {
  printf '%s' "$clipboard_marker" | xclip -selection clipboard -i >/dev/null 2>&1
  xdotool key --clearmodifiers Home shift+End ctrl+c
  local text
  # A program that copies always changes the clipboard, so the wait costs nothing when it works; it
  # is long because once, on a loaded machine, the first copy after a new prefix took over 5 s.
  for _ in $(seq 300); do
    text=$(xclip -o -selection clipboard 2>/dev/null || true)
    if [ "$text" != "$clipboard_marker" ]; then
      printf '%s' "$text"
      return 0
    fi
    sleep 0.1
  done
  fail "nothing reached the clipboard from the focused field in 30 s (X focus on window $(xdotool getwindowfocus 2>&1))"
}

check() {  # name expected actual
  if [ "$2" != "$3" ]; then
    echo "  $1: expected '$2', window shows '$3'" >&2
    failures=$((failures + 1))
  else
    echo "  $1: '$3'"
  fi
}
