# Writes the Windows manual page: man/quarn.1 with the sections that say something else on Windows
# taken from the Windows file. Run as
#   awk -f manual.awk quarn-windows.man quarn.1
# The Windows file holds blocks, each after a line
#   .\" windows: replace SECTION   (the block, with its own .SH line, stands for SECTION)
#   .\" windows: append SECTION    (the block goes at the end of SECTION)
#   .\" windows: insert SECTION    (the block goes in front of SECTION)
# Everything else comes from quarn.1, with its example paths under /data put on drive C. A block
# whose section quarn.1 no longer has fails the run, so that no Windows text is silently lost.

function section_end() {
  if (("append", section) in block) {
    printf "%s", block["append", section]
    used["append", section] = 1
  }
}

FNR == NR {
  if ($0 ~ /^\.\\" windows: (replace|append|insert) /) {
    action = $3
    name = $0
    sub(/^\.\\" windows: [a-z]+ /, "", name)
    current = action SUBSEP name
    block[current] = ""
    next
  }
  if (current != "") block[current] = block[current] $0 "\n"
  next
}

/^\.SH / {
  section_end()
  section = $0
  sub(/^\.SH +/, "", section)
  gsub(/"/, "", section)
  if (("insert", section) in block) {
    printf "%s", block["insert", section]
    used["insert", section] = 1
  }
  replacing = ("replace", section) in block
  if (replacing) {
    printf "%s", block["replace", section]
    used["replace", section] = 1
  }
}

!replacing {
  gsub(/\/data\//, "C:/data/")
  print
}

END {
  section_end()
  for (key in block) {
    if (!(key in used)) {
      split(key, parts, SUBSEP)
      printf "manual.awk: no section %s in the manual page to %s\n", parts[2], parts[1] > "/dev/stderr"
      failed = 1
    }
  }
  exit failed
}
