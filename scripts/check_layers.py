#!/usr/bin/env python3
"""Checks the one-way dependencies between the libraries under src/ against src/layers.txt.

Reads every `#include "folder/..."` in src/ and tests/ and every target_link_libraries() in the
CMakeLists.txt under src/ and the .cmake files they include() (with the variables set() or list(APPEND)
there expanded), prints which folder uses which
(I: includes, L: links, B: both, .: may but does not, space: may not, !: does but may not), then every
use the table does not allow. A `#include "../..."` that leaves its folder is refused, since it would
slip past the table, and so is a Qt header under src/ of a module the folder may never link
(`<QtWidgets/QWidget>`, `<QWidget>` and `"QtWidgets/QWidget"` alike). Exits 1 on any such use, on a
folder or target the table does not know, or on a cycle in the table itself; 0 otherwise.
Usage: check_layers.py [source root]   (default: the folder above this script)
"""

import os
import re
import sys
from pathlib import Path

SOURCE_SUFFIXES = {".c", ".cc", ".cpp", ".h", ".hpp"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SYSTEM_INCLUDE = re.compile(r"^\s*#\s*include\s*<(Q[^>]*)>")
VARIABLE = re.compile(r"\bset\s*\(\s*(\w+)\s+([^)]*)\)", re.S)
APPENDED = re.compile(r"\blist\s*\(\s*APPEND\s+(\w+)\s+([^)]*)\)", re.S)
INCLUDED = re.compile(r"\binclude\s*\(\s*([^)\s]+\.cmake)\b[^)]*\)", re.S)
# The places an include() names its file from; a bare relative path is read from the including folder.
DIRECTORY_VARIABLES = ("CMAKE_CURRENT_SOURCE_DIR", "CMAKE_CURRENT_LIST_DIR")
ROOT_VARIABLES = ("PROJECT_SOURCE_DIR", "CMAKE_SOURCE_DIR")
LINK = re.compile(r"target_link_libraries\s*\(([^)]*)\)", re.S)
MADE = re.compile(r"add_(?:library|executable)\s*\(\s*([\w.+-]+)")
SCOPES = {"PUBLIC", "PRIVATE", "INTERFACE"}


class Table:
    def __init__(self, path):
        self.order, self.targets, self.uses, self.never = [], {}, {}, {}
        for number, line in enumerate(path.read_text().splitlines(), 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split()
            if len(fields) != 4:
                sys.exit(f"{path}:{number}: expected: folder targets may-use never-links")
            folder, targets, uses, never = fields
            listed = lambda text: [] if text == "-" else text.split(",")
            self.order.append(folder)
            for target in listed(targets):
                self.targets[target] = folder
            self.uses[folder] = set(listed(uses))
            self.never[folder] = listed(never)
        libraries = [f for f in self.order if not f.startswith("tests/")]
        for folder, uses in self.uses.items():
            for used in uses - set(libraries):
                sys.exit(f"{path}: {folder} may use {used}, which is no library in the table")
        self.allowed = {f: self._closure(f, []) for f in libraries}
        self.libraries = libraries

    def _closure(self, folder, path):
        if folder in path:
            sys.exit("layers.txt: the table runs in a circle: " + " -> ".join(path + [folder]))
        reach = set()
        for used in self.uses[folder]:
            reach |= {used} | self._closure(used, path + [folder])
        return reach

    def owner(self, relative):
        """The library folder a path under src/ (or an include path) belongs to, the longest match."""
        best = None
        for folder in self.libraries:
            if relative == folder or relative.startswith(folder + "/"):
                if best is None or len(folder) > len(best):
                    best = folder
        return best

    def allowed_for_tests(self, test_folder):
        library = self.owner(test_folder[len("tests/"):])
        reach = set()
        if library is not None:
            reach |= {library} | self.allowed[library]
        for used in self.uses.get(test_folder, ()):
            reach |= {used} | self.allowed[used]
        return reach


class QtModules:
    """Which Qt module a header belongs to: named in the include itself, or found in Qt's headers."""

    def __init__(self):
        roots = [Path(p) for p in ("/usr/include/x86_64-linux-gnu/qt6", "/usr/include/aarch64-linux-gnu/qt6",
                                   "/usr/include/qt6")]
        self.roots = [r for r in roots if r.is_dir()]
        self.found = {}

    def link_name(self, header):
        module = header.split("/", 1)[0] if "/" in header else self._module_of(header)
        if module is None or not module.startswith("Qt") or module == "Qt":
            return None
        return "Qt6::" + module[2:]

    def _module_of(self, header):
        if header not in self.found:
            self.found[header] = None
            if header.startswith("Qt") and any((r / header).is_dir() for r in self.roots):
                self.found[header] = header  # <QtTest>, <QtWidgets>: a whole module
            for root in self.roots:
                for module in sorted(root.glob("Qt*")):
                    if (module / header).is_file():
                        self.found[header] = module.name
                        break
                if self.found[header]:
                    break
        return self.found[header]


def expand(words, variables, seen=()):
    """The words of a CMake argument list with ${VAR} replaced by what set() gave VAR."""
    out = []
    for word in words:
        match = re.fullmatch(r"\$\{(\w+)\}", word)
        if match and match.group(1) in variables and match.group(1) not in seen:
            out += expand(variables[match.group(1)], variables, seen + (match.group(1),))
        else:
            out.append(word)
    return out


def cmake_files(root):
    """Every CMakeLists.txt under src/ and, once each, the .cmake files they include(), with comments
    dropped: a link written in an included file binds its target as one written in place does."""
    found, pending = {}, sorted((root / "src").rglob("CMakeLists.txt"))
    while pending:
        path = pending.pop(0).resolve()
        if path in found or not path.is_file():
            continue
        found[path] = re.sub(r"#[^\n]*", "", path.read_text())
        for name in INCLUDED.findall(found[path]):
            for variable in DIRECTORY_VARIABLES:
                name = name.replace("${" + variable + "}", str(path.parent))
            for variable in ROOT_VARIABLES:
                name = name.replace("${" + variable + "}", str(root))
            pending.append(path.parent / name)
    return found


def source_files(top):
    for directory, subdirectories, files in os.walk(top):
        subdirectories[:] = sorted(d for d in subdirectories if d not in {"node_modules", "gen"})
        for name in sorted(files):
            if Path(name).suffix in SOURCE_SUFFIXES:
                yield Path(directory) / name


def main():
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
    table = Table(root / "src" / "layers.txt")
    uses = {}  # (user, used) -> set of "I"/"L"
    problems = []
    qt = QtModules()

    def note(user, used, kind, where, allowed):
        uses.setdefault((user, used), set()).add(kind)
        if used not in allowed:
            problems.append(f"{where}: {user} may not {'include' if kind == 'I' else 'link'} {used}")

    for top in ("src", "tests"):
        for path in source_files(root / top):
            relative = path.relative_to(root / top).as_posix()
            if top == "src":
                user = table.owner(relative)
                if user is None:
                    problems.append(f"src/{relative}: its folder is not in src/layers.txt")
                    continue
                allowed = {user} | table.allowed[user]
            else:
                parts = relative.split("/")
                library = table.owner(relative)
                user = "tests/" + (library if library is not None else parts[0])
                allowed = table.allowed_for_tests(user)
            for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                where = f"{top}/{relative}:{number}"
                system = SYSTEM_INCLUDE.match(line)
                header = f"<{system.group(1)}>" if system else None
                match = INCLUDE.match(line)
                # A Qt header in quotes is found on the include path as one in brackets is, unless a file
                # of that name sits beside the source.
                if (match and match.group(1).startswith("Q") and table.owner(match.group(1)) is None
                        and not (path.parent / match.group(1)).exists()):
                    system, header = match, f'"{match.group(1)}"'
                if system:
                    module = qt.link_name(system.group(1))
                    if top == "src" and module and any(module == n or module.startswith(n + "::")
                                                       for n in table.never[user]):
                        problems.append(f"{where}: {user} may never use {module} ({header})")
                    continue
                if not match:
                    continue
                included = match.group(1)
                if included.startswith("../"):
                    target = os.path.normpath((path.parent / included).relative_to(root).as_posix())
                    inside = table.owner(target[len("src/"):]) if target.startswith("src/") else None
                    if inside != (user if top == "src" else None) or target.split("/")[0] != top:
                        problems.append(f"{where}: {user} includes {included} through '..'; "
                                        "name the folder instead (\"folder/file.hpp\")")
                    if inside is None:
                        continue
                    included = target[len("src/"):]
                used = table.owner(included)
                if used is not None and used != user:
                    note(user, used, "I", where, allowed)

    made = {}
    variables = {}
    cmakes = cmake_files(root)
    for cmake, text in cmakes.items():
        for target in MADE.findall(text):
            made[target] = cmake
        for name, values in VARIABLE.findall(text):
            variables[name] = values.split()
        for name, values in APPENDED.findall(text):
            variables.setdefault(name, []).extend(values.split())
    for target, cmake in made.items():
        if target not in table.targets:
            problems.append(f"{shown(cmake, root)}: target {target} is not in src/layers.txt")
    for cmake, text in cmakes.items():
        relative = shown(cmake, root)
        for arguments in LINK.findall(text):
            words = [w for w in expand(arguments.split(), variables) if w not in SCOPES]
            target, linked = words[0], words[1:]
            user = table.targets.get(target)
            if user is None:
                continue  # reported above
            for item in linked:
                if item in table.targets:
                    used = table.targets[item]
                    if used != user:
                        note(user, used, "L", f"{relative}: {target}", {user} | table.allowed[user])
                elif item.startswith(("kivo_", "kivo-")):
                    problems.append(f"{relative}: {target} links {item}, which is not in src/layers.txt")
                elif any(item == n or item.startswith(n + "::") for n in table.never[user]):
                    problems.append(f"{relative}: {target} may never link {item}")

    print_matrix(table, uses)
    for problem in problems:
        print("layering: " + problem)
    print(f"layering: {len(problems)} violation(s)" if problems else "layering: every use goes down the table")
    return 1 if problems else 0


def shown(path, root):
    """A build file's name as the report gives it: from the source root when it lies below it."""
    try:
        return path.relative_to(root.resolve()).as_posix()
    except ValueError:
        return str(path)


def print_matrix(table, uses):
    users = table.libraries + sorted({u for u, _ in uses if u.startswith("tests/")})
    columns = table.libraries
    width = max(len(u) for u in users)
    print(" " * (width + 1) + " ".join(f"{i:>2}" for i in range(1, len(columns) + 1)))
    for user in users:
        allowed = table.allowed_for_tests(user) if user.startswith("tests/") else table.allowed[user]
        cells = []
        for used in columns:
            kinds = uses.get((user, used), set())
            if used == user:
                cells.append("=")
            elif kinds and used not in allowed:
                cells.append("!")
            elif kinds:
                cells.append("B" if len(kinds) == 2 else next(iter(kinds)))
            else:
                cells.append("." if used in allowed else " ")
        print(f"{user:<{width}} " + " ".join(f"{c:>2}" for c in cells))
    print("columns: " + ", ".join(f"{i} {c}" for i, c in enumerate(columns, 1)))


if __name__ == "__main__":
    sys.exit(main())
