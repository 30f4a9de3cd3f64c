# Waiting helpers shared by the end-to-end desktop scripts (sourced).
# Everything polls every 0.2 s up to a deadline, so a hang fails a check
# instead of blocking the run.

# Every alert's window is titled "Quillmark"; the shell's "Quillmark Shell".
alert_title='^Quillmark$'

wait_until() {  # seconds, command...: true once the command succeeds
  local deadline=$((SECONDS + $1)); shift
  while [ $SECONDS -lt "$deadline" ]; do "$@" && return 0; sleep 0.2; done
  "$@"
}

# wait_window TITLE SECONDS [ID]: the id of a visible window whose title
# matches the regular expression, other than ID. Every alert carries the
# application's name, so an alert that follows another is told from it by
# its window.
wait_window() {
  local deadline=$((SECONDS + $2)) w
  while [ $SECONDS -lt "$deadline" ]; do
    w=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | grep -vx "${3:-none}" | head -n 1)
    [ -n "$w" ] && { echo "$w"; return 0; }
    sleep 0.2
  done
  return 1
}
window_gone() { [ -z "$(xdotool search --onlyvisible --name "$1" 2>/dev/null)" ]; }

exited() { ! kill -0 "$1" 2>/dev/null; }
# Exit status of a background child once it has ended within $2 seconds;
# 255 when it is still running.
status_within() {
  local pid=$1 deadline=$((SECONDS + $2))
  while [ $SECONDS -lt "$deadline" ]; do
    exited "$pid" && { wait "$pid"; return $?; }
    sleep 0.2
  done
  return 255
}
lines() { [ -f "$1" ] && wc -l <"$1" || echo 0; }
