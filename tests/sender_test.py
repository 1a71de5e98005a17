#!/usr/bin/env python3
"""The outbox and cobaltmoth-send against the stub tracker of tests/services, on 127.0.0.1:
every answer of a tracker, a server that never answers, a refused connection, a sender killed
in the middle of a request, TLS with a private CA, proxies, the bounds, a full disk, no home.
Every body the stub received is read by the trackers' own parser (check-envelope.mjs).

  sender_test.py VERSION PUT SEND [WINE] [unittest arguments, e.g. -k answers]

PUT puts its standard input into the user's outbox (tests/outbox_put.cpp), SEND is
cobaltmoth-send; with WINE (scripts/wine-run.sh) both are Windows programs, the outbox that of
the Wine prefix's user. Without root, the cases that need a namespace are skipped unless
COBALTMOTH_REQUIRE_SERVICES=1.
"""
import getpass, json, os, pty, re, shutil, subprocess, sys, tempfile, time, types, unittest

SERVICES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "services")
VERSION, PUT, SEND = sys.argv[1:4]
WINE = sys.argv[4:5] if sys.argv[4:5] and not sys.argv[4].startswith("-") else []
PROXIES = ("http_proxy", "https_proxy", "all_proxy", "no_proxy")


def envelope(n, port, scheme="http", pad=0):
    """A minimal envelope: its header (event_id, dsn) and one event."""
    event = '{"event_id":"%032x","level":"error","message":"%s"}' % (n, "x" * pad)
    return ('{"event_id":"%032x","dsn":"%s://public@127.0.0.1:%d/1"}\n{"type":"event","length":%d}'
            '\n%s\n' % (n, scheme, port, len(event), event)).encode()


def now_ms():
    return int(time.time() * 1000)


def read(path):
    return open(path).read() if os.path.exists(path) else ""


class Sender(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="cobaltmoth-sender-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.env = {k: v for k, v in os.environ.items() if k.lower() not in PROXIES}
        self.env["COBALTMOTH_SEND_PROGRAM"] = "Z:" + SEND.replace("/", "\\") if WINE else SEND
        self.use("state")

    def use(self, name):
        """A fresh outbox, and a folder for the stub that serves it."""
        self.stub_dir = os.path.join(self.dir, name + "-stub")
        os.makedirs(self.stub_dir)
        if WINE:  # Wine sets LOCALAPPDATA itself, in its prefix
            self.outbox = os.path.join(os.environ["WINEPREFIX"], "drive_c/users", getpass.getuser(),
                                       "AppData/Local/Cobaltmoth/Outbox")
            shutil.rmtree(self.outbox, True)
        else:
            self.env["XDG_STATE_HOME"] = os.path.join(self.dir, name)
            self.outbox = os.path.join(self.dir, name, "cobaltmoth/outbox")

    def serve(self, *args, port=0):
        """stub.py ARGS... until the test ends: its port and, with --tls, its authority."""
        stub = subprocess.Popen([sys.executable, os.path.join(SERVICES, "stub.py"), *args],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                env=dict(os.environ, STUB_PORT=str(port)))
        self.addCleanup(stub.wait, 10)
        self.addCleanup(stub.stdin.close)
        said = {}
        for line in iter(stub.stdout.readline, ""):
            if line == "ready\n":
                break
            said.update([line.strip().split("=", 1)])
        return types.SimpleNamespace(process=stub, port=int(said["port"]), ca=said.get("ca"))

    def put(self, data, *args):
        return subprocess.run([*WINE, PUT, *args], input=data, env=self.env, capture_output=True,
                              timeout=60).returncode == 0

    def send(self, *wrapper):
        self.sent = subprocess.run([*wrapper, *WINE, SEND], env=self.env, capture_output=True,
                                   text=True, timeout=60)
        if self.sent.returncode == 77 and os.environ.get("COBALTMOTH_REQUIRE_SERVICES") != "1":
            self.skipTest("no namespace: " + self.sent.stderr)
        return self.sent.returncode

    def files(self, ending):
        return sorted(f for f in os.listdir(self.outbox) if f.endswith(ending)) \
            if os.path.isdir(self.outbox) else []

    def requests(self, log="requests.jsonl"):
        return [json.loads(line) for line in read(os.path.join(self.stub_dir, log)).splitlines()]

    def bodies(self):
        """The bodies the stub received, as the trackers' parser reads them."""
        files = [os.path.join(self.stub_dir, "request-%d.body" % r["n"]) for r in self.requests()]
        check = subprocess.run(["node", os.path.join(SERVICES, "tracker/check-envelope.mjs"), *files],
                               capture_output=True, text=True, timeout=60)
        self.assertEqual(check.returncode, 0, check.stderr)
        return [json.loads(line) for line in check.stdout.splitlines()]

    def wait_for(self, condition):
        deadline = time.monotonic() + 20
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.02)

    def expect_private(self):
        """The folder and every file in it are the user's alone (POSIX modes)."""
        if not WINE:
            self.assertEqual(os.stat(self.outbox).st_mode & 0o777, 0o700)
            for name in os.listdir(self.outbox):
                self.assertEqual(os.stat(os.path.join(self.outbox, name)).st_mode & 0o777, 0o600)

    def test_answers(self):
        """Two envelopes, the older first: what each answer of the tracker leaves behind."""
        rows = [  # answer, the older's delay before, requests, left, its delay after, limit kept
            ("202", 0, 2, 0, 0, None),
            ("413", 0, 2, 0, 0, None),
            ("400", 0, 2, 0, 0, None),
            ("500", 0, 1, 2, 60000, None),
            ("502", 1200000, 1, 2, 2400000, None),
            ("503|X-Sentry-Rate-Limits: 60:attachment:key", 2400000, 1, 2, 3600000, ("attachment", 60)),
            ("429|X-Sentry-Rate-Limits: 60:error;transaction:organization", 0, 1, 0, 0, ("error", 60)),
            ("429|Retry-After: 30", 0, 1, 0, 0, ("*", 30)),
            ("429", 0, 1, 0, 0, ("*", 60)),
            ("202|X-Sentry-Rate-Limits: 120::organization", 0, 1, 0, 0, ("*", 120)),
        ]
        for n, (answer, earlier, requests, left, delay, limit) in enumerate(rows):
            with self.subTest(answer):
                self.use("state%d" % n)
                stub = self.serve("http", self.stub_dir, answer)
                older = envelope(1, stub.port)
                self.assertTrue(self.put(older) and self.put(envelope(2, stub.port)))
                if earlier:
                    stem = self.files(".envelope")[0].replace(".envelope", ".backoff")
                    open(os.path.join(self.outbox, stem), "w").write("%d %d" % (now_ms() - 1, earlier))
                before = now_ms()
                self.assertEqual(self.send(), 1 if left else 0, self.sent.stderr)
                self.assertEqual(len(self.requests()), requests)
                self.assertEqual(len(self.files(".envelope")), left)
                self.assertEqual([int(read(os.path.join(self.outbox, b)).split()[1])
                                  for b in self.files(".backoff")], [delay] if delay else [])
                limits = read(os.path.join(self.outbox, "rate-limits")).split()
                self.assertEqual(limits[:1], [limit[0]] if limit else [])
                if limit:
                    self.assertAlmostEqual(int(limits[1]) - before, limit[1] * 1000, delta=5000)
                # The next envelope: queued unless its event is limited.
                self.assertEqual(self.put(envelope(3, stub.port)), not limit or limit[0] == "attachment")
                # The first request, byte for byte: the envelope with "sent_at" in its header.
                first = self.requests()[0]
                headers = {name.lower(): value for name, value in first["headers"]}
                body = open(os.path.join(self.stub_dir, "request-1.body"), "rb").read()
                self.assertEqual((first["method"], first["path"]), ("POST", "/api/1/envelope/"))
                self.assertEqual(headers["content-type"], "application/x-sentry-envelope")
                self.assertEqual(headers["x-sentry-auth"], "Sentry sentry_version=7, sentry_client="
                                 "cobaltmoth/%s, sentry_key=public" % VERSION)
                self.assertEqual(headers["content-length"], str(len(body)))
                self.assertNotIn("transfer-encoding", headers)
                sent_at = rb',"sent_at":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"}'
                self.assertEqual(re.sub(sent_at, b"}", body, count=1), older)
                self.assertEqual(len(self.bodies()), requests)
                self.expect_private()

    def test_hang(self):
        """A server that accepts and never answers: given up on time, the envelope kept."""
        stub = self.serve("http", self.stub_dir, "hang")
        self.assertTrue(self.put(envelope(1, stub.port)))
        started = time.monotonic()
        self.assertEqual(self.send(), 1, self.sent.stderr)
        self.assertLess(time.monotonic() - started, 35)
        self.assertEqual((len(self.files(".envelope")), len(self.files(".backoff"))), (1, 1))

    def test_retry(self):
        """Refused, then killed mid-request: the next start sends the same event at once."""
        gone = self.serve("http", self.stub_dir, "202")
        gone.process.stdin.close()
        gone.process.wait(10)
        self.assertTrue(self.put(envelope(1, gone.port)))
        self.assertEqual(self.send(), 1, self.sent.stderr)
        self.assertEqual((len(self.files(".envelope")), self.files(".backoff")), (1, []))
        self.serve("http", self.stub_dir, "hang", "202", port=gone.port)
        killed = subprocess.Popen([*WINE, SEND], env=self.env, stderr=subprocess.DEVNULL)
        self.wait_for(self.requests)
        killed.kill()
        killed.wait(10)
        self.assertEqual((len(self.files(".envelope")), self.files(".backoff")), (1, []))
        self.assertEqual(self.send(), 0, self.sent.stderr)
        self.assertEqual([b["header"]["event_id"] for b in self.bodies()], ["%032x" % 1] * 2)

    def test_proxies(self):
        """TLS against the system's certificates, and the proxy the environment names."""
        rows = [  # TLS, trusted, the variable that names the proxy, no_proxy, what it saw, left
            (True, True, None, None, None, 0),
            (True, False, None, None, None, 1),
            (True, True, "https_proxy", None, "CONNECT", 0),
            (False, False, "http_proxy", None, "POST", 0),
            (False, False, "http_proxy", "localhost,127.0.0.1", None, 0),
        ]
        for n, (tls, trusted, variable, no_proxy, proxied, left) in enumerate(rows):
            if WINE and tls:
                continue  # no private authority in Wine's store
            with self.subTest(n):
                self.use("state%d" % n)
                stub = self.serve("http", self.stub_dir, *["--tls"] * tls, "202")
                proxy = self.serve("proxy", self.stub_dir)
                self.env.update({variable: "http://127.0.0.1:%d" % proxy.port} if variable else {})
                self.env.update({"no_proxy": no_proxy} if no_proxy else {})
                self.assertTrue(self.put(envelope(1, stub.port, "https" if tls else "http")))
                self.send(*[os.path.join(SERVICES, "trust.sh"), stub.ca] * trusted)
                for name in PROXIES:
                    self.env.pop(name, None)
                self.assertEqual(len(self.files(".envelope")), left, self.sent.stderr)
                self.assertEqual([r["method"] for r in self.requests("proxy.jsonl")],
                                 [proxied] if proxied else [])
                self.assertEqual(len(self.bodies()), 1 - left)

    def test_bounds(self):
        """Past 30 envelopes or 20 MiB the oldest go, and the next one sent tells of them."""
        for puts, pad, left in ((32, 0, 30), (3, 8 << 20, 2)):
            with self.subTest(puts):
                self.use("state%d" % puts)
                stub = self.serve("http", self.stub_dir, "202")
                for i in range(1, puts + 1):
                    self.assertTrue(self.put(envelope(i, stub.port, pad=pad)))
                    if i == 1:  # and one from 31 days ago, which goes uncounted
                        open(os.path.join(self.outbox, "%013d-%s.envelope" % (
                            now_ms() - 31 * 86400000, "f" * 32)), "wb").write(envelope(0, 1))
                self.assertEqual([name[14:46] for name in self.files(".envelope")],
                                 ["%032x" % i for i in range(puts - left + 1, puts + 1)])
                self.assertEqual(read(os.path.join(self.outbox, "dropped")), "%d\n" % (puts - left))
                self.expect_private()
                self.assertEqual(self.send(), 0, self.sent.stderr)
                bodies = self.bodies()
                self.assertEqual([[item["header"]["type"] for item in b["items"]] for b in bodies],
                                 [["event", "client_report"]] + [["event"]] * (left - 1))
                self.assertEqual(bodies[0]["items"][1]["payload"], {
                    "timestamp": bodies[0]["header"]["sent_at"], "discarded_events": [
                        {"reason": "queue_overflow", "category": "error", "quantity": puts - left}]})
                self.assertFalse(os.path.exists(os.path.join(self.outbox, "dropped")))

    def test_init(self):
        """ProcBug::Init starts the sender, detached, for what an earlier run left."""
        stub = self.serve("http", self.stub_dir, "202")
        self.assertTrue(self.put(envelope(1, stub.port)))
        self.assertTrue(self.put(b"", "--init"))
        self.wait_for(lambda: not self.files(".envelope"))
        self.assertEqual((self.files(".envelope"), len(self.bodies())), ([], 1))

    @unittest.skipIf(WINE, "the modes and mounts of a POSIX system")
    def test_disk(self):
        """A full disk, and no home: nothing queued, nothing half written, a terminal told why."""
        state = os.path.join(self.dir, "state")
        os.makedirs(state)
        for i in range(4):
            open(os.path.join(self.dir, "%d" % i), "wb").write(envelope(i, 1, pad=100000))
        script = ('mount -t tmpfs -o size=256k,mode=700 tmpfs "$0" || exit 77; for i in 0 1 2 3; do'
                  ' "$1" <"$2/$i" && echo queued; done; find "$0" -type f -printf "%f %s\\n"')
        self.sent = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script,
                                    state, PUT, self.dir], env=self.env, capture_output=True, text=True)
        if self.sent.returncode != 77 or os.environ.get("COBALTMOTH_REQUIRE_SERVICES") == "1":
            line = "NAME.envelope %d\n" % len(envelope(0, 1, pad=100000))
            self.assertEqual(re.sub(r"\d{13}-[0-9a-f]{32}", "NAME", self.sent.stdout),
                             "queued\nqueued\n" + line * 2, self.sent.stderr)
        for terminal in (False, True):
            master, slave = pty.openpty()
            homeless = subprocess.run([PUT], input=envelope(1, 1), capture_output=not terminal,
                                      stderr=slave if terminal else None,
                                      env=dict(self.env, XDG_STATE_HOME="/dev/null/state"))
            os.close(slave)
            said = os.read(master, 4096).decode() if terminal else homeless.stderr.decode()
            self.assertEqual((homeless.returncode, said), (1, "cobaltmoth: reports for the error "
                             "tracker are not queued (/dev/null/state/cobaltmoth/outbox: Not a "
                             "directory)\r\n" if terminal else ""))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[4 + len(WINE):])
