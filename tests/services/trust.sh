#!/usr/bin/env bash
# Runs a command for which the system trusts one more certificate authority: in a private mount
# namespace, the system's bundle /etc/ssl/certs/ca-certificates.crt (what Debian's libcurl and
# OpenSSL read; libcurl reads no variable such as SSL_CERT_FILE or CURL_CA_BUNDLE) is replaced
# by itself plus CA_FILE (the copy is CA_FILE.bundle).
#   trust.sh CA_FILE COMMAND [ARG...]
# Exits with the command's status, 77 when no mount namespace can be had (not root).
set -euo pipefail
if [ "${TRUST_INSIDE:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null || { echo "no mount namespace" >&2; exit 77; }
  TRUST_INSIDE=1 exec unshare -m --propagation private "$0" "$@"
fi
unset TRUST_INSIDE
ca=$(realpath "$1"); shift
cat /etc/ssl/certs/ca-certificates.crt "$ca" >"$ca.bundle"
mount --bind "$ca.bundle" /etc/ssl/certs/ca-certificates.crt
exec "$@"
