"""Eight threads calling the modules at once, while new code points are being
cached, must get exactly the results of a single-threaded run.

Both runs happen in fresh interpreters, so that the threaded one starts with
an empty record cache and builds records (which runs the host's Python code
and lets other threads in) while the others read the cache."""

import json

from support import check_python

SCRIPT = r"""
import json, sys, threading
import vexlora.murkel as murkel
import vexlora.tessaly as tessaly

THREADED = {threaded}
ROUNDS = 4

def texts_for(worker):
    # Each worker has its own blocks of code points, plus a share common to all.
    base = [0x0400, 0x0370, 0x4E00, 0x0600, 0x3040, 0xAC00, 0x00C0, 0x0E00][worker]
    own = "".join(chr(base + (i * 7 + worker) % 200) for i in range(600))
    common = "".join(chr(0x5000 + i) for i in range(300))
    words = " ".join(own[i:i + 6] for i in range(0, len(own), 6))
    return [words, words[:300] + common, "Le cœur a ses raisons " * 20 + own[:40], own[::-1]]

def work(worker):
    out = []
    for r in range(ROUNDS):
        for text in texts_for(worker):
            out.append(murkel.mess_ratio(text, 1.0 if r % 2 else 0.2))
            out.append(tessaly.coherence_ratio(text, 0.05))
            out.append(tessaly.alpha_unicode_split(text))
            out.append(murkel.is_suspiciously_successive_range("Cyrillic", murkel._char_info(text[7]).range))
            out.append(tessaly.get_target_features(["English", "Russian", "Japanese", "Arabic"][worker % 4]))
            out.append(tessaly.encoding_languages(["cp1251", "cp1253", "cp1256", "cp874"][worker % 4]))
            out.append(tessaly.mb_encoding_languages(["shift_jis", "gb2312", "euc_kr", "big5"][worker % 4]))
            out.append(tessaly.alphabet_languages(sorted(set(text))[:60]))
            out.append([murkel._char_info(ch).flags for ch in text[:50]])
    return out

def cacher(stop):
    # Keeps building records of code points nobody else asks for.
    cp = 0x1100
    while not stop.is_set() and cp < 0x2000:
        murkel._char_info(chr(cp))
        cp += 1

results = [None] * 8
if THREADED:
    sys.setswitchinterval(1e-6)
    stop = threading.Event()
    start = threading.Barrier(9)
    def run(worker):
        start.wait()
        results[worker] = work(worker)
    threads = [threading.Thread(target=run, args=(w,)) for w in range(8)]
    background = threading.Thread(target=lambda: (start.wait(), cacher(stop)))
    for t in threads + [background]:
        t.start()
    for t in threads:
        t.join()
    stop.set()
    background.join()
else:
    for w in range(8):
        results[w] = work(w)
print(json.dumps(results))
"""


def run(threaded: bool):
    return json.loads(check_python(SCRIPT.replace("{threaded}", str(threaded)), timeout=300))


def test_threaded_results_equal_single_threaded():
    expected = run(False)
    actual = run(True)
    assert len(actual) == 8
    for worker, (got, want) in enumerate(zip(actual, expected)):
        assert got == want, f"worker {worker} differs"
