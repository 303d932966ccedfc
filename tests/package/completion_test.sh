#!/usr/bin/env bash
# The shell completions of tirvane, exercised in the shells themselves against a real
# tirvane-app with its test camera and one registered phone, on a free port of 127.0.0.1.
# Usage: completion_test.sh BUILT_TIRVANE BUILT_TIRVANE_APP COMPLETIONS_FOLDER
set -uo pipefail
client=$(realpath "$1") service=$(realpath "$2") completions=$(realpath "$3")

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tirvane-completion-XXXXXX")
app=
cleanup() {
  if [ -n "$app" ]; then kill -TERM "$app" 2>/dev/null && wait "$app" 2>/dev/null; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# The completions call `tirvane` from the PATH, as they do once installed.
mkdir -p "$scratch/bin" "$scratch/config" "$scratch/files/shots"
ln -s "$client" "$scratch/bin/tirvane"
export PATH="$scratch/bin:$PATH" XDG_CONFIG_HOME="$scratch/config"
unset DISPLAY WAYLAND_DISPLAY TIRVANE_PORT

"$service" --port 0 --device test 2>"$scratch/app.log" &
app=$!
port=
for _ in $(seq 200); do
  port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\)/api.*|\1|p' "$scratch/app.log" 2>/dev/null)
  [ -n "$port" ] && break
  sleep 0.05
done
if [ -z "$port" ]; then
  echo "tirvane-app did not start: $(cat "$scratch/app.log")" >&2
  exit 1
fi
tirvane add-source phone http://127.0.0.1:9/shot.jpg --port "$port" >/dev/null || exit 1

passed=0 failed=0
expect() {  # SHELL LINE EXPECTED ACTUAL
  if [ "$3" = "$4" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf '%s: [%s<TAB>] gave [%s], expected [%s]\n' "$1" "$2" "$4" "$3" >&2
  fi
}

# bash: the function that `complete -p` names is run as readline runs it, with COMP_LINE,
# COMP_POINT and COMP_WORDS/COMP_CWORD split as bash splits them (at blanks, ":" and "=").
bash_complete() {
  bash --norc -c '
    source "$1" || exit 1
    spec=$(complete -p tirvane) || exit 1
    function=${spec#*-F }
    function=${function%% *}
    COMP_LINE=$2
    COMP_POINT=${#COMP_LINE}
    COMP_WORDS=()
    rest=$COMP_LINE
    while [[ $rest =~ ^[[:blank:]]*([^[:blank:]:=]+|[:=]) ]]; do
      COMP_WORDS+=("${BASH_REMATCH[1]}")
      rest=${rest:${#BASH_REMATCH[0]}}
    done
    [[ -z $COMP_LINE || $COMP_LINE == *[[:blank:]] ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    cd "$3" || exit 1
    "$function" tirvane "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}" | sort | paste -sd " " -
  ' _ "$completions/tirvane.bash" "$1" "$scratch/files"
}

spec=$(bash --norc -c 'source "$1" && complete -p tirvane' _ "$completions/tirvane.bash")
expect bash "complete -p" "complete -F _tirvane tirvane" "$spec"

p="--port=$port"
while IFS='|' read -r line expected; do
  expect bash "$line" "$expected" "$(bash_complete "$line")"
done <<EOF_CASES
tirvane sn|snap
tirvane s|screenshot set snap sources status
tirvane f|focus forget-source
tirvane snap --de|--device
tirvane snap --|--device --json --out --port --size
tirvane record --|--format --json --out --port --secs
tirvane status --|--json --port
tirvane --j|--json
tirvane record --format |mp4 webm
tirvane record --format=w|webm
tirvane snap $p --device |net:phone test
tirvane snap --device=te $p|
tirvane snap $p --device=t|test
tirvane snap $p --device net:|phone
tirvane snap $p --device=net:p|phone
tirvane set $p |brightness exposure focus zoom
tirvane set $p --device=test |brightness exposure focus zoom
tirvane set $p --device test |
tirvane set $p focus |
tirvane forget-source $p |phone
tirvane snap --out sh|shots
tirvane snap --device |
tirvane help |
EOF_CASES

# Unreachable service: device ids are not offered, and the line comes back at once.
started=$SECONDS
expect bash "tirvane snap --port=1 --device " "" "$(bash_complete "tirvane snap --port=1 --device ")"
if ((SECONDS - started > 3)); then
  expect bash "unreachable service answered within 3 s" yes no
fi

# fish: its own completion engine (complete -C) on the installed file.
if command -v fish >/dev/null; then
  fish_complete() {
    (cd "$scratch/files" && fish --no-config -c 'source $argv[1]; complete -C $argv[2] | string split -f1 \t | sort | string join " "' \
      "$completions/tirvane.fish" "$1")
  }
  while IFS='|' read -r line expected; do
    expect fish "$line" "$expected" "$(fish_complete "$line")"
  done <<EOF_CASES
tirvane sn|snap
tirvane snap --de|--device
tirvane record --f|--format
tirvane record --format |mp4 webm
tirvane snap $p --device |net:phone test
tirvane set $p |brightness exposure focus zoom
tirvane forget-source $p |phone
tirvane status --|--json --port
EOF_CASES
else
  echo "fish is not installed: its completion is not exercised" >&2
  failed=$((failed + 1))
fi

# zsh: its completion system, in an interactive zsh on a pseudo-terminal.
if command -v zsh >/dev/null; then
  here=$(cd "$(dirname "$0")" && pwd)
  zsh_complete() {
    (cd "$scratch/files" && timeout 20 zsh "$here/zsh_complete.zsh" "$completions" "$1" | paste -sd " " -)
  }
  while IFS='|' read -r line expected; do
    expect zsh "$line" "$expected" "$(zsh_complete "$line")"
  done <<EOF_CASES
tirvane sn|snap
tirvane f|focus forget-source
tirvane snap --|--device --json --out --port --size
tirvane record --format |mp4 webm
tirvane snap $p --device |net:phone test
tirvane snap $p --device=t|test
tirvane set $p |brightness exposure focus zoom
tirvane forget-source $p |phone
tirvane snap --out sh|shots
EOF_CASES
else
  echo "zsh is not installed: its completion is not exercised" >&2
  failed=$((failed + 1))
fi

echo "completion: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
