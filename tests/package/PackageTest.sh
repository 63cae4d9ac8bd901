#!/usr/bin/env bash
# The Windows Installer package end to end, for real under Wine, in a fresh prefix of its own: the
# refusal of a folder without the engine, the install into the client's folder, the logon start that
# the package registers, an upgrade while the agent runs, a rebuild of the same version, uninstall.
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
new_session() { quiet wineserver -k; quiet wineserver -w; quiet wineserver -p; quiet wine wineboot; }
devctl() { wine "$BIN/HalyardDevCtl.exe" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
run_value() { wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Halyard 2>/dev/null </dev/null | tr -d '\r' | grep REG_SZ; }
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
# msiexec's exit code, with a verbose package log.
install() {
    local log="$1"; shift
    wine msiexec "$@" /qn /l*v "$(winepath -w "$log")" </dev/null >/dev/null 2>&1
}
logged() { tr -d '\0\r' <"$1"; }
# Waits up to 30 s for a text to appear in a log file.
await_logged() {
    for _ in $(seq 1 300); do
        logged "$1" 2>/dev/null | grep -qF "$2" && return 0
        sleep 0.1
    done
    return 1
}
# A new session, and the agent it starts connected to the engine beside it.
session_connects() {
    new_session
    [ "$(devctl wait-window 30000; echo $?)" = 0 ] || fail "no agent window after the session started ($1)"
    pgrep -f 'Halyard.exe /run' >/dev/null || fail "no /run agent is running ($1)"
    AGENT_LOG="$(ls "$LOGS"/Halyard_*.log | tail -n 1)"
    await_logged "$AGENT_LOG" 'OvRegisterJobStatusListener returned result = 00000000' ||
        fail "the agent did not connect to the engine ($1): $(logged "$AGENT_LOG" | tail -n 3)"
}

rm -rf "$WINEPREFIX" "$WORK"
mkdir -p "$WORK"
trap 'quiet wineserver -k' EXIT
quiet wineserver -p
quiet wine wineboot -i
quiet wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
quiet wine reg add 'HKLM\Software\Policies\Veltane\Orvanta\Groupmere' /v On-demandSyncDiskVolume /d O: /f
new_session
CLIENT_WIN='C:\Program Files\Orvanta Client'
CLIENT="$WINEPREFIX/drive_c/Program Files/Orvanta Client"
LOGS="$WINEPREFIX/drive_c/users/$(id -un)/Temp/Orvanta"

# The next version, built as a release would be: its own configuration with a higher HALYARD_VERSION.
VERSION="$(basename "$MSI" | sed 's/Halyard-\(.*\)-x64.msi/\1/')"
NEXT="${VERSION%.*}.$((${VERSION##*.} + 1))"
echo "== Building version $NEXT"
quiet cmake -S "$SOURCE" -B "$WORK/next-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$SOURCE/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALYARD_BUILD_TESTS=OFF -DHALYARD_VERSION="$NEXT" || fail "cannot configure $NEXT"
quiet cmake --build "$WORK/next-build" --target halyard_msi || fail "cannot build the package of $NEXT"
NEXT_MSI="$WORK/next-build/package/Halyard-$NEXT-x64.msi"
# The same version once more: another package build of the same programs.
(cd "$WORK" && quiet wixl -a x64 -D Version="$NEXT" -D UpgradesBelow="${NEXT%.*}.$((${NEXT##*.} + 1))" \
    -D Manufacturer=Veltane -D ProductName="Halyard Session Agent" -o "$WORK/rebuilt.msi" \
    "$WORK/next-build/package/staging/Halyard.wxs") || fail "wixl could not rebuild $NEXT"

echo "== No client anywhere: the install is refused"
install "$WORK/refused.log" /i "$(winepath -w "$MSI")"
status=$?
[ $status = $((1603 % 256)) ] || fail "an install without the engine exited with $status, not 1603 (67 as Unix keeps it)"
[ -z "$(agents_on_c)" ] || fail "Halyard.exe was installed: $(agents_on_c)"
[ -z "$(run_value)" ] || fail "a logon start was registered: $(run_value)"
[ -z "$(installed_versions)" ] || fail "an uninstall entry was left: $(installed_versions)"
await_logged "$WORK/refused.log" 'Halyard: libOVSyncEngine.dll not found in C:\Program Files\Orvanta\Halyard\' ||
    fail "the package log does not say what was missing: $(logged "$WORK/refused.log" | grep -i halyard | tail -n 3)"

echo "== Install $VERSION into the client's folder"
mkdir -p "$CLIENT"
cp "$BIN"/{libOVSyncEngine.dll,OrvantaSyncMonitor.exe,OrvantaSync.exe} "$CLIENT/"
install "$WORK/install.log" /i "$(winepath -w "$MSI")" INSTALLDIR="$CLIENT_WIN" || fail "msiexec /i exited with $?"
for file in Halyard.exe HalyardStop.exe; do
    [ -f "$CLIENT/$file" ] || fail "$file is not in $CLIENT"
done
run_value | grep -qF "\"$CLIENT_WIN\\Halyard.exe\"" || fail "the logon start is not the client folder's agent: $(run_value)"
event_source | grep -qF "EventMessageFile    REG_SZ    $CLIENT_WIN\\Halyard.exe" ||
    fail "the Event Log source is not registered with the installed agent: $(event_source)"
[ "$(installed_versions)" = "$VERSION" ] || fail "uninstall entries: '$(installed_versions)', not $VERSION"
RUN_BEFORE="$(run_value)"
session_connects "after the install"
FIRST_LOG="$AGENT_LOG"

echo "== Upgrade to $NEXT, without properties, while the agent runs"
install "$WORK/upgrade.log" /i "$(winepath -w "$NEXT_MSI")" || fail "the upgrade exited with $?"
[ "$(devctl wait-gone 0; echo $?)" = 0 ] || fail "the agent still runs after the upgrade"
logged "$FIRST_LOG" | tail -n 1 | grep -q 'Terminating Halyard process.' || fail "the agent did not end its log"
# Wine's installer service may still be writing the log when msiexec returns.
await_logged "$WORK/upgrade.log" 'HalyardStop: every agent has exited' ||
    fail "the package log does not say that the agents were stopped:
$(logged "$WORK/upgrade.log" | grep -E 'StopAgents|HalyardStop|RelatedProducts|ExistingProducts')"
[ "$(installed_versions)" = "$NEXT" ] || fail "uninstall entries after the upgrade: '$(installed_versions)'"
version="$(devctl file-version "$CLIENT_WIN\\Halyard.exe")"
[ "$version" = "$NEXT.0 $NEXT Veltane Halyard.exe" ] || fail "the installed agent's version resource reads '$version'"
[ "$(agents_on_c)" = "$CLIENT/Halyard.exe" ] || fail "agents after the upgrade: $(agents_on_c)"
[ "$(run_value)" = "$RUN_BEFORE" ] || fail "the logon start changed: $(run_value)"
sleep 1 # the new agent's log gets a name of its own
session_connects "after the upgrade"

echo "== The same version rebuilt replaces the installed one"
install "$WORK/rebuilt.log" /i "$(winepath -w "$WORK/rebuilt.msi")" || fail "the rebuilt package exited with $?"
[ "$(installed_versions)" = "$NEXT" ] || fail "uninstall entries after the rebuild: '$(installed_versions)'"
[ "$(agents_on_c)" = "$CLIENT/Halyard.exe" ] || fail "agents after the rebuild: $(agents_on_c)"

echo "== Uninstall"
install "$WORK/uninstall.log" /x "$(winepath -w "$WORK/rebuilt.msi")" || fail "msiexec /x exited with $?"
[ "$(devctl wait-gone 0; echo $?)" = 0 ] || fail "the agent still runs after the uninstall"
[ -z "$(agents_on_c)" ] || fail "an agent is still installed: $(agents_on_c)"
[ ! -e "$CLIENT/HalyardStop.exe" ] || fail "HalyardStop.exe is still installed"
[ -z "$(run_value)" ] || fail "the logon start is still registered"
! quiet wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Halyard' ||
    fail "the Event Log source's key is left"
[ -z "$(installed_versions)" ] || fail "an uninstall entry is left: $(installed_versions)"
for file in libOVSyncEngine.dll OrvantaSyncMonitor.exe OrvantaSync.exe; do
    [ -f "$CLIENT/$file" ] || fail "the client's $file was removed"
done
[ "$(ls "$LOGS"/Halyard_*.log | wc -l)" -eq 2 ] || fail "the users' logs were not left alone"
echo "Package refused without the engine, installed beside it, started at logon, upgraded in place and removed."
