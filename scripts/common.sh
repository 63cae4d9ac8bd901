# shellcheck shell=bash
# Shared by the project's scripts: installs what is missing, configures and builds, and runs a Wine
# session in the project's own prefix (never ~/.wine). Source it; it changes nothing until called.
set -euo pipefail

HALYARD_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
HALYARD_BUILD="$HALYARD_ROOT/build"
export WINEPREFIX="$HALYARD_BUILD/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# Installs the Debian packages named, if any, as root or through sudo.
halyard_apt_install() {
    [ $# -gt 0 ] || return 0
    echo "== Installing: $*"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}

halyard_install() {
    local missing=()
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
    command -v wine >/dev/null || missing+=(wine wine64)
    command -v cmake >/dev/null || missing+=(cmake)
    command -v ninja >/dev/null || missing+=(ninja-build)
    [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
    [ -f /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
    # The Windows Installer package and its signing, built and tested with the rest.
    command -v wixl >/dev/null || missing+=(wixl)
    command -v msibuild >/dev/null || missing+=(msitools)
    command -v osslsigncode >/dev/null || missing+=(osslsigncode)
    command -v openssl >/dev/null || missing+=(openssl)
    command -v pgrep >/dev/null || missing+=(procps)
    halyard_apt_install "${missing[@]}"
}

# Configures, then builds the targets given (everything when none is).
halyard_build() {
    echo "== Building"
    cmake --preset wine -DHALYARD_WARNINGS_AS_ERRORS="${HALYARD_WARNINGS_AS_ERRORS:-OFF}" >/dev/null
    if [ $# -gt 0 ]; then
        cmake --build --preset wine --target "$@"
    else
        cmake --build --preset wine
    fi
}

# A persistent wineserver and a booted session, with every standard stream on /dev/null: Wine's
# background services would otherwise inherit the caller's pipes and hold them open.
halyard_wine_session() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "== Creating the Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        wineserver -p </dev/null >/dev/null 2>&1 || true
        wine wineboot -i </dev/null >/dev/null 2>&1
        # A hidden window needs a graphics driver even without a display: the null one. The desktop
        # process started by the first boot has none, so the session is started again afterwards.
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
        wineserver -k </dev/null >/dev/null 2>&1 || true
        wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
    wineserver -p </dev/null >/dev/null 2>&1 || true
    wine wineboot </dev/null >/dev/null 2>&1
    # Wine ends its desktop process with the last window, and starting it again can take seconds:
    # one hidden window held for the whole session pays that once, here.
    if [ -x "$HALYARD_BUILD/bin/HalyardDevCtl.exe" ]; then
        (cd "$HALYARD_BUILD/bin" && setsid wine HalyardDevCtl.exe hold-desktop </dev/null >/dev/null 2>&1 &)
        wine "$HALYARD_BUILD/bin/HalyardDevCtl.exe" wait-desktop 60000 </dev/null >/dev/null 2>&1 || true
    fi
}

halyard_wine_stop() {
    wineserver -k </dev/null >/dev/null 2>&1 || true
}

# Unix path -> Windows path inside the prefix (Z: maps the Unix root).
halyard_winpath() {
    local path="$1"
    echo "Z:${path//\//\\}"
}

# Everything the scripts need before their own work: packages, the build (of the targets given, or of
# everything), a running Wine session that ends with the script. The build's progress goes to standard
# error.
halyard_setup() {
    cd "$HALYARD_ROOT"
    halyard_install
    halyard_build "$@" >&2
    halyard_wine_session
    trap halyard_wine_stop EXIT
}
