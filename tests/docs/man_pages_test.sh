#!/bin/sh
# The manual pages against the programs: every option kobrant-sim --help lists is documented in
# kobrant-sim(1) and the page documents no other; every switch of kobrant's usage text is in
# kobrant(1); and, where mandoc is installed, both pages pass its lint without a warning.
# Usage: man_pages_test.sh DOCS_DIR KOBRANT_SIM USAGE_SOURCE
set -u
docs=$1 sim=$2 usage=$3
failed=0
fail() { echo "FAIL: $*"; failed=1; }

options_in_help=$({ "$sim" --help; echo --help; } | grep -o -- '--[a-z0-9-]*' | sort -u)
# Described: an item of the option list. Mentioned: anywhere, the synopsis included.
options_described=$(sed -n 's/^\.It Fl -\([a-z0-9-]*\).*/--\1/p' "$docs/kobrant-sim.1" | sort -u)
options_mentioned=$(grep -o 'Fl -[a-z0-9-]*' "$docs/kobrant-sim.1" | sed 's/^Fl -/--/' | sort -u)
for option in $options_in_help; do
  echo "$options_described" | grep -qx -- "$option" || fail "kobrant-sim(1) does not describe $option"
done
for option in $options_mentioned; do
  echo "$options_in_help" | grep -qx -- "$option" || fail "kobrant-sim(1) names $option, which --help does not list"
done

switches=$(grep -o '"   /[a-z]=\{0,1\}' "$usage" | cut -c5- | sort -u)
[ -n "$switches" ] || fail "no switches found in $usage"
for switch in $switches; do
  grep -q "^\.It Cm $switch" "$docs/kobrant.1" || fail "kobrant(1) lacks the switch $switch"
done

if command -v mandoc > /dev/null; then
  mandoc -Tlint -W warning "$docs/kobrant.1" "$docs/kobrant-sim.1" || fail "mandoc -Tlint"
else
  echo "mandoc is not installed: lint left out"
fi
[ $failed -eq 0 ] && echo "manual pages in step with the programs"
exit $failed
