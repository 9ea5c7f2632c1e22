#!/usr/bin/env bash
# Every command and long option the programs' --help lists is in their manual page, the pages
# render without a warning, and the completion script parses.
# Usage: manual_pages_test.sh ZORBENT_FW ADAPTER_SIM MAN_DIR PACKAGING_DIR
set -uo pipefail
fw=$1 sim=$2 man_dir=$3 packaging=$4
failed=0
fail() {
  echo "FAILED: $*" >&2
  failed=1
}

for page in zorbent-fw zorbent-fwupdater adapter-sim; do
  file=$man_dir/$page.1
  [[ -f $file ]] || { fail "$file was not built"; continue; }
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "$page.1 renders with warnings: $warnings"
  grep -q '@[A-Z_]*@' "$file" && fail "$page.1 has an unfilled @VARIABLE@"
done

# Names in roff are written with \- for every hyphen.
expect_in_page() {
  local page=$1 word=$2 roff=${2//-/\\-}
  grep -qF -- "$roff" "$man_dir/$page.1" || fail "$page.1 does not mention $word"
}

# The long options in one --help text (CLI11 lists them as "--name" in its option lines).
long_options() { grep -oE '(^|[ ,])--[a-z][a-z0-9-]*' | grep -oE -- '--[a-z0-9-]+' | sort -u; }

help=$("$fw" --help) || fail "zorbent-fw --help failed"
commands=$(sed -n '/^Subcommands:/,$p' <<<"$help" | awk 'NR > 1 && /^  [a-z]/ {print $1}')
[[ -n $commands ]] || fail "no commands found in zorbent-fw --help"
for option in $(long_options <<<"$help"); do expect_in_page zorbent-fw "$option"; done
for command in $commands; do
  grep -qE "^\.B(R|I)? \"?$command" "$man_dir/zorbent-fw.1" ||
    fail "zorbent-fw.1 has no entry for the command $command"
  for option in $("$fw" "$command" --help | long_options); do
    expect_in_page zorbent-fw "$option"
  done
done

for option in $("$sim" --help | long_options); do expect_in_page adapter-sim "$option"; done
for option in $("$sim" make-image --help | long_options); do expect_in_page adapter-sim "$option"; done

bash -n "$packaging/bash-completion/zorbent-fw" || fail "the bash completion does not parse"

# What the completion offers after the words given, with bash-completion's helpers stubbed.
offers() {
  bash -c '_init_completion() { words=("${COMP_WORDS[@]}") cword=$COMP_CWORD
             cur=${words[cword]} prev=${words[cword-1]}; }
           _filedir() { :; }
           source "$1"; shift; COMP_WORDS=(zorbent-fw "$@") COMP_CWORD=$#
           _zorbent_fw; printf "%s\n" "${COMPREPLY[@]}"' _ "$packaging/bash-completion/zorbent-fw" "$@"
}
# offers_word WANT WORD...: the last WORD is the one being completed.
offers_word() {
  local want=$1
  shift
  offers "$@" | grep -x -- "$want" >/dev/null || fail "the completion does not offer $want after: $*"
}
offers_word auto update --port ""
offers_word auto --baud 9600 read --port a
offers_word --all ports --
offers_word --all --add-port /tmp/x ports -
offers_word --add-port -q --a
offers_word verify manifest v
offers_word --trust manifest verify m.json --t
offers_word --key manifest make dir --k
offers_word --keyid repo revoke www --role root --k

[[ $failed -eq 0 ]] && echo "manual pages match the programs' --help"
exit $failed
