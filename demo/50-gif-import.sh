#!/usr/bin/env bash
# A GIF made with giflib is imported with gif2q7, listed, and one of its
# images exported again as a PNG.  Input that cannot be imported is
# refused and leaves no file behind.
set -euo pipefail

q7gif_sample sample.gif 160 96 4
echo "made sample.gif: $(stat -c %s sample.gif) bytes, 160x96, 4 frames, 256 colours"

gif2q7 sample.gif sample.q7
echo "gif2q7 wrote sample.q7: $(stat -c %s sample.q7) bytes"

if command -v q7ls >/dev/null 2>&1; then
  listing="$(q7ls sample.q7)"
  printf '%s\n' "$listing"
  for name in /global /Image0 /Image1 /Image2 /Image3; do
    grep -q "^$name " <<<"$listing"
  done
  # How an image is marked and which palette it carries.
  image="$(q7ls -v sample.q7 Image2)"
  printf '%s\n' "$image"
  grep -q 'Q7IM_CLASS .* = "IMAGE"' <<<"$image"
  grep -q 'Q7IM_PALETTES .* = "/global"' <<<"$image"
else
  echo "(q7ls is not built in this tree; listing skipped)"
fi

q7topng sample.q7 Image2 image2.png
# A PNG starts with its 8-byte signature.
test "$(head -c 8 image2.png | od -An -tx1 | tr -d ' \n')" = "89504e470d0a1a0a"
echo "q7topng wrote image2.png: $(stat -c %s image2.png) bytes"

printf 'GIF89a and then nothing' > broken.gif
if gif2q7 broken.gif broken.q7 2>err.txt; then
  echo "a broken GIF was imported" >&2
  exit 1
fi
cat err.txt
test ! -e broken.q7
echo "the broken GIF was refused and left no file"
