"""Reference and memory leaks: every callable, on its success path and on an error path, called
many times on fresh objects, grows neither the Python heap (tracemalloc), nor the reference counts
of its arguments and of the shared objects it returns, nor the process heap (glibc's mallinfo2),
nor, on a debug interpreter, the total of all reference counts (sys.gettotalrefcount).

QSC_LEAK_CALLS sets the number of measured calls per case. The process-heap check is exact only
with PYTHONMALLOC=malloc (every Python allocation then goes through malloc). The check takes minutes,
so it is marked `leaks` and left out of the default run; .ci/run runs it, with PYTHONMALLOC=malloc.
"""

import gc
import os
import sys
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import surface
from heap import heap_in_use
from surface import CALLABLES, ENUM_CLASSES, OBJECT_CLASSES, VALID

pytestmark = pytest.mark.leaks

CALLS = int(os.environ.get("QSC_LEAK_CALLS", "200"))
WARMUP = 50
# tracemalloc and malloc's own caches show kilobytes of noise that does not grow with the calls.
PYTHON_SLACK = 8192
HEAP_SLACK = 32768 + 4 * CALLS
FIGURES = {"leak cases": 0, "leak calls": 0, "max python bytes kept": 0, "max heap bytes kept": 0}
EXACT_HEAP = os.environ.get("PYTHONMALLOC") == "malloc" and "asan" not in os.environ.get("LD_PRELOAD", "")
total_refcount = getattr(sys, "gettotalrefcount", lambda: 0)  # a debug interpreter's count of every reference
FIGURES["max references kept"] = 0
# A debug interpreter counts every reference, which finds what tracemalloc would and more; tracing
# every allocation on top of its own checks would take the run from minutes to hours.
TRACE = not hasattr(sys, "gettotalrefcount")


def receiver_for(c):
    if c.owner in ENUM_CLASSES:
        return surface.variants(c.owner)[0]
    return surface.produce(c.owner) if c.owner in OBJECT_CLASSES and c.kind in ("method", "getter") else None


def argument(spec):
    return surface.produce(spec[1]) if isinstance(spec, tuple) and spec[:1] == ("object",) else spec


def measure(call, watched):
    """What the second half of the calls kept: the first half fills whatever caches there are."""
    for _ in range(WARMUP):
        call()
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    if TRACE:
        tracemalloc.start()
    # The total count is read where the measuring itself holds the same references at both reads:
    # after the first mark is kept, before the second; each lands in a slot made beforehand.
    totals = [0, 0]
    try:
        marks = []
        for half in range(2):
            for _ in range(CALLS // 2):
                call()
            gc.collect()
            if half:
                totals[1] = total_refcount()
            marks.append((tracemalloc.get_traced_memory()[0] if TRACE else 0, heap_in_use() or 0))
            if not half:
                totals[0] = total_refcount()
    finally:
        if TRACE:
            tracemalloc.stop()
    (python_1, heap_1), (python_2, heap_2) = marks
    balanced = [sys.getrefcount(o) for o in watched] == refs
    return python_2 - python_1, balanced, heap_2 - heap_1, totals[1] - totals[0]


@pytest.mark.parametrize("path", ["success", "error"])
@pytest.mark.parametrize("c", CALLABLES, ids=lambda c: c.label)
@settings(max_examples=1, database=None, derandomize=True)
@given(data=st.data())
def test_no_growth(c, path, data):
    kwargs = {p.name: argument(data.draw(VALID[p.name])) for p in c.params}
    extra = []
    if path == "error":  # a wrong type for the first parameter, or an argument too many
        if c.params:
            kwargs[c.params[0].name] = object()
        else:
            extra = [object()]

    def call():
        try:
            result = c.bind(receiver_for(c))(*extra, **kwargs)
        except (TypeError, ValueError):
            return None
        return result

    results = [call()]
    # None, the bools, small ints and one-character strs are shared by everything that runs: their
    # counts say nothing about the call.
    watched = [o for o in (*kwargs.values(), *extra)
               if o is not None and not isinstance(o, (bool, int, float)) and not (isinstance(o, str) and len(o) < 2)]
    watched += [r for r in results if type(r) in ENUM_CLASSES]
    python_kept, refs_balanced, heap_kept, refs_kept = measure(call, watched)
    for _ in range(3):  # a leak keeps growing in every measurement; noise does not
        if python_kept < PYTHON_SLACK and heap_kept < HEAP_SLACK and refs_kept <= 0:
            break
        again = measure(call, watched)
        python_kept, refs_balanced, heap_kept, refs_kept = min(python_kept, again[0]), refs_balanced and again[1], min(
            heap_kept, again[2]), min(refs_kept, again[3])
    FIGURES["leak cases"] += 1
    FIGURES["leak calls"] += CALLS + WARMUP
    FIGURES["max python bytes kept"] = max(FIGURES["max python bytes kept"], python_kept)
    FIGURES["max heap bytes kept"] = max(FIGURES["max heap bytes kept"], heap_kept)
    FIGURES["max references kept"] = max(FIGURES["max references kept"], refs_kept)
    assert refs_balanced, f"{c.label} changed the reference count of an argument or a shared result"
    assert refs_kept <= 0, f"{c.label} kept {refs_kept} references over {CALLS // 2} calls"
    # Whatever a call keeps must not scale with the number of calls.
    assert python_kept < PYTHON_SLACK, f"{c.label} kept {python_kept} bytes of Python objects over {CALLS // 2} calls"
    if EXACT_HEAP:
        assert heap_kept < HEAP_SLACK, f"{c.label} kept {heap_kept} heap bytes over {CALLS // 2} calls"
