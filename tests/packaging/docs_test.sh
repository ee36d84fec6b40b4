#!/usr/bin/env bash
# packaging_docs_test: the desktop entry, the AppStream metainfo and the manual
# pages pass Debian's checkers, and every command and option that
# teliox-cli's help names is in its manual page and its bash completion.
# The window program answers --help without a display, and its manual page
# names every option it lists.
#   docs_test.sh PACKAGING_DIR TELIOX_CLI TELIOX
set -uo pipefail
dir=$1 cli=$2 app=$3
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

desktop-file-validate "$dir/teliox.desktop" || fail "desktop-file-validate teliox.desktop"
appstreamcli validate --no-net --pedantic "$dir"/*.metainfo.xml || fail "appstreamcli validate"
for page in "$dir"/man/*.[1-8]; do
  # groff reports every warning on stderr; a clean page prints nothing.
  out=$(LC_ALL=C.UTF-8 groff -man -ww -z -Tutf8 "$page" 2>&1)
  [ -z "$out" ] || fail "groff warnings in $page: $out"
  out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$out" ] || fail "man warnings in $page: $out"
done

# The help texts: the main one and each command's own.
help=$("$cli" --help) || fail "teliox-cli --help failed"
commands=$(printf '%s\n' "$help" | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p' | sort -u)
[ -n "$commands" ] || fail "no commands found in teliox-cli --help"
all_help=$help
for c in $commands; do
  all_help+=$'\n'$("$cli" "$c" --help 2>&1)
done
options=$(printf '%s\n' "$all_help" | grep -o -- '--[a-z][a-z-]*' | sort -u)
[ -n "$options" ] || fail "no options found in the help texts"

man_text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$dir/man/teliox-cli.1" 2>/dev/null | col -b)
completion=$(cat "$dir/bash-completion/teliox-cli")
for word in $commands $options; do
  grep -q -- "$word" <<<"$man_text" || fail "teliox-cli.1 does not describe '$word'"
  grep -q -- "$word" <<<"$completion" || fail "the bash completion does not offer '$word'"
done
# Exit statuses that the help names are explained in the manual page.
for status in $(printf '%s\n' "$help" | sed -n 's/^exit status: //p' | grep -o '[0-9] ' ); do
  grep -qE "^ {7}$status( |\$)" <<<"$man_text" || fail "teliox-cli.1 does not explain exit status $status"
done

app_help=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$app" --help 2>&1) || fail "teliox --help failed without a display: $app_help"
app_man=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$dir/man/teliox.1" 2>/dev/null | col -b)
for word in $(printf '%s\n' "$app_help" | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  grep -q -- "$word" <<<"$app_man" || fail "teliox.1 does not describe '$word'"
done

if [ $failed -ne 0 ]; then exit 1; fi
echo "checked: $(echo $commands) / $(echo $options)"
