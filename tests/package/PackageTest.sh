#!/usr/bin/env bash
# The Windows Installer package end to end, for real under Wine, in a fresh prefix of its own: the
# refusal of a folder without the engine; the install into the client's folder, which starts the agent
# in the running session; the logon start it registers; upgrades at every user-interface level, which
# stay in the installed folder and start the new agent; a repair; a refused downgrade; uninstall; an
# upgrade that fails after the stop and rolls back.
#   PackageTest.sh <build folder> <source folder>
set -uo pipefail
BUILD="$1"
SOURCE="$2"
BIN="$BUILD/bin"
MSI="$(ls "$BUILD"/package/Halyard-*-x64.msi)"
WORK="$BUILD/package-test"
export WINEPREFIX="$BUILD/package-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

fail() { echo "FAILED: $*"; exit 1; }
quiet() { "$@" </dev/null >/dev/null 2>&1; }
# A new logon session: the prefix's processes end, and its start runs the Run entries.
# Wine ends its desktop process, the session's Explorer, with the last window, where Windows keeps the
# shell running: one hidden window holds it for the session.
new_session() {
    quiet wineserver -k; quiet wineserver -w; quiet wineserver -p; quiet wine wineboot
    (setsid wine "$BIN/HalyardDevCtl.exe" hold-desktop </dev/null >/dev/null 2>&1 &)
    quiet wine "$BIN/HalyardDevCtl.exe" wait-desktop 30000
}
devctl() { wine "$BIN/HalyardDevCtl.exe" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
run_value() { wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Halyard /reg:64 2>/dev/null </dev/null | tr -d '\r' | grep REG_SZ; }
event_source() {
    wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Halyard' 2>/dev/null </dev/null |
        tr -d '\r' | grep REG_
}
installed_versions() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null </dev/null |
        tr -d '\r' | awk '/DisplayName .*Halyard Session Agent/ {found=1} found && /DisplayVersion/ {print $3; found=0}'
}
# Every Halyard.exe of the prefix's drive C:, one path a line.
agents_on_c() { find "$WINEPREFIX/drive_c" -iname Halyard.exe | sort; }
# msiexec's exit code, with a verbose package log; the user-interface level is among the arguments
# (none: full UI).
install() {
    local log="$1"; shift
    wine msiexec "$@" /l*v "$(winepath -w "$log")" </dev/null >/dev/null 2>&1
}
logged() { tr -d '\0\r' <"$1"; }
# A file's text is read to its end before it is searched: grep -q at the end of a pipe stops reading at
# the first match, the producer then dies of SIGPIPE, and pipefail fails the pipeline though the text is
# there.
# Each is false when the file cannot be read, so that a negated test fails then too.
logged_has() { local text; text="$(logged "$1" 2>/dev/null)" || return 1; grep -qF -- "$2" <<<"$text"; }
logged_matches() { local text; text="$(logged "$1" 2>/dev/null)" || return 1; grep -qE -- "$2" <<<"$text"; }
logged_lacks() { local text; text="$(logged "$1" 2>/dev/null)" || return 1; ! grep -qF -- "$2" <<<"$text"; }
# The last line of a log file.
last_logged() { local text; text="$(logged "$1")"; printf '%s\n' "${text##*$'\n'}"; }
# Waits up to 30 s for a text to appear in a log file.
await_logged() {
    for _ in $(seq 1 300); do
        logged_has "$1" "$2" && return 0
        sleep 0.1
    done
    return 1
}
CONNECTED='OvRegisterJobStatusListener returned result = 00000000'
# The agents' log files so far; an agent started now writes a file of its own (names are made to the
# second).
mark_logs() { ls "$LOGS" 2>/dev/null >"$WORK/logs-before"; sleep 1; }
# The newest log file that mark_logs did not see, or nothing.
newest_new_log() {
    local file found=""
    for file in "$LOGS"/Halyard_*.log; do
        [ -e "$file" ] && ! grep -qxF -- "${file##*/}" "$WORK/logs-before" && found="${file##*/}"
    done
    printf '%s' "$found"
}
# A new agent, started since mark_logs without a new logon, connected to the engine beside it.
new_agent_connects() {
    local log=""
    for _ in $(seq 1 100); do
        log="$(newest_new_log)"
        [ -n "$log" ] && break
        sleep 0.1
    done
    [ -n "$log" ] || fail "no new agent started ($1)"
    AGENT_LOG="$LOGS/$log"
    await_logged "$AGENT_LOG" "$CONNECTED" || fail "the new agent did not connect ($1): $(logged "$AGENT_LOG" | tail -n 3)"
}
# A new session, and the agent its logon starts connected to the engine beside it.
session_connects() {
    mark_logs
    new_session
    [ "$(devctl wait-window 30000; echo $?)" = 0 ] || fail "no agent window after the session started ($1)"
    pgrep -f 'Halyard.exe /run' >/dev/null || fail "no /run agent is running ($1)"
    new_agent_connects "$1"
}
# The agent started in the running session by the package: its log line, and the agent itself.
package_started_agent() {
    await_logged "$1" 'HalyardStart: an agent runs, or was started, in every session with a logged-on user' ||
        fail "the package did not start the agent ($2): $(logged "$1" | grep HalyardStart)"
    logged_matches "$1" '^HalyardStart: session [0-9]+ \(.*\): started; the agent runs, process [0-9]+(, .*)?$' ||
        fail "the package log does not name the session it started ($2): $(logged "$1" | grep HalyardStart)"
    new_agent_connects "$2"
}
# A package of a version, built from the staging folder of a build; the rollback action's type as the
# build sets it.
make_package() {
    local staging="$1" version="$2" output="$3"
    if ! (cd "$staging" && quiet wixl -a x64 -D Version="$version" -D UpgradesBelow="${version%.*}.$((${version##*.} + 1))" \
        -D Manufacturer=Veltane -D ProductName="Halyard Session Agent" -o "$output" Halyard.wxs) ||
        ! quiet msibuild "$output" -q "UPDATE CustomAction SET Type=3393 WHERE Action='StartAgentsAfterRollback'"; then
        fail "cannot make the package $output"
    fi
}

rm -rf "$WINEPREFIX" "$WORK"
mkdir -p "$WORK"
trap 'quiet wineserver -k' EXIT
quiet wineserver -p
quiet wine wineboot -i
quiet wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
quiet wine reg add 'HKLM\Software\Policies\Veltane\Orvanta\Groupmere' /v On-demandSyncDiskVolume /d O: /f
# Crashes end at once rather than wait in Wine's crash dialog, on a desktop no one sees.
quiet wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
# The agents started with the user's environment (the package's start, logon) find the stand-ins' folder,
# where the client's stand-in programs record the folder they were started in.
STANDINS="$WORK/standins"
mkdir -p "$STANDINS"
quiet wine reg add 'HKCU\Environment' /v HALYARD_STANDIN_DIR /d "$(winepath -w "$STANDINS")" /f
new_session
CLIENT_WIN='C:\Program Files\Orvanta Client'
CLIENT="$WINEPREFIX/drive_c/Program Files/Orvanta Client"
# The package's default folder, given an engine: an upgrade that lost the installed folder would move
# there instead of being refused.
DEFAULT="$WINEPREFIX/drive_c/Program Files/Orvanta/Halyard"
LOGS="$WINEPREFIX/drive_c/users/$(id -un)/Temp/Orvanta"

# The next version, built as a release would be: its own configuration with a higher HALYARD_VERSION.
VERSION="$(basename "$MSI" | sed 's/Halyard-\(.*\)-x64.msi/\1/')"
NEXT="${VERSION%.*}.$((${VERSION##*.} + 1))"
echo "== Building version $NEXT"
quiet cmake -S "$SOURCE" -B "$WORK/next-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$SOURCE/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALYARD_BUILD_TESTS=OFF -DHALYARD_VERSION="$NEXT" || fail "cannot configure $NEXT"
quiet cmake --build "$WORK/next-build" --target halyard_msi || fail "cannot build the package of $NEXT"
NEXT_MSI="$WORK/next-build/package/Halyard-$NEXT-x64.msi"
NEXT_STAGING="$WORK/next-build/package/staging"

echo "== No client anywhere: the install is refused"
install "$WORK/refused.log" /i "$(winepath -w "$MSI")" /qn
status=$?
[ $status = $((1603 % 256)) ] || fail "an install without the engine exited with $status, not 1603 (67 as Unix keeps it)"
[ -z "$(agents_on_c)" ] || fail "Halyard.exe was installed: $(agents_on_c)"
[ -z "$(run_value)" ] || fail "a logon start was registered: $(run_value)"
[ -z "$(installed_versions)" ] || fail "an uninstall entry was left: $(installed_versions)"
# shellcheck disable=SC1003 # the text ends with the folder's backslash, not an escaped quote
await_logged "$WORK/refused.log" 'Halyard: libOVSyncEngine.dll not found in C:\Program Files\Orvanta\Halyard\' ||
    fail "the package log does not say what was missing: $(logged "$WORK/refused.log" | grep -i halyard | tail -n 3)"

echo "== A client's folder that everyone may write: the install is refused"
WRITABLE="$WINEPREFIX/drive_c/Apps/Writable Client"
mkdir -p "$WRITABLE"
cp "$BIN/libOVSyncEngine.dll" "$WRITABLE/"
chmod 777 "$WRITABLE"
install "$WORK/writable.log" /i "$(winepath -w "$MSI")" /qn INSTALLDIR='C:\Apps\Writable Client'
status=$?
[ $status = $((1603 % 256)) ] || fail "an install into a folder everyone may write exited with $status, not 1603"
await_logged "$WORK/writable.log" 'Halyard: C:\Apps\Writable Client: Everyone (S-1-1-0) may create files in it (FILE_ADD_FILE).' ||
    fail "the refusal does not name who may write: $(logged "$WORK/writable.log" | grep -i 'Halyard:' | tail -n 2)"
[ -z "$(agents_on_c)" ] || fail "Halyard.exe was installed: $(agents_on_c)"

echo "== Install $VERSION into the client's folder: the agent starts in the running session"
mkdir -p "$CLIENT" "$DEFAULT"
cp "$BIN"/{libOVSyncEngine.dll,OrvantaSyncMonitor.exe,OrvantaSync.exe} "$CLIENT/"
cp "$BIN/libOVSyncEngine.dll" "$DEFAULT/"
mark_logs
install "$WORK/install.log" /i "$(winepath -w "$MSI")" /qn INSTALLDIR="$CLIENT_WIN" || fail "msiexec /i exited with $?"
for file in Halyard.exe HalyardStop.exe HalyardCheck.exe; do
    [ -f "$CLIENT/$file" ] || fail "$file is not in $CLIENT"
done
grep -qF -- "\"$CLIENT_WIN\\Halyard.exe\"" <<<"$(run_value)" || fail "the logon start is not the client folder's agent: $(run_value)"
grep -qF -- "EventMessageFile    REG_SZ    $CLIENT_WIN\\Halyard.exe" <<<"$(event_source)" ||
    fail "the Event Log source is not registered with the installed agent: $(event_source)"
[ "$(installed_versions)" = "$VERSION" ] || fail "uninstall entries: '$(installed_versions)', not $VERSION"
package_started_agent "$WORK/install.log" "after the install"
# The machine as an administrator checks it: healthy, with the policy set and the agent running.
checked="$(wine "$CLIENT/HalyardCheck.exe" </dev/null 2>/dev/null)"
status=$?
[ $status = 0 ] || fail "HalyardCheck exits with $status on the installed machine:
$(tr -d '\r' <<<"$checked")"
folders="$(tr -d '\r' <"$STANDINS/children-folders.log" 2>/dev/null)"
others="$(grep -cvxF -- "$CLIENT_WIN" <<<"$folders" || true)"
if [ -z "$folders" ] || [ "$others" != 0 ]; then
    fail "the package's start did not give the agent its own folder as the current one: $folders"
fi

# One check's result and text in HalyardCheck's JSON, as "result: text".
check_of() {
    local json
    json="$(wine "$CLIENT/HalyardCheck.exe" /json </dev/null 2>/dev/null | tr -d '\r')"
    sed -n "s/.*{\"id\": \"$1\", \"result\": \"\([a-z]*\)\", \"text\": \"\([^\"]*\)\".*/\1: \2/p" <<<"$json"
}
APPROVAL='HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run'
echo "== Task Manager's switch, as Explorer reads it: off with the first byte's lowest bit set, however long"
for switch in 070000000000000000000000 "03$(printf '55%.0s' $(seq 1 79))" 020000000000000000000000; do
    quiet wine reg add "$APPROVAL" /v Halyard /t REG_BINARY /d "$switch" /f
    run_check="$(check_of install.run)"
    if [ "${switch:0:2}" = 02 ]; then
        grep -q '^ok: ' <<<"$run_check" || fail "install.run with $switch: $run_check"
    else
        grep -qF "failure: the logon start Halyard is switched off in Task Manager's Startup tab" <<<"$run_check" ||
            fail "install.run with ${switch:0:4}... (${#switch} digits): $run_check"
    fi
done
quiet wine reg delete "$APPROVAL" /v Halyard /f
echo "== A log named later than the running agent's own, saying the engine refuses, is not the agent's"
printf '[0000002C] [01/01 00:00:05] Orvanta::Deskweave::SyncWindowHandler::OnTimer::OvInitialize2 failed with result = 8007007E\r\n' \
    >"$LOGS/Halyard_2099-01-01_00-00-00.log"
engine_check="$(check_of session.engine)"
grep -q '^ok: connected to the engine at ' <<<"$engine_check" || fail "session.engine with a later log planted: $engine_check"
rm -f "$LOGS/Halyard_2099-01-01_00-00-00.log"
echo "== Without the policy value, HalyardStop /start says the agent ended at once, and why"
quiet wine "$CLIENT/HalyardStop.exe" || fail "HalyardStop could not stop the agent"
quiet wine reg delete 'HKLM\Software\Policies\Veltane\Orvanta\Groupmere' /v On-demandSyncDiskVolume /f
# Into a file: under Wine the agent it starts would hold a pipe of this script's open.
wine "$CLIENT/HalyardStop.exe" /start </dev/null >"$WORK/start.txt" 2>&1
status=$?
started="$(tr -d '\r' <"$WORK/start.txt")"
quiet wine reg add 'HKLM\Software\Policies\Veltane\Orvanta\Groupmere' /v On-demandSyncDiskVolume /d O: /f
[ $status != 0 ] || fail "HalyardStop /start exited with 0 without the policy value: $started"
grep -qE 'started, but the agent ended at once \(process [0-9]+, exit code 0\): the machine policy value On-demandSyncDiskVolume is not set' <<<"$started" ||
    fail "HalyardStop /start does not say why the agent ended: $started"
mark_logs
wine "$CLIENT/HalyardStop.exe" /start </dev/null >"$WORK/start.txt" 2>&1 ||
    fail "HalyardStop /start failed with the policy value back: $(tr -d '\r' <"$WORK/start.txt")"
new_agent_connects "after HalyardStop /start"
RUN_BEFORE="$(run_value)"
SOURCE_BEFORE="$(event_source)"
session_connects "at the next logon"

echo "== Upgrade to $NEXT at every user-interface level, without properties, while the agent runs"
# A package of the same version, rebuilt, replaces the installed one: one a level.
for level in /qn /qb /qr full; do
    package="$NEXT_MSI"
    if [ "$level" != /qn ]; then
        package="$WORK/next-${level#/}.msi"
        make_package "$NEXT_STAGING" "$NEXT" "$package"
    fi
    running="$AGENT_LOG"
    mark_logs
    # An installation made before folders that others may change were refused is upgraded all the same.
    [ "$level" != /qn ] || chmod 777 "$CLIENT"
    # Full UI: no /q at all, as a double-click runs it.
    interface=()
    [ "$level" = full ] || interface=("$level")
    install "$WORK/upgrade-${level#/}.log" /i "$(winepath -w "$package")" "${interface[@]}" ||
        fail "the upgrade at $level exited with $?"
    if [ "$level" = /qn ]; then
        chmod 755 "$CLIENT"
        await_logged "$WORK/upgrade-qn.log" "Halyard: warning: $CLIENT_WIN: Everyone (S-1-1-0) may" ||
            fail "the upgrade of a folder everyone may write gave no warning: $(logged "$WORK/upgrade-qn.log" | grep 'Halyard:')"
    fi
    grep -qF 'Terminating Halyard process.' <<<"$(last_logged "$running")" || fail "the running agent did not end ($level)"
    await_logged "$WORK/upgrade-${level#/}.log" 'HalyardStop: every agent has exited' ||
        fail "the package log does not say that the agents were stopped ($level)"
    [ "$(installed_versions)" = "$NEXT" ] || fail "uninstall entries after the upgrade at $level: '$(installed_versions)'"
    [ "$(agents_on_c)" = "$CLIENT/Halyard.exe" ] || fail "agents after the upgrade at $level: $(agents_on_c)"
    [ "$(run_value)" = "$RUN_BEFORE" ] || fail "the logon start changed at $level: $(run_value)"
    [ "$(event_source)" = "$SOURCE_BEFORE" ] || fail "the Event Log source changed at $level: $(event_source)"
    package_started_agent "$WORK/upgrade-${level#/}.log" "after the upgrade at $level"
done
version="$(devctl file-version "$CLIENT_WIN\\Halyard.exe")"
[ "$version" = "$NEXT.0 $NEXT Veltane Halyard.exe" ] || fail "the installed agent's version resource reads '$version'"

echo "== Repair: the agents are stopped and started again, the package's registry values written again"
mark_logs
running="$AGENT_LOG"
quiet wine reg delete 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Halyard /f
quiet wine reg delete 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Halyard' /f
# What msiexec /famus does (the guide's repair); Wine's msiexec takes /f only with a product code.
install "$WORK/repair.log" /i "$(winepath -w "$package")" /qn REINSTALL=ALL REINSTALLMODE=amus ||
    fail "the repair exited with $?"
[ "$(run_value)" = "$RUN_BEFORE" ] || fail "the repair did not write the logon start again: '$(run_value)'"
[ "$(event_source)" = "$SOURCE_BEFORE" ] || fail "the repair did not register the Event Log source again: '$(event_source)'"
grep -qF 'Terminating Halyard process.' <<<"$(last_logged "$running")" || fail "the repair did not stop the agent"
await_logged "$WORK/repair.log" 'HalyardStop: every agent has exited' || fail "the repair's log does not say the agents stopped"
package_started_agent "$WORK/repair.log" "after the repair"

echo "== A downgrade is refused and changes nothing"
install "$WORK/downgrade.log" /i "$(winepath -w "$MSI")" /qn
status=$?
[ $status = $((1603 % 256)) ] || fail "the downgrade exited with $status, not 1603 (67 as Unix keeps it)"
# Wine's msiexec does not log the launch condition's message ("A newer version of Halyard is already
# installed."), only the property that refused it.
await_logged "$WORK/downgrade.log" 'WIX_DOWNGRADE_DETECTED = {' || fail "the downgrade was not refused as one"
[ "$(installed_versions)" = "$NEXT" ] || fail "uninstall entries after the downgrade: '$(installed_versions)'"
[ "$(devctl file-version "$CLIENT_WIN\\Halyard.exe")" = "$version" ] || fail "the downgrade replaced the agent"
[ "$(run_value)" = "$RUN_BEFORE" ] || fail "the downgrade changed the logon start: $(run_value)"
pgrep -f 'Halyard.exe /run' >/dev/null || fail "the downgrade stopped the agent"

echo "== Uninstall, while a user runs a program of the agent's name of their own"
# What the package logs is its text as it is: "[x64]" and "{...}" in a path are not properties to
# Windows Installer.
OWN="$WINEPREFIX/drive_c/Tools [x64]/{1}"
mkdir -p "$OWN"
cp "$BIN/HalyardDevCtl.exe" "$OWN/Halyard.exe"
(setsid wine 'C:\Tools [x64]\{1}\Halyard.exe' wait-gone 60000 </dev/null >/dev/null 2>&1 &)
for _ in $(seq 1 100); do pgrep -f 'Tools \[x64\]' >/dev/null && break; sleep 0.1; done
install "$WORK/uninstall.log" /x "$(winepath -w "$package")" /qn || fail "msiexec /x exited with $?"
logged_matches "$WORK/uninstall.log" '^HalyardStop: process [0-9]+ in session [0-9]+ is C:\\Tools \[x64\]\\\{1\}\\Halyard\.exe, not the installed agent' ||
    fail "the package log lost the text of a path: $(logged "$WORK/uninstall.log" | grep 'HalyardStop:')"
pkill -f 'Tools \[x64\]'
rm -rf "$WINEPREFIX/drive_c/Tools [x64]"
[ "$(devctl wait-gone 0; echo $?)" = 0 ] || fail "the agent still runs after the uninstall"
[ -z "$(agents_on_c)" ] || fail "an agent is still installed: $(agents_on_c)"
if [ -e "$CLIENT/HalyardStop.exe" ] || [ -e "$CLIENT/HalyardCheck.exe" ]; then fail "the tools are still installed"; fi
[ -z "$(run_value)" ] || fail "the logon start is still registered"
! quiet wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Halyard' ||
    fail "the Event Log source's key is left"
[ -z "$(installed_versions)" ] || fail "an uninstall entry is left: $(installed_versions)"
for file in libOVSyncEngine.dll OrvantaSyncMonitor.exe OrvantaSync.exe; do
    [ -f "$CLIENT/$file" ] || fail "the client's $file was removed"
done
logged_lacks "$WORK/uninstall.log" 'HalyardStart:' || fail "the uninstall started agents, or its log cannot be read"
[ -n "$(ls "$LOGS"/Halyard_*.log)" ] || fail "the users' logs were not left alone"
echo "== An upgrade that fails after the stop rolls back, and the rollback starts the agents"
mark_logs
install "$WORK/reinstall.log" /i "$(winepath -w "$MSI")" /qn INSTALLDIR="$CLIENT_WIN" || fail "the new install exited with $?"
package_started_agent "$WORK/reinstall.log" "after the new install"
# A deferred program that fails right after the stop, before anything is changed (on Windows).
make_package "$NEXT_STAGING" "$NEXT" "$WORK/failing.msi"
if ! quiet msibuild "$WORK/failing.msi" \
    -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('FailAfterTheStop', 1058, 'INSTALLDIR', 'cmd.exe /c exit 1')" ||
    ! quiet msibuild "$WORK/failing.msi" -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('FailAfterTheStop', 1515)"; then
    fail "cannot make the failing package"
fi
install "$WORK/rollback.log" /i "$(winepath -w "$WORK/failing.msi")" /qn && fail "the failing upgrade succeeded"
grep -qF 'Terminating Halyard process.' <<<"$(last_logged "$AGENT_LOG")" || fail "the failing upgrade did not stop the agent"
await_logged "$WORK/rollback.log" 'HalyardStart: the installation is rolled back: the agents of the version that stays are started' ||
    fail "the rollback action did not run: $(logged "$WORK/rollback.log" | grep -E 'Halyard|ollback' | tail -n 5)"
# Wine's msiexec runs the deferred actions only at InstallFinalize, after its RemoveExistingProducts has
# removed the older version for good, and restores nothing: no logon start is left for the rollback
# action to run (Windows restores the older version first). Starting a logon start that is there is
# pinned by the stop tool's test.
after_rollback="$(grep -A1 -F 'HalyardStart: the installation is rolled back' <<<"$(logged "$WORK/rollback.log")" | tail -n 1)"
grep -qE '^HalyardStart: (starting .* in [0-9]+ session\(s\)|no logon start to run: .*)' <<<"$after_rollback" ||
    fail "the rollback action reported nothing: $(logged "$WORK/rollback.log" | grep HalyardStart)"
echo "Package refused without the engine, installed beside it, started in the session and at logon, upgraded in place"
echo "at every user-interface level, repaired, not downgraded, removed, and rolled back."
