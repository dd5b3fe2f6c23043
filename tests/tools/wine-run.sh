#!/bin/sh
# Runs a Windows program under Wine in the build's own 64-bit prefix, made
# once. Given the test CA folder and a private mount namespace, the CA is bound
# over /etc/ssl/certs so that Wine's TLS trusts the test service; otherwise
# HTTPS tests are told to skip (MOVU_WINE_HTTPS=0).
set -eu
prefix=${MOVU_WINEPREFIX:-${TMPDIR:-/tmp}/movu-wineprefix}
export WINEARCH=win64 WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  [ -f "$prefix/system.reg" ] || { wineboot -i >/dev/null 2>&1 || true; wineserver -w; }
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
