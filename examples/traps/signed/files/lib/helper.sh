#!/bin/sh
echo "helped"
