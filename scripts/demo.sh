#!/usr/bin/env bash
# Installs what is missing, builds, starts the loopback speech server on a
# free port and renders a sample text through it into out/demo.raw.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build

mkdir -p out
rm -f out/demo-frames.log
server_out=$(mktemp)
python3 tests/speech_server.py --port 0 --log out/demo-frames.log >"$server_out" &
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

build/tests/client/packet_demo 127.0.0.1 "$port" "Hello from the Orvelle client." out/demo.raw

echo "audio written to $root/out/demo.raw (16-bit signed little-endian mono, 16000 Hz)"
echo "play it with:  aplay -f S16_LE -r 16000 -c 1 out/demo.raw"
echo "          or:  play -t raw -r 16000 -e signed -b 16 -c 1 out/demo.raw"
