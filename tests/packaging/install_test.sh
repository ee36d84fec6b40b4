#!/usr/bin/env bash
# program_install_test: `cmake --install` of the whole build into a temporary
# prefix puts every file in place, and the installed teliox-cli and teliox
# (offscreen) run from there with no help from the environment: as root and
# as an unprivileged uid, and again after the tree has been moved. Such a
# prefix is not in the loader's cache, so the programs must carry no
# capability (secure mode would make them unusable for everyone but root).
#   install_test.sh BUILD_DIR
set -uo pipefail
build=$1
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

work=$(mktemp -d /tmp/teliox-install-test.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
prefix=$work/prefix

if ! out=$(cmake --install "$build" --prefix "$prefix" 2>&1); then
  echo "$out" >&2
  echo "FAIL: cmake --install" >&2
  exit 1
fi

multiarch=$(gcc -print-multiarch 2>/dev/null || dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=lib/$multiarch
for f in bin/teliox bin/teliox-cli share/teliox/Manual.html "$libdir/libhalvex.so.3" \
         share/applications/teliox.desktop share/icons/hicolor/scalable/apps/teliox.svg \
         share/metainfo/com.zyrk.teliox.metainfo.xml share/man/man1/teliox.1.gz \
         share/man/man1/teliox-cli.1.gz share/bash-completion/completions/teliox-cli; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done

for p in teliox teliox-cli; do
  runpath=$(readelf -d "$prefix/bin/$p" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p')
  [ "$runpath" = "\$ORIGIN/../$libdir" ] || fail "$p: run path '$runpath', expected '\$ORIGIN/../$libdir'"
  if command -v getcap >/dev/null; then
    caps=$(getcap "$prefix/bin/$p")
    [ -z "$caps" ] || fail "$p carries a capability outside the loader's folders: $caps"
  fi
done

# run_as WHO PROGRAM EXPECTED_OUTPUT: a clean environment, no LD_LIBRARY_PATH.
run_as() {
  local who=$1 program=$2 want=$3 out
  local cmd=(env -i PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen HOME=/nonexistent "$program" --version)
  if [ "$who" = nobody ]; then
    cmd=(setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all "${cmd[@]}")
  fi
  if ! out=$("${cmd[@]}" 2>&1); then
    fail "$program --version as $who: $out"
  elif [ "$out" != "$want" ]; then
    fail "$program --version as $who printed '$out', expected '$want'"
  fi
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
users=(root)
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  users+=(nobody)
else
  echo "not root: the installed programs run only as $(id -un)"
fi
for where in "$prefix" "$work/moved"; do
  if [ "$where" != "$prefix" ]; then mv "$prefix" "$where"; fi
  for who in "${users[@]}"; do
    run_as "$who" "$where/bin/teliox-cli" "teliox-cli $version"
    run_as "$who" "$where/bin/teliox" "Teliox $version.0"
  done
done

# The default prefix /usr/local: its library folder is one of the loader's
# configured folders, so the install refreshes the loader's cache and grants
# the capability, and the programs then start for nobody too (in secure mode
# the loader finds the library through its cache). Done in a mount namespace
# of its own, over an empty /usr/local and a copy of /etc, so that this
# machine's own /usr/local and loader cache stay untouched.
if [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
  cp -a /etc "$work/etc"
  if ! out=$(unshare --mount --propagation private -- bash -s "$build" "$work" "$version" 2>&1 <<'EOS'
set -eu
build=$1 work=$2 version=$3
mount --bind "$work/etc" /etc
mount -t tmpfs tmpfs /usr/local
cmake --install "$build" --prefix /usr/local >"$work/usr-local.log" 2>&1
for p in teliox-cli teliox; do
  caps=$(getcap "/usr/local/bin/$p")
  case $caps in *cap_net_bind_service*) ;; *) echo "/usr/local/bin/$p got no capability: '$caps'"; exit 1 ;; esac
done
nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all env -i PATH=/usr/bin:/bin)
out=$("${nobody[@]}" /usr/local/bin/teliox-cli --version 2>&1) || { echo "teliox-cli as nobody: $out"; exit 1; }
[ "$out" = "teliox-cli $version" ] || { echo "teliox-cli as nobody printed '$out'"; exit 1; }
out=$("${nobody[@]}" /usr/local/bin/teliox --version 2>&1) || { echo "teliox as nobody: $out"; exit 1; }
[ "$out" = "Teliox $version.0" ] || { echo "teliox as nobody printed '$out'"; exit 1; }
EOS
  ); then
    fail "install into /usr/local: $out"
    cat "$work/usr-local.log" >&2 2>/dev/null
  fi
else
  echo "not root or no mount namespace: the /usr/local rule is not tried"
fi

exit $failed
