#!/usr/bin/env bash
# Fails unless every DLL that the given Windows executables import is one that every Windows
# installation has: a statically linked build must not need libstdc++-6.dll, libgcc_s_*.dll or
# libwinpthread-1.dll beside it.
#   check_imports.sh OBJDUMP PROGRAM.exe...
set -euo pipefail
objdump=$1
shift
system_dll='^(kernel32|user32|advapi32|gdi32|shell32|ole32|oleaut32|ws2_32|ntdll|msvcrt|ucrtbase|bcrypt|api-ms-win-[a-z0-9-]+)\.dll$'
status=0
for exe in "$@"; do
    dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    if [ -z "$dlls" ]; then
        echo "$exe: no import table found" >&2
        status=1
        continue
    fi
    echo "$(basename "$exe") imports: $(echo $dlls)"
    while read -r dll; do
        if ! [[ "${dll,,}" =~ $system_dll ]]; then
            echo "$exe: imports $dll, which is not part of Windows" >&2
            status=1
        fi
    done <<<"$dlls"
done
exit $status
