# Sourced by the harness scripts: the environment every Wine process of the
# test bench gets. VANTA_BUILD_DIR must name the build tree (ctest sets it).
: "${VANTA_BUILD_DIR:?VANTA_BUILD_DIR is not set}"
# Tests run in two slots side by side, each in a Wine prefix and session of
# its own (VANTA_SLOT 1 or 2; slot 1's prefix is "wineprefix").
VANTA_SLOTS="1 2"
slot_prefix() { echo "$VANTA_BUILD_DIR/wineprefix${1#1}"; }
export WINEPREFIX="$(slot_prefix "${VANTA_SLOT:-1}")"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# the Japanese code page (932); the English tests ask for en_US.UTF-8 (1252)
export LC_ALL="${VANTA_LC_ALL:-ja_JP.UTF-8}"
