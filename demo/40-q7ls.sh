#!/usr/bin/env bash
# q7ls: lists a chunked, filtered dataset written by the I/O benchmark,
# with bounded data and the fixed-endian type, then names the dataset
# from its address.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }

q7iobench --file listing.q7 --size 64K --chunk 16K --iterations 1 --filter 2 --filter 1:6 --keep >/dev/null
[ -e listing.q7 ] || fail "the benchmark left no file to list"

echo "--- q7ls -r -d --fixed-endian big --addresses listing.q7"
out="$(q7ls -r -d --fixed-endian big --addresses listing.q7)"
echo "$out"
grep -qE '^/data +Dataset$' <<<"$out" || fail "the dataset /data is not listed"
grep -qE '^ +Type: +integer, 4 bytes, little-endian, signed$' <<<"$out" || fail "wrong element type"
grep -qE '^ +Dims: +\{16384\} max \{16384\}$' <<<"$out" || fail "wrong dimensions"
grep -qE '^ +Storage: +chunked \{4096\}$' <<<"$out" || fail "wrong chunking"
grep -qE '^ +Filters: +2 "[^"]*" \{[0-9, ]*\}$' <<<"$out" || fail "shuffle filter not listed first"
grep -qE '^ +1 "[^"]*" \{6\}$' <<<"$out" || fail "deflate filter with level 6 not listed"
grep -qE '^ +Fixed-endian: +STD_I32BE$' <<<"$out" || fail "wrong fixed-endian type"
grep -qE '^ +Data: +([^,]+, ){20}\.\.\.$' <<<"$out" || fail "data not cut after 20 values"

addr="$(awk '/^\/data /{found=1} found && /Address:/{print $2; exit}' <<<"$out")"
[ -n "$addr" ] || fail "no address printed for /data"
echo "--- q7ls --resolve $addr listing.q7"
name="$(q7ls --resolve "$addr" listing.q7)"
echo "$name"
[ "$name" = "/data" ] || fail "address $addr resolved to '$name', not /data"
if q7ls --resolve 987654321987 listing.q7 2>/dev/null; then fail "an unused address resolved"; fi
echo "q7ls: listing and address resolution verified"
