#!/usr/bin/env python3
"""A time-stamp server for the release tests: answers RFC 3161 requests over HTTP on 127.0.0.1
with `openssl ts -reply`, signed by a time-stamping authority of its own made with openssl.

usage: timestamp_server.py FOLDER   (prints the URL on its first line, then serves until killed;
FOLDER/tsa-root.pem is the root that its time stamps verify against)
"""
import http.server
import os
import subprocess
import sys
import tempfile

folder = sys.argv[1]
os.makedirs(folder, exist_ok=True)


def run(*arguments):
    # openssl's complaints go to this server's stderr, which the test shows when it fails.
    subprocess.run(arguments, check=True, cwd=folder, stdout=subprocess.DEVNULL)


with open(os.path.join(folder, "tsa.cnf"), "w") as config:
    config.write("""[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = tsa-serial
signer_digest = sha256
default_policy = 1.3.6.1.4.1.55555.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
[ root ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ unit ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
""")
with open(os.path.join(folder, "tsa-serial"), "w") as serial:
    serial.write("01\n")
run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "tsa-root.key",
    "-subj", "/C=GB/O=Example Time/CN=Example Time Root", "-days", "365", "-sha256",
    "-config", "tsa.cnf", "-extensions", "root", "-out", "tsa-root.pem")
run("openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "tsa.key",
    "-subj", "/C=GB/O=Example Time/CN=Example Time Stamping", "-out", "tsa.csr")
run("openssl", "x509", "-req", "-in", "tsa.csr", "-CA", "tsa-root.pem", "-CAkey", "tsa-root.key",
    "-set_serial", "2", "-days", "365", "-sha256", "-extfile", "tsa.cnf", "-extensions", "unit",
    "-out", "tsa.pem")


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        query = self.rfile.read(length)
        with tempfile.TemporaryDirectory(dir=folder) as scratch:
            query_path = os.path.join(scratch, "query.tsq")
            reply_path = os.path.join(scratch, "reply.tsr")
            with open(query_path, "wb") as out:
                out.write(query)
            result = subprocess.run(
                ["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", query_path,
                 "-signer", "tsa.pem", "-inkey", "tsa.key", "-chain", "tsa-root.pem",
                 "-out", reply_path], cwd=folder, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            if result.returncode != 0:
                self.send_error(500)
                return
            with open(reply_path, "rb") as reply_file:
                reply = reply_file.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *arguments):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print("http://127.0.0.1:%d/" % server.server_address[1], flush=True)
server.serve_forever()
