#!/usr/bin/env bash
# q7diff: two files with the same content compare equal (status 0); a file
# with three changed values gives status 1 and names each of them; a
# tolerance hides the small changes.
set -euo pipefail

fail() { echo "demo step failed: $*" >&2; exit 1; }

q7diff_samples demo .

echo "\$ q7diff base.q7 copy.q7"
set +e; same=$(q7diff base.q7 copy.q7); rc=$?; set -e
echo "$same"
echo "(exit status $rc)"
[ "$rc" -eq 0 ] || fail "equal files gave status $rc"
[ "$same" = "0 differences found" ] || fail "unexpected output for equal files"

echo
echo "\$ q7diff base.q7 changed.q7"
set +e; changed=$(q7diff base.q7 changed.q7); rc=$?; set -e
echo "$changed"
echo "(exit status $rc)"
[ "$rc" -eq 1 ] || fail "changed file gave status $rc"
grep -qx '/counts\[3\]: 3 vs 4, difference 1' <<<"$changed" || fail "changed count not shown"
grep -qx '/station/pressure\[17\]: 1008.5 vs -1, difference 1009.5' <<<"$changed" || fail "changed pressure not shown"
grep -qx '/station/temperature\[2,5\]: 18.25 vs 19, difference 0.75' <<<"$changed" || fail "changed temperature not shown"
grep -qx '3 differences found' <<<"$changed" || fail "summary missing"

echo
echo "\$ q7diff -d 1 base.q7 changed.q7     (absolute tolerance 1)"
set +e; tolerant=$(q7diff -d 1 base.q7 changed.q7); rc=$?; set -e
echo "$tolerant"
echo "(exit status $rc)"
[ "$rc" -eq 1 ] || fail "tolerant run gave status $rc"
grep -qx '1 difference found' <<<"$tolerant" || fail "tolerance did not hide the small changes"

echo
echo "\$ q7diff -q base.q7 changed.q7; echo \$?"
set +e; quiet=$(q7diff -q base.q7 changed.q7); rc=$?; set -e
echo "$rc"
[ "$rc" -eq 1 ] && [ -z "$quiet" ] || fail "quiet mode printed or gave status $rc"
