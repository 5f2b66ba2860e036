#!/usr/bin/env bash
# Installs what is missing, builds, starts the loopback speech server on a
# free port, renders samples/hello.txt with orvelleclient into out/hello.raw
# and stops the server again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh
# A build folder keeps the generator it was made with; a new one uses Ninja.
generator=()
if [ ! -f build/CMakeCache.txt ]; then generator=(-G Ninja); fi
cmake -S . -B build "${generator[@]}" >/dev/null
cmake --build build --target orvelleclient

mkdir -p out
rm -f out/demo-frames.log out/hello.raw
server_out=$(mktemp)
python3 tests/speech_server.py --port 0 --sample-rate 16000 --log out/demo-frames.log >"$server_out" &
server_pid=$!
stop_server() {
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  rm -f "$server_out"
}
trap stop_server EXIT

port=""
for _ in $(seq 300); do
  if read -r word value <"$server_out" && [ "$word" = LISTENING ]; then
    port=$value
    break
  fi
  if ! kill -0 "$server_pid" 2>/dev/null; then break; fi
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "the loopback speech server did not start" >&2
  exit 1
fi
echo "loopback speech server listening on 127.0.0.1:$port"

build/cli/orvelleclient -H 127.0.0.1 -p "$port" -t -o out samples/hello.txt

stop_server
trap - EXIT
echo "loopback speech server stopped"
echo
echo "audio written to $root/out/hello.raw (raw 16-bit signed little-endian mono samples, 16000 Hz)"
echo "play it with:  aplay -t raw -f S16_LE -r 16000 -c 1 out/hello.raw"
echo "          or:  play -t raw -r 16000 -e signed -b 16 -c 1 -L out/hello.raw"
