#!/usr/bin/env bash
# Rewrites the ABI baseline abi/<SONAME>.abi from a fresh build, on purpose:
# after adding functions, or after an ABI break together with a raised
# SOVERSION (scripts/abi-check.sh explains the rules and refuses the rest).
#   scripts/abi-update.sh [LIBRARY]
exec "$(dirname "$0")/abi-check.sh" --update "$@"
