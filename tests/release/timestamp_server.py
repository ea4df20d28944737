#!/usr/bin/env python3
"""An RFC 3161 time-stamp server for the release test, on 127.0.0.1: it answers each POSTed
time-stamp query with `openssl ts -reply`, signed with the throw-away time-stamping certificate
in CA_DIR (tests/release/throwaway_ca.sh), and writes the port it listens on to PORT_FILE once
ready.

usage: timestamp_server.py CA_DIR PORT_FILE
"""
import http.server
import os
import pathlib
import subprocess
import sys
import tempfile

ca_dir = pathlib.Path(sys.argv[1])
port_file = pathlib.Path(sys.argv[2])


class TimeStampHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with tempfile.TemporaryDirectory(dir=ca_dir) as scratch:
            query_file = pathlib.Path(scratch, "query.tsq")
            reply_file = pathlib.Path(scratch, "reply.tsr")
            query_file.write_bytes(query)
            answered = subprocess.run(
                ["openssl", "ts", "-reply", "-config", str(ca_dir / "tsa.cnf"),
                 "-queryfile", str(query_file), "-out", str(reply_file)],
                capture_output=True)
            if answered.returncode != 0:
                sys.stderr.write(answered.stderr.decode(errors="replace"))
                self.send_error(500)
                return
            reply = reply_file.read_bytes()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), TimeStampHandler)
# Written whole, then renamed, so that a reader never sees half a port number.
partial = port_file.with_name(port_file.name + ".partial")
partial.write_text(str(server.server_port))
os.replace(partial, port_file)
server.serve_forever()
