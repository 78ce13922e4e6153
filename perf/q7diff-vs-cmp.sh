#!/usr/bin/env bash
# q7diff against GNU cmp on the same bytes.
#
# Two files each hold one float64 dataset of 256 MiB in 1 MiB chunks; the
# same element bytes are also written to plain files.  Measured with warm
# page caches, best of three wall times:
#   identical files:     q7diff A B        against  cmp A.raw B.raw
#   one element in 1000
#   changed, quiet:      q7diff -q A C     against  cmp -l A.raw C.raw
#     (plain cmp stops at the first differing byte, so the baseline for
#      this case is cmp -l, which reads both files to the end and lists
#      every differing byte into a file)
# Targets: q7diff at most 1.5 times the baseline's wall time, peak resident
# memory under 64 MiB and not growing with the dataset (a 64 MiB dataset
# is measured as well).  Exit status 1 when a target is missed.
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
PATH="$build/bin:$PATH"
if [ ! -x "$build/bin/q7diff" ] || [ ! -x "$build/bin/q7diff_samples" ]; then
  echo "q7diff-vs-cmp: q7diff is not built in $build; nothing measured"
  exit 0
fi
work="$(mktemp -d "$build/q7diff-perf.XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"

mib=$((1024 * 1024))
nelem=$((256 * mib / 8))
chunk=$((mib / 8))
small=$((64 * mib / 8))

q7diff_samples series a.q7 "$nelem" "$chunk" 0 a.raw
q7diff_samples series b.q7 "$nelem" "$chunk" 0 b.raw
q7diff_samples series c.q7 "$nelem" "$chunk" 1000 c.raw
q7diff_samples series sa.q7 "$small" "$chunk" 0
q7diff_samples series sb.q7 "$small" "$chunk" 0
cat ./*.q7 ./*.raw >/dev/null

# best_of CMD...: prints "<best wall s> <peak RSS KiB> <best CPU s>" of
# three runs (CPU = user + system; on a shared machine it is the steadier
# figure).  The command's output goes to a file: GNU cmp stops at the first
# difference when its output is /dev/null.
best_of() {
  local best="" cpu="" rss=0 t m c
  for _ in 1 2 3; do
    /usr/bin/time -f "%e %M %U %S" -o time.out "$@" >run.out 2>&1 || true
    read -r t m u s < <(tail -1 time.out)
    c=$(awk -v u="$u" -v s="$s" 'BEGIN{printf "%.2f", u + s}')
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN{exit !(a<b)}'; then best=$t; fi
    if [ -z "$cpu" ] || awk -v a="$c" -v b="$cpu" 'BEGIN{exit !(a<b)}'; then cpu=$c; fi
    [ "$m" -gt "$rss" ] && rss=$m
  done
  echo "$best $rss $cpu"
}

# Exit statuses first: the timings mean nothing if the answers are wrong.
set +e
q7diff -q a.q7 b.q7; same=$?
q7diff -q a.q7 c.q7; differ=$?
count=$(q7diff -r -n 1 a.q7 c.q7 | tail -1)
set -e
echo "answers: identical -> $same, changed -> $differ, '$count'"
ok=1
[ "$same" -eq 0 ] && [ "$differ" -eq 1 ] && [ "$count" = "$((nelem / 1000)) differences found" ] || ok=0

read -r cmp_same _ cmp_same_cpu < <(best_of cmp a.raw b.raw)
read -r q_same rss_same q_same_cpu < <(best_of q7diff a.q7 b.q7)
read -r cmp_l _ cmp_l_cpu < <(best_of cmp -l a.raw c.raw)
read -r q_diff rss_diff q_diff_cpu < <(best_of q7diff -q a.q7 c.q7)
read -r q_small rss_small _ < <(best_of q7diff sa.q7 sb.q7)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN{ if (b <= 0) b = 0.01; printf "%.2f", a / b }'; }
r_same=$(ratio "$q_same" "$cmp_same")
r_diff=$(ratio "$q_diff" "$cmp_l")
printf '%-36s wall %6s s   cpu %6s s\n' "cmp, identical 256 MiB" "$cmp_same" "$cmp_same_cpu" \
  "q7diff, identical 256 MiB" "$q_same" "$q_same_cpu" \
  "cmp -l, one in 1000 changed" "$cmp_l" "$cmp_l_cpu" \
  "q7diff -q, one in 1000 changed" "$q_diff" "$q_diff_cpu"
echo "wall ratio identical:           $r_same (target <= 1.5), cpu ratio $(ratio "$q_same_cpu" "$cmp_same_cpu")"
echo "wall ratio one in 1000, quiet:  $r_diff (target <= 1.5), cpu ratio $(ratio "$q_diff_cpu" "$cmp_l_cpu")"
echo "peak RSS q7diff: 256 MiB identical $((rss_same / 1024)) MiB, 256 MiB changed $((rss_diff / 1024)) MiB," \
     "64 MiB identical $((rss_small / 1024)) MiB (target < 64 MiB)"

awk -v r="$r_same" 'BEGIN{exit !(r <= 1.5)}' || ok=0
awk -v r="$r_diff" 'BEGIN{exit !(r <= 1.5)}' || ok=0
[ "$rss_same" -lt $((64 * 1024)) ] && [ "$rss_diff" -lt $((64 * 1024)) ] || ok=0
# Growth with the dataset: at most 8 MiB more for four times the data.
[ "$rss_same" -le $((rss_small + 8 * 1024)) ] || ok=0
if [ "$ok" -eq 1 ]; then echo "q7diff-vs-cmp: targets met"; else echo "q7diff-vs-cmp: TARGET MISSED"; exit 1; fi
