#!/usr/bin/env python3
"""From an alarm's commit to its message taken by the receiver: vm418ctl autocall collects 5
simulated units (240 alarms) and sends their notifications from its own thread to an SMTP
server (STARTTLS and login) and a webhook receiver on 127.0.0.1. Prints the median and p99
per channel, or why it could not measure.

usage: notify_latency.py VM418CTL
"""
import datetime
import email
import http.server
import json
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

try:
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult
except ImportError:
    print("notify latency not measured: python3-aiosmtpd is not installed")
    sys.exit(1)

VM418CTL = sys.argv[1]
SYSTEMS = 5
work = tempfile.mkdtemp(prefix="notify-bench-")
arrivals = {"mail": {}, "hook": {}}


def cannot(why):
    print("notify latency not measured:", why)
    sys.exit(1)


def ctl(*args):
    r = subprocess.run([VM418CTL, "--config", f"{work}/site.conf", *args], cwd=work,
                       capture_output=True, text=True,
                       env={k: v for k, v in os.environ.items() if not k.startswith("VM418")})
    if r.returncode != 0:
        cannot(f"vm418ctl {' '.join(args)} ended with {r.returncode}: {r.stderr.strip()}")
    return r.stdout


class Box:
    async def handle_DATA(self, server, session, envelope):
        message = email.message_from_bytes(envelope.content)
        arrivals["mail"][message["Message-ID"].strip("<>")] = time.time()
        return "250 OK"


class Hook(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        self.rfile.read(int(self.headers["Content-Length"]))
        arrivals["hook"][self.headers["Idempotency-Key"]] = time.time()
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                "-keyout", f"{work}/key.pem", "-out", f"{work}/cert.pem"],
               check=True, capture_output=True)
tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
tls.load_cert_chain(f"{work}/cert.pem", f"{work}/key.pem")
with socket.socket() as probe:
    probe.bind(("127.0.0.1", 0))
    smtp_port = probe.getsockname()[1]
smtp = Controller(Box(), hostname="127.0.0.1", port=smtp_port, tls_context=tls,
                  require_starttls=True, auth_require_tls=True,
                  authenticator=lambda *a: AuthResult(success=True))
smtp.start()
web = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hook)
threading.Thread(target=web.serve_forever, daemon=True).start()
for name, text in (("pw", "pw\n"), ("secret", "s\n")):
    with open(f"{work}/{name}", "w") as f:
        f.write(text)
with open(f"{work}/site.conf", "w") as f:
    f.write(f"""[database]
connection = "DRIVER=SQLite3;Database={work}/vm418.db;JournalMode=WAL"
[channel-mail]
type = email
url = smtp://127.0.0.1:{smtp_port}
user = station
password_file = {work}/pw
ca_file = {work}/cert.pem
from = station@example.org
to = duty@example.org
[channel-hook]
type = webhook
url = http://127.0.0.1:{web.server_port}/hook
secret_file = {work}/secret
""")
ctl("db", "init")
for system in range(1, SYSTEMS + 1):
    ctl("systems", "add", "--system", str(system), "--modem", "555", "--port-settings",
        f"COM{system} 9600 0 0 8 3", "--autocall-period", "30")
log = open(f"{work}/autocall.log", "w")
autocall = subprocess.Popen([VM418CTL, "--config", f"{work}/site.conf", "autocall", "--interval",
                             "3600", "--simulate"], cwd=work, stdout=log, stderr=subprocess.STDOUT)
deadline = time.time() + 300
rows = []
while time.time() < deadline:
    time.sleep(1)
    with open(f"{work}/autocall.log") as f:
        collected = f.read().count(": collected, ")
    if collected < SYSTEMS:
        continue
    rows = json.loads(ctl("notify", "--status", "--json"))
    if rows and all(r["state"] != "pending" for r in rows):
        break
autocall.terminate()
autocall.wait(10)
smtp.stop()
if not rows or any(r["state"] == "pending" for r in rows):
    cannot(f"not every message was delivered in 300 s ({len(rows)} rows)")
created = {}
for r in rows:
    key = f"vm418-alarm-{r['system']}-{r['alarm']}-" + \
        datetime.datetime.fromisoformat(r["alarmTime"]).strftime("%Y%m%dT%H%M%S") + "@vm418station"
    created[(r["channel"], key)] = datetime.datetime.fromisoformat(r["created"]).timestamp()
print(f"notifications of {len(rows) // 2} alarms from {SYSTEMS} calls, sent by autocall's thread")
for channel in ("mail", "hook"):
    ms = sorted((arrivals[channel][key] - at) * 1000 for (c, key), at in created.items()
                if c == channel and key in arrivals[channel])
    if not ms:
        cannot(f"no {channel} message arrived")
    print(f"{channel:5s} commit to taken: median {ms[len(ms) // 2]:.0f} ms, "
          f"p99 {ms[len(ms) * 99 // 100]:.0f} ms, max {ms[-1]:.0f} ms over {len(ms)} messages")
