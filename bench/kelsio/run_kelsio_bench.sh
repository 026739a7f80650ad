#!/bin/sh
# A 50 MB file part through the CGI request parser, as the program receives it: peak resident
# memory (GNU time) must stay far below the file's size, because the parser streams parts.
# Usage: run_kelsio_bench.sh <builddir> [megabytes]   (a native or release build)
set -eu
build=${1:?usage: run_kelsio_bench.sh <builddir> [megabytes]}
mb=${2:-50}
bench="$build/bin/kelsio_upload_bench"
[ -x "$bench" ] || { echo "no $bench: build the target kelsio_upload_bench" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 2; }

work=$(mktemp -d /tmp/kelsio-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home/TEMP"
printf '[INI_SERVER_SECTION]\nUpload_Max_Size=%d\n' $((mb + 1)) > "$work/home/server.ini"

boundary="----kelsiobench7d9a3f"
body="$work/body.bin"
{
    printf -- '--%s\r\nContent-Disposition: form-data; name="ComputerName"\r\n\r\nPC7\r\n' "$boundary"
    printf -- '--%s\r\nContent-Disposition: form-data; name="TempFileName"; filename="big.bin"\r\n' "$boundary"
    printf 'Content-Type: application/octet-stream\r\n\r\n'
    head -c $((mb * 1048576)) /dev/urandom
    printf -- '\r\n--%s--\r\n' "$boundary"
} > "$body"
length=$(stat -c %s "$body")

REQUEST_METHOD=POST CONTENT_TYPE="multipart/form-data; boundary=$boundary" \
CONTENT_LENGTH=$length QUERY_STRING= KELSIO_HOME="$work/home" \
    /usr/bin/time -v "$bench" < "$body" > "$work/result.txt" 2> "$work/time.txt"

rss_kb=$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$work/time.txt")
file_kb=$((mb * 1024))
cat "$work/result.txt"
echo "peak_rss_kb $rss_kb"
echo "file_part_kb $file_kb"
echo "peak_rss_percent_of_file $((rss_kb * 100 / file_kb))"
if [ "$rss_kb" -ge $((file_kb / 4)) ]; then
    echo "FAIL: peak memory is not well under the file size" >&2
    exit 1
fi
echo "OK: the file part was streamed in bounded memory"
