#!/usr/bin/env python3
"""Plants one violation at a time in a small tree and runs the layering and format checks on it.

Each check is only as good as the violations it is shown to catch, so every kind it claims to catch
stands here once, beside a clean tree that must pass.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"
QT_HEADERS = any(Path(p, "QtWidgets", "QWidget").is_file()
                 for p in ("/usr/include/x86_64-linux-gnu/qt6", "/usr/include/aarch64-linux-gnu/qt6", "/usr/include/qt6"))

LAYERS = """\
core       kivo_core       -         Qt6
workspace  kivo_workspace  core      Qt6::Widgets
app        kivo_app        workspace -
"""

CLEAN = {
    "src/layers.txt": LAYERS,
    "src/core/CMakeLists.txt": "add_library(kivo_core STATIC text.cpp)\n",
    "src/core/text.hpp": "#pragma once\n",
    "src/core/text.cpp": '#include "core/text.hpp"\n',
    "src/workspace/CMakeLists.txt": "add_library(kivo_workspace STATIC model.cpp)\n"
                                    "target_link_libraries(kivo_workspace PUBLIC kivo_core Qt6::Gui)\n",
    "src/workspace/model.hpp": "#pragma once\n#include <QImage>\n#include <QtCore/QObject>\n",
    "src/workspace/model.cpp": '#include "workspace/model.hpp"\n#include "core/text.hpp"\n#include "../workspace/model.hpp"\n',
    "src/app/CMakeLists.txt": "set(KIVO_APP_LIBS kivo_workspace Qt6::Widgets)\n"
                              "add_executable(kivo_app window.cpp)\n"
                              "target_link_libraries(kivo_app PRIVATE ${KIVO_APP_LIBS})\n",
    "src/app/window.hpp": "#pragma once\n",
    "src/app/window.cpp": '#include <QWidget>\n#include "app/window.hpp"\n#include "workspace/model.hpp"\n',
}


def run_layers(files):
    with tempfile.TemporaryDirectory() as top:
        for name, text in files.items():
            path = Path(top, name)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        done = subprocess.run([sys.executable, str(SCRIPTS / "check_layers.py"), top],
                              capture_output=True, text=True, check=False)
        return done.returncode, done.stdout


class LayeringCheck(unittest.TestCase):
    def test_a_clean_tree_passes(self):
        code, out = run_layers(CLEAN)
        self.assertEqual(code, 0, out)

    def test_allowed_uses_in_the_new_forms_pass(self):
        # A quoted header beside its source is the folder's own, whatever its name; links that go down
        # the table pass however they are written.
        files = dict(CLEAN)
        files["src/workspace/QtBits.hpp"] = "#pragma once\n"
        files["src/workspace/model.cpp"] += '#include "QtBits.hpp"\n#include "QtGui/QImage"\n'
        files["src/workspace/CMakeLists.txt"] = ("set(LIBS Qt6::Gui)\nlist(APPEND LIBS kivo_core)\n"
                                                 "add_library(kivo_workspace STATIC model.cpp)\n"
                                                 "include(links.cmake)\n")
        files["src/workspace/links.cmake"] = "target_link_libraries(kivo_workspace PUBLIC ${LIBS})\n"
        code, out = run_layers(files)
        self.assertEqual(code, 0, out)

    def test_each_planted_violation_is_caught(self):
        qt = [
            ("a Qt module named in the include", "src/workspace/model.cpp", "QtWidgets/QWidget",
             "may never use Qt6::Widgets", True),
            ("a Qt class whose header lives in a module the folder may never link", "src/workspace/model.cpp",
             "QPushButton", "may never use Qt6::Widgets", QT_HEADERS),
            ("any Qt header in a folder that never links Qt", "src/core/text.cpp", "QString",
             "may never use Qt6::Core", QT_HEADERS),
        ]
        # A Qt header in quotes reaches the same module as one in brackets.
        cases = [(f"{name}, {open_}{close}", path, f"#include {open_}{header}{close}\n", expected, runnable)
                 for open_, close in ("<>", '""') for name, path, header, expected, runnable in qt]
        cases += [
            ("a relative include that climbs into another folder",
             "src/workspace/model.cpp", '#include "../app/window.hpp"\n', "through '..'", True),
            ("a link through a CMake variable",
             "src/workspace/CMakeLists.txt",
             "set(MORE kivo_app)\nadd_library(kivo_workspace STATIC model.cpp)\n"
             "target_link_libraries(kivo_workspace PRIVATE ${MORE})\n",
             "workspace may not link app", True),
            ("a link through a variable that list(APPEND) grew",
             "src/workspace/CMakeLists.txt",
             "set(MORE kivo_core)\nlist(APPEND MORE\n    kivo_app)\n"
             "add_library(kivo_workspace STATIC model.cpp)\n"
             "target_link_libraries(kivo_workspace PRIVATE ${MORE})\n",
             "workspace may not link app", True),
            ("a link written in an included .cmake file",
             "src/workspace/CMakeLists.txt",
             "add_library(kivo_workspace STATIC model.cpp)\n"
             "include(${CMAKE_CURRENT_SOURCE_DIR}/links.cmake)\n",
             "workspace may not link app", True),
            ("a link in a .cmake file included by a relative path from another folder",
             "src/workspace/CMakeLists.txt",
             "add_library(kivo_workspace STATIC model.cpp)\ninclude(../../cmake/links.cmake)\n",
             "workspace may not link app", True),
            ("a Qt module a folder may never link, from an included .cmake file",
             "src/workspace/CMakeLists.txt",
             "add_library(kivo_workspace STATIC model.cpp)\ninclude(widgets.cmake)\n",
             "may never link Qt6::Widgets", True),
        ]
        extra = {
            "src/workspace/links.cmake": "target_link_libraries(kivo_workspace PRIVATE kivo_app)\n",
            "cmake/links.cmake": "target_link_libraries(kivo_workspace PRIVATE kivo_app)\n",
            "src/workspace/widgets.cmake": "target_link_libraries(kivo_workspace PRIVATE Qt6::Widgets)\n",
        }
        for name, path, planted, expected, runnable in cases:
            with self.subTest(name):
                if not runnable:
                    self.skipTest("Qt's headers are not installed")
                files = dict(CLEAN, **extra)
                files[path] = (files[path] if path.endswith(".cpp") else "") + planted
                code, out = run_layers(files)
                self.assertEqual(code, 1, out)
                self.assertIn(expected, out)


class CommitCheck(unittest.TestCase):
    def history(self, top, subjects, tag_after=None):
        """A repository at `top` with one commit per subject, oldest first; their hashes."""
        env = dict(os.environ, GIT_CONFIG_GLOBAL=os.devnull, GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@t",
                   GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@t")
        git = lambda *a: subprocess.run(["git", "-C", top, *a], check=True, env=env, capture_output=True,
                                        text=True).stdout.strip()
        git("init", "-q")
        hashes = []
        for number, subject in enumerate(subjects):
            git("commit", "-q", "--allow-empty", "-m", subject)
            hashes.append(git("rev-parse", "HEAD"))
            if number == tag_after:
                git("tag", "v1")
        return hashes

    def test_each_broken_subject_is_caught_and_the_rest_pass(self):
        if shutil.which("git") is None:
            self.skipTest("git is missing")
        fine, longest, long = "A change said in one line", "x" * 72, "y" * 73
        cases = [
            # name, subjects oldest first, baseline (index), tag after (index), exit code, expected output
            ("short subjects pass", [fine, longest, "Ends … in one character"], None, None, 0, "3 subject"),
            ("one past the limit", [fine, long], None, None, 1, "73 characters"),
            ("two changes joined", [fine, "Mend the list; rename it"], None, None, 1, "joins two changes"),
            ("what the baseline reaches is not read", [long, "a; b", fine], 1, None, 0, "1 subject"),
            ("only what follows the last tag is read", [long, fine, fine], None, 0, 0, "2 subject"),
            ("a break after the baseline still counts", [long, fine, long], 0, None, 1, "1 problem"),
        ]
        for name, subjects, baseline, tag_after, code, expected in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as top:
                hashes = self.history(top, subjects, tag_after)
                arguments = [sys.executable, str(SCRIPTS / "check_commits.py"), top]
                # A baseline the history does not hold leaves every recent commit to be read.
                arguments += ["--baseline", hashes[baseline] if baseline is not None else "0" * 40]
                done = subprocess.run(arguments, capture_output=True, text=True, check=False)
                self.assertEqual(done.returncode, code, done.stdout)
                self.assertIn(expected, done.stdout)

    def test_only_the_last_fifty_are_read_and_no_history_is_a_skip(self):
        if shutil.which("git") is None:
            self.skipTest("git is missing")
        with tempfile.TemporaryDirectory() as top:
            self.history(top, ["z" * 80] + ["Fine"] * 50)
            done = subprocess.run([sys.executable, str(SCRIPTS / "check_commits.py"), top],
                                  capture_output=True, text=True, check=False)
            self.assertEqual(done.returncode, 0, done.stdout)
            self.assertIn("50 subject", done.stdout)
        with tempfile.TemporaryDirectory() as top:
            done = subprocess.run([sys.executable, str(SCRIPTS / "check_commits.py"), top],
                                  capture_output=True, text=True, check=False)
            self.assertEqual(done.returncode, 77, done.stdout)


class FormatCheck(unittest.TestCase):
    def test_an_untracked_file_out_of_format_fails_the_check(self):
        if shutil.which("clang-format") is None or shutil.which("git") is None:
            self.skipTest("clang-format or git is missing")
        with tempfile.TemporaryDirectory() as top:
            (Path(top) / "scripts").mkdir()
            shutil.copy(SCRIPTS / "format.sh", Path(top, "scripts"))
            shutil.copy(SCRIPTS.parent / ".clang-format", top)
            env = dict(os.environ, GIT_CONFIG_GLOBAL=os.devnull)
            subprocess.run(["git", "init", "-q", top], check=True, env=env)
            Path(top, "tidy.cpp").write_text("int main() { return 0; }\n")
            check = lambda: subprocess.run(["bash", str(Path(top, "scripts", "format.sh"))],
                                           capture_output=True, text=True, env=env, check=False)
            self.assertEqual(check().returncode, 0, check().stdout)
            Path(top, "untidy.cpp").write_text("int   main( ){return 0;}\n")
            done = check()
            self.assertEqual(done.returncode, 1, done.stdout)
            self.assertIn("untidy.cpp", done.stdout)


if __name__ == "__main__":
    unittest.main()
