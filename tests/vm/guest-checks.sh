# The checks, run in the guest by its init against two simulators on the
# host: one behind QEMU's FTDI USB adapter (ftdi_sio, /dev/ttyUSB0), one
# behind its second 16550 UART (8250, /dev/ttyS1). Both modules start at
# 115200 bit/s. Each result is one console line: "@@ pass NAME" or
# "@@ fail NAME: DETAIL"; "@@ note" lines carry figures. The host pulls and
# plugs the adapter when asked with "@@ pull-now" and "@@ plug-now".
data=/data/big.bin
size=$(wc -c <$data)
absent=/dev/ttyNONE
# COM1's default is the console's port: keep every run of the client off it.
export TOVREL_COM1=$absent TOVREL_COM2=$absent

pass() { echo "@@ pass $*"; }
fail() { echo "@@ fail $*"; }
note() { echo "@@ note $*"; }

# cli ARGS...: runs the client, bounded; its words in $out, its status in $rc.
cli() {
    out=$(timeout 60 tovrel-cli "$@" 2>&1 </dev/null)
    rc=$?
}

# check NAME TEST...: reports whether TEST holds, with the last words if not.
check() {
    local what=$1
    shift
    if "$@"; then
        pass "$what"
    else
        fail "$what: exit $rc: $(printf '%s' "$out" | tail -n 3 | tr '\n' '|')"
    fi
}

ok_with_line() { [ "$rc" -eq 0 ] && printf '%s\n' "$out" | grep -qx -- "$1"; }
ok_with_match() { [ "$rc" -eq 0 ] && printf '%s\n' "$out" | grep -q -- "$1"; }
ok_without_match() { [ "$rc" -eq 0 ] && ! printf '%s\n' "$out" | grep -q -- "$1"; }
ok_and_same_as_data() { [ "$rc" -eq 0 ] && cmp -s "$data" "$1"; }
no_answer_within() { [ "$rc" -eq 3 ] && [ "$took" -le "$1" ]; }
refused_naming() { [ "$rc" -eq 5 ] && printf '%s\n' "$out" | grep -qw -- "$1"; }
exited_ok() { [ "$rc" -eq 0 ]; }
failed_saying() { [ "$rc" -eq "$1" ] && printf '%s\n' "$out" | grep -q -- "$2"; }
used_and_as_found() { [ "$rc" -eq 0 ] && [ "$before" = "$after" ]; }
taken_and_gone() { [ "$rc" -eq 0 ] && [ ! -e "$1" ]; }

ms_now() { awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime; }

# wait_for present|absent PATH SECONDS
wait_for() {
    local tries=$(($3 * 10))
    while [ $tries -gt 0 ]; do
        if [ -e "$2" ]; then [ "$1" = present ] && return 0; else [ "$1" = absent ] && return 0; fi
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

# wait_for_lines COUNT LINE FILE SECONDS: until FILE holds LINE COUNT times.
wait_for_lines() {
    local tries=$(($4 * 10))
    while [ $tries -gt 0 ]; do
        [ "$(grep -cx -- "$2" "$3")" -ge "$1" ] && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

# Info, 100 KiB both ways, rate changes and the search, on one driver.
exchange_checks() {  # exchange_checks DRIVER DEVICE
    d=$1
    dev=$2
    cli --port "$dev" --baud 115200 info
    check "$d: info at 115200" ok_with_line 'rate: 115200'

    cli --port "$dev" --baud 115200 put "$data" BIG.BIN
    check "$d: put of $size bytes at 115200" ok_with_line "put: $size bytes to BIG.BIN"
    cli --port "$dev" --baud 115200 get BIG.BIN "/tmp/$d.bin"
    check "$d: get of $size bytes at 115200, equal byte for byte" ok_and_same_as_data "/tmp/$d.bin"

    cli --port "$dev" --baud 115200 set --rate 9600
    check "$d: set --rate 9600 at 115200" ok_with_match '^set: rate 9600,'
    cli --port "$dev" --baud 9600 info
    check "$d: info at 9600 after the change" ok_with_line 'rate: 9600'
    start=$(ms_now)
    cli --port "$dev" --baud 115200 info
    took=$(($(ms_now) - start))
    check "$d: no answer at 115200 while the module is at 9600, within 5 s" no_answer_within 5000
    note "$d: no answer after $took ms"

    (
        export TOVREL_COM2="$dev"
        cli --port 2 search
        check "$d: search with COM1 absent finds COM2 at 9600" ok_with_line 'found: COM2 at 9600 bit/s'
    )
    (
        export TOVREL_COM1="$dev"
        cli --port 1 search
        check "$d: search with COM1 the port finds COM1 at 9600" ok_with_line 'found: COM1 at 9600 bit/s'
    )

    from=9600
    for to in 19200 38400 57600 115200; do
        cli --port "$dev" --baud $from set --rate $to
        check "$d: set --rate $to at $from" ok_with_match "^set: rate $to,"
        cli --port "$dev" --baud $to info
        check "$d: info at $to after the change" ok_with_line "rate: $to"
        from=$to
    done

    # The search goes on past COM1 and COM2 to the listed ports; the list is
    # narrowed to this port, as the console's port must not be searched.
    (
        export TOVREL_PORTS="$dev"
        cli search
        check "$d: search with COM1 and COM2 absent finds the listed $dev at 115200" \
            ok_with_line "found: $dev at 115200 bit/s"
    )
}

# While one client holds the port: its lines, its lock, and second instances.
held_port_checks() {  # held_port_checks DRIVER DEVICE
    d=$1
    dev=$2
    name=${dev##*/}
    lock=/run/lock/LCK..$name
    fifo=/tmp/$name.in
    log=/tmp/$name.held
    mkfifo "$fifo"
    tovrel-cli --port "$dev" --baud 115200 shell <"$fifo" >"$log" 2>&1 &
    holder=$!
    exec 3>"$fifo"
    echo info >&3
    if ! wait_for_lines 1 'rate: 115200' "$log" 20; then
        fail "$d: a client holding the port: no answer ($(tail -n 2 "$log" | tr '\n' '|'))"
        exec 3>&-
        kill "$holder" 2>/dev/null
        return
    fi

    out=$(modem-lines "$holder" "$dev" 2>&1)
    rc=$?
    check "$d: DTR and RTS off while the port is held" ok_with_line 'DTR off RTS off'
    if [ -e "/sys/bus/usb-serial/devices/$name/latency_timer" ]; then
        out=$(cat "/sys/bus/usb-serial/devices/$name/latency_timer")
        rc=$?
        check "$d: latency timer at 1 ms while the port is held" ok_with_line 1
    fi
    out=$(cat "$lock" 2>&1)
    rc=$?
    lock_taken=$rc
    check "$d: $lock holds the holder's PID" ok_with_line "$(printf '%10d' "$holder")"

    cli --port "$dev" --baud 115200 info
    check "$d: a second instance, as root, is refused and names the holder" refused_naming "$holder"
    chmod 0666 "$dev"
    out=$(timeout 60 su -s /bin/sh -c "tovrel-cli --port $dev --baud 115200 info" tester 2>&1 </dev/null)
    rc=$?
    chmod 0600 "$dev"
    check "$d: a second instance, not root, is refused and names the holder" refused_naming "$holder"
    out=$(modem-lines "$holder" "$dev" 2>&1)
    rc=$?
    check "$d: DTR and RTS still off after the refused instances" ok_with_line 'DTR off RTS off'

    echo info >&3
    wait_for_lines 2 'rate: 115200' "$log" 20
    rc=$?
    out=$(tail -n 3 "$log")
    check "$d: the holder still answers after the refused instances" exited_ok
    exec 3>&-
    # A process that has ended, even unreaped, has no executable left.
    if ! wait_for absent "/proc/$holder/exe" 10; then
        fail "$d: the holder did not end at the end of its input"
        kill -9 "$holder"
    fi
    wait "$holder"
    rc=$?
    out=$(tail -n 3 "$log")
    check "$d: the holder ends cleanly at the end of its input" exited_ok
    out="no lock file was taken"
    rc=$lock_taken
    check "$d: $lock is gone once the holder has ended" taken_and_gone "$lock"
}

# The UARTs in the client's port list: the second one as what it is, the
# ttyS entries with no UART behind them not at all, COM2's port not twice.
uart_list_checks() {
    cli ports
    check "8250: ports lists /dev/ttyS1 as a 16550" ok_with_match "^/dev/ttyS1 .*16550"
    check "8250: ports leaves out the ttyS entries without a UART" ok_without_match "^/dev/ttyS[2-9] "
    out_all=$out
    (
        export TOVREL_COM2=/dev/ttyS1
        cli ports
        check "8250: ports leaves out the port COM2 names" ok_without_match "^/dev/ttyS1 "
    )
    note "ports: $(printf '%s' "$out_all" | tr '\n' '|')"
}

# The adapter in the client's port list, then pulled mid-transfer and back.
adapter_checks() {
    d=ftdi_sio
    dev=/dev/ttyUSB0
    product=$(cat /sys/class/tty/ttyUSB0/device/../../product)
    cli ports
    check "$d: ports lists $dev with its description ($product)" ok_with_match "^$dev .*$product"
    cli --json ports
    out=$(printf '%s' "$out" | tr '\n' ' ')
    check "$d: ports --json lists $dev with its description" ok_with_match "\"$dev\".*$product"

    # The host pulls the adapter once the module's copy has grown.
    echo "@@ pull-now"
    cli --port "$dev" --baud 115200 put "$data" PULL.BIN
    echo "@@ put-exit $rc $(printf '%s' "$out" | tail -n 1)"
    wait_for absent "$dev" 10
    rc=$?
    out="$dev still there"
    check "$d: $dev is gone once the adapter is pulled" exited_ok
    cli ports
    check "$d: ports no longer lists the pulled adapter" ok_without_match "^$dev "

    echo "@@ plug-now"
    if ! wait_for present "$dev" 30; then
        fail "$d: $dev did not come back when the adapter was plugged in again"
        return
    fi
    cli --port "$dev" --baud 115200 info
    check "$d: info once the adapter is plugged back" ok_with_line 'rate: 115200'
    cli ports
    check "$d: ports lists the adapter again" ok_with_match "^$dev .*$product"
}

driver_checks() {  # driver_checks DRIVER DEVICE
    if ! wait_for present "$2" 30; then
        fail "$1: $2 did not appear"
        return
    fi
    latency=/sys/bus/usb-serial/devices/${2##*/}/latency_timer
    [ -e "$latency" ] && note "$1: latency timer $(cat "$latency") ms before any client"
    settings_checks "$1" "$2"
    exchange_checks "$1" "$2"
    held_port_checks "$1" "$2"
}

# A use of the port leaves its settings as found: a distinctive set (another
# rate, canonical mode with echo, hardware flow control, two stop bits) and,
# on the adapter, the latency timer, equal before and after.
settings_checks() {  # settings_checks DRIVER DEVICE
    d=$1
    dev=$2
    latency=/sys/bus/usb-serial/devices/${dev##*/}/latency_timer
    began=$(ms_now)
    original=$(stty -F "$dev" -g)
    stty -F "$dev" 1200 icanon echo crtscts cstopb
    before="$(stty -F "$dev" -g) $(cat "$latency" 2>/dev/null)"
    cli --port "$dev" --baud 115200 info
    after="$(stty -F "$dev" -g) $(cat "$latency" 2>/dev/null)"
    out="before $before, after $after, $out"
    check "$d: a use leaves the line settings as found" used_and_as_found
    stty -F "$dev" "$original"
    note "$d: the settings check took $(($(ms_now) - began)) ms"
}

# The kernel's console is this guest's first UART (console=ttyS0), COM1 by
# default. Neither the search nor a command without --port may open it. The
# host checks that nothing reached the console between the two markers, so
# the results are told after the second.
console_checks() {
    began=$(ms_now)
    before=$(stty -F /dev/ttyS0 -g)
    echo "@@ console-quiet-begin"
    search_out=$(env -u TOVREL_COM1 TOVREL_PORTS= timeout 60 tovrel-cli search 2>&1 </dev/null)
    search_rc=$?
    info_out=$(env -u TOVREL_COM1 timeout 60 tovrel-cli info 2>&1 </dev/null)
    info_rc=$?
    echo "@@ console-quiet-end"
    after=$(stty -F /dev/ttyS0 -g)
    out=$search_out rc=$search_rc
    check "console: search leaves COM1 out and says so" \
        failed_saying 5 "^COM1: not searched: it is the kernel's console"
    out=$info_out rc=$info_rc
    check "console: a command without --port refuses COM1" \
        failed_saying 5 "^cannot open COM1: it is the kernel's console"
    out="before $before, after $after" rc=0
    check "console: its settings are as they were" test "$before" = "$after"
    note "console: its checks took $(($(ms_now) - began)) ms"
}

# The two drivers' lines are independent: check them side by side.
driver_checks ftdi_sio /dev/ttyUSB0 &
driver_checks 8250 /dev/ttyS1 &
wait
console_checks
uart_list_checks
adapter_checks
