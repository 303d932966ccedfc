#!/usr/bin/env zsh
# zsh_complete.zsh FOLDER LINE: the matches that zsh's completion system, with the completion
# functions of FOLDER, offers for LINE followed by a tab, one a line.
#
# An interactive zsh runs on a pseudo-terminal; its compadd is wrapped so that every match is
# also printed, and the completion ends by printing an end mark. The marks are written in two
# halves, so that the echo of these very lines is never taken for them.
zmodload zsh/zpty
zpty z zsh -f -i
zpty -w z "fpath=(${(q)1} \$fpath)"
zpty -w z 'autoload -Uz compinit && compinit -u -D'
zpty -w z 'compadd() { if [[ ${@[1,(i)(-|--)]} == *-(O|A|D)\ * ]]; then builtin compadd "$@"; return; fi; local -a hits; builtin compadd -A hits "$@"; (( $#hits )) || return 1; print -rl -- "MATCH""::"${^hits} >/dev/tty; builtin compadd -Q -U ""; }'
zpty -w z 'end-marker() { print -r -- "END""::" >/dev/tty; }'
zpty -w z 'comppostfuncs=(end-marker exit)'
zpty -w z "${2}"$'\t'
local out line
while zpty -r z line; do
  out+=$line
  [[ $line == *'END::'* ]] && break
done
zpty -d z
print -r -- "$out" | tr -d '\r' | grep -o 'MATCH::[^[:cntrl:]]*' | sed 's/^MATCH:://' | sort -u
