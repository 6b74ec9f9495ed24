#!/usr/bin/env bash
# Run a command inside the Debian sid root that holds CPython 3.14 and 3.15, with this checkout at the same path.
#
#   bench/sid.sh CMD...
#
# tools/sid.sh does this for the whole project where it exists; until then the bench binds the checkout, /proc and
# /dev itself, and takes down only what it bound. SID_ROOT overrides the root's location.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ -x $root/tools/sid.sh ]]; then
  exec "$root/tools/sid.sh" run "$@"
fi
sid=${SID_ROOT:-/var/lib/quenlory/sid}
[[ -x $sid/usr/bin/python3.14 || -x $sid/usr/bin/python3.15 ]] || { echo "$0: no sid root at $sid" >&2; exit 2; }
[[ $(id -u) -eq 0 ]] || { echo "$0: chroot needs root" >&2; exit 2; }

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}"; done
}
trap cleanup EXIT
bind() {  # bind SOURCE TARGET, unless something is mounted there already (another user of the root)
  mkdir -p "$2"
  if ! mountpoint -q "$2"; then
    mount --bind "$1" "$2"
    mounted+=("$2")
  fi
}
bind /proc "$sid/proc"
bind /dev "$sid/dev"
bind "$root" "$sid$root"
# pip inside the root trusts what pip on this machine trusts (PIP_CERT and the like pass through the environment).
bundle=/etc/ssl/certs/ca-certificates.crt
if [[ -f $bundle && -f $sid$bundle ]] && ! cmp -s "$bundle" "$sid$bundle"; then
  mount --bind -o ro "$bundle" "$sid$bundle"
  mounted+=("$sid$bundle")
fi
chroot "$sid" /usr/bin/env -C "$PWD" HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
