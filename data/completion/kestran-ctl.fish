# fish completion for kestran-ctl; installed as share/fish/vendor_completions.d/kestran-ctl.fish.

# The COM names "kestran-ctl ports" lists, and gateway URLs (device paths come from -F).
function __kestran_ctl_ports
    kestran-ctl ports --csv 2>/dev/null | string replace -r '\r$' '' | tail -n +2 | string split -f1 ,
    printf '%s\n' tcp:// rfc2217://
end

set -l subcommands ports read write backup restore check scan monitor history help
complete -c kestran-ctl -f

# Before the subcommand.
complete -c kestran-ctl -n "not __fish_seen_subcommand_from $subcommands" -a ports -d 'list the serial ports and whether each can be opened now'
complete -c kestran-ctl -n "not __fish_seen_subcommand_from $subcommands" -a read -d 'read the eight values of one counter'
complete -c kestran-ctl -n "not __fish_seen_subcommand_from $subcommands" -a write -d 'write values to one counter and verify them'
complete -c kestran-ctl -n "not __fish_seen_subcommand_from $subcommands" -a backup -d 'save the values of one or all counters to a file'
complete -c kestran-ctl -n "not __fish_seen_subcommand_from $subcommands" -a restore -d 'put saved values back onto counters'
complete -c kestran-ctl -n "not __fish_seen_subcommand_from $subcommands" -a check -d 'compare the live settings with a snapshot or backup'
complete -c kestran-ctl -n "not __fish_seen_subcommand_from $subcommands" -a scan -d 'find which device numbers 0 to 7 answer'
complete -c kestran-ctl -n "not __fish_seen_subcommand_from $subcommands" -a monitor -d 'print every frame heard on the line'
complete -c kestran-ctl -n "not __fish_seen_subcommand_from $subcommands" -a history -d 'who changed what, when, from where, before and after'
complete -c kestran-ctl -n "not __fish_seen_subcommand_from $subcommands" -a help -d 'explain a subcommand'
complete -c kestran-ctl -n "not __fish_seen_subcommand_from $subcommands" -l version -d 'print the version'
complete -c kestran-ctl -s h -l help -d 'show the help'

# help SUBCOMMAND
complete -c kestran-ctl -n "__fish_seen_subcommand_from help" -a "ports read write backup restore check scan monitor history"

# Options, by the subcommands that take them.
complete -c kestran-ctl -n "__fish_seen_subcommand_from ports read write backup restore check scan monitor history" -l trace -r -F -d 'write every byte sent and received to a file'
complete -c kestran-ctl -n "__fish_seen_subcommand_from ports read write backup restore check scan monitor history" -l ca -r -F -d 'TLS gateways: the plant CA certificates'
complete -c kestran-ctl -n "__fish_seen_subcommand_from ports read write backup restore check scan monitor history" -l cert -r -F -d 'TLS gateways: our client certificate'
complete -c kestran-ctl -n "__fish_seen_subcommand_from ports read write backup restore check scan monitor history" -l key -r -F -d 'the private key of the client certificate'
complete -c kestran-ctl -n "__fish_seen_subcommand_from ports read write backup restore check scan monitor history" -l pin -x -d 'TLS gateways: the SHA-256 fingerprint to trust'
complete -c kestran-ctl -n "__fish_seen_subcommand_from ports read write backup restore check scan monitor history" -s q -l quiet -d 'no progress messages'
complete -c kestran-ctl -n "__fish_seen_subcommand_from read write backup restore check scan monitor" -l port -x -a "(__kestran_ctl_ports; __fish_complete_path)" -d 'the port'
complete -c kestran-ctl -n "__fish_seen_subcommand_from read write backup restore history" -s d -l device -x -a "0 1 2 3 4 5 6 7" -d 'the device number'
complete -c kestran-ctl -n "__fish_seen_subcommand_from ports read write restore check scan monitor history" -l json -d 'print JSON'
complete -c kestran-ctl -n "__fish_seen_subcommand_from ports read restore check scan history" -l csv -d 'print CSV'
complete -c kestran-ctl -n "__fish_seen_subcommand_from read write backup restore check scan" -l timeout -x -d 'milliseconds to wait for an answer'
complete -c kestran-ctl -n "__fish_seen_subcommand_from read write backup restore check scan" -l retries -x -d 'times a read is asked again'
complete -c kestran-ctl -n "__fish_seen_subcommand_from backup" -l all -d 'every device that answers'
complete -c kestran-ctl -n "__fish_seen_subcommand_from backup" -s o -l output -r -F -d 'the file to write, - for standard output'
complete -c kestran-ctl -n "__fish_seen_subcommand_from restore" -l from -x -a "0 1 2 3 4 5 6 7" -d 'the saved device to take the values of'
complete -c kestran-ctl -n "__fish_seen_subcommand_from restore" -l only -x -a "TARGET ACTUAL RESET DEBOUNCE0 DEBOUNCE1 DEBOUNCE2 ALARM" -d 'restore only these values (NAMES, separated by commas)'
complete -c kestran-ctl -n "__fish_seen_subcommand_from restore" -l skip -x -a "TARGET ACTUAL RESET DEBOUNCE0 DEBOUNCE1 DEBOUNCE2 ALARM" -d 'restore all values but these (NAMES, separated by commas)'
complete -c kestran-ctl -n "__fish_seen_subcommand_from restore check" -l with-actual -d 'restore (check: compare) ACTUAL, the live count, too'
complete -c kestran-ctl -n "__fish_seen_subcommand_from restore" -l dry-run -d 'show what would be written, send nothing'
complete -c kestran-ctl -n "__fish_seen_subcommand_from restore check" -F -d 'backup or snapshot file, - for standard input'
complete -c kestran-ctl -n "__fish_seen_subcommand_from backup restore check" -l plant -r -F -d 'the plant file: the lines by name and port'
complete -c kestran-ctl -n "__fish_seen_subcommand_from backup restore check history" -l line -x -d 'only this line of the plant (history: or port)'
complete -c kestran-ctl -n "__fish_seen_subcommand_from write" -a "TARGET= ACTUAL= RESET= DEBOUNCE0= DEBOUNCE1= DEBOUNCE2= ALARM=" -d 'NAME=VALUE'
complete -c kestran-ctl -n "__fish_seen_subcommand_from monitor" -l duration -x -d 'stop after this many seconds'
complete -c kestran-ctl -n "__fish_seen_subcommand_from monitor history" -l count -x -d 'stop after this many frames (history: the newest entries)'
complete -c kestran-ctl -n "__fish_seen_subcommand_from write backup restore check history" -l history -x -a "default none sqlite: postgresql://" -d 'where changes are recorded'
complete -c kestran-ctl -n "__fish_seen_subcommand_from history" -l who -x -a "(__fish_complete_users)" -d 'only this user'
complete -c kestran-ctl -n "__fish_seen_subcommand_from history" -l since -x -d 'from this time'
complete -c kestran-ctl -n "__fish_seen_subcommand_from history" -l until -x -d 'up to this time'
complete -c kestran-ctl -n "__fish_seen_subcommand_from history" -l at -x -d 'each value as it stood at this time'
complete -c kestran-ctl -n "__fish_seen_subcommand_from history" -l verify -d 'walk the chain of hashes'
complete -c kestran-ctl -n "__fish_seen_subcommand_from history" -a "TARGET ACTUAL RESET DEBOUNCE0 DEBOUNCE1 DEBOUNCE2 ALARM" -d 'NAME'
