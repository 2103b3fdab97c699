"""Coverage-guided fuzzing of the three functions against the pure-Python
reference (atheris), and of the batch functions against the three. Any
difference, or any exception other than the ones the reference raises too, is
a finding.

    python fuzz/fuzz_semv.py -max_total_time=600 fuzz/corpus   # a longer local run
    python fuzz/fuzz_semv.py -runs=1 fuzz/crashes/*            # replay findings
"""

import math
import sys

import atheris

with atheris.instrument_imports():
    from nuvra_testing import reference

import numpy as np

import nuvra
from nuvra.semv_core import cosine_similarity_c, get_semantic_vector_c, vectorize_text_c
from nuvra_testing.helpers import bits


def same(a, b):
    return bits(a) == bits(b)


def component(fdp):
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind == 0:
        return fdp.ConsumeRegularFloat()
    if kind == 1:
        return fdp.ConsumeFloat()  # NaN and infinities too
    if kind == 2:
        return fdp.ConsumeInt(8)
    if kind == 3:
        return fdp.ConsumeBool()
    return fdp.PickValueInList([0.0, -0.0, 1.0, -1.0, 0.4, math.inf, 1e-300, 5e-324])


def outcome(function, *args):
    try:
        return function(*args), None
    except (TypeError, IndexError, OverflowError, ValueError) as e:
        return None, type(e)


def check(ours, theirs, what):
    if ours[1] is not None or theirs[1] is not None:
        if ours[1] is not theirs[1]:
            raise AssertionError(f"{what}: raised {ours[1]}, reference {theirs[1]}")
    elif not same(ours[0], theirs[0]):
        raise AssertionError(f"{what}: {ours[0]!r} != reference {theirs[0]!r}")


def batch_rows(items, per_call):
    return np.array([per_call(x) if x is not None else [math.nan] * 3 for x in items]).reshape(-1, 3)


def check_rows(ours, theirs, what):
    if ours.shape != theirs.shape or ours.tobytes() != theirs.tobytes():
        raise AssertionError(f"{what}: {ours!r} != per call {theirs!r}")


def check_batch(fdp):
    """The batch functions on a few items, in one of their input forms, against the per-call ones."""
    items = [
        None if fdp.ConsumeIntInRange(0, 7) == 0 else fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 96))
        for _ in range(fdp.ConsumeIntInRange(0, 8))
    ]
    workers = fdp.ConsumeIntInRange(1, 3)
    form = fdp.ConsumeIntInRange(0, 3)
    if form == 0:
        column = items
    elif form == 1:
        items = [x if x is not None else "" for x in items]
        column = np.array(items, dtype=object)
    elif form == 2:
        # numpy keeps no trailing NULs: the items it holds are the ones compared.
        column = np.array([x if x is not None else "" for x in items], dtype=str)
        items = column.tolist()
    else:
        # Lines of UTF-8: no item holds a line break, and a surrogate's bytes are replaced.
        items = [(x or "").replace("\n", " ") for x in items]
        data = "".join(x + "\n" for x in items).encode("utf-8", "surrogatepass")
        check_rows(nuvra.vectorize_lines(data, errors="replace", workers=workers),
                   batch_rows(items, vectorize_text_c), f"lines {items!r}")  # fmt: skip
        return
    check_rows(nuvra.vectorize_texts(column, workers=workers), batch_rows(items, vectorize_text_c), f"texts {items!r}")
    check_rows(nuvra.word_vectors(column), batch_rows(items, get_semantic_vector_c), f"words {items!r}")


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    choice = fdp.ConsumeIntInRange(0, 3)
    if choice == 3:
        check_batch(fdp)
        return
    if choice == 0:
        word = fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 64))
        check(outcome(get_semantic_vector_c, word), outcome(reference.get_semantic_vector, word), f"word {word!r}")
    elif choice == 1:
        text = fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 512))
        check(outcome(vectorize_text_c, text), outcome(reference.vectorize_text, text), f"text {text!r}")
    else:
        v1 = [component(fdp) for _ in range(fdp.ConsumeIntInRange(0, 5))]
        v2 = [component(fdp) for _ in range(fdp.ConsumeIntInRange(0, 5))]
        check(outcome(cosine_similarity_c, v1, v2), outcome(reference.cosine_similarity, v1, v2), f"{v1} {v2}")


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
