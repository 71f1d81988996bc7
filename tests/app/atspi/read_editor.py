"""Starts the editor on a two-page PDF and reads it over the desktop's accessibility bus, as a screen
reader does: the zoom button and each page row must carry their values where the bus publishes them.

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
