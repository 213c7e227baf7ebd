#!/usr/bin/env bash
# Crash safety: kills headless copies of the program (SIGKILL) at random
# moments while they check a private Dovecot mailbox, restarts them, and at
# the end checks that no message was lost or stored twice and that the local
# POP3 server serves every inbox message intact.
#
# Usage: kill-test.sh TESTS_APP [TRIALS]
#   TESTS_APP  the built tests_app executable (it holds the driver and the
#              Dovecot fixture; the program is found beside it in the build)
#   TRIALS     kills to make, default 30
# Environment: BRIXMOOR_CRASH_SEED (random seed), BRIXMOOR_CRASH_MAX_DELAY_MS
# (latest kill after start-up, default 3000).
# Exit 77 (skipped) when not root: Dovecot refuses to run otherwise.
set -euo pipefail
tests_app=${1:?usage: kill-test.sh TESTS_APP [TRIALS]}
trials=${2:-30}
if [ "$(id -u)" -ne 0 ] || [ ! -x /usr/sbin/dovecot ]; then
  echo "kill-test: needs root and /usr/sbin/dovecot; skipped"
  exit 77
fi
export BRIXMOOR_CRASH_TRIALS=$trials
exec "$tests_app" --gtest_filter='CrashSafety.*' --gtest_brief=0
