#!/bin/sh
# Runs the CGI request parser's fuzz target for a bounded time on a small seed corpus made here.
# Usage: run_kelsio_fuzz.sh <builddir> [seconds]   (build with the fuzz preset first)
# Exits non-zero when the fuzzer finds a crash, a leak or a left-over upload file.
set -eu
. "$(dirname "$0")/fuzz_run.sh"
fuzz_begin kelsio bin/kelsio_cgi_fuzz "$@"

# Head bytes: method, content type, length mode, read chunk, flags, query length (2, LE).
seed() { name=$1; shift; printf "$@" > "$corpus/$name"; }
seed get '\000\000\004\000\000\027\000TempFileName=a%%41+b&x='
seed urlencoded '\003\000\004\007\000\004\000q=%%7eNewFileSize=42&ComputerName=PC7&Verify=abc'
seed multipart '\003\004\004\005\000\000\000--fz\r\nContent-Disposition: form-data; name="TempFileName"; filename="x.bin"\r\nContent-Type: application/octet-stream\r\n\r\nMZ\r\n--fzz\r\n\r\n--fz\r\nContent-Disposition: form-data; name="NewFileSize"\r\n\r\n4\r\n--fz--\r\n'
seed quoted '\003\003\004\000\000\000\000pre\r\n--fz \r\ncontent-disposition: form-data; name=a\n\nv\r\n--fz--'
seed truncated '\003\004\002\001\000\000\000--fz\r\nContent-Disposition: form-data; name="f"; filename=""\r\n\r\ndata'
seed small '\003\004\004\377\002\000\000--fz\r\nContent-Disposition: form-data; name="a"\r\n\r\n1\r\n--fz--'
# What may follow a delimiter: CRLF or "--"; text there, a bare LF, and a body that ends at the
# delimiter are refused.
seed after-crlf '\003\004\004\003\000\000\000--fz \r\nContent-Disposition: form-data; name="a"\r\n\r\n1\r\n--fz--'
seed after-dashes '\003\004\004\000\000\000\000--fz\r\nContent-Disposition: form-data; name="f"; filename="x"\r\n\r\n--\r\n--fz--epilogue'
seed after-text '\003\004\004\000\000\000\000--fz\r\nContent-Disposition: form-data; name="a"\r\n\r\nv\r\n--fzxxContent-Disposition: form-data; name="b"\r\n\r\nw\r\n--fz--'
seed after-lf '\003\004\004\002\000\000\000--fz\nContent-Disposition: form-data; name="a"\r\n\r\nv\r\n--fz--'
seed ends-at-delimiter '\003\004\004\007\000\000\000--fz\r\nContent-Disposition: form-data; name="f"; filename="x"\r\n\r\n----------------------------------------\r\n--fz'

fuzz_run 140000
