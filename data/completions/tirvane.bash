# bash completion for tirvane: the command words, the options each command reads, and the ids,
# control names and source names that the running service lists. The service is asked for at
# most a second; when it does not answer, nothing is offered for those.

# Prints member $3 of every element that `$1 $2 --json` lists, one a line; the remaining
# arguments (--port, --device) go to the command as well.
_tirvane_ask() {
  local program=$1 command=$2 member=$3
  shift 3
  timeout 1 "$program" "$command" --json "$@" </dev/null 2>/dev/null |
    sed -n 's/^ *"'"$member"'": "\([^"\\]*\)",\{0,1\}$/\1/p'
}

_tirvane() {
  local program=${1:-tirvane}
  # The words up to the cursor, split at blanks. COMP_WORDS is split at ":" and "=" as well,
  # which would cut net:NAME and --device=ID apart.
  local line=${COMP_LINE:0:COMP_POINT}
  local -a words
  read -ra words <<<"$line"
  if [[ -z $line || $line == *[[:blank:]] ]]; then words+=(""); fi
  local count=${#words[@]}
  local cur=${words[count - 1]} prev=""
  if ((count >= 2)); then prev=${words[count - 2]}; fi

  # As the program reads its line: the command word is the first word that is not an option
  # word, and an option's value is the first --NAME=VALUE, else the word after --NAME.
  local command="" position=0 i
  local -a positional=()
  for ((i = 1; i < count - 1; i++)); do
    [[ ${words[i]} == --* ]] || positional+=("${words[i]}")
  done
  if ((${#positional[@]} > 0)); then command=${positional[0]}; fi
  position=${#positional[@]}
  local -a ask=()
  local name value
  for name in port device; do
    value=""
    for ((i = 1; i < count - 1; i++)); do
      if [[ ${words[i]} == --$name=* ]]; then value=${words[i]#--"$name"=}; break; fi
    done
    if [[ -z $value ]]; then
      for ((i = 1; i < count - 2; i++)); do
        if [[ ${words[i]} == --$name ]]; then
          [[ ${words[i + 1]} == --* ]] || value=${words[i + 1]}
          break
        fi
      done
    fi
    if [[ -n $value ]]; then ask+=("--$name=$value"); fi
  done

  local options
  case $command in
    snap | look) options="--device --out --size --json --port" ;;
    screenshot) options="--out --size --json --port" ;;
    record) options="--secs --format --out --json --port" ;;
    focus | controls | set) options="--device --json --port" ;;
    devices | sources | add-source | forget-source | status) options="--json --port" ;;
    "") options="--device --out --secs --format --size --json --port" ;;
    *) options="" ;;
  esac

  # The option whose value is being typed, and the value so far.
  local option="" typed=$cur
  if [[ $cur == --*=* ]]; then
    option=${cur%%=*}
    typed=${cur#*=}
  elif [[ $prev == --* && $cur != --* ]]; then
    option=$prev
  fi
  local prefix=${cur%"$typed"}

  local -a replies=()
  case $option in
    --device)
      mapfile -t replies < <(compgen -P "$prefix" -W "$(_tirvane_ask "$program" devices id "${ask[@]}")" -- "$typed")
      ;;
    --format)
      mapfile -t replies < <(compgen -P "$prefix" -W "webm mp4" -- "$typed")
      ;;
    --out)
      compopt -o filenames 2>/dev/null
      mapfile -t replies < <(compgen -P "$prefix" -f -- "$typed")
      ;;
    --secs | --size | --port) ;;
    *)
      if [[ $cur == -* ]]; then
        if [[ -z $command ]]; then options+=" -h"; fi
        mapfile -t replies < <(compgen -W "$options" -- "$cur")
      elif ((position == 0)); then
        mapfile -t replies < <(compgen -W "snap look focus screenshot record devices controls set
          add-source sources forget-source status help" -- "$cur")
      elif [[ $command == set && $position == 1 ]]; then
        mapfile -t replies < <(compgen -W "$(_tirvane_ask "$program" controls name "${ask[@]}")" -- "$cur")
      elif [[ $command == forget-source && $position == 1 ]]; then
        mapfile -t replies < <(compgen -W "$(_tirvane_ask "$program" sources name "${ask[@]}")" -- "$cur")
      fi
      ;;
  esac

  # Readline replaces only what follows the last word-break character of the word (":" in
  # net:NAME, "=" in --device=ID), so each reply starts there too.
  local cut=0
  for ((i = 0; i < ${#cur}; i++)); do
    if [[ $COMP_WORDBREAKS == *"${cur:i:1}"* ]]; then cut=$((i + 1)); fi
  done
  COMPREPLY=()
  local reply
  for reply in "${replies[@]}"; do COMPREPLY+=("${reply:cut}"); done
}

complete -F _tirvane tirvane
