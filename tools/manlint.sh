#!/bin/sh
# Lints manual pages as a reader sees them, not only as source: groff's and man's warnings, then the
# text man renders, where markup the source got wrong shows up as text. Plain or gzipped pages.
# Usage: tools/manlint.sh PAGE...   prints PAGE: error: ... for each finding; exits 1 on any, 2 on misuse
set -u
[ $# -gt 0 ] || { echo "usage: tools/manlint.sh PAGE..." >&2; exit 2; }
for tool in groff man; do
    command -v $tool >/dev/null || { echo "tools/manlint.sh: $tool not found (tools/setup.sh test)" >&2; exit 2; }
done
LC_ALL=C.UTF-8
export LC_ALL
failed=0
for page in "$@"; do
    [ -r "$page" ] || { echo "$page: error: cannot read it"; failed=1; continue; }
    warnings=$(zcat -f "$page" | groff -man -Tutf8 -ww -z 2>&1)
    warnings="$warnings$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)"
    if [ -n "$warnings" ]; then
        echo "$warnings" | sed "s|^|$page: error: |"
        failed=1
    fi
    # Each paragraph as man prints it to a pipe: plain text, 80 columns.
    MANWIDTH=80 man -l "$page" 2>/dev/null | awk -v page="$page" '
        function flag(why) { print page ": error: rendered line " NR ": " why ": " $0; bad = 1 }
        # An argument quote that lost its pair, a font or glyph escape, a request line printed as text.
        /\\[fe(*"]/ { flag("an escape printed as text") }
        /^[ \t]*\.[A-Za-z][A-Za-z]?([ \t]|$)/ { flag("a request printed as text") }
        # What a bold or quoted piece leaves behind when its marking is lost: "with ; the".
        / [;,]([ \t]|$)/ { flag("a space before punctuation") }
        { quotes += gsub(/"/, "\"") }
        /^[ \t]*$/ { if (quotes % 2) flag("an odd number of double quotes in the paragraph above"); quotes = 0 }
        END { if (quotes % 2) flag("an odd number of double quotes in the last paragraph"); exit bad }
    ' || failed=1
done
exit $failed
