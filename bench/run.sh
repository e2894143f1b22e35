#!/usr/bin/env bash
# Runs the benchmark programs of bench/programs/ in Kro (through kro_bench) and,
# when they are installed, the same programs in python3 and lua5.4; reports the
# median time of each over several runs (each run a fresh process, the
# language's start-up not timed) and Kro's time as a ratio of theirs (below 1:
# Kro is faster). The programs' results must agree. A program's setup (see
# kro_bench.cpp) is not timed: the twins start their clocks after theirs. A
# last row, start-up, is the wall-clock time of a whole process that evaluates
# an empty script (the kro executable, or kro_bench when there is none),
# against the same in the other languages.
#
#   bench/run.sh [build-dir] [runs] [program...]   defaults: build, 5, all
#
# Timings are only worth comparing on a quiet machine: on a shared one, pin
# the runs to cores nobody else uses (taskset -c 6,7 bench/run.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-"$here/../build"}
runs=${2:-5}
shift $(($# < 2 ? $# : 2))
only=" $* "
kro_bench="$build/bench/kro_bench"
[ -x "$kro_bench" ] || { echo "no $kro_bench: build the project first" >&2; exit 2; }
# Debian's own interpreters, named by path: a python3 that a version manager
# puts first on PATH can be another build, with other speeds
python=/usr/bin/python3
# origin <file>: ", from package P" when the package manager knows the file
origin() { local p; p=$(dpkg -S "$1" 2>/dev/null | head -n 1 | cut -d: -f1) && [ -n "$p" ] && echo ", from package $p"; true; }
lua=/usr/bin/lua5.4
if [ -x "$python" ]; then
  # the interpreter itself rather than the link to it
  python=$(readlink -f "$python")
  echo "python3: $("$python" --version 2>&1) at $python$(origin "$python")"
else
  python=""
fi
if [ -x "$lua" ]; then
  lua=$(readlink -f "$lua")
  echo "lua5.4: $("$lua" -v 2>&1 | awk '{print $1, $2}') at $lua$(origin "$lua")"
else
  lua=""
fi

# median <numbers...>
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# time_of <command...>: runs it $runs times; prints "median result" (the
# command prints its time in ms on stdout and its result on stderr)
err=$(mktemp)
trap 'rm -f "$err"' EXIT
time_of() {
  local times=() t
  for ((k = 0; k < runs; k++)); do
    t=$("$@" 2>"$err") || { echo "failed: $*" >&2; cat "$err" >&2; return 1; }
    times+=("$t")
  done
  echo "$(median "${times[@]}") $(tr -d '\n' <"$err")"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }'; }

printf '%-12s %10s %10s %7s %10s %7s\n' program kro-ms python-ms ratio lua-ms ratio
status=0
for kro in "$here"/programs/*.kro; do
  name=$(basename "$kro" .kro)
  [ "$only" = "  " ] || [[ "$only" == *" $name "* ]] || continue
  read -r kt kr < <(time_of "$kro_bench" "$kro")
  pt="-" pr="" prat="-" lt="-" lr="" lrat="-"
  if [ -n "$python" ] && [ -f "$here/programs/$name.py" ]; then
    read -r pt pr < <(time_of "$python" "$here/programs/$name.py")
    prat=$(ratio "$kt" "$pt")
    [ "$pr" = "$kr" ] || { echo "$name: python3 gives $pr, Kro $kr" >&2; status=1; }
  fi
  if [ -n "$lua" ] && [ -f "$here/programs/$name.lua" ]; then
    read -r lt lr < <(time_of "$lua" "$here/programs/$name.lua")
    lrat=$(ratio "$kt" "$lt")
    [ "$lr" = "$kr" ] || { echo "$name: lua5.4 gives $lr, Kro $kr" >&2; status=1; }
  fi
  printf '%-12s %10s %10s %7s %10s %7s\n' "$name" "$kt" "$pt" "$prat" "$lt" "$lrat"
done

# wall_ms <command...>: the wall-clock time of one whole run, in milliseconds
wall_ms() {
  local start=$EPOCHREALTIME end
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }
  end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", (e - s) * 1000 }'
}
# startup_of <command...>: the median of $runs whole runs
startup_of() {
  local times=() k
  for ((k = 0; k < runs; k++)); do times+=("$(wall_ms "$@")") || return 1; done
  median "${times[@]}"
}
if [ "$only" = "  " ] || [[ "$only" == *" start-up "* ]]; then
  empty=$(mktemp -d)
  trap 'rm -f "$err"; rm -rf "$empty"' EXIT
  : >"$empty/empty.py"
  : >"$empty/empty.lua"
  # a script run by the kro executable starts with its header; kro_bench takes
  # the code alone
  if [ -x "$build/kro" ]; then
    echo 'Kro []' >"$empty/empty.kro"
    kt=$(startup_of "$build/kro" "$empty/empty.kro") || kt="-"
  else
    : >"$empty/empty.kro"
    kt=$(startup_of "$kro_bench" "$empty/empty.kro") || kt="-"
  fi
  pt="-" prat="-" lt="-" lrat="-"
  if [ -n "$python" ]; then
    pt=$(startup_of "$python" "$empty/empty.py")
    prat=$(ratio "$kt" "$pt")
  fi
  if [ -n "$lua" ]; then
    lt=$(startup_of "$lua" "$empty/empty.lua")
    lrat=$(ratio "$kt" "$lt")
  fi
  printf '%-12s %10s %10s %7s %10s %7s\n' start-up "$kt" "$pt" "$prat" "$lt" "$lrat"
fi

[ -n "$python" ] || echo "(python3 not found)"
[ -n "$lua" ] || echo "(lua5.4 not found)"
exit $status
