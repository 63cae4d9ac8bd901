#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine and runs every test under Wine.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
halyard_setup

echo "== Testing"
ctest --preset wine -j2
