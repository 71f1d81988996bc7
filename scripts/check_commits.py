#!/usr/bin/env python3
"""Checks the subjects of recent commits: at most 72 characters, and one change each, so no ";" that
joins two.

Reads the commits since the last tag, or the last 50 when there is none, leaving out merges (git writes
their subjects) and the commits up to BASELINE. Prints each subject that breaks a rule with its commit.
Exits 1 on any such subject, 77 (a skip for ctest) where there is no history to read, 0 otherwise.
Usage: check_commits.py [repository] [--baseline REV]   (default: the folder above this script)
"""

import argparse
import subprocess
import sys
from pathlib import Path

LONGEST = 72
RECENT = 50
# The commit the check came in on. Dozens of subjects it reaches run past 72 characters or join two
# changes, and history is not rewritten to mend them, so only what it does not reach is checked. A clone
# too shallow to hold it holds only commits made after it, which are all checked.
BASELINE = "8785d67c580c8e767e215fe190640e506decb497"
SKIP = 77


def git(repository, *arguments):
    done = subprocess.run(["git", "-C", str(repository), *arguments], capture_output=True, text=True,
                          encoding="utf-8", errors="replace", check=False)
    return done.stdout if done.returncode == 0 else None


def problems(subject):
    found = []
    if len(subject) > LONGEST:
        found.append(f"{len(subject)} characters, past {LONGEST}")
    if ";" in subject:
        found.append('";" joins two changes: make them two commits')
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("repository", nargs="?", default=Path(__file__).resolve().parent.parent)
    parser.add_argument("--baseline", default=BASELINE)
    options = parser.parse_args()
    repository = options.repository
    if git(repository, "rev-parse", "--verify", "--quiet", "HEAD") is None:
        print("commits: no git history here to check")
        return SKIP

    tag = git(repository, "describe", "--tags", "--abbrev=0")
    selection = [f"{tag.strip()}..HEAD"] if tag else [f"--max-count={RECENT}", "HEAD"]
    if git(repository, "rev-parse", "--verify", "--quiet", options.baseline + "^{commit}") is not None:
        selection.append("^" + options.baseline)
    listed = git(repository, "log", "--no-merges", "--format=%h%x00%s", *selection)
    if listed is None:
        print("commits: git could not list the commits")
        return 1

    bad = 0
    checked = 0
    for line in listed.splitlines():
        commit, subject = line.split("\0", 1)
        checked += 1
        for problem in problems(subject):
            print(f"commits: {commit} {subject!r}: {problem}")
            bad += 1
    print(f"commits: {bad} problem(s) in {checked} subject(s)" if bad else
          f"commits: {checked} subject(s) checked, each one change in at most {LONGEST} characters")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
