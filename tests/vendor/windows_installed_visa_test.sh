#!/bin/sh
# kobrant.exe under wine, in a prefix of its own. Pass-through: the stand-in visa64.dll is not
# loaded from the program's directory, the current directory or PATH (the built-in library
# answers, and knows no STANDIN resource); copied into the system directory, it answers every
# call of the run. With its answer: the console gets CR LF line ends, the /o= file the bytes
# as they came. And the statuses -1 and -2 reach cmd's %ERRORLEVEL% as -1 and -2.
# Usage: windows_installed_visa_test.sh <kobrant.exe> <stand-in visa64.dll>
set -eu
exe=$1
dll=$2
work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
wineboot -i </dev/null >/dev/null 2>&1
wineserver -w

mkdir "$work/program" "$work/current" "$work/on_path"
cp "$exe" "$work/program/kobrant.exe"
log="$work/calls.log"
failures=0

# Runs kobrant from the current directory with on_path on PATH; sets status, leaves out and err
# in $work.
run_query() {
  status=0
  (cd "$work/current" && STANDIN_VISA_LOG="$log" WINEPATH="Z:$(echo "$work/on_path" | tr / '\\')" \
     wine "$work/program/kobrant.exe" /a=STANDIN0::1::INSTR '/c=*IDN?' </dev/null >"$work/out" 2>"$work/err") || status=$?
}

fail() {
  echo "FAIL: $1" >&2
  echo "  status $status, stdout: $(od -c "$work/out" | head -3)" >&2
  echo "  stderr: $(cat "$work/err")" >&2
  failures=$((failures + 1))
}

# One place at a time, so that each is proven on its own.
for place in program current on_path; do
  cp "$dll" "$work/$place/visa64.dll"
  run_query
  if [ "$status" -ne 254 ] || [ -e "$log" ] || ! grep -q '^VISA Status (-1073807342): ' "$work/err"; then
    fail "a visa64.dll in the $place directory was used"
  fi
  rm -f "$work/$place/visa64.dll" "$log"
done

cp "$dll" "$WINEPREFIX/drive_c/windows/system32/visa64.dll"
run_query
expected_calls='viOpenDefaultRM
viOpen 100 STANDIN0::1::INSTR 0 5000
viSetAttribute 300 0x3FFF001A 5000
viWrite 300 end=1 *IDN?
viRead 300 204810
viClose 100'
expected_out=$(printf 'STANDIN0::1::INSTR <- *IDN?\r\nSTANDIN0::1::INSTR -> STANDIN,MODEL-7,0,2.0\r\n\r\n.')
# The stand-in writes its log as a text file: CR LF line ends on Windows.
calls=$(tr -d '\r' <"$log" 2>/dev/null || true)
if [ "$status" -ne 0 ] || [ "$calls" != "$expected_calls" ] ||
   [ "$(cat "$work/out"; echo .)" != "$expected_out" ]; then
  fail "the visa64.dll in the system directory did not answer every call"
  echo "  calls: $calls" >&2
fi

status=0
(cd "$work/current" && wine "$work/program/kobrant.exe" /a=STANDIN0::1::INSTR '/c=*IDN?' /o=answer.bin \
   </dev/null >"$work/out" 2>"$work/err") || status=$?
if [ "$status" -ne 0 ] || [ "$(cat "$work/current/answer.bin"; echo .)" != "$(printf 'STANDIN,MODEL-7,0,2.0\n.')" ]; then
  fail "the /o= file does not hold the answer's bytes as they came"
fi

# The built-in library refuses the STANDIN name when it is not in the system directory.
rm "$WINEPREFIX/drive_c/windows/system32/visa64.dll"
# A batch file, so that each %ERRORLEVEL% is read after the run before it.
printf '@echo off\r\nkobrant.exe /a=X /c=Y /b=q\r\necho %%ERRORLEVEL%%\r\nkobrant.exe /a=STANDIN0::1::INSTR /c=Y\r\necho %%ERRORLEVEL%%\r\n' \
  >"$work/program/levels.bat"
levels=$(cd "$work/program" && wine cmd /c levels.bat </dev/null 2>/dev/null |
  tr -d '\r ' | grep -E '^-?[0-9]+$' | tr '\n' ' ')
if [ "$levels" != "-1 -2 " ]; then
  status=0
  fail "%ERRORLEVEL% after a bad argument and a VISA failure: '$levels', not '-1 -2 '"
fi

[ "$failures" -eq 0 ] && echo "pass-through from the system directory only; console text, /o= bytes; statuses -1, -2"
exit "$failures"
