#!/bin/sh
# "Installs" the example: copies the greeting (staged descrambled from the
# package) and records the option it was given.
cat greeting.txt > installed.txt || exit 1
echo "installed with option '${1:-none}'" >> installed.txt
exit 0
