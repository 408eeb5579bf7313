#!/usr/bin/env bash
# The Debian package on this machine: built from the tree, checked by
# lintian, installed with dpkg, its service started as the unit would start
# it (its ExecStart line, as its user, with its settings file: no running
# systemd needed), a call created over HTTP, and the package purged again.
# Needs root (tests run as root) and a machine without quillet installed.
#   tests/package/deb_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
if [ "$(id -u)" -ne 0 ]; then echo "needs root to install a package" >&2; exit 1; fi
if dpkg-query -W quillet >/dev/null 2>&1; then
  echo "quillet is installed on this machine already; not touching it" >&2
  exit 1
fi
work=$(mktemp -d)
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  dpkg --purge quillet >/dev/null 2>&1 || true
  rm -rf /var/lib/quillet /etc/quillet "$work"
  userdel quillet 2>/dev/null || true
}
trap cleanup EXIT

deb=$("$src/scripts/build-deb.sh" "$build")
lintian --fail-on error "$deb" 2>&1 | grep -v 'root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || { echo "lintian reports errors"; exit 1; }
contents=$(dpkg-deb --contents "$deb")
for f in ./usr/bin/quillet ./usr/lib/libquillet.so.3 ./usr/include/quillet/calls.h \
         ./usr/lib/cmake/Quillet/QuilletConfig.cmake ./lib/systemd/system/quillet.service \
         ./etc/quillet/quillet.conf ./etc/logrotate.d/quillet ./usr/share/man/man1/quillet.1.gz \
         ./usr/share/quillet/console/index.html ./usr/share/quillet/openapi.json \
         ./usr/share/doc/quillet/copyright ./usr/share/doc/quillet/docs/user-guide.md; do
  grep -q " $f" <<<"$contents" || { echo "the package lacks $f"; exit 1; }
done

# The manual page names every command and every option the help names.
man=$(sed 's/\\//g' "$src/packaging/quillet.1")  # without troff escapes
quillet=$build/tools/quillet/quillet
words=$("$quillet" --help | awk '/^Subcommands:/ {s=1; next} s && !NF {exit} s {print $1}')
for cmd in $words; do
  words+=" $("$quillet" "$cmd" --help | grep -o -- '--[a-z][a-z-]*' | sort -u | tr '\n' ' ')"
done
for w in $words; do
  grep -qF -- "$w" <<<"$man" ||
    { echo "the manual page does not mention $w"; exit 1; }
done

dpkg -i "$deb" >/dev/null
getent passwd quillet >/dev/null || { echo "no quillet user"; exit 1; }
unit=/lib/systemd/system/quillet.service
for line in User=quillet NoNewPrivileges=yes ProtectSystem=strict PrivateTmp=yes \
            StateDirectory=quillet EnvironmentFile=/etc/quillet/quillet.conf; do
  grep -qx "$line" "$unit" || { echo "the unit lacks $line"; exit 1; }
done
# Secrets stay out of sight: the settings file is not world-readable, and the
# database reaches the service through its environment, not its command line.
[ "$(stat -c '%a %U:%G' /etc/quillet/quillet.conf)" = "640 root:quillet" ] ||
  { echo "the settings file is $(stat -c '%a %U:%G' /etc/quillet/quillet.conf)"; exit 1; }
if grep '^ExecStart=' "$unit" | grep -q 'QUILLET_DB'; then
  echo "the unit puts the database on the command line"; exit 1
fi
# What systemd does before ExecStart: the state directory, owned by the user.
install -d -o quillet -g quillet -m 750 /var/lib/quillet
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
setpriv --reuid=quillet --regid=quillet --init-groups --no-new-privs \
  env -i PATH=/usr/bin:/bin sh -c \
  "set -a; . /etc/quillet/quillet.conf; QUILLET_LISTEN=127.0.0.1:0; cd /var/lib/quillet; exec $exec_start" \
  2>"$work/serve.err" &
server=$!
port=$("$src/tests/support/wait_for_port.sh" "$work/serve.err") ||
  { echo "the service did not start:"; cat "$work/serve.err"; exit 1; }
/usr/bin/python3 - "$port" <<'PY'
import json, sys, urllib.request
base = f"http://127.0.0.1:{sys.argv[1]}"
req = urllib.request.Request(base + "/calls", method="POST",
                             data=b'{"SOLDTOBP":"BP-1","Q_TEXT":"installed"}',
                             headers={"Content-Type": "application/json"})
with urllib.request.urlopen(req, timeout=10) as r:
    assert r.status == 201, r.status
    answer = json.load(r)
number = answer["result"]["CALLNUMBER"]
with urllib.request.urlopen(f"{base}/calls/{number}", timeout=10) as r:
    assert json.load(r)["Text"] == ["installed\r\n"]
print("created", number)
PY
kill -TERM "$server"
wait "$server" || { echo "the service exited with status $?"; cat "$work/serve.err"; exit 1; }
server=""
[ "$(stat -c %U /var/lib/quillet/quillet.db)" = quillet ] ||
  { echo "the database is not the service user's"; exit 1; }
dpkg --purge quillet >/dev/null
[ ! -e /usr/bin/quillet ] || { echo "purge left /usr/bin/quillet"; exit 1; }
echo "PACKAGE OK"
