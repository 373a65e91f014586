# bash completion for dorvanel: its actions, and the drive letters of the
# optical drives present, each the letter the manual page's DRIVES gives it.

_dorvanel()
{
    # The whole argument up to the cursor. Bash splits words at the characters
    # in COMP_WORDBREAKS, usually ':' and '=' among them, so "/D:" reaches a
    # completion function as "/D" and ":"; the argument is read whole here.
    local line=${COMP_LINE:0:COMP_POINT}
    local argument=${line##*[[:space:]]}

    local devices=${_dorvanel_devices:-/dev}   # another directory in the tests
    local letters=DEFGHIJKLMNOPQRSTUVWXYZ
    local offers=(/Open /Close /OpenClose= /Notify '/?') i
    for ((i = 0; i < ${#letters}; i++)); do
        [[ -e $devices/sr$i ]] && offers+=("/${letters:i:1}:")
    done

    # Bash replaces only the part after the argument's last word-break
    # character, so that much is cut from the front of every offer.
    local keep=0
    for ((i = 0; i < ${#argument}; i++)); do
        [[ $COMP_WORDBREAKS == *"${argument:i:1}"* ]] && keep=$((i + 1))
    done

    # Options are read without regard to case, and so are offered. "/?"
    # unquoted is a pattern the shell may expand: it goes in as "/\?".
    COMPREPLY=()
    local offer matched typed=${argument//\\/}
    for offer in "${offers[@]}"; do
        [[ ${offer,,} == "${typed,,}"* ]] || continue
        matched=${offer//\?/\\?}
        COMPREPLY+=("${matched:keep}")
    done
    # A number follows "=" directly.
    [[ ${#COMPREPLY[@]} -eq 1 && $matched == *= ]] && compopt -o nospace
    return 0
}
complete -F _dorvanel dorvanel
