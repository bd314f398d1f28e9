#!/bin/sh
# Renders the manual page given as $1 with man-db and fails on any warning it gives.
warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$1" 2>&1 > /dev/null)
if [ -n "$warnings" ]; then
  printf '%s\n' "$warnings"
  exit 1
fi
