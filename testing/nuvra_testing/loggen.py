"""Seeded generators of text: realistic log lines (English mixed with
ASCII-written Turkish, with timestamps, levels, ids, paths and the odd
non-ASCII word), and long texts of keywords mixed with unusual code points."""

import random

from nuvra_testing.reference import KEYWORDS

LEVELS = ["INFO", "WARN", "ERROR", "DEBUG", "FATAL", "HATA", "UYARI"]
SERVICES = ["auth-svc", "db-proxy", "api-gw", "billing", "storage", "kuyruk", "oturum"]
TEMPLATES = [
    "connection to {host} failed after {n} retries: timeout",
    "user {user} login denied: invalid password",
    "kullanici {user} giris yapti, yetki kontrolu basarili",
    "query SELECT * FROM {table} took {n} ms",
    "veritabani baglantisi koptu, tekrar deneniyor ({n})",
    "disk write error on /var/lib/{table}/data-{n}.db",
    "sifre sifirlama istegi alindi: {user}",
    "permission denied for {user} on table {table}",
    "dosya kaydedildi: /srv/{table}/{n}.json",
    "crash in worker {n}: segmentation fault, core dumped",
    "token expired for session {n}; re-authenticating",
    "sorgu basarisiz: tablo {table} bulunamadi",
    "cache miss ratio {n}% on {host}",
    "SSL cert for {host} expires in {n} days",
    "bellek siniri asildi, islem sonlandirildi (pid {n})",
    "update of {table} row {n} committed",
    "güvenlik uyarısı: şüpheli giriş denemesi {host}",
    "Disk hatası: {table} kaydı okunamadı",
    "request {n} completed in {n} ms",
    "exception in thread main: NullPointerException at {table}.java:{n}",
]
USERS = ["admin", "ayse", "mehmet", "root", "svc_backup", "deploy", "zeynep42"]
TABLES = ["orders", "musteri", "fatura", "users", "sessions", "stok", "log_events"]
HOSTS = ["10.0.3.17", "db-01.internal", "cache-2", "sunucu-07", "api.example.org"]


def log_lines(count: int, seed: int = 1) -> list[str]:
    rng = random.Random(seed)
    lines = []
    for _ in range(count):
        body = rng.choice(TEMPLATES).format(
            host=rng.choice(HOSTS),
            user=rng.choice(USERS),
            table=rng.choice(TABLES),
            n=rng.randrange(1, 5000),
        )
        stamp = f"2026-12-{rng.randrange(1, 29):02d}T{rng.randrange(24):02d}:{rng.randrange(60):02d}"
        lines.append(f"{stamp} {rng.choice(LEVELS)} [{rng.choice(SERVICES)}] {body}")
    return lines


def log_text(size: int, seed: int = 1, ascii_only: bool = False) -> str:
    """About `size` characters of log lines joined by newlines."""
    lines, total, chunk = [], 0, 0
    while total < size:
        for line in log_lines(1000, seed + chunk):
            if ascii_only:
                line = line.encode("ascii", "replace").decode("ascii")
            lines.append(line)
            total += len(line) + 1
            if total >= size:
                break
        chunk += 1
    return "\n".join(lines)[:size]


def mixed_text(size: int, seed: int, extra: str = "") -> str:
    """`size` characters of keywords, near misses, digits and odd code points
    (a lone surrogate, an emoji, Turkish capitals), a tenth upper-cased; `extra`
    joins the vocabulary, to give the text a wider storage."""
    rng = random.Random(seed)
    vocabulary = [k for axis in KEYWORDS for k in axis] + [
        "connection", "disk", "kaydı", "güvenlik", "for", "2024-12-08", "id=42", "ŞİFRE", "tablo_3",
        "hatası", "reddedildi", "ok", "payload", "\U0001f4a5", "\ud800", "x" * 30, extra,
    ]  # fmt: skip
    parts, total = [], 0
    while total < size:
        word = rng.choice(vocabulary)
        word = word.upper() if rng.random() < 0.1 else word
        parts.append(word)
        total += len(word) + 1
    return rng.choice([" ", ": ", ", "]).join(parts)[:size]
