#!/usr/bin/env bash
# The Windows Installer package end to end, for real under Wine, in a fresh prefix of its own:
# install, the logon start that the package registers, an upgrade while the agent runs, uninstall.
#   PackageTest.sh <build folder>
set -uo pipefail
BUILD="$1"
BIN="$BUILD/bin"
MSI="$(ls "$BUILD"/package/Halyard-*-x64.msi)"
WORK="$BUILD/package-test"
export WINEPREFIX="$BUILD/package-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

fail() { echo "FAILED: $*"; exit 1; }
quiet() { "$@" </dev/null >/dev/null 2>&1; }
# A new logon session: the prefix's processes end, and its start runs the Run entries.
new_session() { quiet wineserver -k; quiet wineserver -w; quiet wineserver -p; quiet wine wineboot; }
devctl() { quiet wine "$BIN/HalyardDevCtl.exe" "$@"; }
run_value() { wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Halyard 2>/dev/null </dev/null; }
installed_versions() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null </dev/null |
        tr -d '\r' | awk '/DisplayName .*Halyard Session Agent/ {found=1} found && /DisplayVersion/ {print $3; found=0}'
}
msiexec() { wine msiexec "$@" /qn </dev/null >/dev/null 2>&1; }
logged() { tr -d '\0\r' <"$1"; }
# Waits up to 30 s for a text to appear in a log file.
await_logged() {
    for _ in $(seq 1 300); do
        logged "$1" 2>/dev/null | grep -qF "$2" && return 0
        sleep 0.1
    done
    return 1
}

rm -rf "$WINEPREFIX" "$WORK"
mkdir -p "$WORK"
trap 'quiet wineserver -k' EXIT
quiet wineserver -p
quiet wine wineboot -i
quiet wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
new_session
INSTALLED="$WINEPREFIX/drive_c/Program Files/Orvanta/Halyard"
LOGS="$WINEPREFIX/drive_c/users/$(id -un)/Temp/Orvanta"

# A higher version of the same package, whose agent differs from the installed one by bytes that the
# loader ignores (appended after the image), so that its replacement shows.
VERSION="$(basename "$MSI" | sed 's/Halyard-\(.*\)-x64.msi/\1/')"
NEXT="${VERSION%.*}.$((${VERSION##*.} + 1))"
cp -r "$BUILD/package/staging" "$WORK/next"
printf 'Halyard %s' "$NEXT" >>"$WORK/next/Halyard.exe"
quiet wixl -a x64 -D Version="$NEXT" -o "$WORK/Halyard-$NEXT-x64.msi" "$WORK/next/Halyard.wxs" ||
    fail "wixl could not build version $NEXT"

echo "== Install $VERSION"
msiexec /i "$(winepath -w "$MSI")" /l*v "$(winepath -w "$WORK/install.log")" || fail "msiexec /i exited with $?"
for file in Halyard.exe HalyardStop.exe; do
    [ -f "$INSTALLED/$file" ] || fail "$file is not in $INSTALLED"
done
run_value | grep -qF '"C:\Program Files\Orvanta\Halyard\Halyard.exe"' || fail "no logon start registered: $(run_value)"
[ "$(installed_versions)" = "$VERSION" ] || fail "uninstall entries: '$(installed_versions)', not $VERSION"

echo "== A new session starts the agent"
cp "$BIN"/{libOVSyncEngine.dll,OrvantaSyncMonitor.exe,OrvantaSync.exe} "$INSTALLED/"
quiet wine reg add 'HKLM\Software\Policies\Veltane\Orvanta\Groupmere' /v On-demandSyncDiskVolume /d O: /f
new_session
devctl wait-window 30000 || fail "no agent window after the session started"
pgrep -f 'Halyard.exe /run' >/dev/null || fail "no /run agent is running"
FIRST_LOG="$(ls "$LOGS"/Halyard_*.log | tail -n 1)"
await_logged "$FIRST_LOG" 'Window::MessageLoop: executing...' || fail "the agent's log shows no start-up"

echo "== Upgrade to $NEXT while the agent runs"
msiexec /i "$(winepath -w "$WORK/Halyard-$NEXT-x64.msi")" /l*v "$(winepath -w "$WORK/upgrade.log")" ||
    fail "the upgrade exited with $?"
devctl wait-gone 0 || fail "the agent still runs after the upgrade"
logged "$FIRST_LOG" | tail -n 1 | grep -q 'Terminating Halyard process.' || fail "the agent did not end its log"
# Wine's installer service may still be writing the log when msiexec returns.
await_logged "$WORK/upgrade.log" 'HalyardStop: every agent has exited' ||
    fail "the package log does not say that the agents were stopped:
$(logged "$WORK/upgrade.log" | grep -E 'StopAgents|HalyardStop|RelatedProducts|ExistingProducts')"
[ "$(installed_versions)" = "$NEXT" ] || fail "uninstall entries after the upgrade: '$(installed_versions)'"
cmp -s "$INSTALLED/Halyard.exe" "$WORK/next/Halyard.exe" || fail "Halyard.exe was not replaced"
sleep 1 # the new agent's log gets a name of its own
new_session
devctl wait-window 30000 || fail "no agent window in the session after the upgrade"

echo "== Uninstall"
msiexec /x "$(winepath -w "$WORK/Halyard-$NEXT-x64.msi")" /l*v "$(winepath -w "$WORK/uninstall.log")" ||
    fail "msiexec /x exited with $?"
devctl wait-gone 0 || fail "the agent still runs after the uninstall"
for file in Halyard.exe HalyardStop.exe; do
    [ ! -e "$INSTALLED/$file" ] || fail "$file is still installed"
done
! quiet wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v Halyard ||
    fail "the logon start is still registered"
[ -z "$(installed_versions)" ] || fail "an uninstall entry is left: $(installed_versions)"
[ "$(ls "$LOGS"/Halyard_*.log | wc -l)" -eq 2 ] || fail "the users' logs were not left alone"
echo "Package installed, started at logon, upgraded and removed."
