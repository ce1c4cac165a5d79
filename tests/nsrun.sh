#!/bin/sh
# Runs a command in a private mount namespace, with the system's fixed paths replaced by test
# fixtures. Nothing it mounts is seen outside the namespace, so the host is never changed.
#
#   nsrun.sh [--over TARGET DIR]... [--dev SOURCE MOUNTDIR CONTENTDIR]... [--readonly] -- COMMAND...
#
#   --over  lays DIR over the directory TARGET (read-only overlay): files of DIR win, the rest
#           of TARGET stays visible, so /etc keeps what the dynamic loader and libc need.
#   --dev   mounts a tmpfs whose source reads SOURCE (a fake device name such as /dev/kivtestA)
#           at MOUNTDIR and copies CONTENTDIR into it ("-" for an empty device).
#   --readonly  then remounts every filesystem of the namespace read-only, so that any attempt of
#           COMMAND to write a file fails. mountinfo escapes blanks in paths as octal, which %b
#           undoes; the options come from nowhere else, since /etc/fstab may be a fixture's.
set -eu

if [ "${KIV_NSRUN_INSIDE:-}" != 1 ]; then
    KIV_NSRUN_INSIDE=1 exec unshare --mount --propagation private "$0" "$@"
fi
unset KIV_NSRUN_INSIDE

while [ $# -gt 0 ]; do
    case "$1" in
    --over)
        mount -t overlay overlay -o "lowerdir=$3:$2" "$2"
        shift 3
        ;;
    --dev)
        mount -t tmpfs "$2" "$3"
        if [ "$4" != - ]; then
            cp -a "$4/." "$3/"
        fi
        shift 4
        ;;
    --readonly)
        awk '{ print $5 }' /proc/self/mountinfo | while read -r dir; do
            mount --options-source disable -o remount,bind,ro "$(printf '%b' "$dir")"
        done
        shift
        ;;
    --)
        shift
        break
        ;;
    *)
        echo "nsrun.sh: unknown option $1" >&2
        exit 2
        ;;
    esac
done
exec "$@"
