#!/usr/bin/env bash
# Dask and xarray: a temperature field written with quor7.xarray, opened
# lazily with xr.open_dataset(engine="quor7"), daily means computed by Dask,
# and the round trip checked; q7ls shows the dimension names kept.
set -euo pipefail

fail() { echo "demo step failed: $*" >&2; exit 1; }

build="$1"
root="$(cd "$(dirname "$0")/.." && pwd)"
export PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}"
py=/usr/bin/python3
"$py" -c 'import dask, xarray' 2>/dev/null || fail "python3-dask and python3-xarray are needed (scripts/setup-deps installs them)"

echo "\$ python3 dask_xarray.py field.q7"
out=$("$py" "$root/python/examples/dask_xarray.py" field.q7) || { echo "$out"; fail "the example failed"; }
echo "$out"
grep -q "Dask means equal NumPy's: yes" <<<"$out" || fail "Dask means differ"
grep -q "read back identical to what was written: yes" <<<"$out" || fail "round trip differs"

echo
echo "\$ q7ls -v field.q7 /run/temp"
out=$(q7ls -v field.q7 /run/temp) || fail "q7ls failed"
echo "$out"
grep -q '_dimensions' <<<"$out" || fail "q7ls shows no dimension names"
