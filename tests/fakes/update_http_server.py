#!/usr/bin/env python3
"""A release server on loopback for the updater's tests.

Prints its port on the first line of standard output, then serves until killed:
  /files/NAME     NAME from --root with a Content-Length
  /chunked/NAME   the same, chunked, without a length
  /close/NAME     the same, ended by closing the connection, without a length
  /short/NAME     announces one byte more than it sends, then closes
  /redirect/NAME  302 to /files/NAME
  /big/N          N bytes of "x" with a Content-Length
  /stall          reads the request and never answers
With --tls DIR it makes a throw-away CA (DIR/ca.pem) and a certificate for
127.0.0.1 signed by it with openssl, and speaks HTTPS.
"""
import argparse
import http.server
import os
import ssl
import subprocess
import sys
import time


def make_certificates(folder):
    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, cwd=folder,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=Vandrel Test CA")
    openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    with open(os.path.join(folder, "server.ext"), "w") as ext:
        ext.write("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "server.ext")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = "."

    def log_message(self, format, *args):
        pass

    def read(self, name):
        path = os.path.join(self.root, os.path.basename(name))
        if not os.path.isfile(path):
            self.send_error(404)
            return None
        with open(path, "rb") as f:
            return f.read()

    def do_GET(self):
        kind, _, name = self.path.lstrip("/").partition("/")
        if kind == "stall":
            time.sleep(3600)
            return
        if kind == "redirect":
            self.send_response(302)
            self.send_header("Location", "/files/" + name)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if kind == "big":
            size = int(name)
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.end_headers()
            block = b"x" * 65536
            while size > 0:
                self.wfile.write(block[:size])
                size -= len(block)
            return
        if kind not in ("files", "chunked", "close", "short"):
            self.send_error(404)
            return
        body = self.read(name)
        if body is None:
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if kind == "files":
            self.send_header("Content-Length", str(len(body)))
        elif kind == "short":
            self.send_header("Content-Length", str(len(body) + 1))
            self.close_connection = True
        elif kind == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if kind == "chunked":
            for i in range(0, len(body), 4096):
                piece = body[i:i + 4096]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.wfile.write(body)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--tls")
    args = parser.parse_args()
    Handler.root = args.root
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if args.tls:
        make_certificates(args.tls)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(args.tls, "server.pem"), os.path.join(args.tls, "server.key"))
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
