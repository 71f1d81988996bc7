"""Starts the editor on a two-page PDF and reads it over the desktop's accessibility bus, as a screen
reader does: the zoom button and each page row must carry their values where the bus publishes them, and
every stop the Tab key reaches, on each inspector tab, must have a name.

Run under a private session bus and a virtual X server (see read_editor.sh). Exits 0 when every check
holds, 1 with the reasons otherwise, 77 when the accessibility bus cannot be reached (the test is then
skipped, not passed)."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import pyatspi
from gi.repository import GLib


def write_pdf(path):
    # Two pages of 595 x 841 points, the second with a text note.
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 841] >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 841] /Annots [5 0 R] >>",
        b"<< /Type /Annot /Subtype /Text /Rect [72 700 96 724] /Contents (Check this) >>",
    ]
    out = bytearray(b"%PDF-1.7\n")
    offsets = []
    for number, body in enumerate(objects, start=1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for offset in offsets:
        out += b"%010d 00000 n \n" % offset
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    with open(path, "wb") as file:
        file.write(out)


def nodes(root):
    """Every accessible below `root`, breadth first, skipping ones that vanish while being read."""
    queue = [root]
    while queue:
        node = queue.pop(0)
        yield node
        try:
            queue.extend(node[i] for i in range(node.childCount))
        except Exception:
            continue


def find_editor(deadline):
    while time.time() < deadline:
        try:
            desktop = pyatspi.Registry.getDesktop(0)
            for app in desktop:
                if app is not None and app.name == "Kivo PDF":
                    return app
        except Exception:
            pass
        time.sleep(0.3)
    return None


def read(app):
    found = {"zoom": None, "rows": {}, "model": None}
    for node in nodes(app):
        try:
            name, role, description = node.name, node.getRoleName(), node.description
        except Exception:
            continue
        if name == "Zoom":
            found["zoom"] = description
        if role == "list item" and re.fullmatch(r"Page \d+", name or ""):
            found["rows"][name] = description
            found.setdefault("nodes", {})[name] = node
    return found


def selected_rows(app):
    rows = read(app).get("nodes", {})
    return sorted(name for name, node in rows.items() if node.getState().contains(pyatspi.STATE_SELECTED))


def press_keys(*keys):
    """Presses `keys` on the X server, as a person's keyboard does, into the window that has the focus."""
    subprocess.run(["xdotool", "key", "--delay", "60"] + list(keys), check=True)


class FocusWatch:
    """The accessibles that took the keyboard, in order, as the bus announced them."""

    def __init__(self):
        self.focused = []
        pyatspi.Registry.registerEventListener(self.on_event, "object:state-changed:focused")

    def on_event(self, event):
        if event.detail1 == 1:
            try:
                self.focused.append((event.source.getRoleName(), event.source.name or ""))
            except Exception:
                pass

    def pump(self, seconds):
        context = GLib.MainContext.default()
        deadline = time.time() + seconds
        while time.time() < deadline:
            while context.pending():
                context.iteration(False)
            time.sleep(0.05)


# A screen reader names each stop as the keyboard reaches it: on every inspector tab, Tab walks the whole
# window around, and no stop it reaches is read as nothing.
def every_stop_named(app, failures):
    watch = FocusWatch()
    for shortcut, tab in (("ctrl+1", "Assistant"), ("ctrl+2", "Page"), ("ctrl+3", "Form"), ("ctrl+4", "Document")):
        press_keys(shortcut)
        watch.pump(0.5)
        watch.focused.clear()
        for _ in range(45):
            press_keys("Tab")
            watch.pump(0.15)
        watch.pump(1.0)
        if len(set(watch.focused)) < 5:
            failures.append("on the %s tab Tab reached only %r" % (tab, sorted(set(watch.focused))))
        for role, name in sorted(set(watch.focused)):
            if not name.strip():
                failures.append("on the %s tab Tab stops at a %s read as nothing" % (tab, role))


# Pressing a row turns to its page: the row a screen reader hears as selected must follow.
def press_and_follow(app, failures):
    if selected_rows(app) != ["Page 1"]:
        failures.append("at the start the selected rows are %r, not Page 1" % selected_rows(app))
    action = read(app)["nodes"]["Page 2"].queryAction()
    press = [i for i in range(action.nActions) if action.getName(i).lower() == "press"]
    if not press:
        failures.append("the Page 2 row offers no press action")
        return
    action.doAction(press[0])
    deadline = time.time() + 10
    while selected_rows(app) != ["Page 2"] and time.time() < deadline:
        time.sleep(0.2)
    if selected_rows(app) != ["Page 2"]:
        failures.append("after pressing Page 2 the selected rows are %r" % selected_rows(app))


def main():
    editor = sys.argv[1]
    scratch = tempfile.mkdtemp(prefix="kivo-atspi-")
    document = os.path.join(scratch, "two.pdf")
    write_pdf(document)
    environment = dict(os.environ)
    environment.update({
        "HOME": scratch,
        "XDG_CONFIG_HOME": os.path.join(scratch, "config"),
        "XDG_DATA_HOME": os.path.join(scratch, "data"),
        "XDG_RUNTIME_DIR": scratch,
        "TMPDIR": scratch,
        "QT_QPA_PLATFORM": "xcb",
        "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
        "QT_ACCESSIBILITY": "1",
    })
    process = subprocess.Popen([editor, document], env=environment)
    try:
        app = find_editor(time.time() + 30)
        if app is None:
            print("the editor never appeared on the accessibility bus")
            return 77
        failures = []
        deadline = time.time() + 30
        while True:
            found = read(app)
            rows = found["rows"]
            ready = found["zoom"] and rows.get("Page 2", "").endswith("1 annotation")
            if ready or time.time() > deadline:
                break
            time.sleep(0.5)
        if not re.fullmatch(r"\d+ percent", found["zoom"] or ""):
            failures.append("the zoom button is described %r, not by its percentage" % found["zoom"])
        for page, expected in (("Page 1", "595 by 841 points"), ("Page 2", "595 by 841 points, 1 annotation")):
            if rows.get(page) != expected:
                failures.append("%s is described %r, not %r" % (page, rows.get(page), expected))
        if not failures:
            press_and_follow(app, failures)
        if not failures:
            every_stop_named(app, failures)
        for failure in failures:
            print(failure)
        return 1 if failures else 0
    finally:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
