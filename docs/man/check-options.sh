#!/bin/sh
# Checks that a manual page lists the same options as the program's --help,
# with the same short forms and value names: every option of the help text
# has an entry in the OPTIONS section of the page, and the other way round.
# Usage: check-options.sh PROGRAM PAGE
set -eu
program=$1
page=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# "  -n, --dry-run      print ..." and "      --format TEMPLATE  name ..."
"$program" --help |
  sed -n 's/^  *\(-[A-Za-z0-9], \)\{0,1\}\(--[a-z0-9-]*\)\( [A-Z][A-Z_]*\)\{0,1\}\(  .*\)\{0,1\}$/\1\2\3/p' |
  sort >"$work/help"

# In the page, the tag line after each .TP of the OPTIONS section, written
# out as man shows it: the arguments of an alternating-font macro (.BI, .BR)
# joined, those of .B and .I kept apart, font changes and escaped hyphens
# taken out.
awk '
  function shown(line,    macro, out, i, c, quoted) {
    macro = ""
    if (match(line, /^\.[BIR][BIR]? /)) { macro = substr(line, 2, RLENGTH - 2); line = substr(line, RLENGTH + 1) }
    out = ""; quoted = 0
    for (i = 1; i <= length(line); i++) {
      c = substr(line, i, 1)
      if (c == "\"") { quoted = !quoted; continue }
      if (c == " " && !quoted && length(macro) == 2) continue
      out = out c
    }
    gsub(/\\f[BIRP]/, "", out); gsub(/\\-/, "-", out); gsub(/  +/, " ", out); sub(/ +$/, "", out)
    return out
  }
  /^\.SH / { in_options = ($2 == "OPTIONS") }
  in_options && tagged { print shown($0); tagged = 0 }
  in_options && /^\.TP/ { tagged = 1 }' "$page" | sort >"$work/page"

if [ ! -s "$work/help" ]; then
  echo "check-options: no options found in the output of $program --help" >&2
  exit 1
fi
if ! diff -u "$work/help" "$work/page" >"$work/diff"; then
  echo "check-options: the options of $page differ from $program --help" \
       "(-: only in the help, +: only in the page):" >&2
  tail -n +3 "$work/diff" | grep '^[-+]' >&2
  exit 1
fi
echo "check-options: $(wc -l <"$work/help") options agree"
