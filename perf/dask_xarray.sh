#!/usr/bin/env bash
# Dask (threads and 2 worker processes) and xarray over the Python package,
# as ratios against ds[...].sum() in the same run: perf/bench_dask_xarray.py.
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
root="$(cd "$(dirname "$0")/.." && pwd)"
if ! /usr/bin/python3 -c 'import dask, xarray' 2>/dev/null || [ ! -f "$build/python/quor7/__init__.py" ]; then
  echo "dask_xarray: skipped (needs the built Python package, python3-dask and python3-xarray)"
  exit 0
fi
PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}" /usr/bin/python3 "$root/perf/bench_dask_xarray.py"
