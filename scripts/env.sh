# Shared settings of the build and test scripts; sourced, never run.

ORVIDEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [ -z "${ORVIDEX_CACHE:-}" ]; then
    if [ "$(id -u)" = 0 ]; then ORVIDEX_CACHE=/var/cache/orvidex; else ORVIDEX_CACHE="$HOME/.cache/orvidex"; fi
fi
export ORVIDEX_CACHE

# One Windows version target for Crypto++ and our code (the headers' declarations): Windows XP.
# What the programs import is held to the floor below by scripts/check-import-versions;
# everything newer is looked up at run time.
ORVIDEX_WIN32_WINNT=0x0501
CRYPTOPP_VERSION=8.7.0

# The tree whose programs run: win64 under the machine's own Wine, win32 (the shipped i686
# build) under the Wine of the 32-bit root (scripts/i686-root), whose wine64 starts PE32 programs.
ORVIDEX_TREE=${ORVIDEX_TREE:-win64}
if [ "$ORVIDEX_TREE" = win32 ]; then
    WINE64="$ORVIDEX_ROOT/scripts/wine32"
    WINESERVER="$ORVIDEX_ROOT/scripts/wineserver32"
else
    WINE64=/usr/lib/wine/wine64
    WINESERVER=/usr/lib/wine/wineserver64
fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="
export WINEARCH=win64
export LANG=C.UTF-8 LC_ALL=C.UTF-8

export CCACHE_DIR="$ORVIDEX_CACHE/ccache"
export CCACHE_MAXSIZE=5G
# Clones at other paths (CI's fresh checkout, work trees) hit the same cache: ccache rewrites
# paths under the checkout to relative ones, and the compiler maps the checkout's path out of
# debug information and __FILE__ (see CMakeLists.txt), so the working folder need not be hashed.
export CCACHE_BASEDIR="$ORVIDEX_ROOT"
export CCACHE_NOHASHDIR=1
# ccache leaves the prefix maps out of its hash, so objects compiled before the relative form was
# mapped would come back with build-folder names in them; a namespace of their own keeps them out.
export CCACHE_NAMESPACE=relative-source-names

orvidex_jobs() { echo "${ORVIDEX_JOBS:-$(nproc 2>/dev/null || echo 2)}"; }

orvidex_triplets="i686-w64-mingw32 x86_64-w64-mingw32"

cryptopp_prefix() { echo "$ORVIDEX_CACHE/cryptopp-$CRYPTOPP_VERSION-$1-winnt$ORVIDEX_WIN32_WINNT"; }

# The oldest Windows the shipped 32-bit program loads on: NT 4.0. The toolchain's thread library
# (winpthreads) targets Vista; scripts/setup builds it again from Debian's mingw-w64 source for
# this floor (scripts/winpthreads-floor.h), and the i686 tree links that build.
ORVIDEX_FLOOR_WINNT=0x0400
# Raised whenever scripts/winpthreads-floor.h or the way it is built changes.
winpthreads_floor_rev=1
mingw_w64_version() { dpkg-query -W -f='${Version}' mingw-w64-i686-dev 2>/dev/null; }
winpthreads_floor_prefix() {
    echo "$ORVIDEX_CACHE/winpthreads-$(mingw_w64_version)-i686-winnt$ORVIDEX_FLOOR_WINNT-r$winpthreads_floor_rev"
}

# The template prefixes' revision, raised whenever their settings (scripts/setup) change: a
# prepared machine then makes the new ones beside the old.
orvidex_template_rev=2
# The i686 template's place inside its root (scripts/i686-root).
i686_template() { echo "/var/lib/orvidex-template-r$orvidex_template_rev"; }

wine_template_prefix() {
    if [ "$ORVIDEX_TREE" = win32 ]; then echo "$(i686_root)$(i686_template)"; return; fi
    local ver
    ver=$("$WINE64" --version 2>/dev/null | tr -c 'A-Za-z0-9.\n' '_')
    echo "$ORVIDEX_CACHE/wine-template-$ver-r$orvidex_template_rev"
}

# Debian's dante-server and tinyproxy-bin unpacked (scripts/setup), for the proxy tests.
proxy_peers_dir() { echo "$ORVIDEX_CACHE/proxy-peers"; }

# The Debian 12 root in which the i686 build's programs run (scripts/i686-root).
i686_root() { echo "$ORVIDEX_CACHE/i686-root-bookworm"; }
# What each scripts/test run takes on 32 bits, where every program is emulated: the fault
# translation (with and without vectored handlers), the C runtime functions the program brings,
# the installation's success and fault roads (faults inside the runtime and the system
# included), the installation as Windows NT 4.0, 2000, XP and Server 2003, the steps' unit tests (a 32-bit program's registry view) and the control library's
# (floating point and drawing).
# ORVIDEX_I686_ALL=1 takes every test of the i686 tree.
orvidex_i686_programs="foundation_fault_tests foundation_fault_tests_after_frames foundation_runtime_floor_tests installer_steps_tests installer_control_library_tests OrvidexInstallerFaults"
orvidex_i686_tests='^(foundation_fault_tests(_after_frames)?|foundation_runtime_floor_tests|installer_steps(_[0-9]+|_tests)?|installer_control_library_tests|installer_fault_rollback|installer_old_windows(_[0-9]+)?)$'
orvidex_i686_cases="test_success test_force_passes test_undeletable_objects_are_scheduled_for_restart test_faults_roll_back OldWindows"
