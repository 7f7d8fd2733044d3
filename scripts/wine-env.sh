# Source this file: helpers to run Hourwarden and its tests under Wine on an X server.
#   hw_start_xvfb          start a private Xvfb on a free display and export DISPLAY
#   hw_make_prefix DIR [FACE]
#                          create (once) and configure a Wine prefix in DIR, export WINEPREFIX;
#                          FACE (default DejaVu Sans) is the host font that stands in for Segoe UI
#   hw_cleanup             end this shell's wineserver and Xvfb (and nothing else)
#   hw_own_prefix NAME [FACE]
#                          make a throwaway prefix /tmp/NAME.XXXXXX (path in HW_OWN_PREFIX) as
#                          hw_make_prefix does, on a private Xvfb when there is no DISPLAY or
#                          HOURWARDEN_OWN_DISPLAY is set (tests that run alongside others must
#                          not see their windows on the screen)
#   hw_drop_own_prefix     end only that prefix's wineserver, remove it, stop that private Xvfb

hw_start_xvfb() {
    local fifo pid display
    fifo=$(mktemp -u /tmp/hw-xvfb.XXXXXX)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    pid=$!
    read -r -t 30 display <"$fifo"
    rm -f "$fifo"
    if [ -z "$display" ]; then
        echo "Xvfb did not start" >&2
        return 1
    fi
    export HW_XVFB_PID=$pid
    export DISPLAY=":$display"
}

hw_make_prefix() {
    local dir=$1
    local face=${2:-DejaVu Sans}
    export WINEPREFIX=$dir
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEDEBUG=-all
    if [ ! -f "$dir/.hourwarden-ready" ]; then
        mkdir -p "$dir"
        wineboot -i >/dev/null 2>&1
        wineserver -w
        # No window manager on Xvfb: unmanaged windows avoid 2-second stalls.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        # DirectWrite sees only the host's fonts.
        wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Segoe UI' /d "$face" /f >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Segoe UI Semibold' /d "$face" /f >/dev/null 2>&1
        # A crash ends the process instead of waiting on a dialog.
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
        wineserver -w
        touch "$dir/.hourwarden-ready"
    fi
}

hw_cleanup() {
    if [ -n "${WINEPREFIX:-}" ]; then
        wineserver -k >/dev/null 2>&1 || true
    fi
    if [ -n "${HW_XVFB_PID:-}" ]; then
        kill "$HW_XVFB_PID" 2>/dev/null || true
        unset HW_XVFB_PID
    fi
}

hw_own_prefix() {
    HW_OWN_PREFIX=$(mktemp -d "/tmp/$1.XXXXXX") || return 1
    if [ -z "${DISPLAY:-}" ] || [ -n "${HOURWARDEN_OWN_DISPLAY:-}" ]; then
        hw_start_xvfb || return 1
        HW_OWN_XVFB=$HW_XVFB_PID
    fi
    hw_make_prefix "$HW_OWN_PREFIX" "${2:-DejaVu Sans}"
}

hw_drop_own_prefix() {
    if [ -n "${HW_OWN_PREFIX:-}" ]; then
        WINEPREFIX="$HW_OWN_PREFIX" wineserver -k >/dev/null 2>&1
        WINEPREFIX="$HW_OWN_PREFIX" wineserver -w >/dev/null 2>&1
        rm -rf "$HW_OWN_PREFIX"
    fi
    if [ -n "${HW_OWN_XVFB:-}" ]; then
        kill "$HW_OWN_XVFB" 2>/dev/null
    fi
    return 0
}
