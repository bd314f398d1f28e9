#!/bin/sh
# Renders the manual page given as $1 with man-db and fails if it cannot, or warns of anything.
if ! warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$1" 2>&1 > /dev/null); then
  printf 'man could not render %s\n%s\n' "$1" "$warnings"
  exit 1
fi
if [ -n "$warnings" ]; then
  printf '%s\n' "$warnings"
  exit 1
fi
