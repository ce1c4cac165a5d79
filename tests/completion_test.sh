#!/bin/bash
# Completes each line of a case table with the kiv-recovery-tool completion and compares the
# candidates. Usage: completion_test.sh CASES (COMPLETION_FILE | --installed)
# With --installed the completion is found the way an interactive shell finds it: by
# bash-completion's on-demand loader, by the command's name, in the installed completions folder.
set -u
cases=$1
if [[ $2 == --installed ]]; then
    # shellcheck source=/dev/null
    source /usr/share/bash-completion/bash_completion
    __load_completion kiv-recovery-tool || { echo "FAIL: bash-completion finds no completion"; exit 1; }
else
    # shellcheck source=/dev/null
    source "$2"
fi
registration=$(complete -p kiv-recovery-tool) || { echo "FAIL: no completion for kiv-recovery-tool"; exit 1; }
[[ $registration =~ -F\ ([^ ]+) ]] || { echo "FAIL: unexpected registration: $registration"; exit 1; }
complete_function=${BASH_REMATCH[1]}

failures=0 count=0
while IFS='|' read -r mode line expected; do
    [[ -z $mode || $mode == \#* ]] && continue
    split_line=$line
    [[ $mode == split ]] && split_line=${line//=/ = }
    read -r -a COMP_WORDS <<<"$split_line"
    # A line that ends in a space is completed as a new, empty word; one that ends in "=" (a word
    # of its own for readline) is completed at that "=" word.
    [[ $line == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line COMP_POINT=${#line}
    COMPREPLY=()
    "$complete_function" kiv-recovery-tool "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    # shellcheck disable=SC2086 # the expected candidates are words
    want=$(printf '%s\n' $expected | sort | xargs)
    count=$((count + 1))
    if [[ $got != "$want" ]]; then
        echo "FAIL ($mode) '$line': got '$got', expected '$want'"
        failures=$((failures + 1))
    fi
done <"$cases"
echo "$((count - failures))/$count completion cases pass"
((failures == 0 && count > 0))
