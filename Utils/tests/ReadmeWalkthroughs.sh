#!/bin/bash
# Runs the README's three tool walk-throughs (Hookfitter, Setupdeck, the
# Startwarden launcher entry) word for word in a fresh folder, then checks that
# they give what the README says they give.
#   ReadmeWalkthroughs.sh README.md BUILD_DIR
set -u
readme=$1
build=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-readme-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/build"
ln -s "$build" "$work/build/default"

# The indented command blocks from the Hookfitter walk-through to the notes
# for script authors; each block is announced by an "@@ block N" line.
awk '/^Installing a filter driver with `Hookfitter`/ { on = 1 }
     /^For script authors/ { on = 0 }
     on && /^    / { if (!inblock) print "echo \"@@ block " ++n "\""; inblock = 1
                     sub(/^    /, ""); print; next }
     on && NF > 0 { inblock = 0 }' "$readme" > "$work/walk.sh"
blocks=$(grep -c '^echo "@@ block' "$work/walk.sh")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
[ "$blocks" -eq 3 ] || fail "expected the 3 command blocks of the walk-throughs, found $blocks"

cd "$work"
bash walk.sh > out.txt 2>&1
M=$work/hook-machine
block() { awk -v b="@@ block $1" '$0 == b { on = 1; next } /^@@ block / { on = 0 } on' out.txt; }
camera='stack USB\VID_2A1C&PID_0C41&MI_01\6&2F1A33&0&0001: KpSimAudio > Echowell'
card='stack PCI\VEN_8086&DEV_293E&SUBSYS_02841028\3&21436425&0&D8: KpSimAudio > Echowell'

# Hookfitter: exit code 1, then both stacks with Echowell.
block 1 | grep -qx '1' || fail "Hookfitter did not exit with 1"
block 1 | grep -qxF "$camera" || fail "block 1: no Echowell on the camera"
block 1 | grep -qxF "$card" || fail "block 1: no Echowell on the sound card"
# Setupdeck: the log, the record, the stacks, and the uninstall's rundll32.
block 2 | grep -q '\] - Performing installation for camera\.' || fail "no Setupdeck log"
block 2 | grep -q '\] - LaunchCmdline::Launching C:\\Program Files\\Korvane\\Hookfitter.exe -i' ||
    fail "the log does not show Hookfitter launched"
block 2 | grep -q '<CAMERA Inf="camera.inf">' || fail "no product CAMERA in the record"
block 2 | grep -q '<unhook><!\[CDATA\[launch#C:\\Program Files\\Korvane\\Hookfitter.exe,-u ' ||
    fail "no undo command in the record"
block 2 | grep -qxF "$camera" || fail "block 2: no Echowell on the camera"
grep -qF 'double	C:\\WINDOWS\\system32\\rundll32.exe	setupapi,InstallHinfSection DefaultUninstall 132 C:\\WINDOWS\\inf\\camera.inf' \
    "$M/journal.log" || fail "the uninstall did not run rundll32.exe on camera.inf"
# No kssim run found anything to refuse or to write over.
grep -E '^kssim: .*(written again|changed after|failed|cannot)' out.txt && fail "kssim complained"

# Startwarden: its service runs helper.exe /x, deletes the entry, removes itself.
for _ in $(seq 600); do
    grep -qF 'double	C:\\Program Files\\Korvane\\helper.exe	/x' "$M/journal.log" &&
        ! grep -qi 'ZVSrvLauncher\]' "$M/registry.reg" && break
    sleep 0.1
done
grep -qF 'double	C:\\Program Files\\Korvane\\helper.exe	/x' "$M/journal.log" ||
    fail "the launcher entry did not run helper.exe /x"
grep -qi 'launcherservices\\helper\]' "$M/registry.reg" && fail "the launcher entry is still there"
grep -qi 'Services\\ZVSrvLauncher\]' "$M/registry.reg" && fail "the service did not remove itself"

if [ "$failures" -ne 0 ]; then
    echo "--- what the walk-throughs printed:"
    cat out.txt
    exit 1
fi
echo "the README's tool walk-throughs give what it says"
