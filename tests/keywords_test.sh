#!/usr/bin/env bash
# The reference host's lists of keywords, DLLFUNC prefixes and result types and
# colour names (host/keywords.h) hold exactly the words of the library's own tables,
# both ways: a word the library gains or loses and the host does not shows here.
# (host-test's HostLists cases check the function list against FuncProc's answers.)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
failures=0

# The quoted words of one array of a source file, one a line, sorted.
host_list() {
  awk -v name="$1" '$0 ~ name "\\[\\] = \\{" { on = 1; next } on && /^};/ { exit }
                    on { while (match($0, /"[^"]*"/)) { print substr($0, RSTART + 1, RLENGTH - 2);
                                                        $0 = substr($0, RSTART + RLENGTH) } }' \
    "$root/host/keywords.h" | sort
}
# The first quoted word of each row of one table of the library.
library_table() {
  awk -v name="$2" '$0 ~ name "\\[\\] = \\{" { on = 1; next } on && /^};/ { exit }
                    on { while (match($0, /\{"[^"]*"/)) { print substr($0, RSTART + 2, RLENGTH - 3);
                                                          $0 = substr($0, RSTART + RLENGTH) } }' \
    "$root/$1" | sort
}
compare() {
  local what=$1 host=$2 library=$3
  if [ -z "$library" ]; then echo "FAILED: the library's $what table was not found"; failures=$((failures + 1)); return; fi
  if [ "$host" != "$library" ]; then
    echo "FAILED: $what differ (< host/keywords.h, > library):"
    # (no process substitution: the emulator's guest has no /dev/fd)
    local word
    for word in $host; do grep -qxF "$word" <<<"$library" || echo "< $word"; done
    for word in $library; do grep -qxF "$word" <<<"$host" || echo "> $word"; done
    failures=$((failures + 1))
  fi
}
compare "command keywords" "$(host_list kLibraryCommands)" "$(library_table src/host/dispatch.cpp kCommands)"
compare "function keywords" "$(host_list kLibraryFunctions)" "$(library_table src/host/dispatch.cpp kFunctions)"
compare "DLLFUNC prefixes" "$(host_list kCallPrefixes)" "$(library_table src/vars/foreign.cpp kPrefixTests)"
compare "colour names" "$(host_list kColourNames)" "$(library_table src/draw/colour.cpp kColours)"
# The result types are compared in the call itself, not in a table.
for type in $(host_list kCallResultTypes); do
  grep -qE "Same(Word|Keyword)\(vars.callReturnType, \"$type\"\)" "$root/src/vars/foreign.cpp" ||
    { echo "FAILED: DLLFUNC does not compare its result type with $type"; failures=$((failures + 1)); }
done
[ "$failures" -eq 0 ] && echo "keywords: the host's lists match the library's tables"
exit $((failures > 0))
