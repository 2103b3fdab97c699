"""Hypothesis strategies for words and texts."""

from hypothesis import strategies as st

from nuvra_testing.reference import KEYWORDS

ALL_KEYWORDS = [k for axis in KEYWORDS for k in axis]
FRAGMENTS = sorted({k[i:j] for k in ALL_KEYWORDS for i in range(len(k)) for j in range(i + 1, len(k) + 1)})

WHITESPACE = "\t\n\x0b\x0c\r\x1c\x1d\x1e\x1f \x85\xa0\u1680\u2000\u2007\u200a\u2028\u2029\u202f\u205f\u3000"
TURKISH = "çğıİöşüÇĞIÖŞÜ"
# Lower-cased to another length or to ASCII: İ, the Kelvin sign, Ω sign, ẞ.
CASE_CHANGING = "\u0130\u212a\u2126\u1e9e\u0049\u03a3"
ODD = "\x00\ud800\udfff\U0001f600\U00010400\uffff\u00ff\u0100"
PUNCTUATION = "-'.:,;!?/()[]{}=+*#@$%^&|<>\"`~\\"

pieces = st.one_of(
    st.sampled_from(ALL_KEYWORDS),
    st.sampled_from(FRAGMENTS),
    st.sampled_from(ALL_KEYWORDS).map(str.upper),
    st.sampled_from(ALL_KEYWORDS).map(str.title),
    st.text(alphabet="abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ", max_size=6),
    st.text(alphabet="0123456789_", max_size=4),
    st.text(alphabet=WHITESPACE, min_size=1, max_size=3),
    st.text(alphabet=TURKISH + CASE_CHANGING + ODD, min_size=1, max_size=3),
    st.text(alphabet=PUNCTUATION, min_size=1, max_size=2),
    st.text(max_size=4),
)

words = st.lists(pieces, max_size=6).map("".join)
texts = st.lists(pieces, max_size=40).map("".join)
