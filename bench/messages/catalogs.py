"""The entries of the tools' gettext catalogs on this machine, for collect.py and
collect_more.py: each draws its candidate messages from them with its own filters."""

from __future__ import annotations

import gettext
import os
from collections.abc import Iterable, Iterator

CATALOGS = "/usr/share/locale/tr/LC_MESSAGES"


def entries(domains: Iterable[str]) -> Iterator[tuple[str, object, object]]:
    """(domain, msgid, msgstr) of every entry of the Turkish catalog of each domain that
    the machine has, in the catalog's order; msgid and msgstr are as gettext keeps them
    (a plural entry's msgid is a tuple)."""
    for domain in domains:
        path = os.path.join(CATALOGS, f"{domain}.mo")
        if not os.path.exists(path):
            continue
        with open(path, "rb") as fp:
            catalog = gettext.GNUTranslations(fp)._catalog  # type: ignore[attr-defined]
        for msgid, msgstr in catalog.items():
            yield domain, msgid, msgstr
