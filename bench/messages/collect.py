"""Gather candidate messages from this machine for the labelled evaluation set.

Prints ``message<TAB>source`` lines. Every message comes from a library, a tool or a
log on the machine; the set keeps only those a person can place on an axis, labelled
by hand in tests/data/messages.tsv. The draws are seeded so that a run on the same
machine gives the same candidates, as long as its logs and installed packages stay as
they were (installing a package adds log lines and changelogs, and shifts the draws):
tests/data/messages.tsv, not this script, is the record of the set.
"""

from __future__ import annotations

import builtins
import ctypes
import ctypes.util
import errno
import glob
import gzip
import http
import importlib
import inspect
import os
import pkgutil
import random
import re
import sqlite3
import ssl
import sys
import warnings

import catalogs

SEED = 20261210
rng = random.Random(SEED)
out: list[tuple[str, str]] = []
seen: set[str] = set()


def add(message: str, source: str) -> None:
    message = " ".join(message.replace("\t", " ").split())
    if len(message) < 3 or message.lower() in seen:
        return
    seen.add(message.lower())
    out.append((message, source))


# The C library's error strings, one per errno.
for n in sorted(errno.errorcode):
    text = os.strerror(n)
    if not text.startswith("Unknown error"):
        add(text, f"strerror({n})")

# HTTP reason phrases.
for status in http.HTTPStatus:
    add(status.phrase, f"http.HTTPStatus({status.value})")

# Exception classes of the builtins and of the standard library's public modules.
for name, obj in vars(builtins).items():
    if inspect.isclass(obj) and issubclass(obj, BaseException):
        add(name, f"builtins.{name}")
stdlib_exc: list[tuple[str, str]] = []
warnings.simplefilter("ignore")
for mod in sorted(sys.stdlib_module_names):
    if mod.startswith("_") or mod in {"antigravity", "this", "idlelib", "turtledemo", "tkinter", "turtle"}:
        continue
    try:
        module = importlib.import_module(mod)
    except Exception:
        continue
    names = [(mod, module)]
    if hasattr(module, "__path__"):
        for info in pkgutil.iter_modules(module.__path__):
            if info.name.startswith("_") or "test" in info.name:
                continue
            try:
                names.append((f"{mod}.{info.name}", importlib.import_module(f"{mod}.{info.name}")))
            except Exception:
                continue
    for modname, m in names:
        for name, obj in sorted(vars(m).items()):
            if (
                inspect.isclass(obj)
                and issubclass(obj, BaseException)
                and not name.startswith("_")
                and getattr(obj, "__module__", "").split(".")[0] == mod
            ):
                stdlib_exc.append((name, f"{modname}.{name}"))
stdlib_exc = sorted(set(stdlib_exc))
for name, source in rng.sample(stdlib_exc, min(120, len(stdlib_exc))):
    add(name, source)

# SQLite's and the resolver's error strings, from the libraries themselves.
lib = ctypes.CDLL(ctypes.util.find_library("sqlite3"))
lib.sqlite3_errstr.restype = ctypes.c_char_p
for code in range(0, 30):
    add(lib.sqlite3_errstr(code).decode(), f"sqlite3_errstr({code})")
sqlite_names: list[str] = []
for name in sorted(dir(sqlite3)):
    if (
        name.startswith("SQLITE_")
        and "_" in name[7:]
        and name.split("_")[1]
        in {
            "IOERR",
            "CANTOPEN",
            "CONSTRAINT",
            "READONLY",
            "BUSY",
            "LOCKED",
            "CORRUPT",
            "AUTH",
            "ABORT",
            "FULL",
            "NOMEM",
            "PERM",
            "PROTOCOL",
            "NOTFOUND",
            "MISMATCH",
            "RANGE",
            "NOTADB",
            "TOOBIG",
            "INTERRUPT",
            "SCHEMA",
            "ERROR",
            "WARNING",
        }
    ):
        sqlite_names.append(name)
for name in rng.sample(sqlite_names, 40):
    add(name, f"sqlite3.{name}")
libc = ctypes.CDLL(None)
libc.gai_strerror.restype = ctypes.c_char_p
for code in range(-1, -106, -1):
    text = libc.gai_strerror(code).decode()
    if not text.startswith("Unknown"):
        add(text, f"gai_strerror({code})")

# TLS alert names and error kinds.
for member in ssl.AlertDescription:
    add(member.name, f"ssl.AlertDescription.{member.name}")
for member in ssl.SSLErrorNumber:
    add(member.name, f"ssl.SSLErrorNumber.{member.name}")

# Messages of the tools' gettext catalogs: the English originals, and Turkish ones.
ERRORISH = re.compile(
    r"(?i)(error|fail|cannot|can't|could not|unable|invalid|denied|not |no such|permission|"
    r"refus|timed? ?out|corrupt|exceed|too |full|memory|lock|broken|missing|bad |unknown|"
    r"illegal|abort|not allowed|unsupported|overflow|expired|hata|başarısız|izin|yetki|bellek)"
)
DOMAINS = [
    "apt",
    "libapt-pkg6.0",
    "git",
    "coreutils",
    "libc",
    "tar",
    "wget",
    "shadow",
    "Linux-PAM",
    "systemd",
    "gnupg2",
    "pg_dump-15",
    "pg_ctl-15",
    "dpkg",
    "sed",
    "grep",
    "make",
    "xz",
    "findutils",
    "bash",
    "polkit-1",
    "man-db",
]
english: list[tuple[str, str]] = []
turkish: list[tuple[str, str]] = []
for domain, msgid, msgstr in catalogs.entries(DOMAINS):
    if not isinstance(msgid, str) or not msgid or "\n" in msgid.strip() or len(msgid) > 120:
        continue
    if ERRORISH.search(msgid):
        english.append((msgid, f"gettext {domain}.mo msgid"))
        if isinstance(msgstr, str) and msgstr and "\n" not in msgstr.strip():
            turkish.append((msgstr, f"gettext tr/{domain}.mo"))
english.sort()
turkish.sort()
for message, source in rng.sample(english, 130):
    add(message, source)
for message, source in rng.sample(turkish, 70):
    add(message, source)

# This machine's logs, and lines of the packages' changelogs: some drawn from lines
# that mention a fault, an attack, a limit or a network, some drawn at random.
log_lines: list[tuple[str, str]] = []
for path in sorted(glob.glob("/var/log/**/*.log", recursive=True)):
    with open(path, errors="replace") as fp:
        for i, line in enumerate(fp, 1):
            log_lines.append((line.strip(), f"{path}:{i}"))
TOPICAL = re.compile(
    r"(?i)\b(error|fail|crash|segfault|leak|overflow|cve-|security|denied|permission|timeout|"
    r"connection|socket|memory|disk|quota|corrupt|race|deadlock|hang|warning|certificate|tls|"
    r"out of|exhaust|dns|proxy|injection|vulnerab|infinite loop|null pointer|use-after-free)"
)
topical_logs = [x for x in log_lines if TOPICAL.search(x[0])]
for message, source in rng.sample(topical_logs, min(20, len(topical_logs))):
    add(message, source)
for message, source in rng.sample(log_lines, 15):
    add(message, source)
changelog: list[tuple[str, str]] = []
for path in sorted(glob.glob("/usr/share/doc/*/changelog*.gz")):
    with gzip.open(path, "rt", errors="replace") as fp:
        for i, line in enumerate(fp, 1):
            text = line.strip().lstrip("*+-").strip()
            if 15 <= len(text) <= 140 and not text.startswith(("--", "[")):
                changelog.append((text, f"{path}:{i}"))
topical = [x for x in changelog if TOPICAL.search(x[0])]
for message, source in rng.sample(topical, 110):
    add(message, source)
for message, source in rng.sample(changelog, 40):
    add(message, source)

for message, source in out:
    print(f"{message}\t{source}")
