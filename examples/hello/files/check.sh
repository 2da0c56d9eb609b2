#!/bin/sh
# Prerequisite check of the example package: the machine must have a shell
# and a writable execution directory.
touch .probe && rm -f .probe
