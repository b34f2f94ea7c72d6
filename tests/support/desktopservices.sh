#!/usr/bin/env bash
# Runs a command with the services of a desktop around it: a system bus, udev,
# polkit and udisks2, an ordinary user who is not in the "disk" group, polkit
# rules for that user, and mount helpers for FAT and exFAT (the kernel here may
# have no driver for them; the helpers mount through FUSE as block mounts, so
# udisks2 sees the mount).
#
#   desktopservices.sh COMMAND [ARGS...]
#
# The command runs as root with these variables set:
#   DBUS_SYSTEM_BUS_ADDRESS   the system bus that was started
#   FLINTOR_TEST_USER         the ordinary user (run the card code as this user)
#   FLINTOR_DENY_RULE         a polkit rules file the command may create to
#                             refuse "open-device" to that user (removed here)
#
# Everything started or created here is stopped or removed again by its PID or
# its exact path when the command ends, also after a failure or a signal.
# Exit status: the command's; 77 (skip) when the services cannot run here,
# unless CI=true, where that is a failure (1).
set -u

USER_NAME=flintor-udtest
RULES_DIR=/etc/polkit-1/rules.d
ALLOW_RULE=$RULES_DIR/49-flintor-udtest-allow.rules
DENY_RULE=$RULES_DIR/10-flintor-udtest-deny.rules
BUS_SOCKET=/run/dbus/system_bus_socket

cannot_run() {
  echo "desktopservices: $*" >&2
  if [ "${CI:-}" = "true" ]; then exit 1; fi
  exit 77
}

[ "$#" -ge 1 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
[ "$(id -u)" = 0 ] || cannot_run "needs root to start the system services"
for prog in dbus-daemon /lib/systemd/systemd-udevd udevadm /usr/lib/polkit-1/polkitd /usr/libexec/udisks2/udisksd \
            runuser useradd userdel fusefat mount.exfat-fuse; do
  command -v "$prog" >/dev/null 2>&1 || cannot_run "$prog is not installed (scripts/install-deps.sh installs it)"
done
[ -d "$RULES_DIR" ] || cannot_run "$RULES_DIR is missing (polkitd is not installed)"
if [ -S "$BUS_SOCKET" ] && dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
     org.freedesktop.DBus.GetId >/dev/null 2>&1; then
  cannot_run "a system bus is already running; these tests start their own"
fi
if [ -d /run/udev/control ] || [ -S /run/udev/control ]; then
  cannot_run "a udev daemon is already running; these tests start their own"
fi

BUS_PID=""; UDEV_PID=""; POLKIT_PID=""; UDISKS_PID=""
CREATED_USER=0; HAD_RUN_UDEV=0; HAD_RUN_UDISKS=0; HAD_MEDIA=0
INSTALLED_HELPERS=()
[ -e /run/udev ] && HAD_RUN_UDEV=1
[ -e /run/udisks2 ] && HAD_RUN_UDISKS=1
[ -e /media ] && HAD_MEDIA=1

stop_pid() {  # stop_pid PID: TERM, wait up to 5 s, then KILL; only that process
  local pid=$1 i
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null
}

cleanup() {
  # Mounts udisks2 made for the test user go first, while udisks2 still runs.
  if [ -d "/media/$USER_NAME" ]; then
    while read -r mp; do umount "$mp" 2>/dev/null; done < <(awk -v d="/media/$USER_NAME/" \
      'index($5, d) == 1 { print $5 }' /proc/self/mountinfo)
  fi
  stop_pid "$UDISKS_PID"
  stop_pid "$POLKIT_PID"
  stop_pid "$UDEV_PID"
  stop_pid "$BUS_PID"
  [ -n "$BUS_PID" ] && rm -f /run/dbus/pid "$BUS_SOCKET"
  rm -f "$ALLOW_RULE" "$DENY_RULE"
  for h in "${INSTALLED_HELPERS[@]}"; do rm -f "$h"; done
  if [ "$CREATED_USER" = 1 ]; then userdel -r "$USER_NAME" >/dev/null 2>&1 || userdel "$USER_NAME" 2>/dev/null; fi
  rmdir "/media/$USER_NAME" 2>/dev/null
  [ "$HAD_MEDIA" = 1 ] || rmdir /media 2>/dev/null
  # The machine had no udev database before: leave none behind, or other
  # programs would take stale data for a running udev.
  [ "$HAD_RUN_UDEV" = 1 ] || rm -rf /run/udev
  [ "$HAD_RUN_UDISKS" = 1 ] || rm -rf /run/udisks2
}
trap cleanup EXIT
CMD_PID=""
trap 'stop_pid "$CMD_PID"; exit 130' INT TERM HUP

# The user: ordinary, in no group that reaches disks.
# (A user, rule or helper of this name left by a run that was killed is taken
# over and removed at the end as well.)
if ! id "$USER_NAME" >/dev/null 2>&1; then
  useradd --create-home --shell /bin/sh "$USER_NAME" || cannot_run "cannot create the test user"
fi
CREATED_USER=1
rm -f "$DENY_RULE"
if id -nG "$USER_NAME" | tr ' ' '\n' | grep -qx disk; then
  echo "desktopservices: $USER_NAME is in the disk group" >&2; exit 1
fi

# polkit: the test user may do what udisks2 offers (the refusal test adds a
# rule that sorts first and says no to opening devices).
cat >"$ALLOW_RULE" <<EOF
polkit.addRule(function(action, subject) {
    if (subject.user == "$USER_NAME" && action.id.indexOf("org.freedesktop.udisks2.") == 0)
        return polkit.Result.YES;
});
EOF

# Mount helpers: mount(8) runs /sbin/mount.TYPE DEVICE DIR [-o OPTIONS].
install_helper() {  # install_helper PATH BODY: only where nothing is installed yet
  local path=$1 body=$2
  if [ -e "$path" ]; then
    grep -q "^# Test helper of desktopservices.sh" "$path" 2>/dev/null && INSTALLED_HELPERS+=("$path")
    return 0
  fi
  printf '%s\n' "#!/bin/sh" "# Test helper of desktopservices.sh: mounts through FUSE." "$body" >"$path"
  chmod 755 "$path"
  INSTALLED_HELPERS+=("$path")
}
install_helper /sbin/mount.vfat 'exec fusefat -o "rw+,blkdev,allow_other,fsname=$1" "$1" "$2"'
install_helper /sbin/mount.exfat 'exec mount.exfat-fuse -o allow_other "$1" "$2"'

mkdir -p /run/dbus
rm -f /run/dbus/pid
BUS_PID=$(dbus-daemon --system --fork --print-pid) || cannot_run "the system bus does not start"
BUS_PID=${BUS_PID%%[!0-9]*}
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$BUS_SOCKET

/lib/systemd/systemd-udevd >/dev/null 2>&1 &
UDEV_PID=$!
for i in $(seq 50); do [ -e /run/udev/control ] && break; sleep 0.1; done
[ -e /run/udev/control ] || cannot_run "udev does not start"
# The disks get their udev data; loop devices are left alone, since other
# tests on this machine may be using theirs (an "add" event would reach their
# device monitors). Tests trigger their own cards.
udevadm trigger --subsystem-match=block --action=add --sysname-match='sd*' --sysname-match='vd*' \
  --sysname-match='xvd*' --sysname-match='nvme*' --sysname-match='mmcblk*' --sysname-match='sr*' \
  --sysname-match='dm-*' --sysname-match='md*'
udevadm settle --timeout=30

/usr/lib/polkit-1/polkitd --no-debug >/dev/null 2>&1 &
POLKIT_PID=$!
/usr/libexec/udisks2/udisksd --no-debug >/dev/null 2>&1 &
UDISKS_PID=$!
for name in org.freedesktop.PolicyKit1 org.freedesktop.UDisks2; do
  ok=0
  for i in $(seq 100); do
    if dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
         "string:$name" 2>/dev/null | grep -q "boolean true"; then ok=1; break; fi
    sleep 0.1
  done
  [ "$ok" = 1 ] || cannot_run "$name did not come up on the system bus"
done

export FLINTOR_TEST_USER=$USER_NAME
export FLINTOR_DENY_RULE=$DENY_RULE
# In the background, so that a signal to this script is handled at once (bash
# runs traps only between commands, and `wait` is one that a signal ends).
"$@" &
CMD_PID=$!
wait "$CMD_PID"
rc=$?
CMD_PID=""
exit $rc
