#!/usr/bin/env bash
# Runs tovrel-cli on real kernel serial drivers: boots Debian 12's kernel in
# QEMU with QEMU's FTDI USB adapter (ftdi_sio, /dev/ttyUSB0) and a second
# 16550 UART (8250, /dev/ttyS1), each wired through QEMU's tty character
# device to the slave of a tovrel-sim pseudo-terminal on this machine, and
# runs guest-checks.sh in the guest. Pulls and plugs the adapter through
# QEMU's monitor when the guest asks. One line a check; exits non-zero if any
# failed, and 0 with a note only where QEMU cannot start at all.
#
# Usage: tests/vm/run-guest-tests.sh BUILD_DIR   (holding cli/tovrel-cli and sim/tovrel-sim)
# The kernel package (apt-get download, never installed) is kept in
# ${XDG_CACHE_HOME:-~/.cache}/tovrel-vm between runs.
set -euo pipefail

limit=${TOVREL_VM_TIME_LIMIT:-600}
if [ -z "${TOVREL_VM_BOUNDED:-}" ]; then
    # Whatever hangs, CI does not.
    TOVREL_VM_BOUNDED=1 exec timeout -k 10 "$limit" "$0" "$@"
fi

[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "$1")
cli=$build/cli/tovrel-cli
sim=$build/sim/tovrel-sim
for program in "$cli" "$sim"; do
    [ -x "$program" ] || { echo "vm: $program is missing; build it first" >&2; exit 2; }
done
cache=${XDG_CACHE_HOME:-$HOME/.cache}/tovrel-vm
work=$(mktemp -d /tmp/tovrel-vm.XXXXXX)
data_size=102400
pull_after=16384      # bytes of the module's copy before the adapter is pulled
pull_limit_ms=1000    # the client ends this soon after the pull
guest_limit_s=${TOVREL_VM_GUEST_LIMIT:-300}

pids=()
done_seen=false
cleanup() {
    local status=$?
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if [ "$status" -ne 0 ] && ! $done_seen && [ -f "$work/console.log" ]; then
        echo "vm: the guest console's last lines:" >&2
        tail -n 20 "$work/console.log" | tr -d '\r' >&2
    fi
    if [ -n "${TOVREL_VM_KEEP:-}" ]; then echo "vm: kept $work" >&2; else rm -rf "$work"; fi
    exit "$status"
}
trap cleanup EXIT
trap 'echo "vm: stopped (time limit ${limit} s, or a signal)" >&2; exit 124' TERM INT

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"
    elif command -v sudo >/dev/null; then sudo "$@"
    else return 1; fi
}

skip() {
    echo "vm: SKIPPED, QEMU cannot start here: $*"
    exit 0
}

# --- Debian packages: QEMU and a static busybox ---------------------------
missing=()
for p in qemu-system-x86 busybox-static; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "vm: installing ${missing[*]}"
    { as_root apt-get update -qq && as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; } ||
        echo "vm: could not install ${missing[*]}" >&2
fi
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed"
if [ ! -x /bin/busybox ] || ldd /bin/busybox >/dev/null 2>&1; then
    echo "vm: needs busybox-static (a static /bin/busybox)" >&2
    exit 1
fi

# QEMU that starts on neither KVM nor TCG is a skip.
qemu_starts() {
    echo quit | timeout 30 qemu-system-x86_64 -accel "$1" -machine pc -nodefaults -display none \
        -S -monitor stdio >/dev/null 2>"$work/qemu-probe.err"
}
kvm_starts=false
if [ -r /dev/kvm ] && [ -w /dev/kvm ] && qemu_starts kvm; then
    kvm_starts=true
elif ! qemu_starts tcg; then
    skip "$(head -n 3 "$work/qemu-probe.err")"
fi

# --- The kernel: linux-image-amd64's current dependency, unpacked --------
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1
}
download() {  # download PACKAGE into the current folder
    local sandbox=()
    [ "$(id -u)" -eq 0 ] && sandbox=(-o APT::Sandbox::User=root)
    timeout 300 apt-get download -q "${sandbox[@]}" "$1" >/dev/null
}
fetch_kernel() {
    mkdir -p "$cache"
    local package
    package=$(kernel_package)
    if [ -z "$package" ]; then
        as_root apt-get update -qq || true
        package=$(kernel_package)
    fi
    if [ -z "$package" ]; then
        # No package lists to ask: a kernel kept from an earlier run will do.
        kernel_tree=$(find "$cache" -mindepth 2 -maxdepth 2 -name .unpacked -printf '%h\n' | sort | tail -n 1)
        [ -n "$kernel_tree" ] || { echo "vm: apt knows no linux-image-amd64 and no kernel is cached" >&2; exit 1; }
        return
    fi
    kernel_tree=$cache/$package
    [ -e "$kernel_tree/.unpacked" ] && return
    echo "vm: fetching $package"
    rm -rf "${cache:?}"/*
    mkdir -p "$cache/download"
    (cd "$cache/download" && { download "$package" || { as_root apt-get update -qq && download "$package"; }; }) ||
        { echo "vm: apt-get download $package failed" >&2; exit 1; }
    dpkg-deb -x "$cache"/download/"$package"_*.deb "$kernel_tree"
    local version
    version=$(ls "$kernel_tree/lib/modules")
    # The package leaves modules.dep to its installation.
    busybox depmod -b "$kernel_tree" "$version"
    touch "$kernel_tree/.unpacked"
}
fetch_kernel
kernel_version=$(ls "$kernel_tree/lib/modules")
modules_dir=$kernel_tree/lib/modules/$kernel_version
vmlinuz=$kernel_tree/boot/vmlinuz-$kernel_version

# --- The initramfs --------------------------------------------------------
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,run/lock,data,etc,lib/modules}
cp /bin/busybox "$root/bin/busybox"

# Every module the named ones need, each after what it needs (modules.dep).
declare -A loaded=()
load_order=()
add_module() {  # add_module PATH-RELATIVE-TO-modules_dir
    local path=$1 deps dep
    [ -n "${loaded[$path]:-}" ] && return
    loaded[$path]=1
    deps=$(sed -n "s|^${path//./\\.}: *||p" "$modules_dir/modules.dep")
    for dep in $deps; do add_module "$dep"; done
    load_order+=("$path")
}
for name in xhci-pci ftdi_sio; do
    path=$(grep -oE "^[^:]*/${name}\.ko(\.[a-z]+)?:" "$modules_dir/modules.dep" | tr -d :) ||
        { echo "vm: $kernel_version has no module $name" >&2; exit 1; }
    add_module "$path"
done
for path in "${load_order[@]}"; do
    file=$(basename "${path%.[gx]z}")
    file=${file%.zst}
    case $path in
        *.xz) xz -dc "$modules_dir/$path" ;;
        *.gz) gzip -dc "$modules_dir/$path" ;;
        *.zst) zstd -qdc "$modules_dir/$path" ;;
        *) cat "$modules_dir/$path" ;;
    esac >"$root/lib/modules/$file"
    echo "$file" >>"$root/lib/modules/load-order"
done

# The client with its shared libraries and their loader, as ldd finds them.
strip --strip-debug -o "$root/bin/tovrel-cli" "$cli"
ldd "$cli" | grep -oE '/[^ ]+' | while read -r library; do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
done
# Names travel in code page 936: glibc's converter for it, and its table.
gconv=/usr/lib/$(gcc -print-multiarch)/gconv
mkdir -p "$root$gconv"
cp "$gconv/GBK.so" "$root$gconv/"
cat "$gconv/gconv-modules" "$gconv"/gconv-modules.d/*.conf >"$root$gconv/gconv-modules" 2>/dev/null || true
gcc -static -O2 -Wall -Wextra -Werror -o "$root/bin/modem-lines" "$here/modem-lines.c"
cp "$here/guest-init.sh" "$root/init"
cp "$here/guest-checks.sh" "$root/checks.sh"
chmod 755 "$root/init"
printf 'root:x:0:0::/root:/bin/sh\ntester:x:1000:1000::/tmp:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\ntester:x:1000:\n' >"$root/etc/group"
head -c "$data_size" /dev/urandom >"$work/data.bin"
cp "$work/data.bin" "$root/data/big.bin"
(cd "$root" && find . | busybox cpio -o -H newc -R 0:0 2>/dev/null | gzip -1) >"$work/initramfs.gz"

# --- KVM where it boots this kernel, else TCG ----------------------------
boot_qemu() {  # boot_qemu ACCEL KERNEL-ARGS QEMU-ARGS...
    local accel=$1 args=$2
    shift 2
    exec qemu-system-x86_64 -accel "$accel" -machine pc -m 512 -smp 1 -nographic -nodefaults -no-reboot \
        -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
        -append "console=ttyS0,115200 rdinit=/init panic=-1 $args" "$@" </dev/null
}
# Nested KVM can start and then hang in the kernel's decompressor: a KVM boot
# is tried once, and the outcome kept for this host, QEMU and kernel.
accel=tcg
if $kvm_starts; then
    verdict=$cache/kvm-boots-$(uname -r)-$(qemu-system-x86_64 --version | head -n 1 | tr -c 'A-Za-z0-9.-' _)-$kernel_version
    if [ ! -f "$verdict" ]; then
        (boot_qemu kvm "quiet tovrel.probe" -serial "file:$work/probe.log" >/dev/null 2>&1) &
        probe=$!
        pids+=("$probe")
        for _ in $(seq 200); do
            grep -q '^@@ booted' "$work/probe.log" 2>/dev/null && break
            sleep 0.1
        done
        kill "$probe" 2>/dev/null || true
        if grep -q '^@@ booted' "$work/probe.log" 2>/dev/null; then echo kvm; else echo tcg; fi >"$verdict"
    fi
    accel=$(cat "$verdict")
fi

# --- The two modules, at 115200 bit/s and at the line's pace ------------
start_simulator() {  # start_simulator NAME
    mkdir -p "$work/disk-$1"
    "$sim" --rate 115200 --pace --disk "$work/disk-$1" --link "$work/$1.pty" >"$work/sim-$1.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do [ -e "$work/$1.pty" ] && return; sleep 0.05; done
    echo "vm: tovrel-sim did not start: $(cat "$work/sim-$1.log")" >&2
    exit 1
}
start_simulator ftdi_sio
start_simulator 8250

# --- The guest, and what it asks of the host -----------------------------
mkfifo "$work/monitor.in" "$work/monitor.out"
: >"$work/console.log"
started=$EPOCHREALTIME
(boot_qemu "$accel" "${TOVREL_VM_KERNEL_ARGS:-quiet loglevel=1}" \
    -serial "file:$work/console.log" \
    -chardev "serial,id=uart,path=$work/8250.pty" -serial chardev:uart \
    -chardev "serial,id=ftdi,path=$work/ftdi_sio.pty" \
    -device qemu-xhci,id=xhci -device usb-serial,chardev=ftdi,id=adapter,bus=xhci.0 \
    -chardev "pipe,id=monitor,path=$work/monitor" -mon chardev=monitor,mode=readline \
    >"$work/qemu.log" 2>&1) &
qemu=$!
pids+=("$qemu")
cat "$work/monitor.out" >"$work/monitor.log" &
pids+=($!)
exec {monitor}<>"$work/monitor.in"
exec {console}< <(tail -s 0.05 -n +1 -f "$work/console.log")
pids+=($!)
echo "vm: $kernel_version under QEMU ($accel), ftdi_sio and 8250 against two tovrel-sim"

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok    $*"; }
fail() { failed=$((failed + 1)); echo "FAIL  $*"; }
ms_since() { echo $(((${EPOCHREALTIME//[.,]/} - ${1//[.,]/}) / 1000)); }

# The adapter is pulled while the module's copy grows, not before it starts.
pull_adapter() {
    local copy=$work/disk-ftdi_sio/PULL.BIN
    for _ in $(seq 600); do
        [ "$(stat -c %s "$copy" 2>/dev/null || echo 0)" -ge "$pull_after" ] && break
        sleep 0.05
    done
    size_at_pull=$(stat -c %s "$copy" 2>/dev/null || echo 0)
    echo "device_del adapter" >&"$monitor"
    pulled=$EPOCHREALTIME
}

# The guest's "@@ put-exit STATUS LAST-WORDS": what the pull left behind.
check_pulled_put() {
    local status=$1 words=$2 took copy=$work/disk-ftdi_sio/PULL.BIN size
    took=$(ms_since "$pulled")
    echo "note  ftdi_sio: the client ended $took ms after device_del, exit $status: $words"
    if [ "$status" -eq 7 ] || [ "$status" -eq 9 ]; then
        pass "ftdi_sio: pulled mid-put, the client reports an incomplete transfer or a lost port"
    else
        fail "ftdi_sio: pulled mid-put, the client exited $status (wanted 7 or 9; 124 or over 127: hung or crashed)"
    fi
    if [ "$size_at_pull" -lt "$pull_after" ] || [ "$size_at_pull" -ge "$data_size" ]; then
        fail "ftdi_sio: the adapter was not pulled mid-put (the module's copy held $size_at_pull bytes)"
    elif [ "$took" -le "$pull_limit_ms" ]; then
        pass "ftdi_sio: pulled mid-put, the client ends within $pull_limit_ms ms"
    else
        fail "ftdi_sio: pulled mid-put, the client took $took ms to end (limit $pull_limit_ms ms)"
    fi
    size=$(stat -c %s "$copy" 2>/dev/null || echo 0)
    if [ "$size" -gt 0 ] && [ "$size" -lt "$data_size" ] && cmp -s -n "$size" "$copy" "$work/data.bin"; then
        pass "ftdi_sio: pulled mid-put, the module's file holds a prefix of the data ($size bytes)"
    else
        fail "ftdi_sio: pulled mid-put, the module's file is not a prefix of the data ($size of $data_size bytes)"
    fi
}

# The guest's console is its first UART: between the guest's two markers,
# while its client searched and ran a command without --port, nothing may
# have reached it (a frame would show as bytes before the second marker).
check_console_quiet() {
    local between
    between=$(tr -d '\r' <"$work/console.log" |
        awk '/@@ console-quiet-end/ { sub(/@@ console-quiet-end.*/, ""); printf "%s", $0; exit }
             on { print } /@@ console-quiet-begin/ { on = 1 }' | wc -c)
    if [ "$between" -eq 0 ]; then
        pass "console: nothing reached the kernel's console while the client ran"
    else
        fail "console: $between bytes reached the kernel's console while the client ran"
    fi
}

while :; do
    if ! IFS= read -r -t 1 -u "$console" line; then
        if ! kill -0 "$qemu" 2>/dev/null; then
            fail "QEMU ended before the guest was done: $(tail -n 3 "$work/qemu.log" | tr '\n' ' ')"
            break
        fi
        if [ "$(ms_since "$started")" -gt $((guest_limit_s * 1000)) ]; then
            fail "the guest was not done within $guest_limit_s s"
            break
        fi
        continue
    fi
    line=${line%$'\r'}
    case $line in
        "@@ pass "*) pass "${line#@@ pass }" ;;
        "@@ fail "*) fail "${line#@@ fail }" ;;
        "@@ note "*) echo "note  ${line#@@ note }" ;;
        *"@@ console-quiet-end") check_console_quiet ;;
        "@@ booted") echo "note  the guest booted in $(ms_since "$started") ms" ;;
        "@@ pull-now") pull_adapter ;;
        "@@ put-exit "*)
            words=${line#@@ put-exit }
            check_pulled_put "${words%% *}" "${words#* }"
            ;;
        "@@ plug-now") echo "device_add usb-serial,chardev=ftdi,id=adapter,bus=xhci.0" >&"$monitor" ;;
        "@@ done") done_seen=true; break ;;
    esac
done

if $done_seen; then
    for driver in ftdi_sio 8250; do
        if cmp -s "$work/disk-$driver/BIG.BIN" "$work/data.bin"; then
            pass "$driver: the module's copy of the $data_size bytes equals the data"
        else
            fail "$driver: the module's copy of the $data_size bytes differs from the data"
        fi
    done
    for _ in $(seq 100); do kill -0 "$qemu" 2>/dev/null || break; sleep 0.1; done
fi
echo "vm: $(ms_since "$started") ms from boot to the end of the checks"
echo "vm: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && $done_seen
