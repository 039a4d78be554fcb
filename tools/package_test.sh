#!/usr/bin/env bash
# ./test package: builds the packages with ./package and checks them as a user gets them.
# It INSTALLS AND REMOVES the Debian package r9-updater system-wide (apt-get), so it is meant
# for CI and throwaway machines, and needs root. Every check prints "ok" or "FAIL"; the exit
# status is the number of failed checks (0: all passed).
set -u
source "$(dirname "$0")/common.sh"
r9_install_missing
cd "$R9_ROOT" || exit 2
if [ "$(id -u)" -ne 0 ]; then
  echo "./test package installs and removes the package system-wide: run it as root" >&2
  exit 2
fi

packages="$R9_ROOT/build/packages"
tmp=$(mktemp -d /tmp/r9-package-test.XXXXXX)
log="$tmp/log"
export XDG_RUNTIME_DIR="$tmp/runtime"  # this run's own instance locks
mkdir -m 700 "$XDG_RUNTIME_DIR"
failed=0
installed=0
xvfb_pid=""
gui_pid=""
wineprefix="$R9_ROOT/build/wine-package"

cleanup() {
  [ -n "$gui_pid" ] && kill "$gui_pid" 2>/dev/null && wait "$gui_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  [ -d "$wineprefix" ] && WINEPREFIX="$wineprefix" wineserver -k 2>/dev/null
  # A run that broke off between install and removal leaves no package behind.
  [ "$installed" = 1 ] && apt-get remove -y -q -o DPkg::Lock::Timeout=600 r9-updater >/dev/null 2>&1
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# check TEXT COMMAND...: runs the command, prints ok or FAIL with the command's last output lines.
check() {
  local what=$1
  shift
  if "$@" >"$log" 2>&1; then
    echo "ok    $what"
  else
    echo "FAIL  $what"
    tail -n 25 "$log" | sed 's/^/      /'
    failed=$((failed + 1))
  fi
}

version=$(sed -n 's/^project([a-z0-9]* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
firmware=$(sed -n 's/^#define R9_FIRMWARE_VERSION_TEXT "\(.*\)"/\1/p' firmware/firmware_version.h)
expected_version() { printf '%s %s\nCarried firmware: %s\n' "$1" "$version" "$firmware"; }

echo "== ./package"
check "./package builds both packages" ./package

# --- The Debian package --------------------------------------------------------------------
echo "== Debian package"
deb=$(ls "$packages"/r9-updater_"$version"_*.deb 2>/dev/null | head -n 1)
check "r9-updater_${version}_<arch>.deb is in build/packages" test -n "$deb"

deb_holds() {
  local listing
  listing=$(dpkg-deb -c "$deb" | awk '{print $6}') || return 1
  local f missing=0
  for f in ./usr/bin/r9-updater ./usr/bin/r9-updater-cli ./usr/bin/r9-device-sim \
           ./usr/share/man/man1/r9-updater.1.gz ./usr/share/man/man1/r9-updater-cli.1.gz \
           ./usr/share/man/man1/r9-device-sim.1.gz ./usr/share/applications/r9-updater.desktop \
           ./usr/share/icons/hicolor/48x48/apps/r9-updater.png ./usr/share/doc/r9-updater/copyright \
           ./usr/share/doc/r9-updater/changelog.gz ./usr/share/doc/r9-updater/README.md \
           ./usr/share/doc/r9-updater/docs/user-guide.md ./usr/share/doc/r9-updater/docs/developers.md \
           ./usr/share/doc/r9-updater/docs/device-simulator.md ./usr/share/doc/r9-updater/docs/departures.md \
           ./usr/share/doc/r9-updater/docs/troubleshooting.md; do
    grep -qx "$f" <<<"$listing" || { echo "missing: $f"; missing=1; }
  done
  return $missing
}
deb_depends() {
  local depends
  depends=$(dpkg-deb -f "$deb" Depends) || return 1
  echo "Depends: $depends"
  local d
  for d in libc6 'libstdc\+\+6' 'libqt6widgets6[a-z0-9]*' qt6-qpa-plugins fonts-ipafont-gothic; do
    grep -Eq "(^|, )$d( |,|$)" <<<"$depends" || { echo "no dependency on $d"; return 1; }
  done
  [ "$(dpkg-deb -f "$deb" Section)" = sound ] && [ "$(dpkg-deb -f "$deb" Priority)" = optional ] &&
    [ -n "$(dpkg-deb -f "$deb" Maintainer)" ]
}
copyright_is_mit() {
  local text
  text=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/r9-updater/copyright) || return 1
  grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" <<<"$text" &&
    grep -q "^License: Expat" <<<"$text" && grep -q "R9_IMAGE_DIR" <<<"$text" && ! grep -qi proprietary <<<"$text"
}
changelog_matches() {
  dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/r9-updater/changelog.gz | gzip -dc |
    head -n 1 | grep -q "^r9-updater ($version) "
}
if [ -n "$deb" ]; then
  check "the package holds the programs, manual pages, desktop entry, icon and documents" deb_holds
  check "dependencies: shared libraries, Qt's platform plugins and the Japanese font" deb_depends
  check "the changelog's newest entry is version $version" changelog_matches
  check "the copyright file is machine-readable and MIT (Expat)" copyright_is_mit
  check "lintian reports no error" lintian --fail-on error --suppress-tags-from-file /dev/null "$deb"
fi

# Parallel runs on one machine take turns with the system's package (one install at a time).
exec {lock}>/tmp/r9-package-test.lock
flock "$lock"

if [ -n "$deb" ]; then
  if dpkg-query -W -f='${Status}' r9-updater 2>/dev/null | grep -q "install ok installed"; then
    echo "(removing the r9-updater that is installed already)"
    apt-get remove -y -q -o DPkg::Lock::Timeout=600 r9-updater >/dev/null
  fi
  cp "$deb" "$tmp/" && local_deb="$tmp/$(basename "$deb")"
  chmod 644 "$local_deb" && chmod 755 "$tmp"  # apt's sandbox user reads the file
  installed=1
  check "apt-get install ./$(basename "$deb")" \
    env DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=600 "$local_deb"
  files=$(dpkg -L r9-updater 2>/dev/null)

  check "installed r9-updater-cli --version" \
    bash -c '[ "$(/usr/bin/r9-updater-cli --version)" = "$1" ]' _ "$(expected_version r9-updater-cli)"
  cli_update() {
    local out
    out=$(/usr/bin/r9-updater-cli execute --simulate=system=old,preset=old 2>&1) || { echo "$out"; return 1; }
    grep -q "Version update completed." <<<"$out" || { echo "$out"; return 1; }
  }
  check "installed r9-updater-cli execute --simulate completes an update" cli_update
  man_pages() {
    local p
    for p in r9-updater-cli r9-updater r9-device-sim; do
      [ "$(man -w "$p")" = "/usr/share/man/man1/$p.1.gz" ] || { echo "man -w $p: $(man -w "$p" 2>&1)"; return 1; }
      LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 "$p" 2>&1 >/dev/null | grep . && return 1
    done
    return 0
  }
  check "man finds every manual page and renders it without a warning" man_pages
  check "installed desktop entry passes desktop-file-validate" \
    desktop-file-validate /usr/share/applications/r9-updater.desktop
  check "installed r9-device-sim --version" \
    bash -c '[ "$(/usr/bin/r9-device-sim --version)" = "$1" ]' _ "$(expected_version r9-device-sim)"
  check "installed r9-updater --version" \
    bash -c '[ "$(/usr/bin/r9-updater --version)" = "$1" ]' _ "$(expected_version r9-updater)"

  # The window, on an X server of our own: it starts and shows its title.
  window_starts() {
    [ -x /usr/bin/r9-updater ] || { echo "no /usr/bin/r9-updater"; return 1; }
    Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$tmp/display" 2>"$tmp/xvfb.log" &
    xvfb_pid=$!
    local i
    for i in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
    [ -s "$tmp/display" ] || { echo "Xvfb did not start"; cat "$tmp/xvfb.log"; return 1; }
    export DISPLAY=":$(head -n 1 "$tmp/display")"
    QT_QPA_PLATFORM=xcb /usr/bin/r9-updater --simulate >"$tmp/gui.log" 2>&1 &
    gui_pid=$!
    if ! timeout 30 xdotool search --sync --onlyvisible --name "^$firmware Updater\$" >/dev/null; then
      echo "no window titled \"$firmware Updater\""
      cat "$tmp/gui.log"
      return 1
    fi
    kill -0 "$gui_pid" || { cat "$tmp/gui.log"; return 1; }
  }
  check "installed r9-updater starts under Xvfb and shows its window" window_starts
  [ -n "$gui_pid" ] && kill "$gui_pid" 2>/dev/null && wait "$gui_pid" 2>/dev/null
  gui_pid=""
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  xvfb_pid=""

  removes_cleanly() {
    env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q -o DPkg::Lock::Timeout=600 r9-updater || return 1
    installed=0
    if dpkg-query -W -f='${Status}' r9-updater 2>/dev/null | grep -q "installed"; then
      echo "still installed: $(dpkg-query -W -f='${Status}' r9-updater)"
      return 1
    fi
    local f left=0
    while read -r f; do
      [ -f "$f" ] && { echo "left behind: $f"; left=1; }
    done <<<"$files"
    return $left
  }
  check "apt-get remove r9-updater removes every file" removes_cleanly
fi
flock -u "$lock"

# --- The Windows zip -----------------------------------------------------------------------
echo "== Windows zip"
zip="$packages/r9-updater-$version-win64.zip"
check "r9-updater-$version-win64.zip is in build/packages" test -f "$zip"
if [ -f "$zip" ]; then
  zip_holds() {
    local names
    names=$(unzip -Z1 "$zip") || return 1
    echo "$names"
    grep -Eq '(^|/)Updater\.exe$' <<<"$names" && grep -Eq '(^|/)r9-updater-cli\.exe$' <<<"$names" &&
      grep -Eq '(^|/)README\.txt$' <<<"$names" && grep -Eq '(^|/)docs/user-guide\.md$' <<<"$names" &&
      grep -Eq '(^|/)docs/troubleshooting\.md$' <<<"$names" &&
      grep -Eq '(^|/)LICENSE\.txt$' <<<"$names" && grep -Eq '(^|/)THIRD-PARTY-LICENCES\.txt$' <<<"$names"
  }
  check "the zip holds the programs, README.txt, docs/ and the licences" zip_holds
  zip_licences() {
    unzip -p "$zip" '*LICENSE.txt' | grep -q "MIT License" &&
      unzip -p "$zip" '*THIRD-PARTY-LICENCES.txt' | tr -d '\r' | grep -q "^GCC RUNTIME LIBRARY EXCEPTION$" &&
      unzip -p "$zip" '*THIRD-PARTY-LICENCES.txt' | grep -q "winpthreads"
  }
  check "the zip's licences: MIT, the GCC runtime exception, winpthreads" zip_licences
  unzip -q -o "$zip" -d "$tmp/zip"
  readme=$(find "$tmp/zip" -name README.txt | head -n 1)
  exe_dir=$(dirname "$(find "$tmp/zip" -name r9-updater-cli.exe | head -n 1)")
  readme_is_windows_text() {
    [ -s "$readme" ] || return 1
    file "$readme" 2>/dev/null
    LC_ALL=C grep -q '[^[:print:][:space:]]' "$readme" && { echo "not plain text"; return 1; }
    # Every line ends in CR LF, the last one too.
    [ "$(grep -c $'\r$' "$readme")" = "$(wc -l <"$readme")" ] && [ "$(tail -c 2 "$readme" | od -An -tx1)" = " 0d 0a" ]
  }
  check "README.txt is plain text with Windows line ends" readme_is_windows_text
  wine_version() {
    mkdir -p "$wineprefix"
    local out
    out=$(cd "$exe_dir" && WINEPREFIX="$wineprefix" WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all \
      timeout 300 wine ./r9-updater-cli.exe --version 2>"$tmp/wine.err") || { cat "$tmp/wine.err"; return 1; }
    out=$(tr -d '\r' <<<"$out")
    echo "$out"
    [ "$out" = "$(expected_version r9-updater-cli)" ]
  }
  check "r9-updater-cli.exe --version under Wine" wine_version
  version_resource() {
    local text
    text=$(python3 "$R9_ROOT/tools/pe_version.py" "$exe_dir/Updater.exe") || return 1
    echo "$text"
    grep -qx "FILEVERSION $version.0" <<<"$text" && grep -qx "PRODUCTVERSION $version.0" <<<"$text" &&
      grep -qx "InternalName=Updater.exe" <<<"$text"
  }
  check "Updater.exe carries its version resource ($version)" version_resource
fi

echo
if [ "$failed" -eq 0 ]; then echo "package: every check passed"; else echo "package: $failed check(s) failed"; fi
exit $((failed > 125 ? 125 : failed))
