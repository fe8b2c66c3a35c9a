#!/usr/bin/env bash
# The reference host on small scripts: a warning on stderr, with the file and line,
# for each statement the library takes silently but that cannot do what it says,
# none for a sound statement, and every statement still run; the host words that
# name its window; an unknown directive as a syntax error; a script on standard input.
# usage: host_script_test.sh path/to/trakx-host.exe
set -uo pipefail
host=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# Each statement, then the warning it must give ("" for none).
cases=(
  'FILESETPOS 1 0'                   'FILESETPOS is a function: write ? FILESETPOS'
  'DLLFUNC atoi INT INT:1'           'DLLFUNC is a function'
  '? FILESETPOS 1 0'                 ''
  '? SETSTR 1 x'                     'SETSTR is a command: written with ? it answers "Invalid Function"'
  'SETSTR 1 x'                       ''
  'MENU CREATE 1 POPUP File'         ''
  '? MENU GETSTATE 10001'            ''
  '? MENU CREATE 1'                  '? MENU answers only GETSTATE'
  '? DLLFUNC atoi INT 1'             'DLLFUNC argument 1 "1" begins with no prefix and passes 0'
  '? DLLFUNC atoi INT STR:12 ""'     ''
  '? DLLFUNC atoi INT INT:5 strbuf1 handle:%7 STRSIZE' ''
  '? DLLFUNC atoi INT INT:5 seven'   'DLLFUNC argument 2 "seven" begins with no prefix'
  '? DLLFUNC atoi STR'               ''
  '? DLLFUNC atoi INT INT:MB_ICONWARNING' 'DLLFUNC argument 1 "INT:MB_ICONWARNING" passes 0: DLLFUNC reads no constant names; write its value (INT:48) or declare the function and call it with DLLCALL'
  '? DLLFUNC atoi INT handle:%HKEY_CURRENT_USER' 'write its value (handle:%-2147483647)'
  '? DLLFUNC atoi INT MB_OK|MB_ICONERROR' 'DLLFUNC argument 1 "MB_OK|MB_ICONERROR" begins with no prefix and passes 0: DLLFUNC reads no constant names; write INT:16'
  '? DLLFUNC atoi INT INT:MB_ICONWARNNG' 'DLLFUNC argument 1 "INT:MB_ICONWARNNG" passes 0: DLLFUNC reads numbers only (did you mean MB_ICONWARNING? write its value)'
  '? DLLFUNC atoi INT INT:-5 HANDLE:%0x10 HANDLE:INT:5' ''
  '? DLLCONST MB_OK'                 ''
  '? DLLFUNC atoi INT:1'             'DLLFUNC needs a result type INT or STR'
  '? DLLFUNC atoi'                   'DLLFUNC needs a result type INT or STR'
  'DRAW FILL GREEN'                  'the colour "GREEN" is not one DRAW knows: it draws black'
  'DRAW FILL ltgreen'                ''
  'DRAW PEN 0x00FF00 SOLID 1'        ''
  'DRAW FLOOD 1 1 PINK'              'the colour "PINK" is not one DRAW knows'
  'DRAW FONT Navy'                   'the colour "Navy"'
  'DRAW TEXT 1 1 GREEN'              ''
  'FROBNICATE 1'                     'the library has no keyword "FROBNICATE": it does nothing and answers 0'
  '? FROBNICATE'                     'the library has no keyword "FROBNICATE": it answers "Invalid Function"'
  'DLLDECLARE 1 1 "int __cdecl atoi(const char* s)"' ''
  '? DLLCALL atoi "42"'              ''
  'bufnew 1 8'                       ''
  '? BUFSIZE 1'                      ''
)
script="$work/warn.trx"
: > "$script"
for ((i = 0; i < ${#cases[@]}; i += 2)); do echo "${cases[i]}" >> "$script"; done
wine "$host" -q "Z:$script" > "$work/out" 2> "$work/err"
status=$?
[ "$status" -eq 0 ] || fail "the script with warnings exited $status: $(cat "$work/err")"
statements=$(( ${#cases[@]} / 2 ))
answers=$(grep -c '\[status [0-9]*\]' "$work/out")
[ "$answers" -eq "$statements" ] || fail "$answers of $statements statements ran: $(cat "$work/out")"
for ((i = 0; i < ${#cases[@]}; i += 2)); do
  line=$((i / 2 + 1))
  got=$(grep "^Z:$script:$line: warning: " "$work/err" | tr -d '\r')
  if [ -z "${cases[i + 1]}" ]; then
    [ -z "$got" ] || fail "line $line '${cases[i]}': a warning for a sound statement: $got"
  else
    [ "$(grep -c . <<<"$got")" -eq 1 ] && grep -qF -- "${cases[i + 1]}" <<<"$got" ||
      fail "line $line '${cases[i]}': expected one warning '${cases[i + 1]}', got: $got"
  fi
done
# A statement warned about runs as written: FILESETPOS as a command answers 0.
grep -q '^0  \[status 0\]' "$work/out" || fail "FILESETPOS as a command did not answer 0"

# ---- the host words -----------------------------------------------------------
cat > "$work/words.trx" <<'TRX'
.echo window %HWND% client %CLIENTX% %CLIENTY% frame %FRAMEX% %FRAMEY% moved %CLIENTX+10% %FRAMEY-1%
.echo kept %hwnd% %NOSUCH% 50% %HWND+% 100%%HWND%
DRAW FILL RED
DRAW RECTANGLE 0 0 20 20
? GETPIXEL %HWND% %FRAMEX+5% %FRAMEY+5%
.expect FF0000
? GETPIXEL %HWND% %FRAMEX+30% %FRAMEY+5%
.expect FFFFFF
TRX
wine "$host" "Z:$work/words.trx" > "$work/out" 2> "$work/err"
status=$?
[ "$status" -eq 0 ] || fail "the host words: exit $status: $(cat "$work/err")"
handle=$(sed -n 's/^init "\([0-9]*\)".*/\1/p' "$work/out" | tr -d '\r')
read -r _ h _ cx cy _ fx fy _ mx my <<<"$(grep '^window ' "$work/out" | tr -d '\r')"
[ -n "$handle" ] && [ "$h" = "$handle" ] || fail "%HWND% gave '$h', the init line '$handle'"
[ "$mx" = "$((cx + 10))" ] && [ "$my" = "$((fy - 1))" ] || fail "offsets: $cx $fy -> $mx $my"
[ "$fx" -gt 0 ] && [ "$fy" -gt "$fx" ] || fail "the frame offsets $fx $fy are not those of a framed, titled window"
tr -d '\r' < "$work/out" | grep -q "^kept %hwnd% %NOSUCH% 50% %HWND+% 100%$handle$" ||
  fail "words that are not host words changed: $(grep '^kept' "$work/out")"

# ---- an unknown directive is a syntax error; standard input ----------------------
printf 'SETINT 1 5\n.frobnicate 1\n' > "$work/directive.trx"
wine "$host" -q "Z:$work/directive.trx" > "$work/out" 2> "$work/err"
status=$?
[ "$status" -eq 2 ] || fail "an unknown directive exited $status"
grep -q ':2: syntax error: unknown directive' "$work/err" || fail "no line number: $(cat "$work/err")"
output=$(printf 'SETINT 1 5\n? GETINT 1\n.expect 5\n' | wine "$host" -q - 2>&1 | tr -d '\r')
[ "$output" = $'0  [status 0]\n"5"  [status 0]' ] || fail "- did not read standard input: $output"

[ "$failures" -eq 0 ] && echo "host scripts: all checks passed"
exit $((failures > 0))
