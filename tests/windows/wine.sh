#!/usr/bin/env bash
# Runs a Windows program of the tests under Wine, cut off from the machine it runs on:
#   - the Wine prefix is $WINEPREFIX when the caller set one (scripts/test.sh makes a
#     temporary one), else a prefix of the tests' own, never the user's ~/.wine;
#   - no sound server is reachable but the PulseAudio server that WAKELET_PULSE_SERVER
#     names (a test's private one); Wine's ALSA driver runs only when WAKELET_ALSA_CONFIG
#     names an ALSA configuration, and then sees nothing else, so by default there is no
#     audio device at all;
#   - Wine's own diagnostics stay off standard error, and no window opens.
set -euo pipefail
export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/wakelet/wine-prefix}"
audio="$WINEPREFIX/wakelet-audio"
mkdir -p "$audio"
export PULSE_SERVER="${WAKELET_PULSE_SERVER:-unix:$audio/no-such-server}" XDG_RUNTIME_DIR="$audio"
unset PULSE_COOKIE PIPEWIRE_REMOTE DISPLAY WAYLAND_DISPLAY
# No Gecko or Mono prompts, and no menu entries or file associations made on the host for
# shortcuts that an installer creates in the prefix.
overrides="mscoree,mshtml=;winemenubuilder.exe=d"
if [ -n "${WAKELET_ALSA_CONFIG:-}" ]; then
    export ALSA_CONFIG_PATH="$WAKELET_ALSA_CONFIG"
else
    export ALSA_CONFIG_PATH=/dev/null
    overrides+=";winealsa.drv=d"  # else libasound reports the missing device on standard error
fi
export WINEDEBUG=-all WINEDLLOVERRIDES="$overrides"
exec "${WAKELET_WINE:-/usr/lib/wine/wine64}" "$@"
