#!/usr/bin/env bash
# The main job, end to end on this machine: a signed upload and a forged one, sent with curl as
# an endpoint sends them, through lighttpd on 127.0.0.1 to the program, with vendrel-logd
# receiving the traces, then a short summary: each answer, where the upload went, the folder size
# cached in .store and the trace of each request. Builds what is missing; stops everything it
# started. Runs as root or as a user (setup.sh raises only the package installation).
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

# The body is one token (ending CR CR LF on the wire); show the text before it.
answer() { tr -d '\r\n' < "$1"; }
size=$(stat -c %s "$sample")
curl -sS -o "$work/answer-signed" -F TempFileName=@"$sample" -F NewFileSize="$size" \
     -F ComputerName=PC7 -F Verify="$verify" "$url"
curl -sS -o "$work/answer-forged" -F TempFileName=@"$sample" -F NewFileSize="$size" \
     -F ComputerName=PC7 -F Verify=00000000000000000000000000000000 "$url"
curl -sS -o "$work/answer-empty" "$url"
sleep 0.3

filed=$(cd "$home/Virus" && ls -A | grep -vx '.store' || true)
left=$(ls -A "$home/TEMP")
store=$(python3 -c 'import sys; print(int.from_bytes(open(sys.argv[1], "rb").read(), "little", signed=True))' \
        "$home/Virus/.store" 2>/dev/null || echo "missing")
echo
echo "== Summary (lighttpd on 127.0.0.1:$port, home $home)"
printf '  %-44s -> %s\n' "signed upload, $size bytes, ComputerName PC7" "$(answer "$work/answer-signed")"
printf '  %-44s -> %s\n' "the same file with a forged signature" "$(answer "$work/answer-forged")"
printf '  %-44s -> %s\n' "a request without variables" "\"$(answer "$work/answer-empty")\" (empty body)"
echo "  filed in the quarantine folder:     ${filed:-nothing} ($home/Virus)"
if [ -n "$filed" ] && cmp -s "$sample" "$home/Virus/$filed"; then
  echo "                                      same bytes as the upload"
fi
echo "  left in the upload directory:       ${left:-nothing (the forged upload was deleted)}"
echo "  .store (cached folder size):        $store bytes"
echo "  traces ($work/trace.jsonl), one request a block:"
python3 - "$work/trace.jsonl" <<'PY'
import json, sys
last = None
for line in open(sys.argv[1], encoding="utf-8"):
    r = json.loads(line)
    if r.get("pid") != last:
        last = r.get("pid")
        print("    -- request process %s" % last)
    msg = r.get("message", "")
    for _ in range(2):  # drop the "[Vendrel][vendrel]" prefix
        if msg.startswith("["):
            msg = msg[msg.index("]") + 1:]
    print("    level %-3s line %-4s %s" % (r.get("level"), r.get("line"), msg))
PY
