#!/bin/sh
# Calls the helper below the package directory, which is not staged.
sh ../files/lib/helper.sh
