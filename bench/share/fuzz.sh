#!/usr/bin/env bash
# Builds the request-reading fuzz target with clang's libFuzzer, AddressSanitizer
# and UBSan, and runs it for a fixed budget (seconds, default 120) from the
# small corpus beside it. Any crash or sanitizer report fails the script.
set -euo pipefail
cd "$(dirname "$0")/../.."
budget=${1:-120}
out=build/fuzz
mkdir -p "$out/corpus"
cp -n bench/share/fuzz_corpus/* "$out/corpus/" 2>/dev/null || true
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -I. \
  bench/share/fuzz_request.cpp share/http_server.cpp share/http_response.cpp share/io_handler.cpp \
  share/tcp_server.cpp share/mime_table.cpp share/mime_table_posix.cpp share/text.cpp share/socket_posix.cpp \
  -o "$out/fuzz_request" -lpthread
"$out/fuzz_request" -max_total_time="$budget" -max_len=70000 -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$out/" "$out/corpus" 2>&1 | tee "$out/fuzz.log" | grep -E '^#|ERROR|SUMMARY|stat::' | tail -12
grep -q 'ERROR\|SUMMARY:' "$out/fuzz.log" && { echo "fuzzer found a failure"; exit 1; }
echo "fuzz: ${budget}s, no crash, no sanitizer report"
