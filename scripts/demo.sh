#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine and runs one demonstration session of the agent under
# Wine, with the development stand-ins of the engine and the companion programs:
#   logon start (relaunch with /run), the engine refusing twice and then accepting, a logoff (query,
#   then end of session), the terminate event; a logoff with uploads pending that complete while the
#   end of session waits; HalyardCheck's table of the machine; then the log files, the Event Log
#   entries and the stand-ins' records.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
halyard_setup halyard_demo

BIN="$HALYARD_BUILD/bin"
DEMO="$HALYARD_BUILD/demo"
rm -rf "$DEMO"
mkdir -p "$DEMO/standin"
HALYARD_STANDIN_DIR="$(halyard_winpath "$DEMO/standin")"
export HALYARD_STANDIN_DIR
printf '[engine]\r\nInitializeFailures=2\r\nInitializeFailureStatus=0x80070015\r\n' > "$DEMO/standin/engine.ini"
LOGS="$WINEPREFIX/drive_c/users/$(id -un)/Temp/Orvanta"
rm -rf "$LOGS"

wine_run() { (cd "$BIN" && wine "$@" </dev/null 2>/dev/null); }
step() { printf '\n== %s\n' "$*"; }
# Wine's ReportEventW writes each entry's type and id on its fixme channel and its strings on the
# eventlog channel, to the Unix standard error of the programs started from here.
EVENTS="$DEMO/eventlog.txt"
EVENTLOG_CHANNELS="-all,+pid,fixme+advapi,+eventlog"
print_events() {
    local entry="" separator line fields type id text
    while IFS= read -r line; do
        case "$line" in
        *fixme:advapi:ReportEventW*)
            [ -z "$entry" ] || echo "$entry"
            fields="${line#*ReportEventW (}"
            IFS=, read -r _ type _ id _ <<<"$fields"
            entry="$([ "$type" = 0x0002 ] && echo Warning || echo Information) $((16#${id#0x})):"
            separator=" " ;;
        *:eventlog:ReportEventW*)
            text="${line#*ReportEventW L\"}"
            text="${text%\"}"
            entry="$entry$separator${text//\\\\/\\}"
            separator=" | " ;;
        esac
    done < <(tr -d '\r' <"$EVENTS")
    [ -z "$entry" ] || echo "$entry"
}

step "The installation, registered as the package registers it (the build folder as the client's folder)"
BIN_WIN="$(halyard_winpath "$BIN")"
REGISTERED=('HKLM\Software\Microsoft\Windows\CurrentVersion\Run /v Halyard'
    'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Halyard /v EventMessageFile'
    'HKLM\Software\Veltane\Halyard /v InstallFolder')
# shellcheck disable=SC2086 # each entry is a key and its value's switches, split into reg's arguments
unregister() { for value in "${REGISTERED[@]}"; do wine_run reg delete ${value} /f >/dev/null 2>&1 || true; done; }
trap 'unregister; halyard_wine_stop' EXIT
wine_run reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Halyard /d "\"$BIN_WIN\\Halyard.exe\"" /f >/dev/null
wine_run reg add 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Halyard' /v EventMessageFile \
    /d "$BIN_WIN\\Halyard.exe" /f >/dev/null
wine_run reg add 'HKLM\Software\Veltane\Halyard' /v InstallFolder /d "$BIN_WIN\\" /f >/dev/null
echo "Run value, Event Log source and remembered folder set; removed again when the demonstration ends."

step "Machine policy: the On-demand Sync drive is configured"
wine_run reg add 'HKLM\Software\Policies\Veltane\Orvanta\Groupmere' /v On-demandSyncDiskVolume /d 'O:' /f >/dev/null
wine_run reg delete 'HKLM\Software\Policies\Veltane\Orvanta\Groupmere' /v AdjustPermissionsOnLogoff /f >/dev/null 2>&1 || true

step "Logon: the logon process starts Halyard.exe with an empty command line (under a debugger loop)"
(cd "$BIN" && WINEDEBUG="$EVENTLOG_CHANNELS" wine HalyardDebugCapture.exe --timeout 60000 \
    --out "$(halyard_winpath "$DEMO/debug-output.txt")" Halyard.exe </dev/null >/dev/null 2>>"$EVENTS") &
CAPTURE=$!
wine_run HalyardDevCtl.exe wait-window 30000
echo "The relaunched agent's hidden window exists."

step "Engine connection: the stand-in refuses twice, the agent retries every 2 s"
for _ in $(seq 1 60); do
    grep -q 'OvInitializeIPC2(3,true) 00000000' "$DEMO/standin/engine-calls.log" 2>/dev/null && break
    sleep 0.25
done
cat "$DEMO/standin/engine-calls.log"

step "An administrator checks the machine: HalyardCheck (exit code 0: every check ok or skipped)"
wine_run HalyardCheck.exe || echo "HalyardCheck exited with $?"

step "Logoff: WM_QUERYENDSESSION, then WM_ENDSESSION"
wine_run HalyardDevCtl.exe logoff

step "An administrator signals Global\\HalyardTerminate"
wine_run HalyardDevCtl.exe terminate
wine_run HalyardDevCtl.exe wait-gone 20000
wait "$CAPTURE" || true
echo "The agent has exited."

logs=("$LOGS"/Halyard_*.log)
AGENT_LOG="${logs[0]}"

step "A logoff with uploads pending, permissions reverted by policy"
echo "The agent hands its notification callback to no one, so the development notification host runs"
echo "the agent's own window and session handler and notifies them from another thread, as the engine"
echo "would: 0 of 3 uploads done, then (while the end of session waits) 3 of 3."
mkdir -p "$DEMO/Sync/Personal" "$DEMO/Sync/Shared" "$DEMO/Sync/Favorite"
SYNC="$(halyard_winpath "$DEMO/Sync")"
wine_run reg add 'HKLM\Software\Policies\Veltane\Orvanta\Groupmere' /v AdjustPermissionsOnLogoff /t REG_DWORD /d 1 /f >/dev/null
wine_run reg add 'HKCU\SOFTWARE\Veltane\Orvanta\Sync' /v SyncRootLocation /d "$SYNC\\" /f >/dev/null
wine_run reg add 'HKCU\SOFTWARE\Veltane\Orvanta\Sync' /v PersonalFolderRootLocation /d "$SYNC\Personal" /f >/dev/null
wine_run reg add 'HKCU\SOFTWARE\Veltane\Orvanta\Sync' /v SharedFoldersRootLocation /d "$SYNC\Shared" /f >/dev/null
wine_run reg add 'HKCU\SOFTWARE\Veltane\Orvanta\Sync' /v FavoriteFoldersRootLocation /d "$SYNC\Favorite" /f >/dev/null
sleep 1 # a log file of its own: names are made to the second
(cd "$BIN" && WINEDEBUG="$EVENTLOG_CHANNELS" wine HalyardNotifyHost.exe pending:0001:0:3 await-query sleep:1500 \
    pending:0002:3:3 await-end quit </dev/null >/dev/null 2>>"$EVENTS") &
HOST=$!
wine_run HalyardDevCtl.exe wait-window 30000
wine_run HalyardDevCtl.exe logoff
wait "$HOST" || true
logs=("$LOGS"/Halyard_*.log)
HOST_LOG="${logs[-1]}"
grep -E 'SyncWindowHandler|Event::(Wait|Reset|Set)|destination folder|Number of ACE' "$HOST_LOG" | tr -d '\r' | cut -c1-190
wine_run reg delete 'HKCU\SOFTWARE\Veltane\Orvanta\Sync' /f >/dev/null 2>&1 || true

step "Log file of the agent's session: $AGENT_LOG"
tr -d '\r' < "$AGENT_LOG"

step "Application log entries, source Halyard (type, id: the strings Event Viewer puts into the message)"
print_events

step "Engine stand-in records (process id, call, status)"
cat "$DEMO/standin/engine-calls.log"
step "Companion stand-in records (command lines)"
cat "$DEMO/standin/children.log"
step "Debugger output of the logon start (before the child took over)"
head -n 5 "$DEMO/debug-output.txt"
echo
echo "Everything the agent wrote to the debugger output: $DEMO/debug-output.txt"
