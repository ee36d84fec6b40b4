#!/usr/bin/env bash
# packaging_completion_test: the bash completion of teliox-cli offers the
# right words at each place, with and without the bash-completion package's
# helpers.
#   completion_test.sh COMPLETION_FILE
set -uo pipefail
file=$1
failed=0

# complete_words WORD... : the words offered for the last WORD.
complete_words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _teliox_cli
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

expect() {  # expected, words...
  local want=$1; shift
  local got
  got=$(complete_words "$@")
  if [ "$got" != "$want" ]; then
    echo "FAIL: teliox-cli ${*:2}: offered '$got', expected '$want'" >&2
    failed=1
  fi
}

run_cases() {
  expect "--help --version assign cert scan set-ip" teliox-cli ""
  expect "scan set-ip" teliox-cli s
  expect "--csv --help --json --seconds --watch" teliox-cli scan ""
  expect "--json" teliox-cli scan --seconds 5 --j
  expect "" teliox-cli scan --seconds ""
  expect "--dhcp --gateway --help --static" teliox-cli set-ip 192.168.1.20 ""
  expect "" teliox-cli set-ip 192.168.1.20 --static ""
  expect "--all --dhcp --dry-run --from --gateway --help --parallel" teliox-cli assign ""
  expect "" teliox-cli assign --from ""
  expect "--dry-run" teliox-cli assign --dhcp --dr
  expect "--help fetch folder generate upload" teliox-cli cert ""
  expect "--yes" teliox-cli cert generate ""
  expect "--host-name --port" teliox-cli cert fetch 192.168.1.20 ""
  expect "--port" teliox-cli cert upload 192.168.1.20 --p
  expect "" teliox-cli unknown ""
}

# shellcheck source=/dev/null
source "$file"
complete -p teliox-cli >/dev/null || { echo "FAIL: no completion registered for teliox-cli" >&2; exit 1; }
run_cases

# With the bash-completion package's own helpers, when it is there.
if [ -f /usr/share/bash-completion/bash_completion ]; then
  # shellcheck source=/dev/null
  source /usr/share/bash-completion/bash_completion 2>/dev/null
  source "$file"
  if declare -F _init_completion >/dev/null; then
    run_cases
  fi
fi

exit $failed
