#!/usr/bin/env bash
# The main job, end to end on this machine: a signed upload and a forged one, sent with curl as
# an endpoint sends them, through lighttpd on 127.0.0.1 to the program, with vendrel-logd
# receiving the traces. Builds what is missing; stops everything it started.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh
if [ ! -x build/native/bin/vendrel ] || [ ! -x build/native/bin/vendrel-sign ]; then
  cmake --preset native >/dev/null
  cmake --build --preset native -j 2
fi
bin=$root/build/native/bin

work=$root/build/demo
rm -rf "$work"
home=$work/home
mkdir -p "$home/TEMP" "$home/Virus" "$home/cgi/bin" "$home/www" "$work/lighttpd-uploads" "$work/pipes"
cp "$bin/vendrel" "$bin/libKelsio.so" "$bin/libpelix32.so" "$home/cgi/bin/"
cat > "$home/server.ini" <<INI
[INI_SERVER_SECTION]
Quarantine_Folder=$home/Virus
Quarantine_Folder_Capacity=10240
Quarantine_Folder_Cache_Life=20
INI

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

export VENDREL_PIPE_DIR=$work/pipes
"$bin/vendrel-logd" --format jsonl --output "$work/trace.jsonl" 2>"$work/logd.err" &
pids+=($!)
for _ in $(seq 100); do grep -q "listening on" "$work/logd.err" 2>/dev/null && break; sleep 0.05; done

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sed -e "s|@PORT@|$port|" -e "s|@HOME@|$home|g" -e "s|@WORK@|$work|g" \
    -e 's|@CGI_ASSIGN@|"" => ""|' -e "s|@KELSIO_HOME@|$home|" -e "s|@PIPE_DIR@|$work/pipes|" \
    -e 's|@EXTRA_ENV@||' scripts/lighttpd-vendrel.conf.in > "$work/lighttpd.conf"
lighttpd -D -f "$work/lighttpd.conf" &
pids+=($!)
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.05; done
url=http://127.0.0.1:$port/cgi/bin/vendrel

sample=$work/infected.bin
head -c 4096 /dev/urandom > "$sample"
verify=$("$bin/vendrel-sign" "$sample" PC7)

echo "== upload signed by PC7 (Verify=$verify)"
curl -sS -F TempFileName=@"$sample" -F NewFileSize="$(stat -c %s "$sample")" \
     -F ComputerName=PC7 -F Verify="$verify" "$url" | od -c | head -3
echo "== the same file with a wrong signature"
curl -sS -F TempFileName=@"$sample" -F NewFileSize="$(stat -c %s "$sample")" \
     -F ComputerName=PC7 -F Verify=00000000000000000000000000000000 "$url" | od -c | head -3

echo "== quarantine folder $home/Virus"
ls -la "$home/Virus"
echo "== .store (signed 64-bit little-endian byte count)"
od -A d -t d8 "$home/Virus/.store" | head -1
echo "== upload directory (rejected uploads are deleted)"
ls -la "$home/TEMP"
sleep 0.3
echo "== trace records"
python3 - "$work/trace.jsonl" <<'PY'
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    r = json.loads(line)
    print("%5s %-10s %4s  %s" % (r.get("level"), r.get("source"), r.get("line"), r.get("message")))
PY
