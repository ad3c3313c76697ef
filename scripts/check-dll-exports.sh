#!/usr/bin/env bash
# Checks the Windows DLL of the library: a PE32 (Intel 80386) image whose
# export table holds every exported class and the host-side functions, and
# whose import table names only system DLLs.
# Usage: scripts/check-dll-exports.sh path/to/zodaruruvizi.dll [objdump]
#        (objdump defaults to i686-w64-mingw32-objdump)
set -euo pipefail
dll="${1:?usage: $0 path/to/zodaruruvizi.dll [objdump]}"
objdump="${2:-i686-w64-mingw32-objdump}"

# Classes are matched by their length-prefixed name inside the mangled symbols
# (for example _ZN14CGatewayChecks...).
classes=(CGatewayChecks CCodeDiffResults CGatewayComms CBaseCommsException
         IBaseCommsEventListener CTabDialog)
functions=(MonPrintfEx LogError SetMonitorSink SetErrorSink WriteMonitorLog WriteErrorLog
           WaitForWorkerThreads AfxBeginThread
           VSI_GetSerialNumber VSI_Reset MSI_GetCardDetails MSI_Reset IFC_Get32)
# DLLs that every Windows system has.
system_dlls='^(kernel32|ws2_32|msvcrt|user32|advapi32|shell32|ole32|oleaut32|mswsock|ntdll|api-ms-win-[a-z0-9-]+)\.dll$'

header="$("$objdump" -f "$dll")"
details="$("$objdump" -p "$dll")"
status=0

if ! grep -q 'file format pei-i386' <<<"$header" || ! grep -q 'architecture: i386' <<<"$header"; then
    echo "FAIL: $dll is not a PE32 (Intel 80386) image:" >&2
    echo "$header" >&2
    status=1
fi

# The export table: the names after "[Ordinal/Name Pointer] Table".
exports="$(awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
                on && /^[ \t]*\[ *[0-9]+\]/ {print $NF; next}
                on && NF == 0 {on = 0}' <<<"$details")"
count="$(grep -c . <<<"$exports" || true)"
echo "export table of $dll: $count names"

for c in "${classes[@]}"; do
    n="$(grep -c "${#c}${c}" <<<"$exports" || true)"
    if [ "$n" -eq 0 ]; then
        echo "FAIL: no export of class $c" >&2
        status=1
    else
        echo "  class $c: $n symbols"
    fi
done
for f in "${functions[@]}"; do
    # A C++ function's mangled name holds its length-prefixed name.
    if grep -qE "^(${f}|_Z${#f}${f}.*)\$" <<<"$exports"; then
        echo "  function $f"
    else
        echo "FAIL: no export of function $f" >&2
        status=1
    fi
done

imports="$(awk '/DLL Name:/ {print $3}' <<<"$details" | sort -u)"
echo "imported DLLs: $(tr '\n' ' ' <<<"$imports")"
while read -r d; do
    [ -z "$d" ] && continue
    if ! tr 'A-Z' 'a-z' <<<"$d" | grep -qE "$system_dlls"; then
        echo "FAIL: $dll imports $d, which is not a system DLL" >&2
        status=1
    fi
done <<<"$imports"

[ "$status" -eq 0 ] && echo "OK: $dll exports every class and imports only system DLLs"
exit "$status"
