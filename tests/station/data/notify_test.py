#!/usr/bin/env python3
"""vm418ctl notify against real receivers on 127.0.0.1: an SMTP server with STARTTLS and
login (aiosmtpd), an HTTPS webhook receiver that checks the signature, one that answers 500, and a
command. Each newly stored alarm goes out once per channel with its N42 file; a re-import
sends nothing; mail held back while the server is down goes out once when it is back; a
receiver that keeps failing ends as failed with its reason; a wrong setting is refused with
its line.

usage: notify_test.py VM418CTL DOWNLOAD_DIR N42_SCHEMA
"""
import email
import hashlib
import hmac
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

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

VM418CTL, DOWNLOAD, SCHEMA = sys.argv[1:4]
work = tempfile.mkdtemp(prefix="notify-test-")
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def ctl(*args, expect=None):
    r = subprocess.run([VM418CTL, "--config", f"{work}/site.conf", *args], cwd=work,
                       capture_output=True, text=True, timeout=120,
                       env={k: v for k, v in os.environ.items() if not k.startswith("VM418")})
    if expect is not None and r.returncode != expect:
        check(False, f"{args}: exit {r.returncode}, not {expect}\n{r.stdout}{r.stderr}")
    return r


# A certificate for the mail server, which the channel trusts through its ca_file.
subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                "-keyout", f"{work}/key.pem", "-out", f"{work}/cert.pem"],
               check=True, capture_output=True)


class Mailbox:
    def __init__(self):
        self.messages = []

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((envelope.rcpt_tos, email.message_from_bytes(envelope.content)))
        return "250 OK"


def authenticate(server, session, envelope, mechanism, auth_data):
    return AuthResult(success=auth_data.login == b"station" and auth_data.password == b"pw")


mailbox = Mailbox()
tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
tls.load_cert_chain(f"{work}/cert.pem", f"{work}/key.pem")


def start_smtp(port):
    # The port of a server just stopped may take a moment to be free again.
    for attempt in range(50):
        c = Controller(mailbox, hostname="127.0.0.1", port=port, tls_context=tls,
                       require_starttls=True, authenticator=authenticate, auth_require_tls=True)
        try:
            c.start()
            return c
        except Exception:
            if attempt == 49:
                raise
            time.sleep(0.2)


with socket.socket() as probe:  # a free port, kept when the server starts again
    probe.bind(("127.0.0.1", 0))
    smtp_port = probe.getsockname()[1]
smtp = start_smtp(smtp_port)
hooks = []


class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        signed = "sha256=" + hmac.new(b"s3cr3t", body, hashlib.sha256).hexdigest()
        hooks.append((self.path, self.headers["X-VM418-Signature"] == signed,
                      self.headers["Idempotency-Key"], json.loads(body)))
        self.send_response(500 if self.path == "/broken" else 200)
        self.end_headers()

    def log_message(self, *args):
        pass


web = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hook)
web.socket = tls.wrap_socket(web.socket, server_side=True)  # the webhooks go over HTTPS
threading.Thread(target=web.serve_forever, daemon=True).start()

with open(f"{work}/page.sh", "w") as f:
    f.write('#!/bin/sh\ncat > "$0-$VM418_SYSTEM-$VM418_ALARM_NUMBER-$(date +%s%N).json"\n')
os.chmod(f"{work}/page.sh", 0o755)
for name, text in (("pw", "pw\n"), ("hook.secret", "s3cr3t\n")):
    with open(f"{work}/{name}", "w") as f:
        f.write(text)


def configure(extra=""):
    with open(f"{work}/site.conf", "w") as f:
        f.write(f"""[database]
connection = "DRIVER=SQLite3;Database={work}/vm418.db"
[notify]
fleet_url = https://fleet.example.org/
retry_first = 1
retry_max = 1
give_up_after = 3
[channel-duty]
type = email
url = smtp://127.0.0.1:{smtp_port}
user = station
password_file = {work}/pw
ca_file = {work}/cert.pem
from = station@example.org
to = "duty@example.org, reachback@example.org"
[channel-ops]
type = webhook
url = https://127.0.0.1:{web.server_port}/hook
secret_file = {work}/hook.secret
ca_file = {work}/cert.pem
[channel-pager]
type = command
program = {work}/page.sh
[channel-broken]
type = webhook
url = https://127.0.0.1:{web.server_port}/broken
secret_file = {work}/hook.secret
ca_file = {work}/cert.pem
systems = 4
{extra}""")


configure()
ctl("db", "init", expect=0)
for system in ("3", "4"):
    ctl("systems", "add", "--system", system, "--name", f"Gate {system}", expect=0)
ctl("notify", "--once", expect=0)  # registers the channels
ctl("import", "--system", "3", DOWNLOAD, expect=0)
ctl("notify", "--once", expect=0)
check(len(mailbox.messages) == 3, f"{len(mailbox.messages)} mails, not 3")
for rcpt, message in mailbox.messages:
    check(rcpt == ["duty@example.org", "reachback@example.org"], f"mail to {rcpt}")
    check(message["Message-ID"].startswith("<vm418-alarm-3-"), message["Message-ID"])
    attachments = [p for p in message.walk() if p.get_filename()]
    check([a.get_filename()[-4:] for a in attachments][:1] == [".n42"],
          "the mail has its N42 file")
    graphs = [a for a in attachments if a.get_content_type() == "image/png"]
    check(all(g.get_payload(decode=True).startswith(b"\x89PNG") for g in graphs),
          "the count graph is a PNG")
    with open(f"{work}/alarm.n42", "wb") as f:
        f.write(attachments[0].get_payload(decode=True))
    valid = subprocess.run(["xmllint", "--noout", "--schema", SCHEMA, f"{work}/alarm.n42"],
                           capture_output=True)
    check(valid.returncode == 0, "the attached N42 file is valid: " + valid.stderr.decode())
    text = next(p for p in message.walk() if p.get_content_type() == "text/plain")
    check("https://fleet.example.org/system/3?from=" in text.get_payload(decode=True).decode(),
          "the mail links to the fleet view")
ops = [h for h in hooks if h[0] == "/hook"]
check(len(ops) == 3 and all(h[1] for h in ops), "three signed webhooks")
check(len({h[2] for h in ops}) == 3 and all(h[2] == h[3]["id"] for h in ops),
      "each webhook carries its alarm's stable id")
check(all(h[3]["station"] == "Gate 3" and "graph" in h[3] for h in ops), "the webhook's fields")
pages = [p for p in os.listdir(work) if p.startswith("page.sh-3-")]
check(len(pages) == 3, f"{len(pages)} pages, not 3")

# A test message on a channel, and on one whose receiver refuses it.
ctl("notify", "--test", "ops", expect=0)
check(hooks[-1][3]["station"] == "Test of channel ops" and hooks[-1][1], "the signed test message")
r = ctl("notify", "--test", "broken", expect=1)
check("the receiver answered 500" in r.stderr, r.stderr)
hooks[:] = [h for h in hooks if h[3]["system"] != 0]

# The same files again: nothing is new, nothing goes out.
ctl("import", "--system", "3", DOWNLOAD, expect=0)
ctl("notify", "--once", expect=0)
check(len(mailbox.messages) == 3 and len(ops) == 3, "a re-import sends nothing")

# The mail server away while system 4's alarms come in: they wait, then go out once each.
smtp.stop()
ctl("import", "--system", "4", DOWNLOAD, expect=0)
r = ctl("notify", "--once", expect=1)
check("notify duty: alarm" in r.stderr and "next try" in r.stderr, "the failure is logged")
smtp = start_smtp(smtp_port)
for _ in range(20):
    time.sleep(1)
    r = ctl("notify", "--once")
    state = json.loads(ctl("notify", "--status", "--json").stdout)
    if not [n for n in state if n["state"] == "pending"]:
        break
ids = [m["Message-ID"] for _, m in mailbox.messages]
check(len(ids) == 6 and len(set(ids)) == 6, f"the held mails went out once each: {len(ids)}")
broken = [n for n in state if n["channel"] == "broken"]
check(len(broken) == 3 and all(n["state"] == "failed" and n["error"] ==
                               "the receiver answered 500" for n in broken),
      f"the broken receiver's rows failed with their reason: {broken}")
check(len([h for h in hooks if h[0] == "/broken"]) >= 6, "the broken receiver was retried")

# autocall sends the alarms of its calls from a thread of its own while it waits for its
# next round: the simulated unit's 48 alarms reach the mailbox.
ctl("systems", "add", "--system", "5", "--name", "Gate 5", "--modem", "555", "--port-settings",
    "COM1 9600 0 0 8 3", "--autocall-period", "30", expect=0)
before = len(mailbox.messages)
autocall = subprocess.Popen([VM418CTL, "--config", f"{work}/site.conf", "autocall",
                             "--interval", "3600", "--simulate"], cwd=work,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
for _ in range(60):
    time.sleep(1)
    if len(mailbox.messages) - before >= 48:
        break
autocall.terminate()
autocall.wait(10)
five = [m for _, m in mailbox.messages[before:] if m["Message-ID"].startswith("<vm418-alarm-5-")]
check(len(five) == 48, f"{len(five)} mails of autocall's alarms, not 48")

# A wrong setting: refused with the file, its line and the setting.
configure("[channel-fax]\ntype = fax\n")
r = ctl("notify", "--check", expect=2)
check(f"site.conf:{open(f'{work}/site.conf').read().splitlines().index('type = fax') + 1}: "
      "[channel-fax] type: is email, webhook or command" in r.stderr, r.stderr)

# Two senders on one PostgreSQL store (two collecting PCs): every alarm goes out once in all.
pg = os.environ.get("VM418_TEST_PG")
if pg:
    name = f"notify_{os.getpid()}"
    conninfo = os.environ["VM418_TEST_PG_CONNINFO"]
    subprocess.run(["psql", conninfo, "-q", "-c", f"CREATE DATABASE {name}"], check=True)
    with open(f"{work}/site.conf", "w") as f:
        f.write(f"""[database]
connection = "{pg};Database={name}"
[channel-ops]
type = webhook
url = https://127.0.0.1:{web.server_port}/pg
secret_file = {work}/hook.secret
ca_file = {work}/cert.pem
""")
    ctl("db", "init", expect=0)
    for system in range(1, 6):
        ctl("systems", "add", "--system", str(system), "--modem", "555", "--port-settings",
            f"COM{system} 9600 0 0 8 3", "--autocall-period", "30", expect=0)
    ctl("notify", "--once", expect=0)
    ctl("autocall", "--once", "--simulate", "--no-notify", expect=0)
    senders = [subprocess.Popen([VM418CTL, "--config", f"{work}/site.conf", "notify", "--once"],
                                cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True)
               for _ in range(2)]
    ended = [(p.wait(120), p.stderr.read()) for p in senders]
    check(all(code == 0 for code, _ in ended),
          "both senders end without a failure: " + " | ".join(err for _, err in ended))
    keys = [h[2] for h in hooks if h[0] == "/pg"]
    rows = json.loads(ctl("notify", "--status", "--json").stdout)
    check(len(rows) >= 200 and len(keys) == len(rows) and len(set(keys)) == len(keys),
          f"{len(keys)} deliveries of {len(rows)} alarms, {len(set(keys))} different")
    subprocess.run(["psql", conninfo, "-q", "-c", f"DROP DATABASE {name}"], check=False)
elif os.environ.get("VM418_TEST_REQUIRE_PG"):
    check(False, "VM418_TEST_PG is not set but a PostgreSQL server is required")

smtp.stop()
web.shutdown()
print("notify test:", "FAILED" if failures else "passed")
sys.exit(1 if failures else 0)
