#!/bin/sh
# Runs a Windows test program under Wine: a 64-bit prefix of the build's own,
# created once. When a folder with the test CA is given and a private mount
# namespace can be had, the CA is bound over /etc/ssl/certs so that Wine's
# TLS trusts the test service; otherwise HTTPS tests are told to skip.
set -eu
prefix=${MOVU_WINEPREFIX:-${TMPDIR:-/tmp}/movu-wineprefix}
export WINEARCH=win64 WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
) 9>"$prefix.lock"

ca_dir=${MOVU_WINE_CA_DIR:-}
if [ -n "$ca_dir" ] && [ -f "$ca_dir/ca-certificates.crt" ] && [ "${MOVU_WINE_HTTPS:-}" != 0 ]; then
  if unshare -m true 2>/dev/null; then
    export MOVU_WINE_HTTPS=1
    exec unshare -m sh -c 'mount --bind "$0" /etc/ssl/certs && exec wine "$@"' "$ca_dir" "$@"
  fi
  echo "wine-run: no private mount namespace here; HTTPS tests under Wine will be skipped" >&2
fi
export MOVU_WINE_HTTPS=0
exec wine "$@"
