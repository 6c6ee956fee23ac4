#!/usr/bin/env bash
# The README's Usage block is exactly what `quarn --help` prints, so that an option added to the
# program without its line in the README fails here.
#   readme_usage_test.sh QUARN README
set -euo pipefail
quarn=$1
readme=$2

# The first fenced block after the "## Usage" heading, without its fences.
block=$(awk '
  /^## Usage$/ { in_section = 1; next }
  in_section && /^```/ { if (in_block) exit; in_block = 1; next }
  in_block { print }
' "$readme")
[ -n "$block" ] || {
  echo "FAIL: no fenced block under \"## Usage\" in $readme" >&2
  exit 1
}
help=$("$quarn" --help)
if [ "$block" != "$help" ]; then
  echo "FAIL: the Usage block of $readme differs from quarn --help (- README, + --help):" >&2
  diff <(printf '%s\n' "$block") <(printf '%s\n' "$help") >&2 || true
  exit 1
fi
echo "README Usage block matches --help: $(grep -c '^  -' <<<"$help") option lines"
