# fish completion for tirvane: the command words, the options each command reads, and the ids,
# control names and source names that the running service lists. The service is asked for at
# most a second; when it does not answer, nothing is offered for those.

# Prints member $argv[2] of every element that `tirvane $argv[1] --json` lists, one a line,
# passing on the --port and --device of the line being completed.
function __tirvane_ask
    set -l tokens (commandline -opc)
    set -l extra
    for i in (seq 2 (count $tokens))
        switch $tokens[$i]
            case '--port=*' '--device=*'
                set -a extra $tokens[$i]
            case --port --device
                if test $i -lt (count $tokens)
                    set -l next $tokens[(math $i + 1)]
                    string match -q -- '--*' $next; or set -a extra $tokens[$i] $next
                end
        end
    end
    timeout 1 $tokens[1] $argv[1] --json $extra </dev/null 2>/dev/null |
        string replace -rf -- '^ *"'$argv[2]'": "([^"\\\\]*)",?$' '$1'
end

# True when the word being completed is operand $argv[1] of the command: the command word is
# the first word that is not an option word, its operands the next ones.
function __tirvane_operand
    set -l positional (commandline -opc | string match -rv -- '^--')
    test (count $positional) -eq (math $argv[1] + 1)
end

set -l commands snap look focus screenshot record devices controls set add-source sources forget-source status help
complete -c tirvane -f
complete -c tirvane -n "not __fish_seen_subcommand_from $commands" -a snap -d 'take a photo (default: tirvane.jpg)'
complete -c tirvane -n "not __fish_seen_subcommand_from $commands" -a look -d 'focus, then snap'
complete -c tirvane -n "not __fish_seen_subcommand_from $commands" -a focus -d 'sweep the lens, lock the sharpest'
complete -c tirvane -n "not __fish_seen_subcommand_from $commands" -a screenshot -d 'capture the whole screen (default: screen.jpg)'
complete -c tirvane -n "not __fish_seen_subcommand_from $commands" -a record -d 'record the screen (default 5s, webm)'
complete -c tirvane -n "not __fish_seen_subcommand_from $commands" -a devices -d 'every eye: cameras, the screen, phones'
complete -c tirvane -n "not __fish_seen_subcommand_from $commands" -a controls -d 'every knob, with its range'
complete -c tirvane -n "not __fish_seen_subcommand_from $commands" -a set -d 'set one control (focus, zoom, exposure …)'
complete -c tirvane -n "not __fish_seen_subcommand_from $commands" -a add-source -d 'register a phone / IP camera'
complete -c tirvane -n "not __fish_seen_subcommand_from $commands" -a sources -d 'list registered phone / IP cameras'
complete -c tirvane -n "not __fish_seen_subcommand_from $commands" -a forget-source -d 'remove one'
complete -c tirvane -n "not __fish_seen_subcommand_from $commands" -a status -d 'is the app running, and what is it set to'
complete -c tirvane -n "not __fish_seen_subcommand_from $commands" -a help -d 'print the help text'

# Each option where a command reads it, and before any command word.
set -l none "not __fish_seen_subcommand_from $commands"
complete -c tirvane -n "$none; or __fish_seen_subcommand_from snap look focus controls set" -l device -x -a '(__tirvane_ask devices id)' -d 'which eye: a webcam id, screen, or net:NAME'
complete -c tirvane -n "$none; or __fish_seen_subcommand_from snap look screenshot record" -l out -r -F -d 'where to write the image or video'
complete -c tirvane -n "$none; or __fish_seen_subcommand_from snap look screenshot" -l size -x -d 'capture size, e.g. 1280x720'
complete -c tirvane -n "$none; or __fish_seen_subcommand_from record" -l secs -x -d 'recording length in seconds (max 120)'
complete -c tirvane -n "$none; or __fish_seen_subcommand_from record" -l format -x -a 'webm mp4' -d 'recording container'
complete -c tirvane -n "not __fish_seen_subcommand_from help" -l json -d 'machine-readable output'
complete -c tirvane -n "not __fish_seen_subcommand_from help" -l port -x -d 'the port of tirvane-app (default 7777, or TIRVANE_PORT)'

complete -c tirvane -n "__fish_seen_subcommand_from set; and __tirvane_operand 1" -x -a '(__tirvane_ask controls name)' -d control
complete -c tirvane -n "__fish_seen_subcommand_from forget-source; and __tirvane_operand 1" -x -a '(__tirvane_ask sources name)' -d 'registered source'
