#!/bin/sh
# "Installs" the example: records what it was given and when.
echo "installed with option '${1:-none}'" > installed.txt
exit 0
