# Sourced by the harness scripts: the environment every Wine process of the
# test bench gets. VANTA_BUILD_DIR must name the build tree (ctest sets it).
: "${VANTA_BUILD_DIR:?VANTA_BUILD_DIR is not set}"
export WINEPREFIX="$VANTA_BUILD_DIR/wineprefix"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=ja_JP.UTF-8
