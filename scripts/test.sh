#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine and runs every test under Wine.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$HALYARD_ROOT"

halyard_install
halyard_build
halyard_wine_session
trap halyard_wine_stop EXIT

echo "== Testing"
ctest --preset wine -j2
