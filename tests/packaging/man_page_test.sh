#!/usr/bin/env bash
# The manual page: well-formed roff, every option of `quarn --help` with its help text, and
# every exit status the program defines.
#   man_page_test.sh QUARN SOURCE_DIR
set -euo pipefail
quarn=$1
source_dir=$2
page=$source_dir/man/quarn.1

if ! command -v groff >/dev/null; then
  echo "groff (groff-base) is not installed"
  exit 77
fi

fail=0
problem() {
  echo "FAIL: $*" >&2
  fail=1
}

# groff's own checks, every warning on; a clean page prints nothing at all.
warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
[ -z "$warnings" ] || problem "groff warns: $warnings"
if command -v man >/dev/null; then
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || problem "man warns: $warnings"
fi

# The page as plain text on one very long line per paragraph, without hyphenation, so that a
# help text is found whatever the line breaks; runs of blanks made by justification are one.
text=$(groff -man -Tascii -P-c -P-b -P-o -P-u -rLL=2000n -rHY=0 "$page" 2>/dev/null | tr -s ' ')

# "  -v, --version      display tool version and exit": the names, then the text after blanks
# (one blank only behind names too long for the option column).
help=$("$quarn" --help)
options=0
while IFS= read -r line; do
  case $line in "  -"*) ;; *) continue ;; esac
  names=$(sed -E 's/^  ((-[^ ]*, )?[^ ]+).*/\1/' <<<"$line")
  description=$(sed -E 's/^  (-[^ ]*, )?[^ ]+ +//' <<<"$line")
  # The value's placeholder may hold commas of its own ("--format=<asc|mf4|asc,mf4>").
  names=$(sed 's/=<[^>]*>//g' <<<"$names")
  for name in ${names//,/ }; do
    name=${name%%=*}
    options=$((options + 1))
    grep -qF -- "$name" <<<"$text" || problem "option $name is not in the page"
  done
  description=$(tr -s ' ' <<<"$description")
  grep -qF -- "$description" <<<"$text" || problem "help text not in the page: $description"
done <<<"$help"
[ "$options" -ge 9 ] || problem "found only $options options in --help"

# Every exit status the program names, as an entry of its own in EXIT STATUS.
statuses=$(sed -n 's/^inline constexpr int kStatus[A-Za-z]* = \([0-9][0-9]*\);.*/\1/p' \
  "$source_dir/src/batch/exit_status.h")
[ "$(wc -w <<<"$statuses")" -ge 9 ] || problem "found only these statuses: $statuses"
section=$(groff -man -Tascii -P-c -P-b -P-o -P-u "$page" 2>/dev/null |
  sed -n '/^EXIT STATUS/,/^[A-Z]/p')
for status in $statuses; do
  grep -qE "^ +$status( |\$)" <<<"$section" || problem "exit status $status is not in EXIT STATUS"
done

[ $fail -eq 0 ] || exit 1
echo "manual page checked: $options option names, statuses" $statuses
