#!/usr/bin/env python3
"""Loopback speech server for the client's tests and the demo.

It speaks the client's wire protocol on 127.0.0.1. Every frame is big-endian:
16-bit type, 32-bit stream id, 32-bit length L (at most 64,000), L data bytes
and L again. The server answers every text frame (type 1 final text, 15 stream
piece) and every XML query (13) with zero or more event frames and one END
(11); it answers the query <voice name="all"/> with its voice list.

Usage:
  speech_server.py [--port N] [--script FILE | --script-json TEXT] [--log FILE]
                   [--port-file FILE] [--sample-rate HZ]

With --port 0 (the default) it picks a free port. Once it listens it prints
"LISTENING <port>" on standard output (and writes the port to --port-file).

Frame log (--log): one line per event, fields "key=value" separated by blanks,
flushed at once; a frame is logged before the server reacts to it:
  listening port=P
  connect conn=C
  frame conn=C type=T stream=S length=L trailer=L2 ok=1|0 data=<hex>
  markup conn=C wellformed=1|0      (after each final text frame: whether the
                                    text of the request's text frames, wrapped
                                    in a root element, is well-formed XML)
  bad_length conn=C type=T stream=S length=L
  sent conn=C type=T length=L
  close conn=C                      (the client sent CLOSE)
  disconnect conn=C reason=eof|error|dropped|closed|bad_length|bad_trailer

Script (JSON object; every key optional):
  "rules":      [{"when": MATCH, "reply": [ACTION...], "times": N}, ...]
                The first rule whose MATCH fits a received text or XML frame
                (and has uses left) replies instead of the defaults.
                MATCH keys: "type" (int), "text" (the data without its final
                NUL, exact), "contains" (substring of that text).
  "on_connect": [ACTION...]     run as soon as a client connects
  "text_reply": [ACTION...]     default answer to types 1 and 15
                                (default: one second of tone, then END)
  "query_reply":[ACTION...]     default answer to other XML queries (END)
  "voices":     [{"name": ..., "SAMPLE_RATE": ..., ...}, ...]
                the voice list (default: two voices)
  "sample_rate": HZ             rate of generated audio (default 16000)

ACTIONs (objects; one key each unless noted):
  {"audio": {"ms": 1000} | {"bytes": N} | {"hex": "..."} | {"number": N}}
        16-bit little-endian samples of a 440 Hz tone (or the given bytes);
        "number": N bytes (rounded down to whole 4-byte words) that repeat,
        as a 32-bit big-endian word, the number written "req<digits>" in the
        text of the frame being answered (0 when it has none), so that a
        test sees which request an answer belongs to;
        "frame_bytes": N (default 32000) cuts long audio into several frames
  {"phoneme": {"phoneme": "ae", "next": "t", "phone_length": 640,
               "sample_rate": 16000, "sapi_viseme": 1, "disney_viseme": 2,
               "stress": 1, "sapi_phoneid": 3, "next_sapi_phoneid": 4,
               "next_sapi_viseme": 5, "truncate": BYTES}}
        a phoneme payload (names written as given with their NUL; "truncate"
        keeps only the first BYTES bytes of the payload)
  {"word": TEXT} {"bookmark": TEXT} {"spurt": TEXT} {"xml": TEXT}
        event text followed by a NUL; add "nul": false to omit the NUL
  {"voice_list": true}          the voice list as an XML reply
  {"end": true}                 END
  {"close": true}               CLOSE (the server then keeps reading)
  {"frame": {"type": T, "stream": S, "hex": "...", "text": "...",
             "length": L, "trailer": L2, "split_at": [k, ...], "pause_ms": P}}
        any frame; "length"/"trailer" override the two length fields (a
        length above 64,000 makes an oversize frame); "split_at" sends the
        frame in pieces cut at those byte offsets with a pause between them
  {"raw": "hex"}                bytes as they are
  {"mode": "normal" | "bytewise" | "pairs" | "chunks", "size": N,
   "delay_ms": D}
        how later frames are written: whole; one byte per write (D ms apart,
        default 1); two frames per write; N bytes per write
  {"stall_ms": N}               wait
  {"drop": true}                close the connection without CLOSE
  {"reset": true}               abort the connection (RST)
  {"stream": {"type": 10, "bytes": 3200, "interval_ms": 5, "max_ms": 30000}}
        keep sending frames until the client sends CLOSE, closes, or max_ms
        pass
"""

import argparse
import functools
import json
import math
import re
import select
import socket
import struct
import sys
import threading
import time
import xml.dom.minidom
from xml.sax.saxutils import quoteattr

MAX_LENGTH = 64000
REQUEST_NUMBER = re.compile(rb"req(\d+)")
TEXT, PHONEME, SPURT, WORD, BOOKMARK, AUDIO, END, CLOSE, XML, TEXT_STREAM = (
    1, 3, 6, 8, 9, 10, 11, 12, 13, 15)

DEFAULT_VOICES = [
    {"name": "Velisa", "VOICE_ID": "1", "SEX": "female", "LANGUAGE": "English",
     "LANGUAGE_ID": "1", "COUNTRY": "United States", "COUNTRY_ID": "1",
     "REGION": "", "ACCENT": "General American", "ACCENT_ID": "1",
     "VOICE_UUID": "6c1d7a3e-0001-4f00-9a00-000000000001",
     "SAMPLE_RATE": "16000", "SAMPLE_BITS": "16", "ENCODING": "linear",
     "LANGUAGE_CODE_ISO": "en", "LANGUAGE_CODE_MICROSOFT": "1033",
     "COUNTRY_CODE_ISO": "US"},
    {"name": "Torvald", "VOICE_ID": "2", "SEX": "male", "LANGUAGE": "Swedish",
     "LANGUAGE_ID": "2", "COUNTRY": "Sweden", "COUNTRY_ID": "2",
     "REGION": "Svealand", "ACCENT": "Central", "ACCENT_ID": "2",
     "VOICE_UUID": "6c1d7a3e-0002-4f00-9a00-000000000002",
     "SAMPLE_RATE": "22050", "SAMPLE_BITS": "16", "ENCODING": "linear",
     "LANGUAGE_CODE_ISO": "sv", "LANGUAGE_CODE_MICROSOFT": "1053",
     "COUNTRY_CODE_ISO": "SE"},
]


class FrameLog:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = open(path, "a", encoding="ascii") if path else None

    def write(self, kind, **fields):
        if not self.file:
            return
        line = kind + "".join(" %s=%s" % (k, v) for k, v in fields.items())
        with self.lock:
            self.file.write(line + "\n")
            self.file.flush()


def frame(ftype, data=b"", stream=0, length=None, trailer=None):
    n = len(data) if length is None else length
    t = n if trailer is None else trailer
    return struct.pack(">HII", ftype, stream, n) + data + struct.pack(">I", t)


@functools.lru_cache(maxsize=None)
def tone(byte_count, rate):
    samples = byte_count // 2
    out = bytearray()
    for i in range(samples):
        v = int(8000 * math.sin(2 * math.pi * 440 * i / rate))
        out += struct.pack("<h", v)
    return bytes(out)


def phoneme_payload(fields):
    name = fields.get("phoneme", "").encode() + b"\0"
    nxt = fields.get("next", "").encode() + b"\0"
    payload = struct.pack(">III", fields.get("phone_length", 0), len(name), len(nxt))
    payload += name + nxt
    for key in ("sample_rate", "sapi_viseme", "disney_viseme", "stress",
                "sapi_phoneid", "next_sapi_phoneid", "next_sapi_viseme"):
        payload += struct.pack(">I", fields.get(key, 0))
    payload += b"\0" * 6
    if "truncate" in fields:
        payload = payload[:fields["truncate"]]
    return payload


def voice_list_xml(voices):
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<voices>"]
    for v in voices:
        attrs = " ".join("%s=%s" % (k, quoteattr(str(val))) for k, val in v.items())
        lines.append("  <voice %s/>" % attrs)
    lines.append("</voices>")
    return "\n".join(lines)


class Dropped(Exception):
    """The script ended the connection."""


class Connection:
    def __init__(self, server, sock, number):
        self.server = server
        self.sock = sock
        self.conn = number
        self.log = server.log
        self.mode = "normal"
        self.mode_size = 1
        self.delay = 0.001
        self.pending = b""
        self.closed_by_client = False
        self.request_text = b""
        self.answering = b""

    # ---- reading ----

    def read_exact(self, n):
        data = bytearray()
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                return None
            data += chunk
        return bytes(data)

    def read_frame(self):
        """Returns (type, stream, data, ok), or None at EOF or a bad length."""
        header = self.read_exact(10)
        if header is None:
            return None
        ftype, stream, length = struct.unpack(">HII", header)
        if length > MAX_LENGTH:
            self.log.write("bad_length", conn=self.conn, type=ftype, stream=stream, length=length)
            raise Dropped("bad_length")
        data = self.read_exact(length)
        trailer = self.read_exact(4) if data is not None else None
        if trailer is None:
            return None
        (closing,) = struct.unpack(">I", trailer)
        ok = closing == length
        self.log.write("frame", conn=self.conn, type=ftype, stream=stream, length=length,
                       trailer=closing, ok=int(ok), data=data.hex())
        if not ok:
            raise Dropped("bad_trailer")
        if ftype in (1, 15):
            self.check_markup(ftype, data)
        return ftype, stream, data

    def check_markup(self, ftype, data):
        """Logs, at the end of a request, whether its text is well-formed."""
        self.request_text += data.rstrip(b"\0")
        if ftype != 1:
            return
        # An external subset makes entity names that the root does not
        # declare acceptable, as they are to a server that knows them.
        document = b'<!DOCTYPE speak SYSTEM "speak.dtd"><speak>' + self.request_text + b"</speak>"
        self.request_text = b""
        try:
            xml.dom.minidom.parseString(document)
            wellformed = 1
        except Exception:  # expat's errors and anything it cannot decode
            wellformed = 0
        self.log.write("markup", conn=self.conn, wellformed=wellformed)

    # ---- writing ----

    def write_bytes(self, data):
        if self.mode == "bytewise" or self.mode == "chunks":
            size = 1 if self.mode == "bytewise" else max(1, self.mode_size)
            for i in range(0, len(data), size):
                self.sock.sendall(data[i:i + size])
                time.sleep(self.delay)
        else:
            self.sock.sendall(data)

    def send(self, ftype, data=b"", stream=0, length=None, trailer=None, split_at=None, pause=0.0):
        raw = frame(ftype, data, stream, length, trailer)
        self.log.write("sent", conn=self.conn, type=ftype, length=len(data) if length is None else length)
        if split_at:
            self.flush_pending()
            cuts = [0] + sorted(k for k in split_at if 0 < k < len(raw)) + [len(raw)]
            for a, b in zip(cuts, cuts[1:]):
                self.sock.sendall(raw[a:b])
                if b < len(raw):
                    time.sleep(pause)
            return
        if self.mode == "pairs":
            if self.pending:
                self.sock.sendall(self.pending + raw)
                self.pending = b""
            else:
                self.pending = raw
            return
        self.write_bytes(raw)

    def flush_pending(self):
        if self.pending:
            self.sock.sendall(self.pending)
            self.pending = b""

    def text_event(self, ftype, value, fields):
        data = value.encode() if isinstance(value, str) else bytes(value)
        if fields.get("nul", True):
            data += b"\0"
        self.send(ftype, data)

    def run_actions(self, actions):
        for action in actions:
            self.run_action(action)
        self.flush_pending()

    def run_action(self, a):
        rate = self.server.script.get("sample_rate", self.server.sample_rate)
        if "audio" in a:
            fields = a["audio"]
            if "hex" in fields:
                data = bytes.fromhex(fields["hex"])
            elif "number" in fields:
                found = REQUEST_NUMBER.search(self.answering)
                word = struct.pack(">I", int(found.group(1)) % (1 << 32) if found else 0)
                data = word * (fields["number"] // 4)
            elif "bytes" in fields:
                data = tone(fields["bytes"], rate)
            else:
                data = tone(rate * 2 * fields.get("ms", 1000) // 1000, rate)
            step = fields.get("frame_bytes", 32000)
            for i in range(0, max(len(data), 1), step):
                self.send(AUDIO, data[i:i + step])
        elif "phoneme" in a:
            self.send(PHONEME, phoneme_payload(a["phoneme"]))
        elif "word" in a:
            self.text_event(WORD, a["word"], a)
        elif "bookmark" in a:
            self.text_event(BOOKMARK, a["bookmark"], a)
        elif "spurt" in a:
            self.text_event(SPURT, a["spurt"], a)
        elif "xml" in a:
            self.text_event(XML, a["xml"], a)
        elif "voice_list" in a:
            voices = self.server.script.get("voices", DEFAULT_VOICES)
            self.text_event(XML, voice_list_xml(voices), a)
        elif "end" in a:
            self.send(END)
        elif "close" in a:
            self.send(CLOSE)
        elif "frame" in a:
            f = a["frame"]
            if "hex" in f:
                data = bytes.fromhex(f["hex"])
            else:
                data = f.get("text", "").encode()
            self.send(f.get("type", AUDIO), data, f.get("stream", 0), f.get("length"),
                      f.get("trailer"), f.get("split_at"), f.get("pause_ms", 0) / 1000.0)
        elif "raw" in a:
            self.flush_pending()
            self.sock.sendall(bytes.fromhex(a["raw"]))
        elif "mode" in a:
            self.flush_pending()
            self.mode = a["mode"]
            self.mode_size = a.get("size", 1)
            self.delay = a.get("delay_ms", 1) / 1000.0
        elif "stall_ms" in a:
            self.flush_pending()
            time.sleep(a["stall_ms"] / 1000.0)
        elif "drop" in a:
            self.flush_pending()
            raise Dropped("dropped")
        elif "reset" in a:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            raise Dropped("reset")
        elif "stream" in a:
            self.flush_pending()
            self.stream(a["stream"], rate)

    def stream(self, fields, rate):
        ftype = fields.get("type", AUDIO)
        data = tone(fields.get("bytes", 3200), rate)
        interval = fields.get("interval_ms", 5) / 1000.0
        deadline = time.monotonic() + fields.get("max_ms", 30000) / 1000.0
        while time.monotonic() < deadline:
            try:
                self.send(ftype, data)
            except OSError:
                raise Dropped("error")
            readable, _, _ = select.select([self.sock], [], [], interval)
            if readable:
                got = self.read_frame()
                if got is None:
                    raise Dropped("eof")
                if got[0] == CLOSE:
                    self.log.write("close", conn=self.conn)
                    raise Dropped("closed")

    # ---- answering ----

    def find_rule(self, ftype, data):
        text = data[:-1] if data.endswith(b"\0") else data
        text = text.decode("utf-8", "replace")
        for rule in self.server.script.get("rules", []):
            when = rule.get("when", {})
            if "type" in when and when["type"] != ftype:
                continue
            if "text" in when and when["text"] != text:
                continue
            if "contains" in when and when["contains"] not in text:
                continue
            with self.server.lock:
                left = rule.get("times")
                if left is not None:
                    if left <= 0:
                        continue
                    rule["times"] = left - 1
            return rule
        return None

    def answer(self, ftype, data):
        self.answering = data
        if ftype in (TEXT, TEXT_STREAM, XML):
            rule = self.find_rule(ftype, data)
            if rule is not None:
                self.run_actions(rule.get("reply", []))
                return
        script = self.server.script
        if ftype in (TEXT, TEXT_STREAM):
            self.run_actions(script.get("text_reply", [{"audio": {"ms": 1000}}, {"end": True}]))
        elif ftype == XML:
            query = data.rstrip(b"\0").decode("utf-8", "replace").replace("'", '"')
            if 'name="all"' in query:
                self.run_actions([{"voice_list": True}, {"end": True}])
            else:
                self.run_actions(script.get("query_reply", [{"end": True}]))
        elif ftype == CLOSE:
            self.log.write("close", conn=self.conn)
            raise Dropped("closed")
        # Anything else is only logged.

    def run(self):
        reason = "eof"
        try:
            self.run_actions(self.server.script.get("on_connect", []))
            while True:
                got = self.read_frame()
                if got is None:
                    break
                self.answer(got[0], got[2])
        except Dropped as d:
            reason = str(d)
        except OSError:
            reason = "error"
        finally:
            try:
                self.sock.close()
            except OSError:
                pass
            self.log.write("disconnect", conn=self.conn, reason=reason)


class Server:
    def __init__(self, args):
        self.sample_rate = args.sample_rate
        if args.script:
            with open(args.script, encoding="utf-8") as f:
                self.script = json.load(f)
        elif args.script_json:
            self.script = json.loads(args.script_json)
        else:
            self.script = {}
        self.lock = threading.Lock()
        self.log = FrameLog(args.log)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", args.port))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]

    def serve(self):
        number = 0
        while True:
            sock, _ = self.listener.accept()
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            number += 1
            self.log.write("connect", conn=number)
            worker = threading.Thread(target=Connection(self, sock, number).run, daemon=True)
            worker.start()


def main():
    parser = argparse.ArgumentParser(description="Loopback speech server for tests and the demo.")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: pick a free one)")
    parser.add_argument("--script", help="JSON script file")
    parser.add_argument("--script-json", help="JSON script given inline")
    parser.add_argument("--log", help="frame log file")
    parser.add_argument("--port-file", help="file to write the port to")
    parser.add_argument("--sample-rate", type=int, default=16000, help="rate of generated audio")
    args = parser.parse_args()
    server = Server(args)
    server.log.write("listening", port=server.port)
    if args.port_file:
        with open(args.port_file, "w", encoding="ascii") as f:
            f.write("%d\n" % server.port)
    print("LISTENING %d" % server.port, flush=True)
    try:
        server.serve()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
