#!/bin/sh
# Stand-in for the suite's reboot program in tests: records the request in
# the current directory and exits with the status named by FAKE_HELP2_EXIT.
printf '%s\n' "$*" >> fake_help2.calls
exit "${FAKE_HELP2_EXIT:-0}"
