#!/bin/sh
# Runs a command in a private mount namespace where test fixtures stand in for the system's fixed
# paths; nothing mounted here is seen outside, so the host is never changed.
#   nsrun.sh [--over TARGET DIR]... [--dev SOURCE MOUNTDIR CONTENTDIR]... -- COMMAND...
# --over lays DIR over the folder TARGET (a read-only overlay: the rest of TARGET stays visible);
# --dev mounts a tmpfs whose source reads SOURCE (a fake device) at MOUNTDIR, with CONTENTDIR's files.
set -eu
if [ "${KIV_NSRUN_INSIDE:-}" != 1 ]; then
    KIV_NSRUN_INSIDE=1 exec unshare --mount --propagation private "$0" "$@"
fi
unset KIV_NSRUN_INSIDE
while [ "$1" != -- ]; do
    case "$1" in
    --over) mount -t overlay overlay -o "lowerdir=$3:$2" "$2" && shift 3 ;;
    --dev) mount -t tmpfs "$2" "$3" && cp -a "$4/." "$3/" && shift 4 ;;
    *) echo "nsrun.sh: unknown option $1" >&2 && exit 2 ;;
    esac
done
shift
exec "$@"
