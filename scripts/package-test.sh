#!/usr/bin/env bash
# The Debian package on this machine, as root: installed with apt-get, checked for the layout it
# promises, serving uploads through Apache (the configuration it enabled), lighttpd and nginx with
# fcgiwrap (the ones it ships), with the log server started as its systemd unit says, and the
# daily purge run as its unit says; then upgraded in place, removed,
# which keeps the settings and the quarantined files, and purged, which must leave nothing of its
# own behind.
# Needs build/packages/vendrel_*_amd64.deb (scripts/package.sh). Refuses to touch a vendrel
# package that is already installed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "package-test: installs and purges a package: run as root (or through sudo)" >&2
  exit 1
fi
deb=$(ls "$root"/build/packages/vendrel_*_amd64.deb 2>/dev/null | head -1)
if [ -z "$deb" ]; then
  echo "package-test: no build/packages/vendrel_*_amd64.deb: run scripts/package.sh first" >&2
  exit 1
fi
if dpkg-query -W -f='${Status}' vendrel 2>/dev/null | grep -q "installed\|config-files"; then
  echo "package-test: a vendrel package is already on this machine; purge it first" >&2
  exit 1
fi

work=$root/build/package-test
rm -rf "$work"
mkdir -p "$work"
chmod 0755 "$work"
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "  ok    $what"
  else
    echo "  FAIL  $what"
    failures=$((failures + 1))
  fi
}
owner_mode() { stat -c '%U:%G %a' "$1" 2>/dev/null; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 200); do curl -s -o /dev/null "http://127.0.0.1:$1/" && return 0; sleep 0.05; done; return 1; }
answer() { tr -d '\r\n' <"$1"; }
apache_state() { a2query -q -m cgid && echo cgid-on || echo cgid-off; }

pids=()
purge_on_failure=1
fcgiwrap_pid=
cleanup() {
  [ -z "$fcgiwrap_pid" ] || kill -- "-$fcgiwrap_pid" 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "$purge_on_failure" = 1 ] && dpkg-query -W vendrel >/dev/null 2>&1; then
    echo "package-test: purging the package after a failure"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq vendrel >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT

cgid_before=$(apache_state)

echo "== install $deb"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; exit 1; }
check "program and libraries in /usr/lib/vendrel" \
  test -x /usr/lib/vendrel/vendrel -a -f /usr/lib/vendrel/libKelsio.so -a -f /usr/lib/vendrel/libpelix32.so
check "vendrel-sign in /usr/bin, vendrel-logd in /usr/sbin" test -x /usr/bin/vendrel-sign -a -x /usr/sbin/vendrel-logd
check "vendrel-quarantine in /usr/bin" test -x /usr/bin/vendrel-quarantine
check "home /var/lib/vendrel with server.ini -> /etc/vendrel/server.ini" \
  test "$(readlink /var/lib/vendrel/server.ini)" = /etc/vendrel/server.ini -a -f /etc/vendrel/server.ini
check "/etc/vendrel/server.ini is a conffile" \
  grep -q "/etc/vendrel/server.ini" <(dpkg-query -W -f='${Conffiles}' vendrel)
check "TEMP/ and Virus/ belong to www-data alone" \
  test "$(owner_mode /var/lib/vendrel/TEMP)/$(owner_mode /var/lib/vendrel/Virus)" = "www-data:www-data 700/www-data:www-data 700"
check "system user vendrel" test "$(getent passwd vendrel | cut -d: -f7)" = /usr/sbin/nologin
check "/var/log/vendrel belongs to vendrel" test "$(owner_mode /var/log/vendrel)" = "vendrel:vendrel 750"
check "Apache configuration and mod_cgid enabled" a2query -q -c vendrel
check "mod_cgid enabled" a2query -q -m cgid
purge_unit=/lib/systemd/system/vendrel-quarantine-purge.service
purge_timer=/lib/systemd/system/vendrel-quarantine-purge.timer
check "the daily purge's service and timer installed" test -f "$purge_unit" -a -f "$purge_timer"
# deb-systemd-helper, systemd-analyze and logrotate come with scripts/setup.sh's packages.
check "vendrel-logd.service enabled" test -L /etc/systemd/system/multi-user.target.wants/vendrel-logd.service
check "vendrel-quarantine-purge.timer enabled" \
  test -L /etc/systemd/system/timers.target.wants/vendrel-quarantine-purge.timer
check "systemd-analyze verify vendrel-logd.service" \
  systemd-analyze verify /lib/systemd/system/vendrel-logd.service
check "systemd-analyze verify the purge's timer and service" \
  systemd-analyze verify "$purge_timer" "$purge_unit"
check "logrotate reads the rule" \
  bash -c "logrotate -d -s '$work/logrotate.status' /etc/logrotate.d/vendrel >'$work/logrotate.log' 2>&1"

echo "== the log server, as vendrel-logd.service starts it"
unit=/lib/systemd/system/vendrel-logd.service
key() { sed -n "s/^$1=//p" "$unit" | head -1; }
exec_start=$(key ExecStart)
user=$(key User)
group=$(key Group)
groups=$(key SupplementaryGroups)
rundir=/run/$(key RuntimeDirectory)
install -d -o "$user" -g "$group" -m "$(key RuntimeDirectoryMode)" "$rundir"
read -r -a cmd <<<"$exec_start"
env_pipe=$(sed -n 's/^Environment=//p' "$unit")
start_logd() {
  : >"$work/logd.err"
  setpriv --reuid="$user" --regid="$group" --groups="$groups" --inh-caps=-all -- \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$env_pipe" "$@" 2>"$work/logd.err" &
  logd_pid=$!
  for _ in $(seq 300); do
    grep -q "listening on" "$work/logd.err" && return 0
    kill -0 "$logd_pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}
start_logd "${cmd[@]}" || { cat "$work/logd.err"; exit 1; }
pids+=("$logd_pid")
check "log server runs as $user with its socket in $rundir" \
  test "$(stat -c %U "$rundir/Log_ServerNamePipe" 2>/dev/null)" = "$user"
check "its socket is open to the group www-data alone" \
  test "$(stat -c '%G %a' "$rundir/Log_ServerNamePipe")" = "www-data 660"

echo "== Apache with the configuration the package enabled"
aport=$(free_port)
mkdir -p "$work/apache/socks" "$work/www"
cat >"$work/apache/apache2.conf" <<CONF
# The system's enabled modules and configurations, on a test port and run directory.
ServerRoot /etc/apache2
ServerName 127.0.0.1
DefaultRuntimeDir $work/apache
PidFile $work/apache/apache2.pid
ErrorLog $work/apache/error.log
User www-data
Group www-data
IncludeOptional mods-enabled/*.load
IncludeOptional mods-enabled/*.conf
Listen 127.0.0.1:$aport
DocumentRoot $work/www
IncludeOptional conf-enabled/*.conf
CONF
(
  set +u
  # shellcheck disable=SC1091
  . /etc/apache2/envvars
  export APACHE_RUN_DIR=$work/apache APACHE_LOCK_DIR=$work/apache APACHE_LOG_DIR=$work/apache
  export APACHE_PID_FILE=$work/apache/apache2.pid
  exec apache2 -f "$work/apache/apache2.conf" -DFOREGROUND
) 2>"$work/apache/stderr" &
pids+=($!)
wait_port "$aport" || { cat "$work/apache/stderr" "$work/apache/error.log" 2>/dev/null; exit 1; }

sample=$work/infected.bin
head -c 8192 /dev/urandom >"$sample"
verify=$(/usr/bin/vendrel-sign "$sample" PC7)
upload() {  # upload URL VERIFY OUT
  curl -sS --max-time 60 -o "$3" -F TempFileName=@"$sample" -F NewFileSize=8192 \
       -F ComputerName=PC7 -F Verify="$2" "$1"
}
url=http://127.0.0.1:$aport/cgi/bin/vendrel
upload "$url" "$verify" "$work/apache-signed"
upload "$url" 00000000000000000000000000000000 "$work/apache-forged"
curl -sS --max-time 60 -o "$work/apache-empty" "$url"
check "Apache: signed upload answered Vendrel_OK" test "$(answer "$work/apache-signed")" = Vendrel_OK
check "Apache: forged upload answered Vendrel_FAILED" test "$(answer "$work/apache-forged")" = Vendrel_FAILED
check "Apache: request without variables has an empty body" test ! -s "$work/apache-empty"
filed=$(find /var/lib/vendrel/Virus -type f -name 'PC7_*')
check "the signed upload was filed as www-data, the forged one deleted" \
  test "$(echo "$filed" | wc -l)" = 1 -a "$(stat -c %U "$filed")" = www-data -a -z "$(ls -A /var/lib/vendrel/TEMP)"
check "filed bytes are the upload's" cmp -s "$sample" "$filed"
check ".store holds 8192" \
  test "$(python3 -c 'import sys; print(int.from_bytes(open(sys.argv[1],"rb").read(),"little"))' /var/lib/vendrel/Virus/.store)" = 8192
check "traces in /var/log/vendrel/trace.jsonl" grep -q "Receive File Success" /var/log/vendrel/trace.jsonl
check "no /cgi/bin path but the program's is served" \
  test "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$aport/cgi/bin/libKelsio.so")" = 404

echo "== vendrel-quarantine as installed, and the daily purge as its unit runs it"
as_www_data() { setpriv --reuid=www-data --regid=www-data --init-groups -- "$@"; }
as_www_data /usr/bin/vendrel-quarantine stats --format prometheus >"$work/stats.out" 2>&1 || true
check "vendrel-quarantine stats (its installed home) counts the filed upload" \
  grep -qx "vendrel_quarantine_files 1" "$work/stats.out"
check "vendrel-quarantine stats counts its 8192 bytes" \
  grep -qx "vendrel_quarantine_bytes 8192" "$work/stats.out"
pkey() { sed -n "s/^$1=//p" "$purge_unit" | head -1; }
read -r -a purge_cmd <<<"$(pkey ExecStart)"
run_purge() {  # run_purge NAME: the unit's command as its user; its output in $work/purge-NAME
  setpriv --reuid="$(pkey User)" --regid="$(pkey Group)" --init-groups -- \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$(pkey Environment)" "${purge_cmd[@]}" \
    >"$work/purge-$1" 2>&1
}
# A quarantined file filed in 2001 (its name carries its filing time), beside today's upload.
aged=/var/lib/vendrel/Virus/PC9_1000000000.0
head -c 1000 /dev/urandom >"$work/aged"
install -o www-data -g www-data -m 0600 "$work/aged" "$aged"
run_purge unset && purge_status=0 || purge_status=$?
check "purge with Quarantine_Retention_Days unset: exit 0" test "$purge_status" = 0
check "it deleted nothing" test -e "$aged" -a -e "$filed"
if grep -q '^Quarantine_Retention_Days=' /etc/vendrel/server.ini; then
  sed -i 's/^Quarantine_Retention_Days=.*/Quarantine_Retention_Days=30/' /etc/vendrel/server.ini
else
  echo "Quarantine_Retention_Days=30" >>/etc/vendrel/server.ini
fi
run_purge retention && purge_status=0 || purge_status=$?
check "purge with Quarantine_Retention_Days=30: exit 0" test "$purge_status" = 0
check "it deleted the file filed in 2001 and kept today's" test ! -e "$aged" -a -e "$filed"
check ".store holds the listing's total after the purge" \
  test "$(python3 -c 'import os,sys; d=sys.argv[1]; print(sum(os.path.getsize(os.path.join(d,n)) for n in os.listdir(d)))' /var/lib/vendrel/Virus)" = \
       "$(python3 -c 'import sys; print(int.from_bytes(open(sys.argv[1],"rb").read(),"little"))' /var/lib/vendrel/Virus/.store)"
sleep 0.5
check "the deletion is traced to the log server" grep -q "PC9_1000000000.0" /var/log/vendrel/trace.jsonl

echo "== logrotate with the shipped rule"
logrotate -f -s "$work/logrotate.status" /etc/logrotate.d/vendrel >"$work/logrotate-run.log" 2>&1
check "the earlier records were moved to trace.jsonl.1" \
  grep -q "Receive File Success" /var/log/vendrel/trace.jsonl.1
curl -sS --max-time 60 -o /dev/null "$url"
sleep 0.5
check "signalled, the log server writes the next records to a new trace.jsonl" \
  bash -c "grep -q 'cgiGetVars' /var/log/vendrel/trace.jsonl && kill -0 $logd_pid"

echo "== lighttpd with the shipped conf-available/50-vendrel.conf"
lport=$(free_port)
cat >"$work/lighttpd.conf" <<CONF
server.bind = "127.0.0.1"
server.port = $lport
server.username = "www-data"
server.groupname = "www-data"
server.document-root = "$work/www"
server.errorlog = "$work/lighttpd-error.log"
server.upload-dirs = ("$work")
include "/etc/lighttpd/conf-available/50-vendrel.conf"
CONF
chown www-data "$work"
lighttpd -D -f "$work/lighttpd.conf" 2>"$work/lighttpd.stderr" &
pids+=($!)
wait_port "$lport" || { cat "$work/lighttpd.stderr" "$work/lighttpd-error.log" 2>/dev/null; exit 1; }
upload "http://127.0.0.1:$lport/cgi/bin/vendrel" "$verify" "$work/lighttpd-signed"
check "lighttpd: signed upload answered Vendrel_OK" test "$(answer "$work/lighttpd-signed")" = Vendrel_OK

echo "== nginx with the installed snippets/vendrel.conf, fcgiwrap on a socket of the test's own"
# The snippet passes requests to the system's fcgiwrap at /run/fcgiwrap.socket, which may serve
# the machine already: the test runs its own fcgiwrap on a socket in its work directory, and
# nginx includes the installed snippet with that one path changed, and nothing else.
snippet=/etc/nginx/snippets/vendrel.conf
fcgi_socket=$work/fcgiwrap/fcgiwrap.socket
mkdir -p "$work/nginx" "$work/fcgiwrap"
chown www-data:www-data "$work/fcgiwrap"
check "the snippet passes to unix:/run/fcgiwrap.socket once" \
  test "$(grep -c 'unix:/run/fcgiwrap.socket;' "$snippet")" = 1
sed "s#unix:/run/fcgiwrap.socket;#unix:$fcgi_socket;#" "$snippet" >"$work/nginx/vendrel.conf"
check "the test's copy of the snippet differs in the socket alone" \
  bash -c "diff '$snippet' '$work/nginx/vendrel.conf' | grep -c '^[<>]' | grep -qx 2"
# As fcgiwrap.socket does: the socket made by root for www-data, fcgiwrap running as www-data
# and accepting on its standard input.
python3 - "$fcgi_socket" "$work/fcgiwrap.stderr" <<'PY' &
import os, pwd, socket, sys
path = sys.argv[1]
s = socket.socket(socket.AF_UNIX)
s.bind(path)
w = pwd.getpwnam("www-data")
os.chown(path, w.pw_uid, w.pw_gid)
os.chmod(path, 0o660)
s.listen(16)
os.dup2(s.fileno(), 0)
os.dup2(os.open(sys.argv[2], os.O_WRONLY | os.O_CREAT, 0o644), 2)
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
os.setsid()  # its workers outlive their parent: the session's group ends them together
os.execvp("setpriv", ["setpriv", "--reuid=www-data", "--regid=www-data", "--init-groups", "--",
                      "fcgiwrap", "-c", "2"])
PY
pids+=($!)
fcgiwrap_pid=$!
nport=$(free_port)
ln -sf /etc/nginx/fastcgi_params "$work/nginx/fastcgi_params"
{
  echo "daemon off; worker_processes 1; user www-data; pid $work/nginx/nginx.pid;"
  echo "error_log $work/nginx/error.log warn;"
  echo "events { worker_connections 64; }"
  echo "http { access_log off;"
  for kind in client_body fastcgi proxy uwsgi scgi; do echo "  ${kind}_temp_path $work/nginx/$kind;"; done
  echo "  server { listen 127.0.0.1:$nport; root $work/www; include $work/nginx/vendrel.conf; }"
  echo "}"
} >"$work/nginx/nginx.conf"
nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" 2>"$work/nginx/stderr" &
pids+=($!)
wait_port "$nport" || { cat "$work/nginx/stderr" "$work/nginx/error.log" 2>/dev/null; exit 1; }
upload "http://127.0.0.1:$nport/cgi/bin/vendrel" "$verify" "$work/nginx-signed"
check "nginx: signed upload answered Vendrel_OK" test "$(answer "$work/nginx-signed")" = Vendrel_OK
kill -- "-$fcgiwrap_pid" 2>/dev/null || true
wait "$fcgiwrap_pid" 2>/dev/null || true
fcgiwrap_pid=

for p in "${pids[@]}"; do [ "$p" = "$logd_pid" ] || kill "$p" 2>/dev/null || true; done

filed_count=$(ls /var/lib/vendrel/Virus | wc -l)
echo "== vendrel-quarantine as www-data, on the home the package configured it with"
as_www_data() {
  setpriv --reuid=www-data --regid=www-data --clear-groups --inh-caps=-all -- \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$env_pipe" "$@"
}
check "vendrel-quarantine list shows the $filed_count filed uploads" \
  test "$(as_www_data /usr/bin/vendrel-quarantine list | wc -l)" = "$filed_count"
quarantine_check() {
  as_www_data /usr/bin/vendrel-quarantine check >"$work/check.out" || { cat "$work/check.out"; return 1; }
}
check "vendrel-quarantine check finds nothing FAILED" quarantine_check
check "vendrel-quarantine purge keeps everything while Quarantine_Retention_Days is 0" \
  test "$(as_www_data /usr/bin/vendrel-quarantine purge >/dev/null; ls /var/lib/vendrel/Virus | wc -l)" = "$filed_count"
echo "== upgrade in place (settings edited by the operator stay)"
echo "; edited by the operator" >>/etc/vendrel/server.ini
chown root:root /var/lib/vendrel/Virus
dpkg --force-confold -i "$deb" >"$work/upgrade.log" 2>&1 || { cat "$work/upgrade.log"; exit 1; }
check "edited server.ini kept" grep -q "edited by the operator" /etc/vendrel/server.ini
check "an operator's change of the quarantine folder's owner kept" \
  test "$(stat -c %U /var/lib/vendrel/Virus)" = root
chown www-data:www-data /var/lib/vendrel/Virus
check "quarantined files kept, Apache configuration still enabled" \
  test "$(ls /var/lib/vendrel/Virus | wc -l)" = "$filed_count" -a -e /etc/apache2/conf-enabled/vendrel.conf

echo "== remove (settings and quarantined files stay)"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq vendrel >"$work/remove.log" 2>&1 ||
  { cat "$work/remove.log"; exit 1; }
check "program gone" test ! -e /usr/lib/vendrel
check "settings and quarantined files kept" test -f /etc/vendrel/server.ini -a "$(ls /var/lib/vendrel/Virus | wc -l)" = "$filed_count"
check "Apache configuration disabled" test ! -e /etc/apache2/conf-enabled/vendrel.conf
check "the log server was stopped" bash -c "! kill -0 $logd_pid 2>/dev/null"

echo "== purge"
dpkg --purge vendrel >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; exit 1; }
for path in /var/lib/vendrel /etc/vendrel /usr/lib/vendrel /var/log/vendrel /run/vendrel \
            /etc/apache2/conf-available/vendrel.conf /etc/apache2/conf-enabled/vendrel.conf \
            /lib/systemd/system/vendrel-logd.service /usr/bin/vendrel-sign /usr/sbin/vendrel-logd \
            /usr/bin/vendrel-quarantine "$purge_unit" "$purge_timer" \
            /etc/systemd/system/timers.target.wants/vendrel-quarantine-purge.timer; do
  check "gone: $path" test ! -e "$path" -a ! -L "$path"
done
check "user and group vendrel gone" bash -c '! getent passwd vendrel && ! getent group vendrel'
check "mod_cgid as before the installation ($cgid_before)" test "$(apache_state)" = "$cgid_before"
check "dpkg knows nothing of vendrel" bash -c '! dpkg-query -W vendrel >/dev/null 2>&1'
left=$(find /etc /var /usr /lib /run -xdev -name '*vendrel*' 2>/dev/null | head -5)
check "no file named after vendrel anywhere in the system's directories${left:+: $left}" test -z "$left"
purge_on_failure=0

if [ "$failures" -ne 0 ]; then
  echo "package-test: $failures check(s) failed"
  exit 1
fi
echo "package-test: all checks passed"
