# Sourced by scripts/test_all.sh: runs the test command's stages, one after
# another or side by side, with readable output and the CPU time of each.
#
#   stage NAME COMMAND...     runs COMMAND (a function or a program) as one
#                             stage, under `set -e`, and returns its status.
#                             Alone, its output streams as it comes; inside
#                             `side_by_side`, it goes to $logs/NAME.log and is
#                             printed whole when the stage ends, so that stages
#                             running at once never mix their lines (a line
#                             `-- NAME: started` tells when it starts).
#   after NAME                waits, inside a lane, until the stage NAME (of
#                             another lane) has ended; fails if it failed.
#   side_by_side LANE...      runs each LANE (a function that calls `stage`
#                             one or more times) at the same time as the
#                             others and waits for all of them. When a stage
#                             fails, the other lanes are stopped, their running
#                             stages' logs so far are printed, and it returns 1.
#
# Each stage ends with a line `-- NAME: W s, CPU U+S s: ok` (wall clock,
# then the user and system CPU time of everything the stage ran), which is
# also added to $logs/summary.
#
# The caller sets `logs` (a directory) and has `set -euo pipefail` on.

# User + system CPU seconds of this shell's finished children, as `times`
# reports them (its second line), into the variable named $1. `times` runs
# in this shell (not in a command substitution, which is another process).
_children_cpu() {
  local file=$logs/.times-$BASHPID line user sys
  times >"$file"
  line=$(sed -n 2p "$file")
  rm -f "$file"
  user=${line%% *} sys=${line##* }
  printf -v "$1" '%s' "$(awk -v u="$user" -v s="$sys" '
    function sec(t,  m) { m = t; sub(/m.*/, "", m); sub(/^[0-9]+m/, "", t); sub(/s$/, "", t); return m * 60 + t }
    BEGIN { printf "%.1f %.1f", sec(u), sec(s) }')"
}

_in_lane=0

stage() {
  local name=$1 start=$SECONDS rc before after log
  shift
  mkdir -p "$logs"
  _children_cpu before
  if ((_in_lane)); then
    log=$logs/$name.log
    : >"$log"
    { flock 9; echo "-- $name: started"; } 9>"$logs/.print-lock"
    echo "$name" >"$logs/.running-$BASHPID"
    set +e
    (set -e; "$@") </dev/null >"$log" 2>&1
    rc=$?
    set -e
    rm -f "$logs/.running-$BASHPID"
  else
    echo "== $name"
    set +e
    (set -e; "$@") </dev/null
    rc=$?
    set -e
  fi
  _children_cpu after
  if ((rc == 0)); then echo ok; else echo failed; fi >"$logs/.$name.status"
  mv "$logs/.$name.status" "$logs/$name.status"
  local cpu status=ok
  cpu=$(awk -v b="$before" -v a="$after" 'BEGIN { split(b, x, " "); split(a, y, " "); printf "%.0f+%.0f", y[1] - x[1], y[2] - x[2] }')
  ((rc == 0)) || status="FAILED (exit status $rc)"
  local summary="-- $name: $((SECONDS - start)) s, CPU $cpu s: $status"
  echo "$summary" >>"$logs/summary"
  if ((_in_lane)); then
    # One lane prints at a time: the whole log, under a lock.
    {
      flock 9
      echo "== $name"
      cat "$log"
      echo "$summary"
    } 9>"$logs/.print-lock"
  else
    echo "$summary"
  fi
  return "$rc"
}

after() {
  until [ -f "$logs/$1.status" ]; do sleep 2; done
  [ "$(cat "$logs/$1.status")" = ok ]
}

side_by_side() {
  local lane pid rc failed=0
  local -A lanes=()
  mkdir -p "$logs"
  rm -f "$logs"/.running-* "$logs"/*.status
  # Each lane in its own process group (job control on), so that a failure
  # can stop a whole lane, compilers and test runners included.
  set -m
  for lane in "$@"; do
    (_in_lane=1; "$lane") &
    lanes[$!]=$lane
  done
  set +m
  # shellcheck disable=SC2064
  trap "_stop_lanes ${!lanes[*]}; exit 130" INT TERM
  while ((${#lanes[@]})); do
    if wait -n -p pid "${!lanes[@]}"; then rc=0; else rc=$?; fi
    [ -n "${pid:-}" ] || break
    unset "lanes[$pid]"
    if ((rc != 0)); then
      failed=1
      break
    fi
  done
  if ((failed && ${#lanes[@]})); then
    local running
    running=$(cat "$logs"/.running-* 2>/dev/null || true)
    _stop_lanes "${!lanes[@]}"
    for name in $running; do
      echo "== $name: stopped, because another stage failed; its log so far:"
      tail -n 40 "$logs/$name.log"
    done
  fi
  rm -f "$logs"/.running-*
  trap - INT TERM
  if ((failed)); then
    echo "-- a stage failed (its log is above, ending with FAILED)" >&2
    return 1
  fi
}

_stop_lanes() {
  local pid
  for pid in "$@"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
  for pid in "$@"; do wait "$pid" 2>/dev/null || true; done
}
