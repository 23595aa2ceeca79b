#!/usr/bin/env bash
# The storage emulator in its OAuth mode (HTTPS, bearer tokens) for the
# tests of Microsoft Entra ID sign-in; see azurite.sh start-oauth.
#
#   azurite-oauth.sh start STATEDIR   prints the "export NAME=value" lines
#   azurite-oauth.sh stop STATEDIR
set -euo pipefail
case "${1:-}" in
  start|stop) exec bash "$(dirname "$0")/azurite.sh" "$1-oauth" "${2:-}" ;;
  *) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
