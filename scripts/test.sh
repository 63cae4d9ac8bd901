#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine and runs every test under Wine.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck disable=SC2119 # no targets: everything is built
halyard_setup

echo "== Testing"
ctest --preset wine -j2
