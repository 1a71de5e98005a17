#!/usr/bin/env python3
"""Drives the message box and the report window of a VBScript host's Raise under Wine on a
private Xvfb with xdotool, as a user would; each check says what it sees. Wine without a window
manager activates a window on a click only: the test clicks a label before it types.
Usage (in xvfb-run): gui_test.py WINE_RUN DLL HELPER(.htm program; clipboard) SCRIPT WORK SHOTS"""
import os
import re
import shutil
import subprocess
import sys
import time

TITLE = "R&D #1?.EXE ver. 1.2.30 - Unexpected error"
SUBJECT = ("mailto:cobaltmoth-support@example.com?subject=[Bug%20Report]%20Application%20"
           "R&D%20#1?.EXE%20ver.%201.2.30%20-%20Unexpected%20error")
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)
    return condition


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def xdo(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True,
                          timeout=20).stdout.strip()


def wait(find, seconds):  # what find() returns once true, polled for `seconds`; else None
    deadline = time.time() + seconds
    while time.time() < deadline:
        if found := find():
            return found
        time.sleep(0.2)


def wait_window(title, size=None):  # (id, x, y, width, height) of a window once it shows
    def find():
        for wid in xdo("search", "--onlyvisible", "--name", ".").split():
            shell = xdo("getwindowgeometry", "--shell", wid)  # WINDOW= X= Y= WIDTH= HEIGHT=
            _, x, y, w, h = map(int, re.findall(r"=(\d+)", shell)[:5])
            if xdo("getwindowname", wid) == title and size in (None, (w, h)):
                return wid, x, y, w, h
    return wait(find, 40)


def press(*keys, at=None):  # clicks at `at` (x, y), if given, then presses the keys
    if at:
        xdo("mousemove", str(at[0]), str(at[1]), "click", "1")
        time.sleep(0.3)
    if keys:
        xdo("key", "--delay", "60", *keys)
        time.sleep(0.3)


def dismiss(box):  # clicks a message box's title, presses Enter (OK); True once it is gone
    press("Return", at=(box[1] + box[3] // 2, box[2] + 12))
    return wait(lambda: box[0] not in xdo("search", "--onlyvisible", "--name", ".").split(), 20)


def shot(box, path):
    xdo("mousemove", "0", "0")
    subprocess.run(["import", "-window", box[0], path], check=False, timeout=30)
    check(os.path.exists(path), f"screenshot {path}")


def main():
    wine_run, dll, helper, script, work, shots = sys.argv[1:7]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    os.makedirs(shots, exist_ok=True)
    record = os.path.join(work, "argv")
    # A prefix of its own: its wine server and desktop process start on this display.
    env = dict(os.environ, WINEPREFIX=os.path.join(os.path.dirname(work), "gui-wineprefix"),
               COBALTMOTH_WINE_DISPLAY=os.environ["DISPLAY"], COBALTMOTH_UI="gui",
               COBALTMOTH_TEST_RECORD=windows_path(record))

    def wine(*args, **options):
        return subprocess.run([wine_run, *args], env=env, **options)

    try:
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True)
        wine("regsvr32", "/s", windows_path(dll), check=True)
        for key, value in ((r"HKLM\Software\Classes\.htm", "cobaltmoth.testhtm"),
                           (r"HKLM\Software\Classes\cobaltmoth.testhtm\shell\open\command",
                            f'"{windows_path(helper)}" "%1"')):
            wine("reg", "add", key, "/ve", "/d", value, "/f", check=True, capture_output=True)
        host_out = os.path.join(work, "host.out")
        with open(host_out, "wb") as out:
            host = subprocess.Popen([wine_run, "cscript", "//nologo", windows_path(script)],
                                    env=env, stdout=out, stderr=subprocess.DEVNULL)

        box = wait_window(TITLE)
        if not check(box is not None, f'the message box appears titled "{TITLE}"'):
            return 1
        shot(box, os.path.join(shots, "message-box.png"))
        check(dismiss(box), "OK closes the message box")
        window = wait_window(TITLE, size=(615, 453))
        if not check(window is not None, "the report window appears, its client area 615 x 453"):
            return 1
        shot(window, os.path.join(shots, "report-window.png"))
        x, y = window[1:3]
        label = (x + 40, y + 5280 // 15 + 6)  # the line of instruction: takes no focus

        # Copy after an edit: typed at the top, a new line, Tab to Copy, Enter presses it.
        press("ctrl+Home", at=label)
        xdo("type", "--delay", "40", "Dear support,")
        press("ctrl+Return", "Tab", "Return")
        confirmation = wait_window("Cobaltmoth")
        check(confirmation is not None, 'Copy shows its confirmation titled "Cobaltmoth"')
        text = wine(windows_path(helper), capture_output=True).stdout.decode("utf-8", "replace")
        check(text.startswith("Dear support,\r\n\r\n")
              and "Name:    R&D #1?.EXE ver. 1.2.30" in text,
              "the clipboard holds the edited text: " + repr(text[:40]))
        if confirmation:
            dismiss(confirmation)

        # Print with no printer installed: the user is told, the window stays.
        press(at=(x + 3600 // 15 + 44, y + 6240 // 15 + 16))
        failure = wait_window("Cobaltmoth")
        if check(failure is not None, "Print without a printer shows a message box"):
            shot(failure, os.path.join(shots, "print-failure.png"))
            dismiss(failure)
        check(host.poll() is None, "the window is still open")

        press("Return", at=(x + 300, y + 150))
        wait(lambda: os.path.exists(record + ".done"), 30)
        launched = open(record, encoding="utf-8").read() if os.path.exists(record) else ""
        check(launched == '"' + windows_path(helper) + '" ' + SUBJECT,
              "Enter in the text box starts the .htm program with the parameter text: " +
              repr(launched))

        # Esc closes; Raise returns. The program just started may still hold the activation
        # when the first click comes: the window is clicked and Esc pressed until it goes.
        for attempt in range(1, 6):
            time.sleep(1)
            press("Escape", at=label)
            if wait(lambda: host.poll() is not None, 8):
                break
        if host.poll() is None:
            host.kill()
        out = open(host_out, "rb").read()
        check(out == b"EndOnError=False\r\ndone\r\n", "Esc closes the window and Raise returns: "
              + repr(out) + f" (Esc pressed {attempt} times)")
    finally:
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
