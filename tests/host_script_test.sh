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
  'DLLDECLARE 2 1 int MulDiv(int a, int b);' 'DLLDECLARE'"'"'s declaration is not quoted: its blanks split it into 5 words; quote it whole, "int MulDiv(int a, int b);"'
  'DLLDECLARE 2 1 "int MulDiv(int a" "int b)"' ''
  'DLLSTRUCT typedef struct { int x; } P;' 'DLLSTRUCT'"'"'s declaration is not quoted'
  'DLLSTRUCT "typedef struct {" "int x; } P;"' ''
  'DLLCALLBACK 1 BOOL CALLBACK P(HWND h, LPARAM l) 1' 'DLLCALLBACK'"'"'s declaration is not quoted: its blanks split it into 6 words; quote it whole, "BOOL CALLBACK P(HWND h, LPARAM l)"'
  'DLLCALLBACK 1 "BOOL CALLBACK P(HWND h, LPARAM l)" 1' ''
  'DLLCALLBACK 1 "BOOL CALLBACK P(HWND h," "LPARAM l)" 1' ''
  'DLLINTERFACE interface IFoo : IUnknown { HRESULT Bar(int x); };' 'DLLINTERFACE'"'"'s declaration is not quoted: its blanks split it into 9 words'
  'DLLINTERFACE "interface IFoo : IUnknown { HRESULT Bar(int x); };"' ''
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

# A misspelt option, or a second script, is refused before anything runs (rather than
# taken as the script's name and quietly replaced by the next one).
printf '.echo ran\n' > "$work/one.trx"
for args in "--fersh Z:$work/one.trx" "Z:$work/one.trx -x" "Z:$work/one.trx Z:$work/one.trx"; do
  # shellcheck disable=SC2086
  wine "$host" $args > "$work/out" 2>&1
  status=$?
  output=$(tr -d '\r' < "$work/out")
  [ "$status" -eq 2 ] && grep -q 'trakx-host: \(unknown option\|one script at a time\)' <<<"$output" &&
    ! grep -q ran <<<"$output" || fail "'$args': exit $status: $output"
done

# Runs a script given as text; leaves its output in out and err, its exit code in status.
run_script() {
  printf '%s' "$1" > "$work/s.trx"
  wine "$host" -q "${@:2}" "Z:$work/s.trx" > "$work/out" 2> "$work/err"
  status=$?
  tr -d '\r' < "$work/out" > "$work/out.lf"
  tr -d '\r' < "$work/err" > "$work/err.lf"
}

# ---- names, fields and arithmetic ----------------------------------------------
# Each substitution, then what it becomes. v keeps a function's answer, n a
# command's, row a text with fields.
subs=(
  '%v%'           '41'
  '%n%'           '0'
  '%v+1%'         '42'
  '%v-60%'        '-19'
  '%v*2-2%'       '80'
  '%v/2%'         '20'
  '%v+v%'         '82'
  '%row%'         '65608|0|a title'
  '%row.1%'       '65608'
  '%row.3%'       'a title'
  '%row.4%'       ''
  '%row.1+4%'     '65612'
  '%HWND-HWND%'   '0'
  'a%v%b%row.2%c' 'a41b0c'
  '%V%'           '%V%'
  '%nosuch%'      '%nosuch%'
  '%row.0%'       '%row.0%'
  '50% %v'        '50% %v'
  '%crlf%'        'x\x0D\x0Ay'
)
# crlf ends its line as GETLASTERROR's answer does: echoed, it stays on one line.
text=$'n = SETINT 1 41\n? v = GETINT 1\n.set row 65608|0|a title\nSETSTR 2 e"x\\r\\ny"\n? crlf = GETSTR 2\n'
for ((i = 0; i < ${#subs[@]}; i += 2)); do text+=".echo [${subs[i]}]"$'\n'; done
run_script "$text"
[ "$status" -eq 0 ] || fail "names: exit $status: $(cat "$work/err.lf")"
mapfile -t echoed < <(grep '^\[' "$work/out.lf")
for ((i = 0; i < ${#subs[@]}; i += 2)); do
  [ "${echoed[i / 2]-}" = "[${subs[i + 1]}]" ] || fail "${subs[i]} became '${echoed[i / 2]-}', not '[${subs[i + 1]}]'"
done

# Mistakes with names: the exit code, then a text of the message. Those found when
# the script is read stop it before its first statement.
mistakes=(
  $'.set t abc\n.echo %t+1%'               2 ':2: %t+1%: "abc" is not a whole number'
  $'.set t 5\n.echo %t+x1%'                0 ''
  $'.set t 5\n.echo %t/0%'                 2 ':2: %t/0%: division by zero'
  # Whole numbers are 64-bit: a result beyond them, or a number beyond them that
  # strtoll would clamp, stops the run as division by zero does, rather than count on
  # with a wrapped or clamped value.
  $'.set a 9223372036854775806\nSETSTR 1 %a+1%\n? GETSTR 1\n.expect 9223372036854775807' 0 ''
  $'.set a 9223372036854775807\n.echo %a+1%'         2 ':2: %a+1%: 9223372036854775807 + 1 overflows: whole numbers run from -9223372036854775808 to 9223372036854775807'
  $'.set a -9223372036854775808\n.echo %a-1%'        2 ':2: %a-1%: -9223372036854775808 - 1 overflows'
  $'.set a 4611686018427387904\n.echo %a*2%'         2 ':2: %a*2%: 4611686018427387904 * 2 overflows'
  $'.set a -9223372036854775808\n.set m -1\n.echo %a/m%' 2 ':3: %a/m%: -9223372036854775808 / -1 overflows'
  $'.set a 99999999999999999999\n.echo %a+0%'        2 ':2: %a+0%: "99999999999999999999" is out of range: whole numbers run from'
  $'.set a 1\n.echo %a-99999999999999999999%'        2 ':2: %a-99999999999999999999%: "99999999999999999999" is out of range'
  $'.echo ran\nHWND = SETINT 1 1'          2 ':2: syntax error: HWND is a word of the host'
  $'.echo ran\n? 1x = GETINT 1'            2 ':2: syntax error: "1x" cannot be a name'
  $'.echo ran\nx ='                        2 ':2: syntax error: a name needs a statement after its ='
  $'.echo ran\n?'                          2 ':2: syntax error: a function statement needs a keyword'
  $'.echo ran\n.while 3 ?\n.end'            2 ':2: syntax error: a function statement needs a keyword'
  $'.echo ran\n.set 1x 5'                  2 ':2: syntax error: .set needs a name'
  $'.echo ran\n? n=GETINT 1'               2 ':2: syntax error: a name'"'"'s = needs a blank on each side: n = KEYWORD'
  $'.echo ran\nn= SETINT 1 1'              2 ':2: syntax error: a name'"'"'s = needs a blank on each side: n = KEYWORD'
  $'.echo ran\n? n =GETINT 1'              2 ':2: syntax error: a name'"'"'s = needs a blank on each side: n = KEYWORD'
  $'SETSTR 1 a=b\n? GETSTR 1\n.expect a=b' 0 ''
)
for ((i = 0; i < ${#mistakes[@]}; i += 3)); do
  run_script "${mistakes[i]}"
  [ "$status" -eq "${mistakes[i + 1]}" ] || fail "'${mistakes[i]}': exit $status, not ${mistakes[i + 1]}"
  [ -z "${mistakes[i + 2]}" ] || grep -qF -- "${mistakes[i + 2]}" "$work/err.lf" ||
    fail "'${mistakes[i]}': no '${mistakes[i + 2]}' in: $(cat "$work/err.lf")"
done

# A name no statement keeps is warned about when the script is read (it is passed on
# as written): each script, then its one warning ("" for none).
unkept=(
  $'.set row 1|2\n.echo %rwo.1%'            ':2: warning: %rwo.1%: no statement keeps a name rwo'
  $'? v = GETINT 1\n.echo %V+1%'             ':2: warning: %V+1%: no statement keeps a name V (NAME = ... or .set NAME) (did you mean %v%?'
  $'.echo %w%\n? w = GETINT 1'               ''
  $'.set n 1\n.echo 50% %n% 100% %HWND% %n.1+2% %%'  ''
)
for ((i = 0; i < ${#unkept[@]}; i += 2)); do
  run_script "${unkept[i]}"
  if [ -z "${unkept[i + 1]}" ]; then
    [ "$status" -eq 0 ] && ! grep -q warning "$work/err.lf" || fail "'${unkept[i]}': exit $status: $(cat "$work/err.lf")"
  else
    [ "$status" -eq 0 ] && [ "$(grep -c warning "$work/err.lf")" -eq 1 ] && grep -qF -- "${unkept[i + 1]}" "$work/err.lf" ||
      fail "'${unkept[i]}': exit $status, not the one warning '${unkept[i + 1]}': $(cat "$work/err.lf")"
  fi
done

# ---- loops and their cap -----------------------------------------------------
# String slots 1..ROWS hold a, b, c...; the loop reads them until slot ROWS+1 answers
# empty. Each case: rows, cap, exit code, the turns that must have run.
loops=(
  3 3  0 'a b c'
  3 10 0 'a b c'
  3 2  1 'a b'
  0 1  0 ''
)
for ((i = 0; i < ${#loops[@]}; i += 4)); do
  rows=${loops[i]} cap=${loops[i + 1]}
  text=''
  for ((r = 1; r <= rows; ++r)); do text+="SETSTR $r $(printf "\\x$(printf %x $((96 + r)))")"$'\n'; done
  text+=$'.set i 1\n'".while $cap ? s = GETSTR %i%"$'\n  .echo turn %s%\n  .set i %i+1%\n.end\n.echo after %i%\n'
  run_script "$text"
  turns=$(sed -n 's/^turn //p' "$work/out.lf" | tr '\n' ' ' | sed 's/ $//')
  [ "$status" -eq "${loops[i + 2]}" ] && [ "$turns" = "${loops[i + 3]}" ] ||
    fail "$rows rows, cap $cap: exit $status, turns '$turns'; $(cat "$work/err.lf")"
  if [ "${loops[i + 2]}" -eq 0 ]; then
    grep -qx "after $((rows + 1))" "$work/out.lf" || fail "$rows rows, cap $cap: the loop did not end at the empty answer"
  else
    grep -qF ":$((rows + 2)): .while ran its $cap turns and the answer is still not empty" "$work/err.lf" ||
      fail "cap $cap: no message at the loop's line: $(cat "$work/err.lf")"
  fi
done
# A loop inside a loop counts its turns afresh each time it is entered.
run_script $'SETSTR 1 a\nSETSTR 2 b\nSETSTR 3 c\n.set o 1\n.while 2 ? x = GETSTR %o%\n  .set i 1\n  .while 3 ? y = GETSTR %i%\n    .echo %x%%y%\n    .set i %i+1%\n  .end\n  .set o %o+1%\n  .if\n.end\n'
[ "$status" -eq 2 ] && grep -q ':12: syntax error: unknown directive' "$work/err.lf" && [ ! -s "$work/out.lf" ] ||
  fail "an unknown directive inside a loop was not found before the first statement: $status $(cat "$work/err.lf")"
run_script $'SETSTR 1 a\nSETSTR 2 b\nSETSTR 3 c\n.set o 2\n.while 2 ? x = GETSTR %o%\n  .set i 1\n  .while 3 ? y = GETSTR %i%\n    .echo %x%%y%\n    .set i %i+1%\n  .end\n  .set o %o+1%\n.end\n'
[ "$status" -eq 0 ] && [ "$(grep -c "^[a-c][a-c]$" "$work/out.lf")" -eq 6 ] && grep -qx 'ca' "$work/out.lf" && grep -qx 'cc' "$work/out.lf" ||
  fail "nested loops: exit $status: $(cat "$work/out.lf" "$work/err.lf")"
# Loops that are not well formed stop the script before its first statement.
badloops=(
  $'.echo ran\n.end'                          ':2: syntax error: .end without a .while'
  $'.echo ran\n.while 5 ? GETSTR 1\n.echo x'  ':2: syntax error: this .while has no .end'
  $'.echo ran\n.while x ? GETSTR 1\n.end'     ':2: syntax error: .while needs a cap'
  $'.echo ran\n.while 0 ? GETSTR 1\n.end'     ':2: syntax error: .while needs a cap'
  $'.echo ran\n.while 5 .echo x\n.end'        ':2: syntax error: .while repeats a statement of the library'
  $'.echo ran\n.end 1'                        ':2: syntax error: .end without a .while'
)
for ((i = 0; i < ${#badloops[@]}; i += 2)); do
  run_script "${badloops[i]}"
  [ "$status" -eq 2 ] && grep -qF -- "${badloops[i + 1]}" "$work/err.lf" && ! grep -q ran "$work/out.lf" ||
    fail "'${badloops[i]}': exit $status: $(cat "$work/out.lf" "$work/err.lf")"
done
run_script $'.while 2 SETINT 1 1\n.end\n'
[ "$status" -eq 1 ] && grep -q ':1: warning: a command.s answer is a number, never empty' "$work/err.lf" ||
  fail "a .while on a command: exit $status: $(cat "$work/err.lf")"

# ---- texts across lines, escapes --------------------------------------------------
# Each text as written (several lines for some), then the answer GETSTR gives for it.
texts=(
  $'"one\ntwo"'         '"one two"'
  $'"one\r\n  two"'     '"one   two"'
  'e"a\r\nb\tc"'        '"a\x0D\x0Ab\x09c"'
  'E"q\"q\\"'           '"q""q\"'
  'e"x""y"'             '"x""y"'
  '"C:\new\table"'      '"C:\new\table"'
  $'"# not a comment\n# nor this"' '"# not a comment # nor this"'
)
text=''
for ((i = 0; i < ${#texts[@]}; i += 2)); do text+="SETSTR 1 ${texts[i]}"$'\n? GETSTR 1\n'; done
text+=$'? FROBNICATE\n'
run_script "$text"
[ "$status" -eq 0 ] || fail "texts: exit $status: $(cat "$work/err.lf")"
mapfile -t answers < <(grep -v '^0  ' "$work/out.lf" | sed 's/  \[status [0-9]*\]$//')
for ((i = 0; i < ${#texts[@]}; i += 2)); do
  [ "${answers[i / 2]-}" = "${texts[i + 1]}" ] || fail "text '${texts[i]}' answered ${answers[i / 2]-}, not ${texts[i + 1]}"
done
# Line numbers after texts of several lines stay those of the file.
grep -q ":18: warning: the library has no keyword \"FROBNICATE\"" "$work/err.lf" ||
  fail "the line after multi-line texts was misnumbered: $(cat "$work/err.lf")"
# A prototype pasted over several lines, as printed.
run_script $'DLLLOAD 1 kernel32.dll\nDLLDECLARE 1 1 "int MulDiv(\n    int nNumber,\n    int nNumerator,\n    int nDenominator\n);"\n? DLLCALL MulDiv 10 6 4\n.expect 15\n'
[ "$status" -eq 0 ] || fail "a prototype over several lines: exit $status: $(cat "$work/out.lf" "$work/err.lf")"

# A quote left open is found before the first statement runs, at the line it opened.
quotes=(
  $'.echo ran\nSETSTR 1 "abc\n? GETSTR 1\n'               ':2: syntax error: unterminated quote'
  $'.echo ran\nSETSTR 1 "abc\n? GETSTR 1\nSETSTR 2 "x"\n' ':4: syntax error: a quoted word must be followed by a blank (the quote before it opened on line 2)'
  $'.echo ran\nSETSTR 1 " abc\nSETSTR 2 " x"\n'           ':3: syntax error: a quote inside a word'
  $'.echo ran\nSETSTR 1 e"a\\qb"\n'                        ':2: syntax error: unknown escape \q'
  # A backslash that ends the script leaves the text open; one before a line break
  # names the break as answers show it, so that the message stays whole and on one line.
  $'.echo ran\nSETSTR 1 e"abc\\'                          ':2: syntax error: unterminated quote'
  $'.echo ran\nSETSTR 1 e"a\\\nb"\n'                      ':2: syntax error: unknown escape \ before \x0A (e"..." knows'
)
for ((i = 0; i < ${#quotes[@]}; i += 2)); do
  run_script "${quotes[i]}"
  [ "$status" -eq 2 ] && grep -qF -- "${quotes[i + 1]}" "$work/err.lf" && ! grep -q ran "$work/out.lf" ||
    fail "'${quotes[i]}': exit $status: $(cat "$work/out.lf" "$work/err.lf")"
done

# ---- empty words -------------------------------------------------------------------
# The library reads a statement's words up to the first empty one: an empty word with
# words after it would drop them unseen. Written as "", it is found before anything
# runs; a %NAME% that comes out empty stops the run at its line, the statement not
# run. An empty word last, or in a directive, is sound. Each script, its exit code, a
# text of its message, its whole output.
empties=(
  $'.echo ran\nSETSTR 1 "" x'              2 ':2: syntax error: "" with words after it: the library reads a statement'"'"'s words up to the first empty one, so "x" would never reach it' ''
  $'.echo ran\n"" SETSTR 1 x'              2 ':2: syntax error: "" with words after it: the library reads a statement'"'"'s words up to the first empty one, so "SETSTR" "1" "x" would' ''
  $'.echo ran\n.while 3 ? GETSTR "" 1\n.end' 2 ':2: syntax error: "" with words after it' ''
  $'.set e\n.echo ran\nSETSTR 1 %e% x\n.echo after' 2 ':3: %e% is empty, with words after it: the library reads a statement'"'"'s words up to the first empty one, so "x" would never reach it' 'ran'
  $'.set row a||c\nSETSTR 1 %row.2% %row.3%'  2 ':2: %row.2% is empty, with words after it' ''
  $'.set e\nSETSTR 1 x %e%\n? GETSTR 1\nSETSTR 1 "" ""\n.echo a "" b' 0 '' $'0  [status 0]\n"x"  [status 0]\n0  [status 0]\na  b'
)
for ((i = 0; i < ${#empties[@]}; i += 4)); do
  run_script "${empties[i]}"
  [ "$status" -eq "${empties[i + 1]}" ] && [ "$(cat "$work/out.lf")" = "${empties[i + 3]}" ] &&
    { [ -z "${empties[i + 2]}" ] || grep -qF -- "${empties[i + 2]}" "$work/err.lf"; } ||
    fail "'${empties[i]}': exit $status: $(cat "$work/out.lf" "$work/err.lf")"
done

# ---- encodings ------------------------------------------------------------------
# The same script in UTF-8 with and without its mark, and in the ANSI code page
# (1252, the prefix's): lstrlenW counts the characters the library passed on, and the
# echo comes back in UTF-8. A character the code page cannot hold is warned about.
body=$'DLLLOAD 1 kernel32.dll\nDLLDECLARE 1 1 "int lstrlenW(LPCWSTR s)"\n? DLLCALL lstrlenW "Grüße"\n.expect 5\n.echo Grüße\n'
for form in bom plain ansi; do
  case $form in
    bom) text=$'\xEF\xBB\xBF'"$body" ;;
    plain) text=$body ;;
    ansi) text=$(printf '%s' "$body" | iconv -f UTF-8 -t CP1252) ;;
  esac
  run_script "$text"$'\n'
  [ "$status" -eq 0 ] && grep -qx 'Grüße' "$work/out.lf" && ! grep -q warning "$work/err.lf" ||
    fail "$form: exit $status: $(cat "$work/out.lf" "$work/err.lf")"
done
run_script $'\xEF\xBB\xBF.echo a\n.echo Straße 東京\n'
[ "$status" -eq 0 ] && grep -qx 'Straße ??' "$work/out.lf" &&
  grep -qF ':2: warning: a character the ANSI code page (1252) cannot hold is passed as ?' "$work/err.lf" ||
  fail "an unrepresentable character: exit $status: $(cat "$work/out.lf" "$work/err.lf")"

# ---- line ends, and no window ------------------------------------------------------
run_script $'.echo a\nSETINT 1 5\n' --lf
[ "$status" -eq 0 ] && ! grep -q $'\r' "$work/out" && [ "$(cat "$work/out")" = $'a\n0  [status 0]' ] ||
  fail "--lf: exit $status: $(od -c "$work/out" | head -3)"
# Without a display the host cannot make its window: it stops before the script,
# with a non-zero exit, rather than run every statement against window 0.
printf '.echo ran\n' > "$work/s.trx"
DISPLAY=:64999 wine "$host" "Z:$work/s.trx" > "$work/out" 2> "$work/err"
status=$?
[ "$status" -ne 0 ] && grep -q "the host's window could not be made" "$work/err" && ! grep -q 'ran\|init' "$work/out" ||
  fail "no window: exit $status: $(cat "$work/out" "$work/err")"

[ "$failures" -eq 0 ] && echo "host scripts: all checks passed"
exit $((failures > 0))
