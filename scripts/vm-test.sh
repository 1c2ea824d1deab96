#!/usr/bin/env bash
# The kernel-path test: the device simulator behind /dev/uhid in a throwaway
# VM (../shared/tools/uhid-vm), and korvana-cli talking to it through hidapi,
# hidraw and udev: devices, info, a full update of a small package, and watch
# while the bridge creates and destroys the device; then the disk form on a
# scsi_debug disk with the vendor text "korvtag" (mount seen, marker, eject).
#
#   scripts/vm-test.sh [BUILD_DIR]        host side (default BUILD_DIR: build)
#   scripts/vm-test.sh --guest BUILD OUT  inside the VM (run by the host side)
#
# Exit status: 0 passed or skipped (no harness, no qemu, VM would not boot, or
# the kernel dropped reports: "Output queue is full" gives no verdict), 1 failed.
set -uo pipefail

NO_VERDICT=77

guest() {
	local B=$1 OUT=$2
	local cli=$B/korvana-cli bridge=$B/korvana-uhid-bridge
	local fail=0 bridge_pid="" watch_pid=""
	note() { echo "== $*"; }
	ok() { echo "ok   $*"; }
	bad() { echo "FAIL $*"; fail=1; }
	# Waits up to $1 seconds for the command after it to succeed.
	wait_for() {
		local limit=$1 i=0
		shift
		while ! "$@" >/dev/null 2>&1; do
			i=$((i + 1))
			[ $i -ge $((limit * 10)) ] && return 1
			sleep 0.1
		done
	}
	lines() { [ -f "$1" ] && [ "$(wc -l <"$1")" -ge "$2" ]; }
	start_bridge() {
		"$bridge" --flash "$OUT/flash.bin" --quiet 2>>"$OUT/bridge.log" &
		bridge_pid=$!
	}
	stop_bridge() {
		[ -n "$bridge_pid" ] || return 0
		kill -TERM "$bridge_pid" 2>/dev/null
		wait "$bridge_pid" || bad "bridge exited with $?"
		bridge_pid=""
	}
	hidraw_gone() { ! ls /dev/hidraw* >/dev/null 2>&1; }

	note "kernel $(uname -r); udevd $(pgrep -c systemd-udevd 2>/dev/null || echo "?") running"
	local t0=$SECONDS

	# A: the device through hidraw while nothing else holds it.
	start_bridge
	if wait_for 30 "$cli" devices; then ok "devices: the hidraw node is listed"; else bad "devices: no device within 30 s"; fi
	"$cli" devices --json >"$OUT/devices.json" 2>"$OUT/devices.err"
	if grep -q '"backend": "hidraw"' "$OUT/devices.json" &&
		grep -q '"path": "/dev/hidraw[0-9]*#vid_0416&pid_b500"' "$OUT/devices.json"; then
		ok "devices --json: $(grep '"path"' "$OUT/devices.json" | tr -d ' ')"
	else
		bad "devices --json:"; cat "$OUT/devices.json" "$OUT/devices.err"
	fi
	if "$cli" info --json >"$OUT/info-before.json" 2>"$OUT/info.err" &&
		grep -q '"board": "GHW7"' "$OUT/info-before.json"; then
		ok "info: board GHW7"
	else
		bad "info:"; cat "$OUT/info-before.json" "$OUT/info.err"
	fi
	local tu=$SECONDS
	if "$cli" update "$OUT/small.dzk" --yes >"$OUT/update.out" 2>"$OUT/update.err" &&
		grep -q "Update Successfully!" "$OUT/update.out" "$OUT/update.err"; then
		ok "update: written in $((SECONDS - tu)) s"
	else
		bad "update:"; tail -n 20 "$OUT/update.out" "$OUT/update.err"
	fi
	"$cli" info --json >"$OUT/info-after.json" 2>>"$OUT/info.err"
	if grep -A3 '"gps"' "$OUT/info-after.json" | grep -q '"date": "20240701"'; then
		ok "info after the update: the package's GPS date"
	else
		bad "info after the update:"; cat "$OUT/info-after.json"
	fi
	stop_bridge
	if wait_for 10 hidraw_gone; then ok "hidraw node gone after the bridge ended"; else bad "hidraw node still there"; fi

	# B: watch follows the arrival and the removal through udev.
	"$cli" watch --exit-after 3 --timeout 120 >"$OUT/watch.out" 2>"$OUT/watch.err" &
	watch_pid=$!
	wait_for 30 lines "$OUT/watch.out" 1 || bad "watch: no first status line"
	start_bridge
	wait_for 60 lines "$OUT/watch.out" 2 || bad "watch: the arrival was not seen"
	stop_bridge
	wait "$watch_pid"
	local wrc=$?
	[ $wrc -eq 0 ] || bad "watch exited with $wrc"
	printf '%s\n' "Update Tool   No hardware connected!" \
		"Update Tool   GPS Connected   V:20240701" \
		"Update Tool   No hardware connected!" >"$OUT/watch.expected"
	if cmp -s "$OUT/watch.out" "$OUT/watch.expected"; then
		ok "watch: no hardware -> connected (V:20240701) -> no hardware"
	else
		bad "watch status lines:"; cat "$OUT/watch.out"; echo "-- stderr:"; cat "$OUT/watch.err"
	fi
	# C: the disk form on a real block device (scsi_debug with the vendor text
	# "korvtag"): the mount is seen, the marker written, the disk ejected.
	if modprobe scsi_debug inq_vendor=korvtag removable=1 dev_size_mb=8 2>/dev/null &&
		udevadm settle && disk_form_device >/dev/null; then
		disk_form "$cli" "$OUT"
	else
		note "scsi_debug is not available: the disk-form part is skipped"
	fi

	note "guest steps took $((SECONDS - t0)) s"
	note "bridge log:"; cat "$OUT/bridge.log"

	local dropped
	dropped=$(dmesg 2>/dev/null | grep -c "Output queue is full")
	if [ "$dropped" -gt 0 ]; then
		note "the kernel logged \"Output queue is full\" $dropped times: no verdict"
		return $NO_VERDICT
	fi
	return $fail
}

# The sd node whose vendor text is the disk form's.
disk_form_device() {
	local d
	for d in /sys/block/sd*; do
		[ -e "$d/device/vendor" ] && [ "$(tr -d ' ' <"$d/device/vendor")" = korvtag ] &&
			{ echo "/dev/${d##*/}"; return 0; }
	done
	return 1
}

disk_form() {
	local cli=$1 OUT=$2 dev name host
	dev=$(disk_form_device)
	name=${dev##*/}
	mkfs.ext2 -q -F "$dev" || { bad "mkfs.ext2 $dev"; return; }
	mkdir -p /mnt/korvtag
	"$cli" watch --exit-after 2 --timeout 60 >"$OUT/disk-watch.out" 2>"$OUT/disk-watch.err" &
	local wpid=$!
	wait_for 30 lines "$OUT/disk-watch.out" 1 || bad "disk watch: no first status line"
	mount "$dev" /mnt/korvtag || bad "mount $dev"
	wait "$wpid" || bad "disk watch exited with $?"
	printf '%s\n' "Update Tool   No hardware connected!" "Update Tool   GPS Connecting..." \
		>"$OUT/disk-watch.expected"
	if cmp -s "$OUT/disk-watch.out" "$OUT/disk-watch.expected" &&
		grep -q "Disk form found on $dev (/mnt/korvtag): marker ok, eject ok" "$OUT/disk-watch.err"; then
		ok "watch: the mount of $dev was seen, marker written and the disk ejected"
	else
		bad "disk watch:"; cat "$OUT/disk-watch.out"; echo "-- stderr:"; cat "$OUT/disk-watch.err"
	fi
	if grep -q " /mnt/korvtag " /proc/self/mountinfo; then bad "$dev is still mounted after the eject"; fi
	# The ejected unit reads nothing; a fresh attach of the same store does.
	echo 1 >"/sys/block/$name/device/delete"
	for host in /sys/class/scsi_host/host*; do
		[ "$(cat "$host/proc_name" 2>/dev/null)" = scsi_debug ] && echo "- - -" >"$host/scan"
	done
	udevadm settle
	dev=$(disk_form_device) || { bad "the disk did not come back after the rescan"; return; }
	debugfs -R "dump /1.txt $OUT/marker" "$dev" 2>/dev/null
	if [ "$(od -An -c "$OUT/marker" 2>/dev/null | tr -d ' \n')" = abcdefd ] &&
		[ "$(stat -c %s "$OUT/marker" 2>/dev/null)" = 7 ]; then
		ok "the marker 1.txt holds the 7 bytes abcdefd"
	else
		bad "marker on $dev:"; od -c "$OUT/marker" 2>&1
	fi
}

if [ "${1:-}" = --guest ]; then
	[ $# -eq 3 ] || { echo "usage: $0 --guest BUILD_DIR OUT_DIR" >&2; exit 2; }
	guest "$2" "$3"
	exit $?
fi

# ---------------------------------------------------------------- host side
cd "$(dirname "$0")/.." || exit 1
root=$(pwd -P)
build=${1:-build}
case "$build" in /*) ;; *) build=$root/$build ;; esac
harness=${UHID_VM_HARNESS:-$root/../shared/tools/uhid-vm/run-in-uhid-vm.sh}
skip() { echo "vm-test: SKIPPED: $*"; exit 0; }

[ -f "$harness" ] || skip "the uhid-vm harness is not at $harness"
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed (KORVANA_WITH_VM=1 scripts/install-deps.sh)"
[ -x /bin/busybox ] || [ -x /usr/bin/busybox ] || skip "busybox-static is not installed"
[ -x /lib/systemd/systemd-udevd ] || [ -x /usr/lib/systemd/systemd-udevd ] || skip "udev is not installed"

cmake --build "$build" --target korvana-cli korvana-uhid-bridge || exit 1
work=$(mktemp -d /tmp/korvana-vm-test.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
cat >"$work/small.json" <<'EOF'
{
  "trailer": 520, "version": 5, "magic": "plain",
  "title": "TAVO kernel-path test package",
  "regions": {
    "boot": {"size": 4096, "seed": 1},
    "radarMute": {"size": 4096, "seed": 2, "date": "2024-05-20 10:00:00"},
    "voice3": {"size": 16384, "seed": 3, "date": "2024-03-01 08:00:00"},
    "gps3": {"size": 32768, "seed": 4, "date": "2024-07-01 08:00:00"},
    "updateTool": {"size": 4096, "seed": 5}
  },
  "programs": {
    "headed": true,
    "entries": [
      {"board": "GHW7", "size": 16384, "seed": 20, "scramble": true, "layout502": 1,
       "useGps3": 1, "useVoice3": 1, "serverSize": 4096, "trackSize": 8192,
       "programVersion": 1187}
    ]
  }
}
EOF
"$build/korvana-cli" package build "$work/small.json" "$work/small.dzk" >/dev/null || exit 1

start=$SECONDS
rc=0
bash "$harness" -v --files "$work" --timeout "${KORVANA_VM_TIMEOUT:-600}" -- \
	bash "$root/scripts/vm-test.sh" --guest "$build" "$work" || rc=$?
took=$((SECONDS - start))
case $rc in
0) echo "vm-test: PASSED in ${took} s" ;;
"$NO_VERDICT") skip "uhid dropped output reports (\"Output queue is full\"): no verdict (${took} s)" ;;
125) skip "the VM could not be started here (harness status 125, see above) (${took} s)" ;;
124) echo "vm-test: FAILED: the VM timed out after ${took} s"; exit 1 ;;
*) echo "vm-test: FAILED (status $rc) in ${took} s"; exit 1 ;;
esac
