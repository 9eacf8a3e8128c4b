#!/bin/bash
# The Wine side of one test run, on the 64-bit prefix DIR/prefix:
#   prefix ARCH DIR  makes the prefix once (for i686, with its 32-bit half)
#   start ARCH DIR   a display (Xvfb), a persistent wineserver and the
#                    prefix's services, for the whole run
#   stop ARCH DIR    ends them
# ARCH is x86_64 or i686: i686 programs run on the 32-bit loader under qemu.
set -u
action=$1
arch=$2
wine_dir=$(realpath -m "$3")
export WINEPREFIX="$wine_dir/prefix" WINEDEBUG=-all
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
wow64_ready="$WINEPREFIX/varnex-wow64-ready"

stop() {
    "$wineserver" -k >/dev/null 2>&1
    "$wineserver" -w >/dev/null 2>&1
    if [ -f "$wine_dir/xvfb.pid" ]; then
        kill "$(cat "$wine_dir/xvfb.pid")" >/dev/null 2>&1
        rm -f "$wine_dir/xvfb.pid" "$wine_dir/display"
    fi
    return 0
}

# Wine's services and background processes inherit open pipes and can hold
# a reader for minutes: their output goes to a file.
log="$wine_dir/session.log"

make_prefix() {
    stop
    mkdir -p "$wine_dir"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "making the Wine prefix $WINEPREFIX (the first time takes a while)"
        # No Mono or Gecko: their installers would wait for a click.
        WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=" "$wine64" wineboot -i </dev/null >>"$log" 2>&1
        "$wineserver" -w
    fi
    # Without a window manager a message box takes seconds to close unless
    # Wine manages its own windows.
    "$wine64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >>"$log" 2>&1
    if [ "$arch" = i686 ] && [ ! -f "$wow64_ready" ]; then
        # A 32-bit prefix is slow and its services crash under emulation; the
        # 64-bit one gets the 32-bit system DLLs and their registry instead.
        echo "adding the 32-bit system to $WINEPREFIX"
        cp /usr/lib/i386-linux-gnu/wine/i386-windows/* "$WINEPREFIX/drive_c/windows/syswow64/" || return 1
        WINELOADERNOEXEC=1 WINEDLLOVERRIDES="winedbg.exe=d" qemu-i386-static /usr/lib/wine/wine \
            'C:\windows\syswow64\rundll32.exe' setupapi,InstallHinfSection Wow64Install 128 \
            '\\?\unix/usr/share/wine/wine.inf' </dev/null >>"$log" 2>&1 || return 1
        touch "$wow64_ready"
    fi
    "$wineserver" -w
    echo "prefix ready: $WINEPREFIX ($arch)"
}

start() {
    stop
    mkdir -p "$wine_dir"
    local display=90
    while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
        display=$((display + 1))
    done
    setsid Xvfb ":$display" -nolisten tcp -screen 0 1024x768x24 </dev/null >/dev/null 2>&1 &
    echo $! >"$wine_dir/xvfb.pid"
    for _ in $(seq 100); do
        [ -e "/tmp/.X11-unix/X$display" ] && break
        sleep 0.1
    done
    [ -e "/tmp/.X11-unix/X$display" ] || { echo "Xvfb did not start on :$display" >&2; return 1; }
    echo ":$display" >"$wine_dir/display"
    # The wineserver must know the display: one started without it makes
    # MessageBoxA return -1 at once.
    export DISPLAY=":$display"
    # In the foreground: wineserver detaches itself once its socket is up. Had
    # the wineboot below come first, it would have started a server of its own
    # that ends with it, and every test program would start one again (about
    # 3 s each, pipes held open).
    "$wineserver" -p </dev/null >/dev/null 2>&1 || { echo "no wineserver for $WINEPREFIX" >&2; return 1; }
    # The prefix's services start once here, natively, not in the first test.
    "$wine64" wineboot </dev/null >>"$log" 2>&1
    echo "Xvfb on :$display, wineserver on $WINEPREFIX"
}

case "$action" in
    prefix) make_prefix ;;
    start) start ;;
    stop) stop ;;
    *) echo "usage: $0 prefix|start|stop x86_64|i686 DIR" >&2; exit 2 ;;
esac
