#!/usr/bin/env bash
# The two Debian packages as dpkg sees them, without installing either: their fields (dpkg -f),
# their files (dpkg -c), the hub unpacked alone (dpkg -x), and the hub's control files and
# maintainer scripts (dpkg -e). The scripts run in a private mount namespace whose /run, /var/log
# and /var/lib are folders of the test, with stand-ins for systemctl, deb-systemd-helper,
# deb-systemd-invoke, adduser, addgroup, getent, chown and dpkg-statoverride first on PATH: each
# writes its command line down, and the checks read what the scripts asked for.
#   scripts/package_test.sh HUB.deb WINDOW.deb      (scripts/package.sh --check runs it)
# Exit status 1 when a check failed; each failure is named on standard error.
set -uo pipefail

[ $# = 2 ] || { sed -n '2,9p' "$0" >&2; exit 2; }
hub=$1 window=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
checks=0 failures=0

# check "what" command...: one check, named when it fails.
check() {
  local what=$1
  shift
  checks=$((checks + 1))
  if ! "$@"; then
    failures=$((failures + 1))
    echo "package_test.sh: FAILED: $what" >&2
  fi
}

has() { grep -qxF -- "$2" <<<"$1"; }          # text, line
lacks() { ! grep -qE -- "$2" <<<"$1"; }       # text, extended pattern
files_of() { dpkg -c "$1" | awk '$1 !~ /^d/ {print $6}'; }  # files and links, not folders

version=$(dpkg -f "$hub" Version)
hub_files=$(files_of "$hub")
window_files=$(files_of "$window")

# ---- fields -------------------------------------------------------------------------------------
hub_depends=$(dpkg -f "$hub" Depends)
window_depends=$(dpkg -f "$window" Depends)
check "the hub package is named tessamer" [ "$(dpkg -f "$hub" Package)" = tessamer ]
check "the hub needs no Qt: $hub_depends" lacks "$hub_depends" '[Qq][Tt]'
check "the hub depends on adduser for its user: $hub_depends" grep -qE '(^|, )adduser' <<<"$hub_depends"
check "the window package is named tessamer-window" [ "$(dpkg -f "$window" Package)" = tessamer-window ]
check "the window depends on its own tessamer: $window_depends" \
  grep -qF "tessamer (= $version)" <<<"$window_depends"
check "the window depends on Qt: $window_depends" grep -q 'libqt6widgets6' <<<"$window_depends"
check "the window takes over the old tessamer's files" \
  [ "$(dpkg -f "$window" Replaces)" = "tessamer (<< $version)" ]

# ---- files --------------------------------------------------------------------------------------
for file in ./usr/bin/tessamer ./usr/bin/vellumetric-sim ./usr/lib/systemd/system/tessamer.service \
            ./etc/tessamer/tessamer.conf ./etc/logrotate.d/tessamer \
            ./usr/share/man/man1/tessamer.1.gz ./usr/share/man/man1/vellumetric-sim.1.gz \
            ./usr/share/doc/tessamer/copyright ./usr/share/doc/tessamer/changelog.gz \
            ./usr/share/doc/tessamer/README.md.gz; do
  check "the hub package has $file" has "$hub_files" "$file"
done
check "the hub package has nothing of the window" lacks "$hub_files" 'tessamer-window|\.desktop$|/icons/'
for file in ./usr/bin/tessamer-window ./usr/share/applications/tessamer-window.desktop \
            ./usr/share/icons/hicolor/scalable/apps/tessamer.svg \
            ./usr/share/man/man1/tessamer-window.1.gz \
            ./usr/share/doc/tessamer-window/copyright ./usr/share/doc/tessamer-window/changelog.gz; do
  check "the window package has $file" has "$window_files" "$file"
done
both=$(comm -12 <(sort <<<"$hub_files") <(sort <<<"$window_files"))
check "no file is in both packages: $both" [ -z "$both" ]

# The hub unpacked alone: asked for the window, it names the package that has it.
dpkg -x "$hub" "$work/hub"
env -u DISPLAY -u WAYLAND_DISPLAY "$work/hub/usr/bin/tessamer" >"$work/out" 2>"$work/err"
status=$?
check "the hub alone, asked for the window, exits 2 (it gave $status)" [ "$status" = 2 ]
check "the hub alone names tessamer-window in one line: $(cat "$work/err")" \
  [ "$(wc -l <"$work/err")" = 1 -a -n "$(grep -F 'package tessamer-window' "$work/err")" ]

man=$(zcat "$work/hub/usr/share/man/man1/tessamer.1.gz")
for section in EXAMPLES "HEADLESS OUTPUT" "EXIT STATUS" SIGNALS "STATUS ENDPOINT" FILES; do
  check "tessamer(1) has the section $section" grep -qxE "\.SH \"?$section\"?" <<<"$man"
done

unit=$(cat "$work/hub/usr/lib/systemd/system/tessamer.service")
nofile=$(sed -n 's/^LimitNOFILE=//p' <<<"$unit")
check "the unit raises LimitNOFILE well above 1024 ($nofile)" [ "${nofile:-0}" -ge 16384 ]
check "the unit checks the settings before the start" \
  grep -q '^ExecStartPre=/usr/bin/tessamer --check-config ' <<<"$unit"
check "the unit runs as the user the package makes" has "$unit" "User=tessamer"
log=$(sed -n 's/^ExecStart=.* --log \([^ ]*\).*/\1/p' <<<"$unit")
rotation=$(sed -n "\#^$log {#,/^}/p" "$work/hub/etc/logrotate.d/tessamer")
check "logrotate rotates the unit's log $log, copying it (the hub keeps it open)" \
  grep -qx ' *copytruncate' <<<"$rotation"

# ---- control files ------------------------------------------------------------------------------
dpkg -e "$hub" "$work/control"
check "the configuration and the logrotate snippet are conffiles" \
  [ "$(sort "$work/control/conffiles")" = "$(printf '/etc/logrotate.d/tessamer\n/etc/tessamer/tessamer.conf')" ]
shell_script() { sh -n "$1" && [ "$(head -1 "$1")" = '#!/bin/sh' ] && grep -qx 'set -e' "$1"; }
for script in postinst prerm postrm; do
  check "$script is a POSIX shell script with set -e" shell_script "$work/control/$script"
done
check "the window package has no maintainer scripts" \
  [ -z "$(dpkg -e "$window" "$work/window-control" && ls "$work/window-control" | grep -v '^md5sums$\|^control$')" ]

# ---- maintainer scripts against stand-ins -------------------------------------------------------
# A stand-in for the command it is named after: it writes its command line to the calls file and
# fails when FAKE_FAIL names it. getent knows the users and groups adduser and addgroup made;
# deb-systemd-helper knows the unit once it has updated its state; no folder has a statoverride.
cat >"$work/fake" <<'EOF'
#!/bin/sh
name=${0##*/}
echo "$name $*" >>"$FAKE_STATE/calls"
[ "$name" != "$FAKE_FAIL" ] || exit 1
for last; do :; done
case "$name" in
  getent) [ -e "$FAKE_STATE/$1-$2" ] ;;
  adduser) : >"$FAKE_STATE/passwd-$last" ;;
  addgroup) : >"$FAKE_STATE/group-$last" ;;
  dpkg-statoverride) exit 1 ;;
  deb-systemd-helper)
    case "$1" in
      debian-installed) [ -e "$FAKE_STATE/unit-state" ] ;;
      update-state) : >"$FAKE_STATE/unit-state" ;;
      --quiet) exit 1 ;;  # was-enabled: the administrator has not enabled the unit
    esac ;;
esac
EOF
# Enters the namespace: the sandbox's folders over /run, /var/log and /var/lib, then the script
# with nothing but the stand-ins and a few real tools on PATH.
cat >"$work/enter" <<'EOF'
#!/bin/sh
set -e
sandbox=$1 path=$2
shift 2
mount --bind "$sandbox/run" /run
mount --bind "$sandbox/log" /var/log
mount --bind "$sandbox/lib" /var/lib
exec env -i PATH="$path" FAKE_STATE="$sandbox/state" FAKE_FAIL="$FAKE_FAIL" /bin/sh "$@"
EOF
mkdir "$work/fakes" "$work/helpers" "$work/tools"
for name in systemctl adduser addgroup getent chown dpkg-statoverride; do
  ln -s "$work/fake" "$work/fakes/$name"
done
for name in deb-systemd-helper deb-systemd-invoke; do ln -s "$work/fake" "$work/helpers/$name"; done
for name in mkdir chmod rm; do ln -s "$(command -v $name)" "$work/tools/$name"; done
chmod +x "$work/fake"
namespace=(unshare --mount)
[ "$(id -u)" = 0 ] || namespace=(unshare --map-root-user --mount)

sandbox=
# new_sandbox running|stopped: empty folders; systemd runs when /run/systemd/system is there.
new_sandbox() {
  sandbox=$(mktemp -d -p "$work")
  mkdir -p "$sandbox/run" "$sandbox/log" "$sandbox/lib" "$sandbox/state"
  if [ "$1" = running ]; then mkdir -p "$sandbox/run/systemd/system"; fi
}
# run with|without script args...: runs a maintainer script with or without init-system-helpers;
# its calls are then in $calls, its exit status in $status.
calls= status=
run() {
  local path="$work/fakes:$work/tools"
  [ "$1" = without ] || path="$work/fakes:$work/helpers:$work/tools"
  : >"$sandbox/state/calls"
  FAKE_FAIL=${FAKE_FAIL:-} "${namespace[@]}" /bin/sh "$work/enter" "$sandbox" "$path" \
    "$work/control/$2" "${@:3}" >/dev/null 2>"$sandbox/err"
  status=$?
  calls=$(cat "$sandbox/state/calls")
  [ ! -s "$sandbox/err" ] || echo "package_test.sh: $2 ${*:3} said: $(cat "$sandbox/err")" >&2
}
folder_mode() { stat -c %a "$sandbox/$1"; }

if ! "${namespace[@]}" true 2>/dev/null; then
  check "a mount namespace for the maintainer scripts (${namespace[*]})" false
else
  new_sandbox running
  run with postinst configure ""
  check "install: postinst succeeds" [ "$status" = 0 ]
  check "install: the group is made" grep -qx 'addgroup --system .* tessamer' <<<"$calls"
  check "install: the user is made in it" \
    grep -qx 'adduser --system .*--ingroup tessamer .* tessamer' <<<"$calls"
  check "install: the log folder is the user's" has "$calls" "chown tessamer:tessamer /var/log/tessamer"
  check "install: the state folder is the user's" has "$calls" "chown tessamer:tessamer /var/lib/tessamer"
  check "install: both folders are made, 0750" [ "$(folder_mode log/tessamer)$(folder_mode lib/tessamer)" = 750750 ]
  check "install: systemd reloads its units" has "$calls" "systemctl --system daemon-reload"
  check "install: deb-systemd-helper learns the unit" has "$calls" "deb-systemd-helper update-state tessamer.service"
  check "install: the service is neither enabled nor started" lacks "$calls" 'invoke|helper enable'
  run with postinst configure 1.0.0
  check "upgrade: postinst succeeds" [ "$status" = 0 ]
  check "upgrade: the existing user is kept" lacks "$calls" '^add(user|group)'
  check "upgrade: systemd reloads its units" has "$calls" "systemctl --system daemon-reload"
  check "upgrade: a running service is restarted" has "$calls" "deb-systemd-invoke try-restart tessamer.service"
  run with prerm upgrade 1.0.0
  check "upgrade: prerm leaves the service running" [ "$status" = 0 -a -z "$calls" ]
  run with prerm remove
  check "remove: the service stops" has "$calls" "deb-systemd-invoke stop tessamer.service"
  run with postrm remove
  check "remove: systemd reloads its units" has "$calls" "systemctl --system daemon-reload"
  check "remove: the logs stay until a purge" [ -d "$sandbox/log/tessamer" ]
  run with postrm purge
  check "purge: postrm succeeds" [ "$status" = 0 ]
  check "purge: deb-systemd-helper forgets the unit" has "$calls" "deb-systemd-helper purge tessamer.service"
  check "purge: the logs go, the recorded jobs stay" [ ! -e "$sandbox/log/tessamer" -a -d "$sandbox/lib/tessamer" ]

  new_sandbox running
  run without postinst configure 1.0.0
  check "without init-system-helpers: systemctl restarts" has "$calls" "systemctl try-restart tessamer.service"
  run without prerm remove
  check "without init-system-helpers: systemctl stops" has "$calls" "systemctl stop tessamer.service"

  new_sandbox stopped
  run with postinst configure ""
  check "without systemd running: postinst succeeds" [ "$status" = 0 ]
  check "without systemd running: no systemctl" lacks "$calls" '^systemctl|invoke'
  run with prerm remove
  check "without systemd running: prerm asks nothing" [ "$status" = 0 -a -z "$calls" ]

  new_sandbox running
  mkdir -p "$sandbox/log/private/tessamer"
  ln -s private/tessamer "$sandbox/log/tessamer"
  run with postinst configure 1.0.0
  check "a dynamic user's log folder is left for systemd to move" \
    [ -L "$sandbox/log/tessamer" -a -z "$(grep -F 'chown tessamer:tessamer /var/log/tessamer' <<<"$calls")" ]

  new_sandbox running
  FAKE_FAIL=adduser run with postinst configure ""
  check "a user that cannot be made fails the install (it gave $status)" [ "$status" != 0 ]
fi

if [ "$failures" != 0 ]; then
  echo "package_test.sh: $failures of $checks checks failed" >&2
  exit 1
fi
echo "package_test.sh: all $checks checks passed" >&2
