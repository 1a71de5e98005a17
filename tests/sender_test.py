#!/usr/bin/env python3
"""sender_test.py VERSION PUT SEND [WINE] [-k CASE]: the outbox (PUT: tests/outbox_put.cpp) and
cobaltmoth-send against tests/services on 127.0.0.1; with WINE (scripts/wine-run.sh) the Windows
programs. Without root, namespaced cases skip unless COBALTMOTH_REQUIRE_SERVICES=1."""
import getpass, itertools, json, os, pathlib, pty, re, shutil, subprocess, sys, tempfile, time
import types, unittest

SERVICES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "services")
VERSION, PUT, SEND = sys.argv[1:4]
WINE = sys.argv[4:5] if sys.argv[4:5] and not sys.argv[4].startswith("-") else []
REQUIRED = os.environ.get("COBALTMOTH_REQUIRE_SERVICES") == "1"


def envelope(n, port, scheme="http", pad=0):
    """A minimal envelope: its header (event_id, dsn) and one event."""
    event = '{"event_id":"%032x","level":"error","message":"%s"}' % (n, "x" * pad)
    return ('{"event_id":"%032x","dsn":"%s://public@127.0.0.1:%d/1"}\n{"type":"event","length":%d}'
            '\n%s\n' % (n, scheme, port, len(event), event)).encode()


class Outboxes(unittest.TestCase):
    """An outbox of its own for each test, the stub receiver, and what reached it."""
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="cobaltmoth-sender-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
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
        self.addCleanup(stub.communicate, timeout=10)
        said = dict(line.strip().split("=", 1) for line in itertools.takewhile(
            lambda line: line not in ("", "ready\n"), iter(stub.stdout.readline, None)))
        return types.SimpleNamespace(process=stub, port=int(said["port"]), ca=said.get("ca"))

    def put(self, data, *args):
        return subprocess.run([*WINE, PUT, *args], input=data, env=self.env, capture_output=True,
                              timeout=60).returncode == 0

    def put_all(self, *envelopes):
        """Puts the envelopes one after another in one process (a start costs seconds in Wine)."""
        names = []
        for data in envelopes:
            names.append(os.path.join(self.dir, "put-%d" % len(os.listdir(self.dir))))
            pathlib.Path(names[-1]).write_bytes(data)
        return self.put(b"", *[("Z:" + n.replace("/", "\\")) if WINE else n for n in names])

    def send(self, *wrapper):
        self.sent = subprocess.run([*wrapper, *WINE, SEND], env=self.env, capture_output=True,
                                   text=True, timeout=60)
        if self.sent.returncode == 77 and not REQUIRED:
            self.skipTest("no namespace: " + self.sent.stderr)
        return self.sent.returncode

    def files(self, ending):
        names = os.listdir(self.outbox) if os.path.isdir(self.outbox) else []
        return sorted(name for name in names if name.endswith(ending))

    def read(self, *path):
        path = os.path.join(*path)
        return pathlib.Path(path).read_text() if os.path.exists(path) else ""

    def requests(self, log="requests.jsonl"):
        return [json.loads(line) for line in self.read(self.stub_dir, log).splitlines()]

    def bodies(self):
        """The bodies the stub received, as the trackers' parser reads them."""
        files = [os.path.join(self.stub_dir, "request-%d.body" % r["n"]) for r in self.requests()]
        check = subprocess.run(["node", os.path.join(SERVICES, "tracker/check-envelope.mjs"),
                                *files], capture_output=True, text=True, timeout=60)
        self.assertEqual(check.returncode, 0, check.stderr)
        return [json.loads(line) for line in check.stdout.splitlines()]

    def wait_for(self, condition):
        deadline = time.monotonic() + 20
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.02)

    def expect_private(self):  # the folder and every file in it the user's alone (POSIX modes)
        modes = {name: os.stat(os.path.join(self.outbox, name)).st_mode & 0o777
                 for name in ["."] + os.listdir(self.outbox)}
        self.assertEqual(modes, modes if WINE else {name: 0o600 for name in modes} | {".": 0o700})


class Sender(Outboxes):
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
                self.assertTrue(self.put_all(older, envelope(2, stub.port)))
                before = int(time.time() * 1e3)
                if earlier:
                    backoff = self.files(".envelope")[0].replace(".envelope", ".backoff")
                    pathlib.Path(self.outbox, backoff).write_text("%d %d" % (before - 1, earlier))
                self.assertEqual(self.send(), 1 if left else 0, self.sent.stderr)
                self.assertEqual([len(self.requests()), len(self.files(".envelope"))], [requests, left])
                self.assertEqual([int(self.read(self.outbox, b).split()[1])
                                  for b in self.files(".backoff")], [delay] if delay else [])
                limits = self.read(self.outbox, "rate-limits").split() or ["", before]
                category, seconds = limit or ("", 0)  # its end: that long after the answer
                self.assertEqual(limits[0], category)
                self.assertTrue(0 <= int(limits[1]) - before - seconds * 1e3 <= time.time() * 1e3 - before)
                self.assertEqual(self.put(envelope(3, 1)), category in ("", "attachment"))
                # The first request, byte for byte: the envelope with "sent_at" in its header.
                first = self.requests()[0]
                headers = {name.lower(): value for name, value in first["headers"]}
                body = pathlib.Path(self.stub_dir, "request-1.body").read_bytes()
                self.assertEqual([first["method"], first["path"]] + [headers.get(name) for name in (
                    "content-type", "x-sentry-auth", "content-length", "transfer-encoding")], [
                    "POST", "/api/1/envelope/", "application/x-sentry-envelope", "Sentry sentry_"
                    "version=7, sentry_client=cobaltmoth/%s, sentry_key=public" % VERSION,
                    str(len(body)), None])
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
        gone.process.communicate(timeout=10)
        self.assertTrue(self.put(envelope(1, gone.port)))
        self.assertEqual(self.send(), 1, self.sent.stderr)
        self.assertEqual((len(self.files(".envelope")), self.files(".backoff")), (1, []))
        self.serve("http", self.stub_dir, "hang", "202", port=gone.port)
        killed = subprocess.Popen([*WINE, SEND], env=self.env, stderr=subprocess.DEVNULL)
        self.wait_for(self.requests)
        self.assertEqual(self.send(), 2)  # while it runs, a second sender leaves at once
        killed.kill()
        killed.wait(10)
        self.assertEqual((len(self.files(".envelope")), self.files(".backoff")), (1, []))
        self.assertEqual(self.send(), 0, self.sent.stderr)
        self.assertEqual([b["header"]["event_id"] for b in self.bodies()], ["%032x" % 1] * 2)

    def test_proxies(self):
        """TLS against the system's certificates, and the proxy the environment names."""
        rows = [  # TLS, trusted, the variable naming the proxy, no_proxy, what it saw, left
            (True, True, "ftp_proxy", "", None, 0),
            (True, False, "ftp_proxy", "", None, 1),
            (True, True, "https_proxy", "", "CONNECT", 0),
            (False, False, "http_proxy", "", "POST", 0),
            (False, False, "http_proxy", "localhost,127.0.0.1", None, 0),
        ]
        for n, (tls, trusted, variable, no_proxy, proxied, left) in enumerate(rows):
            if WINE and tls:
                continue  # no private authority in Wine's store
            with self.subTest(n):
                self.use("state%d" % n)
                stub = self.serve("http", self.stub_dir, *["--tls"] * tls, "202")
                proxy = self.serve("proxy", self.stub_dir)
                self.assertTrue(self.put(envelope(1, stub.port, "https" if tls else "http")))
                self.env.update({"no_proxy": no_proxy, variable: "http://127.0.0.1:%d" % proxy.port})
                self.send(*[os.path.join(SERVICES, "trust.sh"), stub.ca] * trusted)
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
                self.assertTrue(self.put(envelope(1, stub.port, pad=pad)))
                # one from 31 days ago, which goes uncounted, then the rest in one process
                pathlib.Path(self.outbox, "%013d-%s.envelope" % (
                    time.time() * 1e3 - 31 * 86400000, "f" * 32)).write_bytes(envelope(0, 1))
                self.assertTrue(self.put_all(*[envelope(i, stub.port, pad=pad)
                                               for i in range(2, puts + 1)]))
                self.assertEqual([name[14:46] for name in self.files(".envelope")],
                                 ["%032x" % i for i in range(puts - left + 1, puts + 1)])
                self.assertEqual(self.read(self.outbox, "dropped"), "%d\n" % (puts - left))
                self.expect_private()
                self.assertEqual(self.send(), 0, self.sent.stderr)
                bodies = self.bodies()
                self.assertEqual([[item["header"]["type"] for item in b["items"]] for b in bodies],
                                 [["event", "client_report"]] + [["event"]] * (left - 1))
                self.assertEqual(bodies[0]["items"][1]["payload"], {
                    "timestamp": bodies[0]["header"]["sent_at"], "discarded_events": [
                        {"reason": "queue_overflow", "category": "error", "quantity": puts - left}]})
                self.assertEqual(self.read(self.outbox, "dropped"), "")

    def test_init(self):
        """ProcBug::Init starts the sender, detached, for what an earlier run left."""
        stub = self.serve("http", self.stub_dir, "202")
        self.assertTrue(self.put(envelope(1, stub.port)) and self.put(b"", "--init"))
        self.wait_for(lambda: not self.files(".envelope"))
        self.assertEqual((self.files(".envelope"), len(self.bodies())), ([], 1))

    # The sanitizer's allocator keeps no fork handlers: a child forked while the parent's
    # starting thread allocates finds the allocator locked for good.
    @unittest.skipIf(WINE or os.environ.get("COBALTMOTH_TEST_SANITIZED") == "1", "fork")
    def test_fork(self):
        """A child forked while its parent's sender waits to start starts one of its own."""
        starts = os.path.join(self.dir, "starts")
        script = pathlib.Path(self.dir, "sender")
        script.write_text('#!/bin/sh\necho "$$" >>"%s"\n' % starts)
        script.chmod(0o700)
        env = dict(self.env, COBALTMOTH_SEND_PROGRAM=str(script),
                   COBALTMOTH_REPORT_TO="http://public@127.0.0.1:9/1", COBALTMOTH_UI="none")
        self.assertEqual(subprocess.run([PUT, "--raise-fork"], env=env, cwd=self.dir,
                                        timeout=60).returncode, 0)
        self.wait_for(lambda: len(self.read(starts).split()) >= 2)
        self.assertEqual((len(self.read(starts).split()), len(self.files(".envelope"))), (2, 2))

    @unittest.skipIf(WINE, "the modes and mounts of a POSIX system")
    def test_disk(self):
        """No home, and a full disk: nothing queued, nothing half written, a terminal told why."""
        for terminal in (False, True):
            master, slave = pty.openpty()
            homeless = subprocess.run([PUT], input=envelope(1, 1), stderr=slave if terminal else -1,
                                      env=dict(self.env, XDG_STATE_HOME="/dev/null/state"))
            os.close(slave)
            said = os.read(master, 4096) if terminal else homeless.stderr
            self.assertEqual((homeless.returncode, said), (1, b"cobaltmoth: reports for the error "
                             b"tracker are not queued (/dev/null/state/cobaltmoth/outbox: Not a "
                             b"directory)\r\n" if terminal else b""))
        if os.geteuid() != 0 and not REQUIRED:
            self.skipTest("no mount namespace")
        for i in range(4):
            pathlib.Path(self.dir, str(i)).write_bytes(envelope(i, 1, pad=100000))
        full = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                               'mkdir "$0" && mount -t tmpfs -o size=256k,mode=700 tmpfs "$0" && for'
                               ' i in 0 1 2 3; do "$1" <"$2/$i" && echo queued; done; find "$0" -type'
                               ' f -printf "%f %s\\n"', self.dir + "/state", PUT, self.dir],
                              env=self.env, capture_output=True, text=True)
        line = "NAME.envelope %d\n" % len(envelope(0, 1, pad=100000))
        self.assertEqual(re.sub(r"\d{13}-[0-9a-f]{32}", "NAME", full.stdout),
                         "queued\nqueued\n" + line * 2, full.stderr)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[4 + len(WINE):])
