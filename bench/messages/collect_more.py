"""Gather a second batch of candidate messages for the labelled evaluation set.

This is the second batch of tests/data/messages.tsv. It was drawn after the first batch
(collect.py) had been used to choose the logs space's keywords, from sources the first
batch did not use, so that the space can be measured on messages nobody tuned it on:

- the text of the errors Python's standard library raises (``raise X("...")`` in its
  sources, f-string fields written as ``%s``),
- the error strings that system libraries return, read from the libraries themselves
  (OpenSSL's reason strings, GnuTLS, libgpg-error, PAM, libcurl, zlib),
- messages of gettext catalogs the first batch did not draw from (English and Turkish),
- lines of this machine's package logs other than apt's.

Prints ``message<TAB>source`` lines, drawn at random (seeded) from each source, without
choosing by the words they hold; messages already in tests/data/messages.tsv are left
out. Like collect.py, a run on the same machine gives the same candidates as long as its
Python, libraries, catalogs and logs stay as they were: tests/data/messages.tsv, not
this script, is the record of the set.
"""

from __future__ import annotations

import ast
import ctypes
import ctypes.util
import os
import random
import subprocess
import sysconfig
from pathlib import Path

import catalogs

SEED = 20261211
MESSAGES = Path(__file__).resolve().parents[2] / "tests" / "data" / "messages.tsv"
rng = random.Random(SEED)
out: list[tuple[str, str]] = []


def collapse(message: str) -> str:
    return " ".join(message.replace("\t", " ").split())


# The first batch is the file's first FIRST_BATCH rows; the rows this script's output
# became follow them, and are not left out, so that a later run draws the same candidates.
FIRST_BATCH = 762
seen: set[str] = {
    collapse(line.split("\t")[0]).lower()
    for line in MESSAGES.read_text(encoding="utf-8").splitlines()[1 : 1 + FIRST_BATCH]
}


def add(message: str, source: str) -> None:
    message = collapse(message)
    if len(message) < 3 or message.lower() in seen:
        return
    seen.add(message.lower())
    out.append((message, source))


def draw(pool: list[tuple[str, str]], count: int) -> None:
    """Add up to ``count`` messages of ``pool`` drawn at random, skipping repeats."""
    pool = sorted(set(pool))
    rng.shuffle(pool)
    taken = 0
    for message, source in pool:
        if taken == count:
            break
        before = len(out)
        add(message, source)
        taken += len(out) > before


# What the standard library raises: the message text of `raise SomeError("...")`.
def literal_text(node: ast.expr) -> str | None:
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value
    if isinstance(node, ast.JoinedStr):
        parts = []
        for value in node.values:
            if isinstance(value, ast.Constant):
                parts.append(str(value.value))
            else:
                parts.append("%s")
        return "".join(parts)
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Mod):
        return literal_text(node.left)
    if (
        isinstance(node, ast.Call)
        and isinstance(node.func, ast.Attribute)
        and node.func.attr == "format"
        and isinstance(node.func.value, ast.Constant)
        and isinstance(node.func.value.value, str)
    ):
        return node.func.value.value
    return None


stdlib = Path(sysconfig.get_paths()["stdlib"])
raised: list[tuple[str, str]] = []
for path in sorted(stdlib.rglob("*.py")):
    rel = path.relative_to(stdlib)
    if rel.parts[0] in {"test", "idlelib", "turtledemo", "site-packages", "lib2to3"} or any(
        part in {"test", "tests"} for part in rel.parts
    ):
        continue
    try:
        tree = ast.parse(path.read_bytes(), filename=str(path))
    except (SyntaxError, ValueError):
        continue
    for node in ast.walk(tree):
        if isinstance(node, ast.Raise) and isinstance(node.exc, ast.Call) and node.exc.args:
            text = literal_text(node.exc.args[0])
            if text and text.strip() and "\n" not in text.strip():
                raised.append((text, f"raise in Lib/{rel.as_posix()}:{node.lineno}"))
draw(raised, 140)


# Error strings of system libraries, read with ctypes where the library is installed.
def library(name: str) -> ctypes.CDLL | None:
    found = ctypes.util.find_library(name)
    return ctypes.CDLL(found) if found else None


def text_of(raw: bytes | None) -> str | None:
    if not raw:
        return None
    return raw.decode("utf-8", "replace")


crypto, ssl_lib = library("crypto"), library("ssl")
if crypto and ssl_lib:
    ssl_lib.OPENSSL_init_ssl(ctypes.c_uint64(0x00200000 | 0x00000002), None)  # load both libraries' strings
    crypto.ERR_reason_error_string.restype = ctypes.c_char_p
    crypto.ERR_reason_error_string.argtypes = [ctypes.c_ulong]
    crypto.ERR_lib_error_string.restype = ctypes.c_char_p
    crypto.ERR_lib_error_string.argtypes = [ctypes.c_ulong]
    reasons: list[tuple[str, str]] = []
    for lib_code in range(1, 80):
        if lib_code == 2:  # the system library's reasons are strerror's strings
            continue
        lib_name = text_of(crypto.ERR_lib_error_string(lib_code << 23))
        if lib_name is None:
            continue
        for reason in range(1, 1300):
            text = text_of(crypto.ERR_reason_error_string((lib_code << 23) | reason))
            if text:
                reasons.append((text, f"ERR_reason_error_string({lib_name}, {reason})"))
    # The reasons common to every library repeat under each: keep the first of each text.
    first: dict[str, tuple[str, str]] = {}
    for text, source in reasons:
        first.setdefault(text.lower(), (text, source))
    draw(list(first.values()), 75)

gnutls = library("gnutls")
if gnutls:
    gnutls.gnutls_strerror.restype = ctypes.c_char_p
    gnutls.gnutls_strerror_name.restype = ctypes.c_char_p
    pool = []
    for code in range(-1, -500, -1):
        if gnutls.gnutls_strerror_name(code):
            pool.append((text_of(gnutls.gnutls_strerror(code)), f"gnutls_strerror({code})"))
    draw(pool, 45)


def messages_of(strerror, codes: range, name: str, unknown: str, *first) -> list[tuple[str, str]]:
    """Each code's message, ``strerror(*first, code)`` as ``name(code)``, leaving out the
    library's "unknown" ones."""
    strerror.restype = ctypes.c_char_p
    pool = []
    for code in codes:
        text = text_of(strerror(*first, code))
        if text and not text.startswith(unknown):
            pool.append((text, f"{name}({code})"))
    return pool


gpg = library("gpg-error")
if gpg:
    draw(messages_of(gpg.gpg_strerror, range(1, 1024), "gpg_strerror", "Unknown error code"), 40)

pam = library("pam")
if pam:
    pam.pam_strerror.argtypes = [ctypes.c_void_p, ctypes.c_int]
    draw(messages_of(pam.pam_strerror, range(1, 40), "pam_strerror", "Unknown", None), 25)

curl = library("curl")
if curl:
    draw(messages_of(curl.curl_easy_strerror, range(1, 100), "curl_easy_strerror", "Unknown error"), 30)

zlib = library("z")
if zlib:
    zlib.zError.restype = ctypes.c_char_p
    for code in range(2, -7, -1):
        text = text_of(zlib.zError(code))
        if text:
            add(text, f"zError({code})")

# Catalogs the first batch did not draw from (or hardly): English msgids and their
# Turkish translations, drawn at random among their one-line messages.
DOMAINS = [
    "systemd",
    "Linux-PAM",
    "polkit-1",
    "shadow",
    "PackageKit",
    "glib20",
    "gstreamer-1.0",
    "xz",
    "grep",
    "make",
    "diffutils",
    "man-db",
    "binutils",
    "bfd",
    "ld",
    "plpgsql-15",
    "pgscripts-15",
    "wget-gnulib",
    "software-properties",
    "python-apt",
    "avahi",
]
english: list[tuple[str, str]] = []
turkish: list[tuple[str, str]] = []
for domain, msgid, msgstr in catalogs.entries(DOMAINS):
    if not isinstance(msgid, str) or not msgid.strip() or "\n" in msgid.strip() or len(msgid) > 120:
        continue
    english.append((msgid, f"gettext {domain}.mo msgid"))
    if isinstance(msgstr, str) and msgstr.strip() and "\n" not in msgstr.strip() and len(msgstr) <= 140:
        turkish.append((msgstr, f"gettext tr/{domain}.mo"))
draw(english, 75)
draw(turkish, 65)

# This machine's package logs other than apt's (the journal and PostgreSQL's log are
# drawn from too when they hold lines).
log_lines: list[tuple[str, str]] = []
for path in ["/var/log/dpkg.log", "/var/log/alternatives.log", "/var/log/fontconfig.log"] + sorted(
    str(p) for p in Path("/var/log/postgresql").glob("*.log")
):
    if os.path.exists(path):
        with open(path, errors="replace") as fp:
            for i, line in enumerate(fp, 1):
                if line.strip():
                    log_lines.append((line.strip(), f"{path}:{i}"))
try:
    journal = subprocess.run(
        ["journalctl", "--no-pager", "-o", "cat", "-p", "warning"], capture_output=True, text=True, check=False
    ).stdout
except OSError:
    journal = ""
for i, line in enumerate(journal.splitlines(), 1):
    if line.strip() and not line.startswith("-- "):
        log_lines.append((line.strip(), f"journalctl -p warning:{i}"))
draw(log_lines, 25)

for message, source in out:
    print(f"{message}\t{source}")
