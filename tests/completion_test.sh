#!/bin/bash
# Completes each line of tests/cases/completion.txt with the completion file given and compares
# the candidates. Usage: completion_test.sh COMPLETION_FILE
set -u
source "$1" || exit 1
[[ $(complete -p kiv-recovery-tool) =~ -F\ ([^ ]+) ]] || exit 1
complete_function=${BASH_REMATCH[1]}
failures=0
while IFS='|' read -r mode line expected; do
    [[ $mode == split || $mode == whole ]] || continue
    # readline makes "=" a word of its own unless it is left out of COMP_WORDBREAKS ("whole")
    words=$line
    [[ $mode == split ]] && words=${line//=/ = }
    read -r -a COMP_WORDS <<<"$words"
    [[ $line == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "$complete_function" kiv-recovery-tool "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' ')
    want=$(tr ' ' '\n' <<<"$expected" | sort | paste -sd' ')
    if [[ $got != "$want" ]]; then
        echo "FAIL '$line': got '$got', expected '$want'"
        failures=$((failures + 1))
    fi
done <"$(dirname "$0")/cases/completion.txt"
((failures == 0))
