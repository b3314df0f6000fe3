# fish completion for flashupdate-cli: options, files, and for --port the Com numbers and the
# devices present, their by-id aliases and usb: names, as --list-ports shows them.

function __flashupdate_cli_ports
    printf '%s\n' 1 2 3 4
    flashupdate-cli --list-ports 2>/dev/null | awk '
        /^Serial devices:/ { section = "devices"; next }
        /^Ports / { section = "ports"; next }
        section == "devices" {
            for (i = 1; i <= NF; i++) if ($i ~ /^(\/dev\/|usb:)/) print $i
        }
        section == "ports" && NF >= 3 && $0 !~ /, missing\)$/ { print $3 }' | sort -u
end

complete -c flashupdate-cli -s p -l port -x -a '(__flashupdate_cli_ports)' -d 'where an instrument is'
complete -c flashupdate-cli -s b -l bootloader -r -F -d 'the boot loader to load'
complete -c flashupdate-cli -s n -l dry-run -d 'open and close each port, sending nothing'
complete -c flashupdate-cli -l retries -x -a '0 1 2 3' -d 'update a port again up to N more times'
complete -c flashupdate-cli -s J -l jobs -x -a '1 4 16 64' -d 'update at most N ports at once'
complete -c flashupdate-cli -l allow-empty -d 'update even with an empty image'
complete -c flashupdate-cli -s q -l quiet -d "print only each port's result and the summary"
complete -c flashupdate-cli -s v -l verbose -d "also print the diagnostics and each step's timing"
complete -c flashupdate-cli -l trace -r -F -d 'record every byte sent and received'
complete -c flashupdate-cli -l job -r -F -d 'update the instruments a CSV table lists'
complete -c flashupdate-cli -l report -r -F -d 'write a CSV table of what became of each instrument'
complete -c flashupdate-cli -l only-failed -r -F -d 'update again the rows of a report not updated'
complete -c flashupdate-cli -l tls-ca -r -F -d 'trust the servers whose certificates these CAs issued'
complete -c flashupdate-cli -l tls-pin -x -d 'trust the one server certificate with this fingerprint'
complete -c flashupdate-cli -l tls-cert -r -F -d 'our certificate, for a server that asks for one'
complete -c flashupdate-cli -l tls-key -r -F -d 'the private key of our certificate'
complete -c flashupdate-cli -s j -l json -d 'one JSON object per line'
complete -c flashupdate-cli -l list-ports -d 'list the serial devices and the Com1 to Com4 map'
complete -c flashupdate-cli -s h -l help -d 'show the help'
complete -c flashupdate-cli -s V -l version -d 'show the version'
