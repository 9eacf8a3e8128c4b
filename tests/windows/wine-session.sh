#!/bin/bash
# start DIR: a display (Xvfb) and a persistent wineserver for one test run,
# on the prefix DIR/prefix, made on first use. stop DIR: ends both.
set -u
action=$1
wine_dir=$(realpath -m "$2")
export WINEPREFIX="$wine_dir/prefix" WINEDEBUG=-all
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

stop() {
    "$wineserver" -k >/dev/null 2>&1
    "$wineserver" -w >/dev/null 2>&1
    if [ -f "$wine_dir/xvfb.pid" ]; then
        kill "$(cat "$wine_dir/xvfb.pid")" >/dev/null 2>&1
        rm -f "$wine_dir/xvfb.pid" "$wine_dir/display"
    fi
    return 0
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
    export DISPLAY=":$display"
    setsid "$wineserver" -p </dev/null >/dev/null 2>&1 &
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "making the Wine prefix $WINEPREFIX (the first time takes a while)"
        # No Mono or Gecko: their installers would wait for a click.
        WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot -i </dev/null >/dev/null 2>&1
    fi
    # Without a window manager a message box takes seconds to close unless
    # Wine manages its own windows.
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
    echo "Xvfb on :$display, wineserver on $WINEPREFIX"
}

case "$action" in
    start) start ;;
    stop) stop ;;
    *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
