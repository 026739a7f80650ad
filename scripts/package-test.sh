#!/usr/bin/env bash
# The Debian package on this machine, as root: installed with apt-get, checked for the layout it
# promises, its commands' --help and --version, its manual pages and documentation, serving
# uploads through Apache (the configuration it enabled), lighttpd and nginx with fcgiwrap (the
# ones it ships), with the log server started as its systemd unit says, and the daily purge run
# as its unit says; then upgraded in place, removed, which keeps the settings and the quarantined
# files, and purged, which must leave nothing of its own behind.
# Every command block of the operator's guide that the package installs is run here as it is
# written (guide_run NAME; tests/docs/guide_blocks.py takes the blocks out of the guide), unless
# the guide marks it as one the tests cannot run; the test fails when a block was not run.
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
version=$(dpkg-deb -f "$deb" Version)
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

# The operator's guide as the package ships it, and its blocks run as written.
guide=$work/operators-guide.md
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/vendrel/operators-guide.md >"$guide" ||
  { echo "package-test: the package holds no operator's guide" >&2; exit 1; }
# apt-get as the guide writes it, answered yes as an administrator would answer.
printf 'APT::Get::Assume-Yes "true";\n' >"$work/apt.conf"
ran_blocks=()
guide_dir=$work
guide_run() {  # guide_run NAME [FROM TO]...: the guide's block NAME as root, in $guide_dir,
  # each FROM replaced by TO (it must occur); its output in $work/guide-NAME.out
  local name=$1
  shift
  local replace=()
  while [ $# -ge 2 ]; do
    replace+=(--replace "$1" "$2")
    shift 2
  done
  ran_blocks+=("$name")
  python3 "$root/tests/docs/guide_blocks.py" script "$guide" "$name" "${replace[@]}" \
    >"$work/guide-$name.sh" || return 1
  if ! (cd "$guide_dir" && APT_CONFIG=$work/apt.conf DEBIAN_FRONTEND=noninteractive \
        bash "$work/guide-$name.sh") >"$work/guide-$name.out" 2>&1; then
    echo "  guide block $name failed; its output:"
    sed 's/^/    | /' "$work/guide-$name.out" | tail -40
    return 1
  fi
}

pids=()
purge_on_failure=1
fcgiwrap_default=/etc/default/fcgiwrap
fcgiwrap_started=
backup_file=/var/backups/vendrel.tar.gz
cleanup() {
  if [ -n "$fcgiwrap_started" ]; then
    _SYSTEMCTL_SKIP_REDIRECT=1 /etc/init.d/fcgiwrap stop >/dev/null 2>&1 || true
  fi
  if [ -e "$work/fcgiwrap.default.saved" ]; then
    mv -f "$work/fcgiwrap.default.saved" "$fcgiwrap_default"
  elif [ -e "$work/fcgiwrap.default.none" ]; then
    rm -f "$fcgiwrap_default"
  fi
  rm -f "$backup_file" /tmp/sample
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "$purge_on_failure" = 1 ] && dpkg-query -W vendrel >/dev/null 2>&1; then
    echo "package-test: purging the package after a failure"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq vendrel >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT

cgid_before=$(apache_state)
# Files named after vendrel that are here before the installation (another program's, or an
# earlier run's caches) are not this run's to answer for.
vendrel_named() { find /etc /var /usr /lib /run -xdev -name '*vendrel*' 2>/dev/null | sort; }
vendrel_named >"$work/named-before"

echo "== install $deb, as the guide says"
guide_dir=$(dirname "$deb")
guide_run install || exit 1
guide_dir=$work
if [ -d /run/systemd/system ]; then
  check "with systemd running, the installation says nothing of a log server not started" \
    bash -c "! grep -q 'no log server was started' '$work/guide-install.out'"
else
  check "without systemd, the installation says that no log server was started, and where to read" \
    grep -q "no log server was started.*A machine without systemd.*/vendrel/operators-guide.md" \
    "$work/guide-install.out"
fi
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

echo "== the administrator's documentation and commands"
for page in vendrel.8 vendrel-logd.8 vendrel-quarantine.8 vendrel-sign.1; do
  name=${page%.*}
  section=${page##*.}
  check "man -w finds $name($section)" test "$(man -w "$section" "$name" 2>/dev/null)" = "/usr/share/man/man$section/$page.gz"
  check "$name($section) carries version $version" \
    bash -c "zcat '/usr/share/man/man$section/$page.gz' | head -1 | grep -q '\"vendrel $version\"'"
done
check "the operator's guide is installed, the developers' README is not" \
  test -f /usr/share/doc/vendrel/operators-guide.md -a ! -e /usr/share/doc/vendrel/README.md
check "the guide names this version" grep -q "vendrel_${version}_amd64.deb" /usr/share/doc/vendrel/operators-guide.md
for example in apache-endpoints.conf lighttpd-endpoints.conf; do
  check "example $example installed as shipped" \
    cmp -s "$root/packaging/security/$example" "/usr/share/doc/vendrel/examples/$example"
done
help_and_version() {  # help_and_version PATH NAME: --help, --version and a usage error
  local out err rc
  out=$("$1" --help 2>"$work/help.err") && rc=0 || rc=$?
  [ "$rc" = 0 ] && [[ "$out" == "usage: $2 "* ]] && [ ! -s "$work/help.err" ] || return 1
  [ "$("$1" --version 2>&1)" = "$2 $version" ] || return 1
  "$1" --no-such-option >/dev/null 2>"$work/usage.err" && return 1
  rc=$?
  [ "$rc" = 2 ] && grep -q -- "--no-such-option" "$work/usage.err"
}
for program in /usr/sbin/vendrel-logd /usr/bin/vendrel-sign /usr/bin/vendrel-quarantine; do
  check "$program: --help on standard output, --version $version, an unknown option exit 2" \
    help_and_version "$program" "$(basename "$program")"
done
check "the guide's --version lines" guide_run versions
check "they print this version" test "$(grep -c " $version\$" "$work/guide-versions.out")" = 3
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
check "the guide's check passes on the fresh installation" guide_run check
check "and reaches the log server" grep -q "^ok .*log server" "$work/guide-check.out"
# A Quarantine_Folder that names nothing, as a copied example would: check fails and names it.
sed -i 's#^Quarantine_Folder=.*#Quarantine_Folder=/var/lib/vendrel/NoSuchFolder#' /etc/vendrel/server.ini
runuser -u www-data -- vendrel-quarantine check >"$work/check-nowhere.out" 2>&1 && status=0 || status=$?
check "check with Quarantine_Folder pointing nowhere: exit 1" test "$status" = 1
check "it names the folder as FAILED" grep -q "^FAILED .*/var/lib/vendrel/NoSuchFolder" "$work/check-nowhere.out"
sed -i 's#^Quarantine_Folder=.*#Quarantine_Folder=/var/lib/vendrel/Virus#' /etc/vendrel/server.ini
check "server.ini as shipped again" cmp -s "$root/packaging/server.ini" /etc/vendrel/server.ini

echo "== Apache with the configuration the package enabled"
check "the guide's Apache lines (already done by the package)" guide_run apache-enable
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
# Apache passes the words of a query without "=" as arguments: the program reads none.
curl -sS --max-time 60 -o "$work/apache-plain" -w '%{http_code}' "$url?x" >"$work/apache-plain.code"
curl -sS --max-time 60 -o "$work/apache-help" -w '%{http_code}' "$url?--help" >"$work/apache-help.code"
check "Apache: /cgi/bin/vendrel?--help is answered as a query without arguments" \
  bash -c "cmp -s '$work/apache-plain' '$work/apache-help' && cmp -s '$work/apache-plain.code' '$work/apache-help.code'"

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

echo "== the guide's first upload and its traces"
check "the guide's sample upload, through Apache" \
  guide_run first-upload "http://127.0.0.1/" "http://127.0.0.1:$aport/"
check "is answered Vendrel_OK" bash -c "tr -d '\r\n' <'$work/guide-first-upload.out' | grep -q 'Vendrel_OK\$'"
rm -f /tmp/sample
check "the guide's look at the traces finds it" guide_run read-traces
check "the traces show the upload received" grep -q "Receive File Success" "$work/guide-read-traces.out"

echo "== logrotate with the shipped rule"
logrotate -f -s "$work/logrotate.status" /etc/logrotate.d/vendrel >"$work/logrotate-run.log" 2>&1
check "the earlier records were moved to trace.jsonl.1" \
  grep -q "Receive File Success" /var/log/vendrel/trace.jsonl.1
curl -sS --max-time 60 -o /dev/null "$url"
sleep 0.5
check "signalled, the log server writes the next records to a new trace.jsonl" \
  bash -c "grep -q 'cgiGetVars' /var/log/vendrel/trace.jsonl && kill -0 $logd_pid"

echo "== lighttpd with the shipped 50-vendrel.conf, enabled as the guide says"
check "the guide's lighty-enable-mod line" guide_run lighttpd-enable
check "it enabled 50-vendrel.conf" test -L /etc/lighttpd/conf-enabled/50-vendrel.conf
lport=$(free_port)
cat >"$work/lighttpd.conf" <<CONF
server.bind = "127.0.0.1"
server.port = $lport
server.username = "www-data"
server.groupname = "www-data"
server.document-root = "$work/www"
server.errorlog = "$work/lighttpd-error.log"
server.upload-dirs = ("$work")
include "/etc/lighttpd/conf-enabled/50-vendrel.conf"
CONF
chown www-data "$work"
lighttpd -D -f "$work/lighttpd.conf" 2>"$work/lighttpd.stderr" &
pids+=($!)
wait_port "$lport" || { cat "$work/lighttpd.stderr" "$work/lighttpd-error.log" 2>/dev/null; exit 1; }
upload "http://127.0.0.1:$lport/cgi/bin/vendrel" "$verify" "$work/lighttpd-signed"
check "lighttpd: signed upload answered Vendrel_OK" test "$(answer "$work/lighttpd-signed")" = Vendrel_OK

echo "== nginx with the installed snippets/vendrel.conf, fcgiwrap started as the guide says"
# The snippet passes requests to fcgiwrap at /run/fcgiwrap.socket, which may serve the machine
# already: the test's fcgiwrap listens on a socket in its work directory, and nginx includes the
# installed snippet with that one path changed, and nothing else. fcgiwrap's own init script
# starts it, as the guide's lines for a machine without systemd do; /etc/default/fcgiwrap (put
# back afterwards) points its socket and process file at the work directory, and the script is
# kept from handing over to systemd where systemd runs.
check "the guide's fcgiwrap installation line" guide_run nginx-fcgiwrap
snippet=/etc/nginx/snippets/vendrel.conf
fcgi_socket=$work/fcgiwrap/fcgiwrap.socket
mkdir -p "$work/nginx" "$work/fcgiwrap"
check "the snippet passes to unix:/run/fcgiwrap.socket once" \
  test "$(grep -c 'unix:/run/fcgiwrap.socket;' "$snippet")" = 1
sed "s#unix:/run/fcgiwrap.socket;#unix:$fcgi_socket;#" "$snippet" >"$work/nginx/vendrel.conf"
check "the test's copy of the snippet differs in the socket alone" \
  bash -c "diff '$snippet' '$work/nginx/vendrel.conf' | grep -c '^[<>]' | grep -qx 2"
if [ -e "$fcgiwrap_default" ]; then
  cp -p "$fcgiwrap_default" "$work/fcgiwrap.default.saved"
else
  : >"$work/fcgiwrap.default.none"
fi
printf 'FCGI_SOCKET=%s\nPIDFILE=%s\n' "$fcgi_socket" "$work/fcgiwrap/fcgiwrap.pid" >"$fcgiwrap_default"
fcgiwrap_started=1
export _SYSTEMCTL_SKIP_REDIRECT=1
check "the guide's fcgiwrap start without systemd (spawn-fcgi, the init script)" guide_run fcgiwrap-start
unset _SYSTEMCTL_SKIP_REDIRECT
check "fcgiwrap listens as www-data on the socket" \
  test "$(stat -c '%U:%G' "$fcgi_socket" 2>/dev/null)" = "www-data:www-data"
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

echo "== a body over Upload_Max_Size, through each server (the guide says what each answers)"
sed -i 's/^Upload_Max_Size=.*/Upload_Max_Size=1/' /etc/vendrel/server.ini
head -c $((2 * 1024 * 1024)) /dev/zero >"$work/two-mb.bin"
oversize() {  # oversize URL FILE: the last HTTP status (000: none), then the body, of an upload
  rm -f "$work/oversize.body"
  curl -sS --max-time 60 -o "$work/oversize.body" -w '%{http_code}' -F TempFileName=@"$2" \
       -F NewFileSize=1 -F ComputerName=PC7 -F Verify="$verify" "$1" 2>/dev/null || true
  echo " $(tr -d '\r\n' <"$work/oversize.body" 2>/dev/null)"
}
# Apache writes the body to the program while the program, having refused it, ends: Apache
# then either sends the program's empty answer or drops the connection (curl: no final status).
check "Apache: over Upload_Max_Size, status 200 and an empty body, or no answer" \
  bash -c "case '$(oversize "$url" "$work/two-mb.bin")' in '200 '|'000 '|'100 ') exit 0;; esac; exit 1"
check "lighttpd: over Upload_Max_Size, status 200 and an empty body" \
  test "$(oversize "http://127.0.0.1:$lport/cgi/bin/vendrel" "$work/two-mb.bin")" = "200 "
check "nginx: over Upload_Max_Size, 502" \
  test "$(oversize "http://127.0.0.1:$nport/cgi/bin/vendrel" "$work/two-mb.bin" | cut -d' ' -f1)" = 502
truncate -s 101M "$work/over-nginx.bin"
check "nginx: over its client_max_body_size of 100m, 413" \
  test "$(oversize "http://127.0.0.1:$nport/cgi/bin/vendrel" "$work/over-nginx.bin" | cut -d' ' -f1)" = 413
rm -f "$work/two-mb.bin" "$work/over-nginx.bin"
sed -i 's/^Upload_Max_Size=.*/Upload_Max_Size=100/' /etc/vendrel/server.ini
check "nothing of them is left in TEMP/" test -z "$(ls -A /var/lib/vendrel/TEMP)"
_SYSTEMCTL_SKIP_REDIRECT=1 /etc/init.d/fcgiwrap stop >/dev/null 2>&1 || true
fcgiwrap_started=

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

echo "== the guide's quarantine work: examples, freeing space, retention, monitoring, backups"
virus=/var/lib/vendrel/Virus
plant() {  # plant NAME SIZE: a quarantined file as the program files it
  head -c "$2" /dev/urandom >"$work/planted"
  install -o www-data -g www-data -m 0600 "$work/planted" "$virus/$1"
}
# The guide's examples name files filed in 2026; these stand for them.
plant WS-0177_1788563149.0 2048
plant LAB_PC_03_1793315149.0 7340
plant WS-0203_1796677549.0 4000
check "the guide's list examples run" guide_run list-examples
check "they list the planted files" grep -q "LAB_PC_03_1793315149.0" "$work/guide-list-examples.out"
check "the guide's stats examples run" guide_run stats-examples
check "the guide's samples example runs" guide_run samples-examples
check "the guide's purge of files older than 90 days" guide_run purge-older
check "it deleted the file filed in 2026-09 and kept the newer ones" \
  test ! -e "$virus/WS-0177_1788563149.0" -a -e "$virus/WS-0203_1796677549.0"
check "the guide's purge down to 5G (nothing to delete here)" guide_run purge-keep
check "it kept every file" test -e "$virus/WS-0203_1796677549.0"
plant WS-0142_1786403149.0 18944
check "the guide's deletion by hand and rescan" guide_run delete-by-hand
check "the file is gone and .store holds the listing's total" \
  bash -c "test ! -e '$virus/WS-0142_1786403149.0' && grep -q '^new .store: ' '$work/guide-delete-by-hand.out'"
check "the guide's retention of 90 days, checked and previewed" guide_run retention
check "server.ini holds the retention the guide set" grep -qx "Quarantine_Retention_Days=90" /etc/vendrel/server.ini
# The two files the guide's purge example deletes.
plant WS-0142_1786403149.0 18944
plant WS-0177_1788563149.0 2048
check "the guide's purge examples" guide_run purge-examples
check "the retention purge took the files filed before 90 days, and kept 2026-10's" \
  test ! -e "$virus/WS-0142_1786403149.0" -a ! -e "$virus/WS-0177_1788563149.0" -a -e "$virus/LAB_PC_03_1793315149.0"
check "the guide's rescan example" guide_run rescan-example
check "the guide's check example" guide_run check-example
sed -i 's/^Quarantine_Retention_Days=.*/Quarantine_Retention_Days=0/' /etc/vendrel/server.ini
mkdir -p "$work/node-exporter"
check "the guide's metrics line, into a collector directory of the test's own" \
  guide_run metrics-cron /var/lib/prometheus/node-exporter/ "$work/node-exporter/"
prom_written() {
  grep -q '^vendrel_quarantine_files ' "$work/node-exporter/vendrel_quarantine.prom" &&
    test "$(ls "$work/node-exporter")" = vendrel_quarantine.prom
}
check "it wrote the whole .prom file and nothing beside it" prom_written
check "the guide's daily purge from cron, as www-data" guide_run purge-cron
check "it deleted nothing (Quarantine_Retention_Days=0)" grep -q "nothing deleted" "$work/guide-purge-cron.out"
check "the guide's backup" guide_run backup
backup_holds() {
  test "$(stat -c '%U %a' "$backup_file")" = "root 600" &&
    tar -tzf "$backup_file" >"$work/backup.list" &&
    grep -qx "etc/vendrel/server.ini" "$work/backup.list" &&
    grep -qx "var/lib/vendrel/Virus/WS-0203_1796677549.0" "$work/backup.list"
}
check "the backup is root's alone and holds server.ini and the quarantined files" backup_holds
rm "$virus/WS-0203_1796677549.0"
echo "; lost" >>/etc/vendrel/server.ini
check "the guide's restore" guide_run restore
restored() {
  test "$(owner_mode "$virus/WS-0203_1796677549.0")" = "www-data:www-data 600" &&
    ! grep -q "; lost" /etc/vendrel/server.ini
}
check "it put the file back as www-data's, and server.ini as it was" restored
check "and rescanned the folder" grep -q "^new .store: " "$work/guide-restore.out"
rm -f "$backup_file"

echo "== the log server without systemd, as the guide starts it"
kill "$logd_pid" 2>/dev/null || true
wait "$logd_pid" 2>/dev/null || true
mv /var/log/vendrel/trace.jsonl "$work/trace-unit.jsonl"
logd_running() { pgrep -u vendrel -x vendrel-logd; }
check "no log server runs" bash -c "! pgrep -u vendrel -x vendrel-logd >/dev/null"
# From a shell with the usual umask, which used to leave trace.jsonl readable by everyone.
umask_before=$(umask)
umask 022
check "the guide's start of the log server" guide_run logd-start
umask "$umask_before"
for _ in $(seq 200); do grep -q "listening on" /var/log/vendrel/vendrel-logd.err 2>/dev/null && break; sleep 0.05; done
check "it listens" grep -q "listening on /run/vendrel/Log_ServerNamePipe" /var/log/vendrel/vendrel-logd.err
check "its socket is open to the group www-data alone" \
  test "$(stat -c '%U:%G %a' /run/vendrel/Log_ServerNamePipe)" = "vendrel:www-data 660"
check "the guide's look at it" guide_run logd-running
check "it shows the log server's command line" grep -q "/usr/sbin/vendrel-logd --pipe Log_ServerNamePipe" "$work/guide-logd-running.out"
check "check reaches it" guide_run check
sleep 0.5
check "trace.jsonl, made by the log server started from a umask 022 shell, is vendrel's, 0640" \
  test "$(owner_mode /var/log/vendrel/trace.jsonl)" = "vendrel:vendrel 640"
mv /var/log/vendrel/trace.jsonl /var/log/vendrel/trace.jsonl.1
check "the guide's reopen signal" guide_run logd-reopen
for _ in $(seq 100); do [ -e /var/log/vendrel/trace.jsonl ] && break; sleep 0.05; done
check "the reopened trace.jsonl is vendrel's, 0640" \
  test "$(owner_mode /var/log/vendrel/trace.jsonl)" = "vendrel:vendrel 640"
logd_pid=$(logd_running)
filed_count=$(ls /var/lib/vendrel/Virus | wc -l)
echo "== upgrade in place (settings edited by the operator stay)"
check "the guide's line that turns the Apache configuration off" guide_run apache-disable
check "it is off" test ! -e /etc/apache2/conf-enabled/vendrel.conf
echo "; edited by the operator" >>/etc/vendrel/server.ini
chown root:root /var/lib/vendrel/Virus
dpkg --force-confold -i "$deb" >"$work/upgrade.log" 2>&1 || { cat "$work/upgrade.log"; exit 1; }
if [ ! -d /run/systemd/system ]; then
  check "the upgrade says that the log server started by hand runs the old program" \
    grep -q "a log server started by hand still runs the program of version $version" "$work/upgrade.log"
fi
check "the upgrade did not restart it: the same process runs the replaced program" \
  bash -c "kill -0 $logd_pid && readlink /proc/$logd_pid/exe | grep -q ' (deleted)\$'"
check "the guide's stop" guide_run logd-stop
check "it stopped the old log server" bash -c "! kill -0 $logd_pid 2>/dev/null"
check "the guide's start, after the upgrade" guide_run logd-start
for _ in $(seq 200); do logd_running >/dev/null && break; sleep 0.05; done
logd_pid=$(logd_running || true)
check "the new log server runs the installed program" \
  test -n "$logd_pid" -a "$(readlink "/proc/${logd_pid:-0}/exe")" = /usr/sbin/vendrel-logd
check "edited server.ini kept" grep -q "edited by the operator" /etc/vendrel/server.ini
check "an operator's change of the quarantine folder's owner kept" \
  test "$(stat -c %U /var/lib/vendrel/Virus)" = root
chown www-data:www-data /var/lib/vendrel/Virus
check "quarantined files kept, the Apache configuration turned off stays off" \
  test "$(ls /var/lib/vendrel/Virus | wc -l)" = "$filed_count" -a ! -e /etc/apache2/conf-enabled/vendrel.conf
check "the guide's Apache lines turn it on again" guide_run apache-enable
check "it is on" test -e /etc/apache2/conf-enabled/vendrel.conf

echo "== remove (settings and quarantined files stay)"
# Upgraded once more without a restart, the log server runs a replaced program: removal stops
# it all the same.
dpkg --force-confold -i "$deb" >"$work/upgrade2.log" 2>&1 || { cat "$work/upgrade2.log"; exit 1; }
check "the log server runs the replaced program" \
  bash -c "readlink /proc/$logd_pid/exe | grep -q ' (deleted)\$'"
guide_run remove || exit 1
check "program gone" test ! -e /usr/lib/vendrel
check "settings and quarantined files kept" test -f /etc/vendrel/server.ini -a "$(ls /var/lib/vendrel/Virus | wc -l)" = "$filed_count"
check "Apache configuration disabled" test ! -e /etc/apache2/conf-enabled/vendrel.conf
check "the log server was stopped" bash -c "! kill -0 $logd_pid 2>/dev/null"

echo "== purge"
guide_run purge-package || exit 1
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
left=$(vendrel_named | comm -13 "$work/named-before" - | head -5)
check "no file named after vendrel left anywhere in the system's directories${left:+: $left}" test -z "$left"
purge_on_failure=0
check "every block of the guide that is not marked was run: ${ran_blocks[*]}" \
  python3 "$root/tests/docs/guide_blocks.py" unrun "$guide" "${ran_blocks[@]}"

if [ "$failures" -ne 0 ]; then
  echo "package-test: $failures check(s) failed"
  exit 1
fi
echo "package-test: all checks passed"
