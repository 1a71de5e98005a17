#!/usr/bin/env python3
"""The message box and the report window of Cobaltmoth.dll under Wine 64 on a private Xvfb,
driven with xdotool as a user would, from a VBScript host (gui.vbs) run by cscript.

It checks, in this order: the message box appears with its exact title; after OK the report
window appears with the same title and a client area of 615 x 453 pixels (96 dots an inch);
text typed at the top of the box, Ctrl+Enter (a new line), Tab (to Copy) and Enter (the
focused button) put the edited text on the clipboard, read back by a Windows program, and
show the confirmation; Print without a printer tells the user and leaves the window; Enter in
the text box starts the program registered for ".htm" files with exactly the parameter text;
Esc closes the window and the host prints EndOnError=False. Screenshots of both windows are
saved in --shots. Wine without a window manager activates a window on a click only, so the
test clicks a label of a window before it types into it.
"""
import argparse
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


class Display:
    def __init__(self):
        read, write = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read, 16)
            if not chunk:
                break
            number += chunk
        os.close(read)
        self.name = ":" + number.decode().strip()

    def close(self):
        self.server.terminate()
        self.server.wait(timeout=10)


def xdo(*args, timeout=20):
    result = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=timeout)
    return result.stdout.strip()


def windows():
    """Visible windows: id -> (title, x, y, width, height)."""
    found = {}
    for wid in xdo("search", "--onlyvisible", "--name", ".").split():
        title = xdo("getwindowname", wid)
        geometry = xdo("getwindowgeometry", wid)
        pos = re.search(r"Position: (\d+),(\d+)", geometry)
        size = re.search(r"Geometry: (\d+)x(\d+)", geometry)
        if pos and size:
            found[wid] = (title, int(pos[1]), int(pos[2]), int(size[1]), int(size[2]))
    return found


def wait_window(title, size=None, seconds=40):
    deadline = time.time() + seconds
    while time.time() < deadline:
        for wid, (name, x, y, w, h) in windows().items():
            if name == title and (size is None or (w, h) == size):
                return wid, x, y, w, h
        time.sleep(0.2)
    return None


def wait_gone(wid, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if wid not in windows():
            return True
        time.sleep(0.2)
    return False


def click(x, y):
    xdo("mousemove", str(x), str(y), "click", "1")
    time.sleep(0.3)


def keys(*names):
    xdo("key", "--delay", "60", *names)
    time.sleep(0.3)


def shot(wid, path):
    xdo("mousemove", "0", "0")
    subprocess.run(["import", "-window", wid, path], check=False, timeout=30)
    check(os.path.exists(path), f"screenshot {path}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--dll", required=True)
    parser.add_argument("--record", required=True, help="the stand-in .htm program")
    parser.add_argument("--clip", required=True, help="the clipboard reader")
    parser.add_argument("--script", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--shots", required=True)
    a = parser.parse_args()

    for tool in ("Xvfb", "xdotool", "import"):
        if shutil.which(tool) is None:
            print(f"FAIL {tool} is missing")
            return 1
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    os.makedirs(a.shots, exist_ok=True)
    record = os.path.join(a.work, "argv")

    display = Display()
    env = dict(os.environ)
    # A prefix of its own: its wine server and desktop process start on this display.
    env.update(WINEPREFIX=os.path.join(os.path.dirname(a.work), "gui-wineprefix"),
               COBALTMOTH_WINE_DISPLAY=display.name, DISPLAY=display.name,
               COBALTMOTH_UI="gui", COBALTMOTH_TEST_RECORD=windows_path(record))
    os.environ["DISPLAY"] = display.name
    wine = [a.wine_run]
    try:
        subprocess.run(["wineserver", "-k"], env=env, check=False, capture_output=True)
        subprocess.run(wine + ["regsvr32", "/s", windows_path(a.dll)], env=env, check=True)
        command = '"' + windows_path(a.record) + '" "%1"'
        for key, value in ((r"HKLM\Software\Classes\.htm", "cobaltmoth.testhtm"),
                           (r"HKLM\Software\Classes\cobaltmoth.testhtm\shell\open\command",
                            command)):
            subprocess.run(wine + ["reg", "add", key, "/ve", "/d", value, "/f"], env=env,
                           check=True, capture_output=True)

        host_out = open(os.path.join(a.work, "host.out"), "wb")
        host = subprocess.Popen(wine + ["cscript", "//nologo", windows_path(a.script)],
                                env=env, stdout=host_out, stderr=subprocess.DEVNULL)

        box = wait_window(TITLE)
        if not check(box is not None, f'the message box appears titled "{TITLE}"'):
            return 1
        shot(box[0], os.path.join(a.shots, "message-box.png"))
        click(box[1] + box[3] // 2, box[2] + 12)
        keys("Return")
        check(wait_gone(box[0]), "OK closes the message box")

        window = wait_window(TITLE, size=(615, 453))
        if not check(window is not None, "the report window appears, its client area 615 x 453"):
            return 1
        wid, x, y, _, _ = window
        shot(wid, os.path.join(a.shots, "report-window.png"))
        label = (x + 40, y + 5280 // 15 + 6)    # the line of instruction: takes no focus
        text_box = (x + 300, y + 150)

        # Copy after an edit: typed at the top, a new line, Tab to Copy, Enter presses it.
        click(*label)
        keys("ctrl+Home")
        xdo("type", "--delay", "40", "Dear support,")
        keys("ctrl+Return", "Tab", "Return")
        confirmation = wait_window("Cobaltmoth")
        check(confirmation is not None, 'Copy shows its confirmation titled "Cobaltmoth"')
        copied = subprocess.run(wine + [windows_path(a.clip)], env=env, capture_output=True)
        text = copied.stdout.decode("utf-8", "replace")
        check(text.startswith("Dear support,\r\n\r\n") and "Name:    R&D #1?.EXE ver. 1.2.30" in text,
              "the clipboard holds the edited text: " + repr(text[:40]))
        if confirmation:
            click(confirmation[1] + confirmation[3] // 2, confirmation[2] + 12)
            keys("Return")
            wait_gone(confirmation[0])

        # Print with no printer installed: the user is told, the window stays.
        click(x + 3600 // 15 + 44, y + 6240 // 15 + 16)
        failure = wait_window("Cobaltmoth")
        check(failure is not None, "Print without a printer shows a message box")
        if failure:
            shot(failure[0], os.path.join(a.shots, "print-failure.png"))
            click(failure[1] + failure[3] // 2, failure[2] + 12)
            keys("Return")
            wait_gone(failure[0])
        check(host.poll() is None, "the window is still open")

        # Enter in the text box presses Send E-Mail.
        click(*text_box)
        keys("Return")
        deadline = time.time() + 30
        while not os.path.exists(record + ".done") and time.time() < deadline:
            time.sleep(0.2)
        launched = open(record, encoding="utf-8").read() if os.path.exists(record) else ""
        check(launched == '"' + windows_path(a.record) + '" ' + SUBJECT,
              "Enter in the text box starts the .htm program with the parameter text: " +
              repr(launched))

        # Esc closes; Raise returns. The program just started may still hold the activation
        # when the first click comes: the window is clicked and Esc pressed until it goes.
        for attempt in range(1, 6):
            time.sleep(1)
            click(*label)
            keys("Escape")
            try:
                host.wait(timeout=8)
                break
            except subprocess.TimeoutExpired:
                continue
        if host.poll() is None:
            host.kill()
        host_out.close()
        out = open(os.path.join(a.work, "host.out"), "rb").read()
        check(out == b"EndOnError=False\r\ndone\r\n", "Esc closes the window and Raise returns: "
              + repr(out) + f" (Esc pressed {attempt} times)")
    finally:
        subprocess.run(["wineserver", "-k"], env=env, check=False, capture_output=True)
        display.close()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
