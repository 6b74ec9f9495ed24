"""Shared helpers for the test suites.

`md` is the module under test: the native extension by default, or the
pure-Python reference in tests/baseline.py when QUENLORY_IMPL=baseline.
"""
import contextlib
import faulthandler
import functools
import gc
import importlib
import io
import os
import subprocess
import sys
import sysconfig

IMPL = os.environ.get("QUENLORY_IMPL", "native")
NATIVE = IMPL != "baseline"

if NATIVE:
    md = importlib.import_module("quenlory.model_decorator")
else:
    md = importlib.import_module("baseline")

from quenlory.fields.bases import Field, MultiField, ProxyField  # noqa: E402

model = md.model
raw = md.raw
dumps = md.dumps
model_fields = md.model_fields
model_fields_flat = md.model_fields_flat

if NATIVE:
    # A fault in the construction's table of field names (a full table, a probe that runs past it) shows as
    # a hang in the first declaration or construction: end the run at once rather than at its time limit.
    faulthandler.dump_traceback_later(60, exit=True)
    try:
        model(type("Probe", (), {"f%d" % i: Field(optional=True) for i in range(8)}))({"stray": 1})
    except ValueError:
        pass
    faulthandler.cancel_dump_traceback_later()


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# On 3.13's free-threaded build every class becomes immortal once a second thread has started, for good.
IMMORTAL_AFTER_THREADS = FREE_THREADED and sys.version_info < (3, 14)
_CHILD = "QUENLORY_TEST_IN_CHILD"


def before_threads(test):
    """Run a test that needs classes to be collected in a child interpreter where no thread has started yet, where
    classes can become immortal once one has (3.13t); elsewhere it runs as it is."""
    if not IMMORTAL_AFTER_THREADS or os.environ.get(_CHILD):
        return test

    @functools.wraps(test)
    def in_child(case):
        name = "%s.%s.%s" % (type(case).__module__, type(case).__qualname__, test.__name__)
        proc = subprocess.run([sys.executable, "-m", "unittest", name], capture_output=True, text=True, timeout=600,
                              cwd=os.path.dirname(os.path.abspath(__file__)),
                              env=dict(os.environ, PYTHONPATH=os.pathsep.join(map(os.path.abspath, sys.path)),
                                       **{_CHILD: "1"}))
        if proc.returncode != 0:
            case.fail("in a child interpreter:\n" + proc.stderr[-3000:])
    return in_child


@contextlib.contextmanager
def captured_stdout():
    """Collect what print writes while the block runs."""
    old = sys.stdout
    sys.stdout = buf = io.StringIO()
    try:
        yield buf
    finally:
        sys.stdout = old


DELETED = object()


@contextlib.contextmanager
def rebound(name, value):
    """Rebind (or, with DELETED, remove) a module-level name of the module under test."""
    missing = object()
    old = md.__dict__.get(name, missing)
    if value is DELETED:
        md.__dict__.pop(name, None)
    else:
        setattr(md, name, value)
    try:
        yield
    finally:
        if old is missing:
            md.__dict__.pop(name, None)
        else:
            setattr(md, name, old)


def assert_no_leak(case, fn, n=2000, warmup=100, slack=None):
    """Fail `case` when running `fn` n times grows the allocated blocks.

    Exceptions raised by `fn` are swallowed, so error paths can be checked
    the same way as successful ones. The interpreter's type attribute cache is
    emptied before each count: from 3.14 its entries keep what they looked up
    alive, up to its fixed size, which would read as growth here.
    """
    if FREE_THREADED:
        # The count moves by a few hundred blocks there whatever the number of runs (memory that other threads
        # might still read is freed later); more runs make a leak stand out of that.
        n *= 4

    def run(k):
        for _ in range(k):
            try:
                fn()
            except Exception:
                pass

    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        run(warmup)
        gc.collect()
        sys._clear_type_cache()
        before = sys.getallocatedblocks()
        run(n)
        gc.collect()
        sys._clear_type_cache()
        after = sys.getallocatedblocks()
    allowed = slack if slack is not None else max(20, n // 50)
    case.assertLess(after - before, allowed, "allocated blocks grew by %d over %d runs" % (after - before, n))
