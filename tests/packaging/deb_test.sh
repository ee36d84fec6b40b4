#!/usr/bin/env bash
# deb_package_test: builds the Debian packages from this build tree with
# CPack, checks them with dpkg-deb and lintian, installs them with dpkg into a
# throw-away root and runs the installed programs there, as root and as an
# unprivileged uid.
#
# The throw-away root: a folder with its own dpkg database, holding copies of
# the shared libraries the packaged programs load (taken from this machine,
# which has the packages' dependencies installed) and of the few tools the
# maintainer scripts call. dpkg --root unpacks into it and runs the
# maintainer scripts chrooted into it, so postinst creates the group and the
# certificate folder and grants the capability there, not on this machine.
# No container and no network are needed.
#   deb_test.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "needs root (dpkg --root, chroot, capabilities): skipped"
  exit 77
fi
for tool in cpack dpkg dpkg-deb lintian chroot getcap readelf ldd; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

work=$(mktemp -d /tmp/teliox-deb-test.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"

# --- 1. The packages ---------------------------------------------------------
if ! (cd "$build" && cpack -G DEB -B "$work/packages") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "FAIL: cpack -G DEB" >&2
  exit 1
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
arch=$(dpkg --print-architecture)
teliox=$work/packages/teliox_${version}-1_${arch}.deb
lib=$work/packages/libhalvex3_${version}-1_${arch}.deb
dev=$work/packages/libhalvex-dev_${version}-1_${arch}.deb
for deb in "$teliox" "$lib" "$dev"; do
  [ -f "$deb" ] || { echo "FAIL: not built: $deb ($(ls "$work/packages"))" >&2; exit 1; }
done

# --- 2. Their contents and control data --------------------------------------
# has_files DEB PATH...: every PATH is in the package.
has_files() {
  local deb=$1; shift
  local list
  list=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
  for f in "$@"; do
    grep -qx -- "$f" <<<"$list" || fail "$(basename "$deb") lacks $f"
  done
}
has_files "$teliox" /usr/bin/teliox /usr/bin/teliox-cli /usr/share/teliox/Manual.html \
  /usr/share/applications/teliox.desktop /usr/share/icons/hicolor/scalable/apps/teliox.svg \
  /usr/share/metainfo/com.zyrk.teliox.metainfo.xml /usr/share/man/man1/teliox.1.gz \
  /usr/share/man/man1/teliox-cli.1.gz /usr/share/bash-completion/completions/teliox-cli \
  /usr/share/doc/teliox/copyright /usr/share/doc/teliox/changelog.Debian.gz
has_files "$lib" "/usr/lib/$multiarch/libhalvex.so.3" "/usr/lib/$multiarch/libhalvex.so.$version" \
  /usr/share/doc/libhalvex3/copyright
has_files "$dev" "/usr/lib/$multiarch/libhalvex.so" /usr/include/halvex/halvex.h \
  "/usr/lib/$multiarch/cmake/halvex/halvexConfig.cmake" "/usr/lib/$multiarch/pkgconfig/halvex.pc"
# The library package holds the library alone; the headers are the -dev one's.
if dpkg-deb -c "$lib" | awk '{print $6}' | grep -v -e '/$' -e "/libhalvex\.so\.3" -e '/usr/share/doc/' | grep -q .; then
  fail "libhalvex3 holds more than the library: $(dpkg-deb -c "$lib" | awk '{print $6}')"
fi

control() { dpkg-deb -f "$1" "$2"; }
depends=$(control "$teliox" Depends)
for d in "libhalvex3 (= ${version}-1)" libc6 libqt6widgets6 libqt6svg6 libssl3 libcurl4 libcap2-bin; do
  grep -qF -- "$d" <<<"$depends" || fail "teliox does not depend on $d: $depends"
done
grep -qF "libhalvex3 (= ${version}-1)" <<<"$(control "$dev" Depends)" || fail "libhalvex-dev does not depend on libhalvex3"
dpkg-deb --ctrl-tarfile "$teliox" | tar -t | grep -qx './postinst' || fail "teliox has no postinst"
dpkg-deb --ctrl-tarfile "$teliox" | tar -t | grep -qx './postrm' || fail "teliox has no postrm"
mkdir -p "$work/ctrl" && dpkg-deb -e "$lib" "$work/ctrl"
grep -qx 'activate-noawait ldconfig' "$work/ctrl/triggers" 2>/dev/null || fail "libhalvex3 has no ldconfig trigger"
grep -qx "libhalvex 3 libhalvex3 (>= ${version}-1)" "$work/ctrl/shlibs" 2>/dev/null || fail "libhalvex3 has no shlibs entry"

# The programs in the package carry no run path: the library is in the
# loader's own folder.
mkdir -p "$work/x" && dpkg-deb -x "$teliox" "$work/x"
for p in teliox teliox-cli; do
  if readelf -d "$work/x/usr/bin/$p" | grep -qE 'RPATH|RUNPATH'; then
    fail "packaged $p carries a run path: $(readelf -d "$work/x/usr/bin/$p" | grep -E 'RPATH|RUNPATH')"
  fi
done

# --- 3. lintian: no errors ---------------------------------------------------
if ! lintian --fail-on error --tag-display-limit 0 "$teliox" "$lib" "$dev" >"$work/lintian.log" 2>&1; then
  cat "$work/lintian.log" >&2
  fail "lintian reports errors"
fi

# --- 4. Install into a throw-away root ---------------------------------------
root=$work/root
mkdir -p "$root"/{etc,tmp,usr/bin,usr/sbin,usr/lib,usr/lib64,var/lib/dpkg/{info,updates,triggers}}
chmod 1777 "$root/tmp"
mkdir -p "$root/dev" && mknod -m 666 "$root/dev/null" c 1 3
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
for l in bin sbin lib lib64; do ln -s "usr/$l" "$root/$l"; done

# copy_in FILE...: each file and the shared libraries it loads, at the same
# places in the root.
copy_in() {
  local f dep
  for f in "$@"; do
    for dep in "$f" $(ldd "$f" 2>/dev/null | grep -o '/[^ ]*' | grep -v '^/tmp/'); do
      local target=$root$(readlink -f "$(dirname "$dep")")/$(basename "$dep")
      [ -e "$target" ] && continue
      mkdir -p "$(dirname "$target")"
      cp -L "$dep" "$target"
    done
  done
}
# What the maintainer scripts call, and what checks the result inside.
copy_in /bin/sh /usr/bin/dash /usr/bin/getent /usr/sbin/groupadd /usr/bin/mkdir /usr/bin/chown \
  /usr/bin/chmod /usr/bin/rmdir /usr/sbin/setcap /usr/bin/dpkg-statoverride /usr/sbin/ldconfig \
  /usr/bin/setpriv /usr/bin/stat
# Shared libraries of the packaged programs, except the one the packages bring.
for p in teliox teliox-cli; do
  for dep in $(ldd "$work/x/usr/bin/$p" | grep -v libhalvex | grep -o '/[^ ]*'); do copy_in "$dep"; done
done
printf 'root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n' >"$root/etc/passwd"
printf 'root:x:0:\nnogroup:x:65534:\n' >"$root/etc/group"
printf 'root:*::\nnogroup:*::\n' >"$root/etc/gshadow"
cp /etc/login.defs "$root/etc/login.defs"
printf 'passwd: files\ngroup: files\nshadow: files\n' >"$root/etc/nsswitch.conf"

dpkg_root() { dpkg --root="$root" --force-depends --force-not-root "$@"; }
if ! dpkg_root -i "$lib" "$dev" "$teliox" >"$work/dpkg.log" 2>&1; then
  cat "$work/dpkg.log" >&2
  fail "dpkg -i into the throw-away root"
fi
# What libc-bin's ldconfig trigger does on a real system.
chroot "$root" /usr/sbin/ldconfig

gid=$(awk -F: '$1 == "teliox" { print $3 }' "$root/etc/group")
[ -n "$gid" ] || fail "postinst created no group teliox"
[ -z "$(awk -F: '$1 == "teliox"' /etc/group)" ] || [ -n "${TELIOX_GROUP_EXISTED:-}" ] ||
  echo "note: this machine has a group teliox of its own"
certdir=$root/var/lib/ZYRK/SSL
if [ -d "$certdir" ]; then
  got=$(stat -c '%u:%g %a' "$certdir")
  [ "$got" = "0:$gid 2770" ] || fail "certificate folder is '$got', expected '0:$gid 2770'"
else
  fail "postinst created no $certdir"
fi
for p in teliox teliox-cli; do
  caps=$(getcap "$root/usr/bin/$p")
  grep -q 'cap_net_bind_service[=+]*ep' <<<"$caps" || fail "postinst did not grant cap_net_bind_service to $p: '$caps'"
done

# The installed programs, as root and as nobody. For nobody the capability
# puts the loader into secure mode: only the library's place in the loader's
# own folder can make them start.
run_in_root() {  # expected output, command...
  local want=$1; shift
  local out
  if ! out=$(env -i PATH=/usr/bin:/usr/sbin chroot "$root" "$@" 2>&1); then
    fail "in the root: $* failed: $out"
  elif [ "$out" != "$want" ]; then
    fail "in the root: $* printed '$out', expected '$want'"
  fi
}
as_nobody=(/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all)
run_in_root "teliox-cli $version" /usr/bin/teliox-cli --version
run_in_root "teliox-cli $version" "${as_nobody[@]}" /usr/bin/teliox-cli --version
run_in_root "Teliox $version.0" /usr/bin/teliox --version
run_in_root "Teliox $version.0" "${as_nobody[@]}" /usr/bin/teliox --version

# --- 5. Removal --------------------------------------------------------------
# A key in the certificate folder is the technician's: purge keeps it and its
# folder; an empty folder goes.
touch "$certdir/key.pem"
dpkg_root --purge teliox >>"$work/dpkg.log" 2>&1 || fail "dpkg --purge teliox: $(tail -5 "$work/dpkg.log")"
[ -e "$root/usr/bin/teliox-cli" ] && fail "teliox-cli is still there after purge"
[ -e "$certdir/key.pem" ] || fail "purge removed the technician's key"
dpkg_root -i "$teliox" >>"$work/dpkg.log" 2>&1 || fail "dpkg -i teliox again"
rm -f "$certdir/key.pem"
dpkg_root --purge teliox libhalvex-dev libhalvex3 >>"$work/dpkg.log" 2>&1 || fail "dpkg --purge all"
[ -e "$root/var/lib/ZYRK" ] && fail "purge left the empty certificate folder"
[ -e "$root/usr/lib/$multiarch/libhalvex.so.3" ] && fail "libhalvex.so.3 is still there after purge"

if [ $failed -ne 0 ]; then
  echo "--- dpkg log" >&2; cat "$work/dpkg.log" >&2
  exit 1
fi
echo "packages built, checked, installed, run and purged: $(cd "$work/packages" && ls ./*.deb)"
echo "lintian (no errors):"
grep -v 'root privileges' "$work/lintian.log"
