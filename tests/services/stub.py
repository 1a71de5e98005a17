#!/usr/bin/env python3
"""Loopback peers for the delivery tests; README.md beside this file says how to run them.

  stub.py sink | cut N | http DIR [--tls] ANSWER... | proxy DIR
"""
import json, os, signal, socket, socketserver, ssl, subprocess, sys, threading
from urllib.parse import urlsplit

mode, args = sys.argv[1], [a for a in sys.argv[2:] if a != "--tls"]
answers = args[1:] or ["200"]
lock, count = threading.Lock(), [0]


def record(name, entry):
    with lock, open(os.path.join(args[0], name), "a") as f:
        f.write(json.dumps(entry) + "\n")


def read_request(rfile):
    line = rfile.readline(65536).decode("latin-1")
    if not line.strip():
        return None
    method, target, _ = (line.split() + ["", ""])[:3]
    headers = []
    while (h := rfile.readline(65536).decode("latin-1").rstrip("\r\n")):
        name, _, value = h.partition(":")
        headers.append([name, value.strip()])
    return method, target, headers


def header(headers, name):
    return next((v for k, v in headers if k.lower() == name), None)


def read_body(rfile, headers):
    if (header(headers, "transfer-encoding") or "").lower() == "chunked":
        body = b""
        while (size := int(rfile.readline().split(b";")[0], 16)):
            body += rfile.read(size + 2)[:-2]
        while rfile.readline().strip():
            pass
        return body
    return rfile.read(int(header(headers, "content-length") or 0))


class Http(socketserver.StreamRequestHandler):
    def handle(self):
        while (request := read_request(self.rfile)):
            method, path, headers = request
            with lock:
                count[0] += 1
                n = count[0]
            answer = answers[min(n, len(answers)) - 1]
            body = b"" if answer == "close" else read_body(self.rfile, headers)
            with open(os.path.join(args[0], "request-%d.body" % n), "wb") as f:
                f.write(body)
            record("requests.jsonl", {"n": n, "method": method, "path": path, "headers": headers,
                                      "length": len(body), "answer": answer})
            if answer == "hang":
                threading.Event().wait()
            if answer == "close":
                return
            status, *extra = answer.split("|")
            reply = ("HTTP/1.1 %s Stub\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
                     % status + "".join(h + "\r\n" for h in extra) + "\r\n{}")
            self.wfile.write(reply.encode())


def loopback(host):
    return host.strip("[]") in ("127.0.0.1", "localhost", "::1")


def pipe(a, b):
    try:
        while (data := a.recv(65536)):
            b.sendall(data)
    except OSError:
        pass
    for s in (a, b):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class Proxy(socketserver.StreamRequestHandler):
    def handle(self):
        method, target, headers = read_request(self.rfile) or ("", "", [])
        target = ("http://" + header(headers, "host") if target[:1] == "/" else "") + target
        record("proxy.jsonl", {"method": method, "target": target, "headers": headers})
        url = urlsplit(target if "://" in target else "//" + target)
        if not url.hostname or not loopback(url.hostname):
            return self.wfile.write(b"HTTP/1.1 403 Loopback only\r\nContent-Length: 0\r\n\r\n")
        upstream = socket.create_connection((url.hostname, url.port or 80), timeout=30)
        if method == "CONNECT":
            self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
            threading.Thread(target=pipe, args=(self.connection, upstream), daemon=True).start()
        else:
            body = read_body(self.rfile, headers)
            kept = [h for h in headers if h[0].lower() not in ("proxy-connection", "connection")]
            path = (url.path or "/") + (url.query and "?" + url.query)
            upstream.sendall(("%s %s HTTP/1.1\r\n" % (method, path) + "".join("%s: %s\r\n" % tuple(h)
                              for h in kept) + "Connection: close\r\n\r\n").encode() + body)
        pipe(upstream, self.connection)


def make_tls(folder):
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"]
    for name, extra in (("ca", ["/CN=Cobaltmoth test CA"]), ("server", [
            "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost", "-addext",
            "basicConstraints=critical,CA:FALSE", "-CA", "ca.pem", "-CAkey", "ca.key"])):
        subprocess.run(["openssl", "req", "-x509", *ec, "-subj", *extra, "-keyout", name + ".key",
                        "-out", name + ".pem"], check=True, capture_output=True, cwd=folder)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(folder, "server.pem"), os.path.join(folder, "server.key"))
    return context


class Sink(socketserver.BaseRequestHandler):
    def handle(self):
        if mode == "cut":
            got = 0
            while got < int(args[0]) and (data := self.request.recv(int(args[0]) - got)):
                got += len(data)
            os.kill(os.getpid(), signal.SIGKILL)
        threading.Event().wait()


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True

    def handle_error(self, request, address):
        print("stub: %s: %s" % (address, sys.exc_info()[1]), file=sys.stderr)

    def server_bind(self):
        # A small receive buffer, so that a peer that never reads fills up soon.
        if mode == "sink":
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        super().server_bind()


server = Server(("127.0.0.1", int(os.environ.get("STUB_PORT", 0))), {"http": Http, "proxy": Proxy}.get(mode, Sink))
print("port=%d" % server.server_address[1])
if "--tls" in sys.argv:
    context = make_tls(args[0])
    # The handshake happens on the first read, in the connection's own thread.
    server.socket = context.wrap_socket(server.socket, server_side=True,
                                        do_handshake_on_connect=False)
    print("ca=" + os.path.join(args[0], "ca.pem"))
print("ready", flush=True)
signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
threading.Thread(target=server.serve_forever, daemon=True).start()
sys.stdin.read()
os._exit(0)
