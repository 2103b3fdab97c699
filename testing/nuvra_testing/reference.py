"""A pure-Python reference of the word, text and cosine functions.

Written straight from the rules the module implements, with Python sets and
re.findall, as slow and obvious as possible. The tests compare the module
against it bit for bit.
"""

import math
import operator
import re

X_KEYWORDS = [
    "error", "fail", "crash", "bug", "warning", "exception", "fatal", "timeout", "kill",
    "stop", "exit", "quit", "terminate", "disconnect", "break", "close", "abort", "hata",
    "ariza", "cokme", "bozuk", "kusur", "problem", "sorun", "engel", "limit", "uyari",
    "istisna",
]  # fmt: skip
Y_KEYWORDS = [
    "auth", "login", "password", "key", "token", "user", "admin", "secure", "crypto", "cert",
    "ssh", "encrypt", "decrypt", "privilege", "allow", "denied", "permission", "sign",
    "guvenlik", "giris", "sifre", "anahtar", "kullanici", "yetki", "izin", "yasak", "kripto",
    "sertifika",
]  # fmt: skip
Z_KEYWORDS = [
    "database", "sql", "db", "file", "save", "write", "read", "query", "list", "select",
    "update", "insert", "delete", "table", "column", "row", "csv", "json", "xml", "storage",
    "log", "veri", "dosya", "veritabani", "kayit", "yaz", "oku", "sorgu", "liste", "tablo",
    "sutun", "satir", "depo", "gunluk", "bellek",
]  # fmt: skip
KEYWORDS = [X_KEYWORDS, Y_KEYWORDS, Z_KEYWORDS]


def bigram_set(s: str) -> set[str]:
    if len(s) < 2:
        return {s}
    return {s[i : i + 2] for i in range(len(s) - 1)}


X_BIGRAMS = [bigram_set(k) for k in X_KEYWORDS]
Y_BIGRAMS = [bigram_set(k) for k in Y_KEYWORDS]
Z_BIGRAMS = [bigram_set(k) for k in Z_KEYWORDS]
BIGRAMS = [X_BIGRAMS, Y_BIGRAMS, Z_BIGRAMS]

TOKEN_PATTERN = "[A-Za-z0-9_]+"


def jaccard_sim(s1: set[str], s2: set[str]) -> float:
    intersect_len = len(s1 & s2)
    union_len = len(s1) + len(s2) - intersect_len
    if union_len == 0:
        return 0.0
    return float(intersect_len) / float(union_len)


def get_semantic_vector(word: str) -> list[float]:
    w = str.lower(word).strip()
    if len(w) == 0:
        return [0.0, 0.0, 0.0]
    for axis, keywords in enumerate(KEYWORDS):
        for k in keywords:
            if w.startswith(k):
                unit = [0.0, 0.0, 0.0]
                unit[axis] = 1.0
                return unit
    wb = bigram_set(w)
    scores = []
    for sets in BIGRAMS:
        best = 0.0
        for b in sets:
            sim = jaccard_sim(wb, b)
            if sim > best:
                best = sim
        scores.append(best)
    return [0.0 if s < 0.4 else s for s in scores]


def vectorize_text(text: str) -> list[float]:
    words = re.findall(TOKEN_PATTERN, text)
    if not words:
        return [0.0, 0.0, 0.0]
    vec = [0.0, 0.0, 0.0]
    matched_count = 0
    for w in words:
        v = get_semantic_vector(w)
        if v[0] > 0.0 or v[1] > 0.0 or v[2] > 0.0:
            vec[0] = vec[0] + v[0]
            vec[1] = vec[1] + v[1]
            vec[2] = vec[2] + v[2]
            matched_count += 1
    if matched_count == 0:
        return [0.0, 0.0, 0.0]
    length = math.sqrt((vec[0] * vec[0] + vec[1] * vec[1]) + vec[2] * vec[2])
    if length > 0.0:
        return [vec[0] / length, vec[1] / length, vec[2] / length]
    return [0.0, 0.0, 0.0]


def as_double(item) -> float:
    """What PyFloat_AsDouble makes of an item: __float__, else __index__."""
    if isinstance(item, float):
        return float(item)
    if hasattr(type(item), "__float__"):
        return type(item).__float__(item)
    return float(operator.index(item))


def _divide(a: float, b: float) -> float:
    """IEEE division, also by zero."""
    if b != 0.0:
        return a / b
    if a != a or a == 0.0:
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def cosine_similarity(v1: list, v2: list) -> float:
    a = [as_double(v1[i]) for i in range(3)]
    b = [as_double(v2[i]) for i in range(3)]
    dot = (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]
    if dot == 0.0:
        return 0.0
    len1 = math.sqrt((a[0] * a[0] + a[1] * a[1]) + a[2] * a[2])
    len2 = math.sqrt((b[0] * b[0] + b[1] * b[1]) + b[2] * b[2])
    if len1 == 0.0 or len2 == 0.0:
        return 0.0
    return _divide(dot, len1 * len2)
