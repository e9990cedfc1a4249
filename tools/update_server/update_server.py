#!/usr/bin/env python3
"""A local update server for the tests and the demo.

Serves the update server's operations at "/cgi/u" on 127.0.0.1 from a catalogue folder:

    CATALOGUE/
      40F5849A/          one folder per device, the serial number as eight upper-case hex digits
        100.bird         a build the device is offered: the file is sent base64-encoded
        firmware         optional: the firmware identifier (first line); default "FW-<serial>"
        versions         optional: "build;version" lines, sent instead of the versions read from
                         the BIRD files' info blocks; a build listed here needs no file
        jwt              optional: the device's token (first line); default a made-up one
      recovery           optional: "W0 W1 W2 W3 SERIAL BUILD" lines: the four fingerprint words
                         (hex), then the serial number and the recovery build, sent as written

The newest build of a device is the highest build number it is offered. Requests are checked
for the parameters each operation needs; a missing or wrong one is answered 400, an unknown
device or build 404.

Fault switches make the answers of the operations named by --fault-ops (all by default) wrong
in one way: --status, --status-line, --base64, --delay, --hang, --crlf; --chunked sends bodies
in small chunks. The first line printed is the base URL, with the port that was bound.
--tls serves HTTPS with a given certificate. SIGTERM or SIGINT (and, with --stop-on-stdin-eof, the end of standard input) stop the server.
"""

import argparse
import base64
import os
import signal
import ssl
import struct
import sys
import threading
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

PATH = "/cgi/u"
HOST = "127.0.0.1"
BIRD_HEADER_SIZE = 6
BIRD_INFO_BLOCK = 4
BIRD_TYPE_MASK = 0x1F
INFO_VERSION_OFFSET = 16
INFO_FIELD_SIZE = 16

stopping = threading.Event()


def read_first_line(path):
    try:
        with open(path, encoding="utf-8") as handle:
            return handle.readline().strip()
    except OSError:
        return None


def bird_version(path):
    """The version text of a BIRD file's info block, or "" when it has none."""
    try:
        with open(path, "rb") as handle:
            body = zlib.decompress(handle.read()[BIRD_HEADER_SIZE:])
    except (OSError, zlib.error):
        return ""
    position = 4  # after the block count
    while position + 5 <= len(body) - 4:
        kind = body[position] & BIRD_TYPE_MASK
        (length,) = struct.unpack(">I", body[position + 1:position + 5])
        data = body[position + 5:position + 5 + length]
        if kind == BIRD_INFO_BLOCK:
            field = data[INFO_VERSION_OFFSET:INFO_VERSION_OFFSET + INFO_FIELD_SIZE - 1]
            return field.decode("ascii", "replace").split(" ")[0].rstrip("\0")
        position += 5 + length
    return ""


class Device:
    def __init__(self, folder, serial):
        self.folder = folder
        self.serial = serial

    def builds(self):
        """Build number (int) to version text, in build order."""
        found = {}
        for name in os.listdir(self.folder):
            stem, dot, extension = name.partition(".")
            if dot and extension == "bird" and stem.isdigit():
                found[int(stem)] = bird_version(os.path.join(self.folder, name))
        try:
            with open(os.path.join(self.folder, "versions"), encoding="utf-8") as handle:
                for line in handle:
                    build, _, version = line.strip().partition(";")
                    if build.isdigit():
                        found[int(build)] = version
        except OSError:
            pass
        return dict(sorted(found.items()))

    def firmware(self):
        return read_first_line(os.path.join(self.folder, "firmware")) or "FW-" + self.serial

    def token(self):
        stored = read_first_line(os.path.join(self.folder, "jwt"))
        if stored:
            return stored

        def part(text):
            return base64.urlsafe_b64encode(text.encode()).decode().rstrip("=")

        return ".".join([part('{"alg":"none","typ":"JWT"}'),
                         part('{"sn":"%s","features":["updates"]}' % self.serial), part("unsigned")])

    def bird_path(self, build):
        return os.path.join(self.folder, "%d.bird" % build)


class Answer(Exception):
    def __init__(self, status, lines):
        super().__init__(status)
        self.status = status
        self.lines = lines


def refuse(status, reason):
    raise Answer(status, [reason])


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "LocalUpdateServer/1"

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        if self.server.options.verbose:
            super().log_message(format, *args)

    def do_GET(self):
        options = self.server.options
        if options.request_log:
            with self.server.log_lock, open(options.request_log, "a", encoding="utf-8") as log:
                log.write(self.path + "\n")
        url = urlsplit(self.path)
        if url.path != PATH:
            return self.send_answer(404, ["not found"], faulty=False)
        query = {key: values[0] for key, values in parse_qs(url.query, keep_blank_values=True).items()}
        operation = query.get("op", "")
        faulty = options.fault_ops is None or operation in options.fault_ops
        try:
            lines = self.answer(operation, query, faulty)
            status = 200
        except Answer as answer:
            status, lines = answer.status, answer.lines
        self.send_answer(status, lines, faulty)

    def answer(self, operation, query, faulty):
        catalogue = self.server.options.catalogue
        if operation == "hi":
            self.require(query, "rv")
            return ["ok"]
        if operation == "fix":
            self.require(query, "brief", "fp")
            return ["ok"] + self.recovery(catalogue, query["fp"])
        device = self.device(catalogue, query)
        if operation == "qu":
            builds = device.builds()
            if not builds:
                refuse(404, "no builds for device")
            return ["ok", str(max(builds)), device.firmware()]
        if operation == "builds":
            return ["ok"] + ["%d;%s" % (build, version) for build, version in device.builds().items()]
        if operation == "ent_jwt":
            self.require(query, "json")
            return ["ok", device.token()]
        if operation == "bird":
            self.require(query, "bld", "fw", "no_cal")
            if query["fw"] != device.firmware():
                refuse(400, "wrong firmware identifier")
            if query["no_cal"] not in ("true", "false"):
                refuse(400, "no_cal must be true or false")
            if not query["bld"].isdigit():
                refuse(400, "bld must be a decimal number")
            try:
                with open(device.bird_path(int(query["bld"])), "rb") as handle:
                    data = handle.read()
            except OSError:
                refuse(404, "no such build")
            encoded = base64.b64encode(data).decode("ascii")
            return ["ok", self.damage(encoded) if faulty else encoded]
        refuse(400, "unknown operation")

    @staticmethod
    def require(query, *names):
        for name in names:
            if name not in query:
                refuse(400, "missing parameter " + name)

    def device(self, catalogue, query):
        self.require(query, "sn")
        serial = query["sn"]
        if len(serial) != 8 or serial != serial.upper() or any(c not in "0123456789ABCDEF" for c in serial):
            refuse(400, "sn must be eight upper-case hexadecimal digits")
        folder = os.path.join(catalogue, serial)
        if not os.path.isdir(folder):
            refuse(404, "unknown device")
        return Device(folder, serial)

    @staticmethod
    def recovery(catalogue, fingerprint):
        words = fingerprint.split(" ")
        if len(words) != 4:
            refuse(400, "fp must be four words")
        try:
            with open(os.path.join(catalogue, "recovery"), encoding="utf-8") as handle:
                for line in handle:
                    fields = line.split()
                    if len(fields) == 6 and [w.upper() for w in fields[:4]] == words:
                        return fields[4:]
        except OSError:
            pass
        refuse(404, "unknown fingerprint")

    def damage(self, encoded):
        kind = self.server.options.base64
        if kind == "truncated":
            return encoded[:-3] if len(encoded) > 3 else encoded[:-1]
        if kind == "invalid":
            middle = len(encoded) // 2
            return encoded[:middle] + "*" + encoded[middle + 1:]
        return encoded

    def send_answer(self, status, lines, faulty):
        options = self.server.options
        if faulty and options.hang:
            stopping.wait()
            return
        if faulty and options.delay > 0:
            stopping.wait(options.delay)
        if faulty and options.status:
            status, lines = options.status, ["error"]
        if faulty and options.status_line is not None and status == 200:
            lines = [options.status_line] + lines[1:]
        end = "\r\n" if faulty and options.crlf else "\n"
        body = "".join(line + end for line in lines).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Connection", "close")
        self.close_connection = True
        if faulty and options.chunked:
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for start in range(0, len(body), options.chunk_size):
                chunk = body[start:start + options.chunk_size]
                self.wfile.write(b"%X\r\n%s\r\n" % (len(chunk), chunk))
                self.wfile.flush()
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="Local update server for tests and the demo.")
    parser.add_argument("catalogue", help="folder of device folders (see the module text)")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1; 0 picks a free one")
    parser.add_argument("--request-log", help="append the path and query of every request to this file")
    parser.add_argument("--fault-ops", type=lambda text: set(text.split(",")),
                        help="comma-separated op values the faults apply to (default: all)")
    parser.add_argument("--status", type=int, help="answer with this HTTP status and the body 'error'")
    parser.add_argument("--status-line", help="send this status line instead of 'ok'")
    parser.add_argument("--base64", choices=["truncated", "invalid"], help="damage the build's base64 text")
    parser.add_argument("--delay", type=float, default=0.0, help="seconds to wait before answering")
    parser.add_argument("--hang", action="store_true", help="accept the request and never answer")
    parser.add_argument("--crlf", action="store_true", help="end lines with CR LF")
    parser.add_argument("--chunked", action="store_true", help="send the body in chunks")
    parser.add_argument("--chunk-size", type=int, default=7, help="bytes per chunk with --chunked")
    parser.add_argument("--stop-on-stdin-eof", action="store_true",
                        help="stop when standard input ends (so a dead parent takes the server along)")
    parser.add_argument("--tls", metavar="PEM", help="serve HTTPS with this certificate and key")
    parser.add_argument("--verbose", action="store_true", help="log every request on standard error")
    return parser.parse_args(argv)


def main(argv):
    options = parse_arguments(argv)
    if not os.path.isdir(options.catalogue):
        print("update_server: no catalogue folder at %s" % options.catalogue, file=sys.stderr)
        return 2

    server = ThreadingHTTPServer((HOST, options.port), Handler)
    server.daemon_threads = True
    server.block_on_close = False
    server.options = options
    server.log_lock = threading.Lock()

    def stop(*_):
        if not stopping.is_set():
            stopping.set()
            # shutdown() waits for serve_forever, so it must not run on the thread serving.
            threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if options.stop_on_stdin_eof:
        def watch_input():
            while sys.stdin.buffer.read(4096):
                pass
            stop()
        threading.Thread(target=watch_input, daemon=True).start()

    scheme = "http"
    if options.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.tls)
        server.socket = context.wrap_socket(server.socket, server_side=True)
        scheme = "https"

    print("%s://%s:%d%s" % (scheme, HOST, server.server_address[1], PATH), flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
