#!/usr/bin/env python3
"""tracker_test.py VERSION PUT SEND [WINE] [-k CASE]: reports of a host (PUT --raise, and
COBALTMOTH_TEST_CRASH_HOST) to an error tracker, through the outbox and cobaltmoth-send: to the
trackers' development receiver in a private network namespace, and to the stub on 127.0.0.1.
Every envelope received is read by the trackers' parser (tracker/check-envelope.mjs)."""
import base64, glob, json, os, pathlib, re, shutil, subprocess, sys, unittest

import sender_test as base

HOST = os.environ.get("COBALTMOTH_TEST_CRASH_HOST", "")
MODE = os.environ.get("COBALTMOTH_TEST_CRASH_MODE", "segv")  # abort where sanitizers take SIGSEGV
SIGNAL = {"segv": "SIGSEGV", "abort": "SIGABRT"}[MODE]
RECEIVED = os.environ.get("COBALTMOTH_TEST_RECEIVED", "")  # where to keep one received event


def checked(files):
    check = subprocess.run(["node", os.path.join(base.SERVICES, "tracker/check-envelope.mjs"),
                            *files], capture_output=True, text=True, timeout=60)
    assert check.returncode == 0, check.stderr
    return [json.loads(line) for line in check.stdout.splitlines()]


def event(envelope):
    """The event of an envelope, and the names of its attachments."""
    items = envelope["items"]
    return items[0]["payload"], [i["header"].get("filename") for i in items[1:]]


def frames(stack):
    return [(f.get("module"), f["function"], f.get("lineno")) for f in stack["frames"]]


class Tracker(base.Outboxes):
    def raise_errors(self, count, dsn):
        self.env["COBALTMOTH_REPORT_TO"] = dsn
        return subprocess.run([*base.WINE, base.PUT, "--raise", str(count)], env=self.env,
                              capture_output=True, timeout=600)

    def test_stub(self):
        """A Raise's envelope in the user's outbox, then at the tracker, whole and alone."""
        stub = self.serve("http", self.stub_dir, "202")
        self.assertEqual(self.raise_errors(1, "http://public@127.0.0.1:%d/1" % stub.port)
                         .returncode, 0)
        self.wait_for(lambda: len(self.requests()) == 1 and not self.files(".envelope"))
        [received] = self.bodies()
        payload, attachments = event(received)
        self.assertEqual(received["header"]["sdk"], {"name": "cobaltmoth", "version": base.VERSION})
        self.assertEqual((payload["level"], payload["release"], payload["environment"],
                          payload["exception"]["values"][0]["type"], attachments),
                         ("error", "Payroll@1.2.30", "production", "Error 1000", ["report.txt"]))
        self.assertIn(payload["contexts"]["os"]["name"], ["Windows"] if base.WINE else
                      ["Debian GNU/Linux", "Ubuntu", "Linux"])
        self.assertNotIn("user", payload)

    @unittest.skipIf(not base.WINE, "the DLL's rundll32 entry")
    def test_minidump(self):
        """A crashed process's request to the DLL's rundll32 entry: its envelope, made there,
        carries the minidump the report names."""
        stub = self.serve("http", self.stub_dir, "202")
        dump = pathlib.Path(self.dir, "crash.dmp")
        dump.write_bytes(b"MDMP\x93\xa7" + bytes(range(256)))
        request = pathlib.Path(base.SERVICES, "../windows/golden/crash_request.txt").read_bytes()
        request = request.replace(b"eventlog;journal", b"http://public@127.0.0.1:%d/1" % stub.port)
        request = request.replace(b"+0x17034\r\n", b"+0x17034\r\nMinidump: Z:%s\r\n" %
                                  str(dump).replace("/", "\\").encode())
        pathlib.Path(self.dir, "request").write_bytes(request)
        subprocess.run([*base.WINE, "rundll32.exe", os.environ["COBALTMOTH_DLL"] +
                        ",ShowCrashWindows", "Z:" + self.dir.replace("/", "\\") + "\\request"],
                       env=self.env, capture_output=True, timeout=120)
        self.wait_for(lambda: len(self.requests()) == 1 and not self.files(".envelope"))
        [received] = self.bodies()
        payload, attachments = event(received)
        exception = payload["exception"]["values"][0]
        self.assertEqual((payload["level"], exception["type"], exception["mechanism"], attachments),
                         ("fatal", "EXCEPTION_ACCESS_VIOLATION", {"type": "seh", "handled": False},
                          ["minidump.dmp", "report.txt"]))
        self.assertEqual(base64.b64decode(received["items"][1]["payload"]["base64"]),
                         dump.read_bytes())
        self.assertIn("API_TOKEN=[Filtered]", received["items"][2]["payload"])

    @unittest.skipIf(base.WINE, "the bounds and modes of the POSIX outbox")
    def test_loop(self):
        """10,000 raises while the tracker never answers: the outbox stays at its bounds."""
        stub = self.serve("http", self.stub_dir, "hang")
        ran = self.raise_errors(10000, "http://public@127.0.0.1:%d/1" % stub.port)
        self.assertEqual(ran.returncode, 0, ran.stderr)
        queued = [os.path.join(self.outbox, name) for name in self.files(".envelope")]
        # The newest 30, whole (within a millisecond the names sort by their random ids).
        numbers = {int(event(e)[0]["tags"]["error_number"]) for e in checked(queued)}
        self.assertEqual((len(numbers), min(numbers) >= 10950, max(numbers)), (30, True, 10999))
        self.assertEqual(self.read(self.outbox, "dropped"), "9970\n")  # told at the next send
        self.expect_private()

    @unittest.skipIf(not HOST, "no crash host")
    def test_spotlight(self):
        """A Raise and a crash of the crash host (a signal on Linux; an access violation with
        its minidump on Windows), each with its procedure stacks, as the development receiver
        took them."""
        folder = os.path.join(self.dir, "host")
        os.makedirs(folder)
        self.env.update(COBALTMOTH_REPORT_TO="http://public@127.0.0.1:8969/1", COBALTMOTH_UI="none")
        # The host's command ends the arguments. Wine starts a program's children from the
        # program itself: they stay in the namespace.
        script = ('place=$1 outbox=$2 mode=$3; shift 3; "$@" raise "$place"; "$@" $mode "$place"; '
                  'for i in $(seq 300); do ls "$outbox"/*.envelope >/dev/null 2>&1 || exit 0; '
                  'sleep 0.1; done; exit 1')
        mode, place = (MODE, folder) if not base.WINE else ("segv", "Z:" + folder.replace("/", "\\"))
        spotlight = subprocess.run([os.path.join(base.SERVICES, "spotlight.sh"), self.dir, "sh",
                                    "-c", script, "sh", place, self.outbox, mode, *base.WINE, HOST],
                                   env=dict(self.env, SPOTLIGHT_TIMEOUT="110"),
                                   capture_output=True, text=True, timeout=150)
        if spotlight.returncode == 77 and not base.REQUIRED:
            self.skipTest("no namespace")
        self.assertEqual(spotlight.returncode, 0, spotlight.stderr)
        captured = sorted(glob.glob(os.path.join(self.dir, "spotlight", "*.txt")))
        envelopes = checked(captured)
        raised, crashed = [event(e) for e in envelopes]
        if RECEIVED:
            shutil.copyfile(captured[-1], RECEIVED)
        tree = [("frmMain", "Form_Load", None), ("frmOrders", "cmdSave_Click", None),
                ("modDb", "SaveOrder", 120)]
        kind = ("EXCEPTION_ACCESS_VIOLATION", "seh", ["minidump.dmp", "report.txt"]) if base.WINE \
            else (SIGNAL, "signalhandler", ["report.txt"])
        for (payload, attachments), level, mechanism, sent in (
                (raised, "error", "raise", ["report.txt"]), (crashed, "fatal", kind[1], kind[2])):
            exception = payload["exception"]["values"][0]
            self.assertEqual((payload["level"], exception["mechanism"]["type"],
                              frames(exception["stacktrace"]), attachments),
                             (level, mechanism, tree, sent))
        crashing, worker = crashed[0]["threads"]["values"]  # the crashing thread first
        self.assertEqual(crashed[0]["exception"]["values"][0]["type"], kind[0])
        self.assertEqual(frames(worker["stacktrace"]),
                         [("modWorker", "Poll", None), ("modWorker", "Wait", None)])
        natives = crashing["stacktrace"]["frames"]
        self.assertTrue(crashing["crashed"] and all(f["instruction_addr"].startswith("0x")
                                                    for f in natives))
        self.assertIn("WriteThroughNull" if kind[0] != "SIGABRT" else "abort",
                      " ".join(f.get("function", "") for f in natives))
        # Each frame's package is its module's whole path: the host's own among them.
        packages = {f.get("package") for f in natives}
        self.assertTrue(any(re.fullmatch(r"[A-Z]:\\.*\\cobaltmoth_crash_host\.exe", p or "")
                            for p in packages) if base.WINE else
                        os.path.realpath(HOST) in packages, packages)
        if base.WINE:
            minidump = base64.b64decode(envelopes[1]["items"][1]["payload"]["base64"])
            self.assertEqual(minidump[:4], b"MDMP")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[4 + len(base.WINE):])
