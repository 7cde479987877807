#!/usr/bin/env python3
"""A simulated Kestrova update server.

Answers the update server's requests (op=hi, qu, bird, builds, fix) over real HTTP on 127.0.0.1,
from a directory of BIRD files per module serial number and/or a JSON configuration file, and can
be told to misbehave per request kind. See README.md beside this file for the layout, the options
and the misbehaviours.
"""

import argparse
import base64
import json
import os
import signal
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs

OPS = ("hi", "qu", "bird", "builds", "fix")
MODES = ("status", "notok", "badbase64", "truncate", "close", "hang", "slow")


def parse_misbehaviour(text):
    """'status:500', 'slow:200', 'notok:ERROR TEXT', 'hang' ... -> (mode, argument)."""
    mode, _, arg = text.partition(":")
    if mode not in MODES:
        raise ValueError("unknown misbehaviour %r (one of %s)" % (mode, ", ".join(MODES)))
    if mode == "status":
        return mode, int(arg or "500")
    if mode == "slow":
        return mode, int(arg or "500")
    if mode == "notok":
        return mode, arg or "error"
    return mode, arg


class Catalogue:
    """Modules (serial -> latest build, firmware text, builds) and the recovery table."""

    def __init__(self):
        self.modules = {}   # "SSSSSSSS" -> {"latest", "firmware", "builds": {build: {...}}}
        self.recovery = {}  # "W0 W1 W2 W3" -> {"serial", "build"}

    def module(self, serial):
        return self.modules.setdefault(serial.upper(),
                                       {"latest": None, "firmware": "", "builds": {}})

    def load_directory(self, root):
        for name in sorted(os.listdir(root)):
            path = os.path.join(root, name)
            if name == "recovery.json":
                self.load_recovery(load_json(path))
                continue
            if not os.path.isdir(path):
                continue
            module = self.module(name)
            info_path = os.path.join(path, "builds.json")
            info = load_json(info_path) if os.path.exists(info_path) else {}
            versions = info.get("versions", {})
            for entry in sorted(os.listdir(path)):
                if entry.endswith(".bird"):
                    build = entry[:-len(".bird")]
                    module["builds"][build] = {"version": versions.get(build, ""),
                                               "file": os.path.join(path, entry)}
            for build, version in versions.items():
                module["builds"].setdefault(build, {"version": version})
            if "latest" in info:
                module["latest"] = str(info["latest"])
            if "firmware" in info:
                module["firmware"] = info["firmware"]

    def load_config(self, config, base_dir):
        for serial, spec in config.get("modules", {}).items():
            module = self.module(serial)
            for build, entry in spec.get("builds", {}).items():
                if isinstance(entry, str):
                    entry = {"version": entry}
                item = {"version": entry.get("version", "")}
                if "file" in entry:
                    item["file"] = os.path.join(base_dir, entry["file"])
                if "data" in entry:
                    item["data"] = entry["data"].encode("latin-1")
                if "base64" in entry:
                    item["base64"] = entry["base64"]
                module["builds"][str(build)] = item
            if "latest" in spec:
                module["latest"] = str(spec["latest"])
            if "firmware" in spec:
                module["firmware"] = spec["firmware"]
        self.load_recovery(config.get("recovery", {}))

    def load_recovery(self, table):
        for fingerprint, entry in table.items():
            words = " ".join(w.upper() for w in fingerprint.split())
            self.recovery[words] = {"serial": str(entry["serial"]), "build": str(entry["build"])}


def load_json(path):
    with open(path, "r", encoding="utf-8") as f:
        return json.load(f)


class UpdateServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, catalogue, misbehave, path, query_log):
        super().__init__(address, Handler)
        self.catalogue = catalogue
        self.misbehave = misbehave   # op or "*" -> (mode, argument)
        self.path = path
        self.query_log = query_log
        self.log_lock = threading.Lock()
        self.stopping = threading.Event()

    def handle_error(self, request, client_address):
        # A client that gave up (closed while a slow or truncated answer was being sent) is
        # expected; anything else is reported.
        if isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError, ssl.SSLError)):
            return
        super().handle_error(request, client_address)

    def record(self, query):
        if self.query_log is None:
            return
        with self.log_lock:
            self.query_log.write(query + "\n")
            self.query_log.flush()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "KestrovaUpdateSim/1.0"

    def log_message(self, fmt, *args):  # keep the test output quiet
        pass

    def do_GET(self):
        server = self.server
        path, _, query = self.path.partition("?")
        server.record(query)
        if path != server.path:
            self.send_body(404, "not found\n")
            return
        params = {k: v[0] for k, v in parse_qs(query, keep_blank_values=True).items()}
        op = params.get("op", "")
        status, body = self.answer(op, params)
        mode, arg = server.misbehave.get(op, server.misbehave.get("*", (None, None)))
        if mode == "status":
            self.send_body(arg, "error %d\n" % arg)
        elif mode == "notok":
            self.send_body(200, arg + "\n" + body.partition("\n")[2])
        elif mode == "badbase64":
            first, _, rest = body.partition("\n")
            self.send_body(200, first + "\n" + "*@!" + rest[3:] if len(rest) > 3 else
                           first + "\n*@!=\n")
        elif mode == "truncate":
            data = body.encode("latin-1")
            self.send_head(200, len(data))
            self.wfile.write(data[:len(data) // 2])
            self.wfile.flush()
            self.close_connection = True
        elif mode == "close":
            self.close_connection = True
        elif mode == "hang":
            server.stopping.wait()
            self.close_connection = True
        elif mode == "slow":
            data = body.encode("latin-1")
            self.send_head(200, len(data))
            for i in range(len(data)):
                if server.stopping.wait(arg / 1000.0):
                    break
                self.wfile.write(data[i:i + 1])
                self.wfile.flush()
            self.close_connection = True
        else:
            self.send_body(status, body)

    def answer(self, op, params):
        catalogue = self.server.catalogue
        if op == "hi":
            if params.get("rv") != "2":
                return 200, "error protocol version\n"
            return 200, "ok\n"
        if op in ("qu", "bird", "builds"):
            module = catalogue.modules.get(params.get("sn", "").upper())
            if module is None:
                return 200, "error unknown module\n"
            if op == "qu":
                if module["latest"] is None:
                    return 200, "error no build\n"
                return 200, "ok\n%s\n%s\n" % (module["latest"], module["firmware"])
            if op == "builds":
                lines = ["%s;%s" % (b, e["version"]) for b, e in module["builds"].items()]
                return 200, "ok\n" + "".join(line + "\n" for line in lines)
            entry = module["builds"].get(params.get("bld", ""))
            if entry is None:
                return 200, "error no such build\n"
            if "base64" in entry:
                return 200, "ok\n%s\n" % entry["base64"]
            if "data" in entry:
                data = entry["data"]
            elif "file" in entry:
                with open(entry["file"], "rb") as f:
                    data = f.read()
            else:
                return 200, "error no file for build\n"
            return 200, "ok\n%s\n" % base64.b64encode(data).decode("ascii")
        if op == "fix":
            words = " ".join(w.upper() for w in params.get("fp", "").split())
            entry = catalogue.recovery.get(words)
            if entry is None:
                return 200, "error unknown fingerprint\n"
            return 200, "ok\n%s\n%s\n" % (entry["serial"], entry["build"])
        return 200, "error unknown request\n"

    def send_head(self, status, length):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(length))
        self.end_headers()

    def send_body(self, status, body):
        data = body.encode("latin-1")
        self.send_head(status, len(data))
        self.wfile.write(data)
        self.wfile.flush()


def main(argv):
    parser = argparse.ArgumentParser(description="Simulated Kestrova update server")
    parser.add_argument("--port", type=int, default=0, help="TCP port (0: an ephemeral one)")
    parser.add_argument("--dir", help="directory of <SSSSSSSS>/<build>.bird and builds.json")
    parser.add_argument("--config", help="JSON configuration file")
    parser.add_argument("--log", help="file receiving each raw query string on a line of its own")
    parser.add_argument("--path", default=None, help="URL path answered (default /cgi/u)")
    parser.add_argument("--tls-cert", help="serve HTTPS with this PEM certificate (with --tls-key)")
    parser.add_argument("--tls-key", help="PEM private key of --tls-cert")
    parser.add_argument("--misbehave", action="append", default=[], metavar="OP=MODE[:ARG]",
                        help="misbehave on requests with op=OP (or * for all)")
    args = parser.parse_args(argv)

    catalogue = Catalogue()
    misbehave = {}
    path = "/cgi/u"
    try:
        if args.dir:
            catalogue.load_directory(args.dir)
        if args.config:
            config = load_json(args.config)
            catalogue.load_config(config, os.path.dirname(os.path.abspath(args.config)))
            path = config.get("path", path)
            for op, text in config.get("misbehave", {}).items():
                misbehave[op] = parse_misbehaviour(text)
        for item in args.misbehave:
            op, sep, text = item.partition("=")
            if not sep or (op not in OPS and op != "*"):
                raise ValueError("--misbehave wants OP=MODE with OP one of %s or *" %
                                 ", ".join(OPS))
            misbehave[op] = parse_misbehaviour(text)
    except (OSError, ValueError, KeyError) as error:
        print("update_server: %s" % error, file=sys.stderr)
        return 2
    if args.path:
        path = args.path

    query_log = open(args.log, "a", encoding="latin-1") if args.log else None
    try:
        server = UpdateServer(("127.0.0.1", args.port), catalogue, misbehave, path, query_log)
    except OSError as error:
        print("update_server: cannot listen on port %d: %s" % (args.port, error),
              file=sys.stderr)
        return 2

    # The main thread waits for SIGTERM or SIGINT; blocking them before the server threads start
    # keeps them from being delivered anywhere else.
    scheme = "http"
    if args.tls_cert:
        try:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(args.tls_cert, args.tls_key)
        except (OSError, ssl.SSLError) as error:
            print("update_server: cannot load the TLS certificate: %s" % error, file=sys.stderr)
            return 2
        # The handshake runs in each request's thread, so a stalled client blocks no other.
        server.socket = context.wrap_socket(server.socket, server_side=True,
                                            do_handshake_on_connect=False)
        scheme = "https"

    stop_signals = {signal.SIGTERM, signal.SIGINT}
    signal.pthread_sigmask(signal.SIG_BLOCK, stop_signals)
    worker = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                              daemon=True)
    worker.start()
    port = server.server_address[1]
    print("READY %d %s://127.0.0.1:%d%s" % (port, scheme, port, path), flush=True)
    signal.sigwait(stop_signals)
    server.stopping.set()
    server.shutdown()
    server.server_close()
    worker.join()
    if query_log is not None:
        query_log.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
