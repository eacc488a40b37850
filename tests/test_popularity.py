"""Popularity comparison: an observed character order scored against a profile.

The native routine picks one of two counting methods by itself: a Fenwick-tree
sweep when the profile has at most 128 characters, at most 512 elements are
observed and no profile character repeats, and a scan otherwise. Both are
checked against `reference`, a direct count of the approval definition: the
fast path on lists that qualify for it, the scan on lists that cannot (a
repeated profile character, a profile over 128 characters, over 512
elements). Agreement of each with the same definition is what makes them
interchangeable.

Controlled profiles come from a helper interpreter started with its own
FREQUENCIES, which serves comparisons over a pipe.
"""

import json
import random
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

from vexlora.constant import FREQUENCIES
from vexlora.tessaly import characters_popularity_compare

POOL = [chr(0x4E00 + k) for k in range(255)]  # BMP letters shared by the controlled profiles
FOREIGN = [chr(0x0400 + k) for k in range(400)] + ["ab", "", 7, None, "\U0001f600", "\udc00"]  # in no profile
SIZES = [
    1,
    2,
    3,
    4,
    5,
    8,
    13,
    20,
    25,
    26,
    27,
    28,
    30,
    33,
    40,
    50,
    60,
    64,
    80,
    100,
    110,
    120,
    127,
    128,
    129,
    130,
    150,
    200,
    254,
    255,
    6,
    7,
    9,
    10,
    12,
    16,
    24,
    45,
    70,
    90,
]


def controlled_profiles():
    rng = random.Random(1234)
    profiles = {"Five": "abcde"}  # the worked example: A, B, C, D, E
    for size in SIZES:
        profiles[f"L{size}"] = "".join(rng.sample(POOL, size))
    assert len(profiles) == 41
    return profiles


PROFILES = controlled_profiles()
FAST_ELIGIBLE = [name for name, p in PROFILES.items() if len(p) <= 128]
LARGE = [name for name, p in PROFILES.items() if len(p) > 128]

SERVER = r"""
import json, sys
import vexlora.constant as constant
constant.FREQUENCIES = json.loads(sys.stdin.readline())
import vexlora.tessaly as t
print("ready", flush=True)
for line in sys.stdin:
    language, items = json.loads(line)
    try:
        out = t.characters_popularity_compare(language, items)
    except Exception as e:
        out = type(e).__name__ + ": " + str(e)
    print(json.dumps(out), flush=True)
"""


class Comparer:
    def __init__(self):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", SERVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )
        self.proc.stdin.write(json.dumps(PROFILES) + "\n")
        self.proc.stdin.flush()
        assert self.proc.stdout.readline().strip() == "ready"

    def __call__(self, language, items):
        self.proc.stdin.write(json.dumps([language, items]) + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


@pytest.fixture(scope="module")
def compare():
    comparer = Comparer()
    yield comparer
    comparer.close()


def reference(profile, observed):
    """Direct count of the approval definition."""
    size, n = len(profile), len(observed)
    rank = {c: i for i, c in enumerate(profile)}
    matched = [(rank[c], p) for p, c in enumerate(observed) if isinstance(c, str) and len(c) == 1 and c in rank]
    approved = 0
    for r, p in matched:
        distance = abs(int(p * (size / n)) - r)
        if size <= 26:
            if distance > 4:
                continue
        elif distance < size / 3.0:
            approved += 1
            continue
        before = sum(1 for r2, p2 in matched if r2 < r and p2 < p)
        after = sum(1 for r2, p2 in matched if r2 >= r and p2 >= p)
        if r == 0 or 5 * before >= 2 * r or 5 * after >= 2 * (size - r):
            approved += 1
    return approved / n


@st.composite
def observations(draw, languages, max_size, repeats):
    language = draw(st.sampled_from(languages))
    profile = PROFILES[language]
    rng = draw(st.randoms(use_true_random=False))
    if repeats:
        chosen = [rng.choice(profile) for _ in range(draw(st.integers(1, max_size // 2)))]
    else:
        chosen = rng.sample(profile, draw(st.integers(0, min(len(profile), max_size))))
    foreign = rng.sample(FOREIGN, draw(st.integers(0 if chosen else 1, min(len(FOREIGN), max_size - len(chosen)))))
    observed = chosen + foreign
    rng.shuffle(observed)
    return language, observed


@settings(max_examples=300, deadline=None)
@given(observations(FAST_ELIGIBLE, 512, repeats=False))
def test_fenwick_path_matches_definition(compare, case):
    language, observed = case
    assert compare(language, observed) == reference(PROFILES[language], observed)


@pytest.mark.parametrize("language, n", [("Five", 513), ("L26", 700), ("L128", 1024), ("L255", 1500)])
def test_long_observations_match_definition(compare, language, n):
    # Past 512 elements every buffer comes from the allocator.
    rng = random.Random(n)
    profile = PROFILES[language]
    observed = [rng.choice(profile) if rng.random() < 0.5 else rng.choice(FOREIGN) for _ in range(n)]
    observed[: len(profile)] = rng.sample(profile, len(profile))  # the whole profile, near the top
    assert compare(language, observed) == reference(profile, observed)


def test_worked_example(compare):
    assert compare("Five", ["e", "b", "x"]) == 1 / 3 == reference("abcde", "ebx")


@pytest.mark.parametrize(
    "language, observed, expected",
    [
        ("Five", list("abcde"), 1.0),
        ("L255", list(PROFILES["L255"]), 1.0),
        ("L128", list(PROFILES["L128"]), 1.0),
        ("Five", list("ebxb"), 0.5),  # repeated b: every occurrence scored, itself included
        ("Five", list("xyz"), 0.0),
        ("Five", ["\U0001f600"], 0.0),  # above the BMP: in no profile
        ("Five", ["a", "ab", 3, None, ""], 0.2),  # non-characters only count in n
        ("L26", [PROFILES["L26"][5]], 0.0),  # small alphabet: distance 5 > 4
        ("L27", [PROFILES["L27"][5]], 1.0),  # large alphabet: distance 5 < 9.0
        ("L255", FOREIGN[:254] + [PROFILES["L255"][254]], 1 / 255),  # the last of 255 has rank 255
    ],
)
def test_exact_ratios(compare, language, observed, expected):
    assert compare(language, observed) == expected


def swapped(profile, i, j):
    observed = list(profile)
    observed[i], observed[j] = observed[j], observed[i]
    return observed


@pytest.mark.parametrize(
    "observed",
    [
        list(reversed(PROFILES["L90"])),  # every entry far from its rank: counts for all of them
        swapped(PROFILES["L90"], 0, 89),  # two far entries: counted one by one
        swapped(PROFILES["L90"], 3, 60) + list(reversed(PROFILES["L45"])),
        list(reversed(PROFILES["L90"])) + list(PROFILES["L90"][:20]),  # repeats: never the sweeps
    ],
)
def test_entries_far_from_their_rank_match_definition(compare, observed):
    # Only entries whose distance leaves them undecided need neighbourhood counts; few
    # are counted by scanning, many by the sweeps, and both must agree with the definition.
    assert compare("L90", observed) == reference(PROFILES["L90"], observed)


@pytest.mark.parametrize(
    "language, observed, expected",
    [
        ("Klingon", ["a"], "ValueError: Klingon not available"),
        (None, ["a"], "ValueError: None not available"),
        ("Five", [], "ZeroDivisionError: division by zero"),
    ],
)
def test_refusals(compare, language, observed, expected):
    assert compare(language, observed) == expected


@pytest.mark.parametrize("language", list(FREQUENCIES))
def test_every_host_profile_scores_itself_one(language):
    assert characters_popularity_compare(language, list(FREQUENCIES[language])) == 1.0


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("English", None), {}, "object of type 'NoneType' has no len()"),
        ((b"English", []), {}, "Argument 'language' has incorrect type (expected str, got bytes)"),
        (("English", ("e",)), {}, "Argument 'ordered_characters' has incorrect type (expected list, got tuple)"),
        (("English",), {}, "characters_popularity_compare() takes exactly 2 positional arguments (1 given)"),
        (("English", [], 1), {}, "characters_popularity_compare() takes exactly 2 positional arguments (3 given)"),
        (
            ("English",),
            {"characters": []},
            "characters_popularity_compare() got an unexpected keyword argument 'characters'",
        ),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        characters_popularity_compare(*args, **kwargs)
    assert str(info.value) == message


def test_long_inputs_release_their_buffers():
    import tracemalloc

    observed = list(FREQUENCIES["English"]) * 40  # over 512 elements: allocated buffers
    characters_popularity_compare("English", observed)
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(50):
            characters_popularity_compare("English", observed)
        growth = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert growth < 4096
