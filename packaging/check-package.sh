#!/usr/bin/env bash
# Builds the .deb from a finished build and checks it: lintian, the files
# and their modes, the control data, changelog and maintainer scripts, the
# unit as systemd reads it (systemd-analyze verify and its sandboxing
# score), make-device-description, the man pages, and the integrator header
# compiled as C from the package. Also checks that a hand install under
# another prefix names that prefix in the unit and the script.
# Usage: check-package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
deb=$(ls "$work"/out/vbdserver_*.deb)
echo "package: $(basename "$deb")"

# Debian's own checks, errors and warnings (as root it says it would rather
# not run as root: that line is not a finding).
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1 ||
    fail "lintian: $(grep -v 'running with root privileges' "$work/lintian")"
else
  fail "lintian not installed"
fi

# Files and modes.
dpkg-deb -c "$deb" | awk '{print $1, $6}' >"$work/list"
expect() {  # mode-prefix path
  grep -qx -- "$1[^ ]* \\./$2" "$work/list" || fail "missing $2 (mode $1)"
}
expect -rwxr-xr-x usr/sbin/vBdServer
expect -rwxr-xr-x usr/bin/vbdctl
expect -rwxr-xr-x usr/bin/vbd-player-sim
expect -rw-r--r-- usr/include/vbd/player_link.h
expect -rw-r--r-- usr/share/vbdserver/description.xml
expect -rw-r--r-- usr/share/vbdserver/description/icon48.png
expect -rw-r--r-- usr/share/vbdserver/description/icon120.png
expect -rw-r--r-- usr/lib/systemd/system/vbdserver.service
expect -rw-r--r-- usr/lib/sysusers.d/vbdserver.conf
expect -rwxr-xr-x usr/lib/vbdserver/make-device-description
expect -rw-r--r-- usr/share/man/man8/vBdServer.8.gz
expect -rw-r--r-- usr/share/man/man1/vbdctl.1.gz
expect -rw-r--r-- usr/share/man/man1/vbd-player-sim.1.gz
expect -rw-r--r-- usr/share/doc/vbdserver/README.md
expect -rw-r--r-- usr/share/doc/vbdserver/copyright
expect -rw-r--r-- usr/share/doc/vbdserver/changelog.gz
expect -rw-r--r-- usr/share/bash-completion/completions/vbdctl
expect -rw-r--r-- "usr/lib/[^/]*/wireshark/plugins/vbd_control.lua"
if grep -q '\./etc/' "$work/list"; then
  fail "files in /etc: the postinst makes /etc/vbdserver, the package ships none"
fi
if grep -Eq '(test|gtest|harness|fuzz|bench)' "$work/list"; then
  fail "test or development files in the package: $(grep -E '(test|gtest|harness|fuzz|bench)' "$work/list")"
fi

# Control data and maintainer scripts.
dpkg-deb -f "$deb" Package Architecture Depends Section Version >"$work/control"
grep -qx 'Package: vbdserver' "$work/control" || fail "package name"
grep -q '^Depends:.*libc6' "$work/control" || fail "no libc6 dependency"
arch=$(dpkg-deb -f "$deb" Architecture)
version=$(dpkg-deb -f "$deb" Version)
file_arch=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/sbin/vBdServer | file -b - 2>/dev/null || true)
echo "architecture: $arch ($file_arch)"
dpkg-deb -e "$deb" "$work/control.d"
for script in postinst prerm postrm; do
  [ -x "$work/control.d/$script" ] || fail "maintainer script $script missing or not executable"
  sh -n "$work/control.d/$script" || fail "maintainer script $script does not parse"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"
# vbdctl's prompt links libedit when the build found it: then the package
# must depend on it.
if readelf -d "$root/usr/bin/vbdctl" 2>/dev/null | grep -q 'libedit\.so'; then
  grep -q '^Depends:.*libedit2' "$work/control" || fail "vbdctl links libedit, Depends lacks libedit2"
fi
# The changelog's newest entry is the package's version (a release that
# forgot its changelog entry fails here).
head=$(zcat "$root/usr/share/doc/vbdserver/changelog.gz" | head -1)
[[ $head == "vbdserver ($version) "* ]] || fail "changelog's newest entry is not $version: $head"

# make-device-description, run twice into one folder: the first run makes
# the sample with a new well-formed uuid for each UDN (the rest unchanged)
# and the icon link; the second leaves the file as it is.
sample="$root/usr/share/vbdserver"
device="$work/device"
"$root/usr/lib/vbdserver/make-device-description" "$device" "$sample" || fail "make-device-description"
udns() { sed -n 's|.*<UDN>\(.*\)</UDN>.*|\1|p' "$1"; }
new_udns=$(udns "$device/description.xml" 2>/dev/null || true)
old_udns=$(udns "$sample/description.xml")
uuid='uuid:[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}'
if [ "$(echo "$new_udns" | grep -Ecx "$uuid")" != "$(echo "$old_udns" | wc -l)" ] ||
  [ "$(echo "$new_udns" | sort -u | wc -l)" != "$(echo "$old_udns" | wc -l)" ] ||
  echo "$new_udns" | grep -Fxq -f <(echo "$old_udns"); then
  fail "made UDNs are not new, distinct, well-formed uuids: $(echo "$new_udns" | tr '\n' ' ')"
fi
diff <(grep -v '<UDN>' "$sample/description.xml") <(grep -v '<UDN>' "$device/description.xml") >/dev/null ||
  fail "made description differs from the sample beyond the UDNs"
cmp -s "$device/description/icon48.png" "$sample/description/icon48.png" ||
  fail "no icons through $device/description"
cp -p "$device/description.xml" "$work/first.xml"
"$root/usr/lib/vbdserver/make-device-description" "$device" "$sample" || fail "make-device-description, second run"
cmp -s "$work/first.xml" "$device/description.xml" || fail "second run changed description.xml"

# The unit as systemd reads it, with the package's files in an alternate
# root beside the host's own units (for the targets the unit depends on).
unit="$root/usr/lib/systemd/system/vbdserver.service"
grep -qx 'ExecStart=/usr/sbin/vBdServer' "$unit" || fail "ExecStart: $(grep ExecStart= "$unit")"
grep -qx 'WorkingDirectory=/etc/vbdserver' "$unit" || fail "WorkingDirectory: $(grep WorkingDirectory= "$unit")"
grep -qx 'KillSignal=SIGINT' "$unit" || fail "the daemon must be stopped with SIGINT"
grep -qx 'Restart=on-failure' "$unit" || fail "no restart on failure"
grep -qx 'StartLimitIntervalSec=60' "$unit" && grep -qx 'StartLimitBurst=5' "$unit" ||
  fail "a failing start must end in failed state (StartLimitIntervalSec=60, StartLimitBurst=5)"
grep -Eq '^(PrivateIPC=yes|DynamicUser=yes|RemoveIPC=yes)' "$unit" && fail "the unit cuts the daemon off the player's queue"
grep -qx 'RemoveIPC=no' "$unit" || fail "RemoveIPC=no missing"
if command -v systemd-analyze >/dev/null; then
  cp -an /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/" 2>/dev/null || true
  if ! systemd-analyze verify --man=no --generators=no --root="$root" vbdserver.service >"$work/verify" 2>&1 ||
    [ -s "$work/verify" ]; then
    fail "systemd-analyze verify: $(cat "$work/verify")"
  fi
  if ! systemd-analyze security --offline=true --root="$root" --threshold=25 vbdserver.service \
    >"$work/security" 2>&1; then
    fail "sandboxing exposure above 2.5: $(tail -1 "$work/security")"
  fi
  echo "$(tail -1 "$work/security")"
else
  fail "systemd-analyze not installed"
fi

# Man pages: valid gzip, and roff that renders without warnings.
for page in man8/vBdServer.8 man1/vbdctl.1 man1/vbd-player-sim.1; do
  gz="$root/usr/share/man/$page.gz"
  gzip -t "$gz" || fail "$page.gz is not gzip"
  if command -v groff >/dev/null; then
    warnings=$(zcat "$gz" | groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$page: $warnings"
  fi
done

# The integrator header as C11 and C++ from the package's include folder.
cat >"$work/use.c" <<'EOF'
#include <string.h>
#include <vbd/player_link.h>
int main(void) {
  struct vbd_player_msg m;
  memset(&m, 0, sizeof m);
  m.cmd_type = VBD_MSG_NORMAL;
  m.ret.ret_id = VBD_RET_OK;
  return m.standby_mode + (int)sizeof(struct vbd_player_ret) - 44;
}
EOF
cc -std=c11 -pedantic-errors -Wall -Wextra -Werror -I "$root/usr/include" -c "$work/use.c" -o "$work/use.o" ||
  fail "header does not compile as C11"
c++ -std=c++11 -Wall -Wextra -Werror -I "$root/usr/include" -x c++ -c "$work/use.c" -o "$work/use2.o" ||
  fail "header does not compile as C++11"

# A hand install elsewhere names its own prefix, and its configuration
# folder as GNUInstallDirs places it for /opt (/etc/opt/vbd).
DESTDIR="$work/stage" cmake --install "$build" --prefix /opt/vbd >/dev/null
hand_unit="$work/stage/opt/vbd/lib/systemd/system/vbdserver.service"
grep -qx 'ExecStart=/opt/vbd/sbin/vBdServer' "$hand_unit" || fail "hand install: unit does not name /opt/vbd"
grep -qx 'WorkingDirectory=/etc/opt/vbd/vbdserver' "$hand_unit" ||
  fail "hand install: $(grep WorkingDirectory= "$hand_unit")"
grep -qF 'sample=${2:-/opt/vbd/share/vbdserver}' "$work/stage/opt/vbd/lib/vbdserver/make-device-description" ||
  fail "hand install: make-device-description does not take the sample from /opt/vbd/share/vbdserver"
[ -x "$work/stage/opt/vbd/bin/vbdctl" ] || fail "hand install: no bin/vbdctl"

if ((failures)); then
  echo "check-package: $failures failure(s)"
  exit 1
fi
echo "check-package: all checks passed"
