"""Field declarations that log every read, write and call made on them.

Each entry of the shared log is a short text, so a scenario's whole call
order can be asserted as one list:
    "x.cast"              attribute read
    "x.name = 'x'"        attribute write ("x.cast = <wrapper>", "x.metadata_defaults = {...}")
    "x['default']"        item read on the declaration
    "x.metadata.get('optional', False)", "'default' in x.metadata"
    "x.cast('3')", "x.proxy(...)", "x.factory()", "x.flat_fields(prefix='p')", "x.components()"

Only what outside code does is logged: while the declaration is itself
working (inside a logged read, item access or method call) its own
attribute traffic is not, so the log does not depend on how the field
classes are written.

The cast given to the constructor is wrapped once, when the declaration is
made, by a logging function that stays the declaration's `cast`: reading
`cast` twice gives the same object, and an optional wrapper put around it
logs nothing when it lets None through.
"""
import contextlib

from quenlory.fields.bases import Field, MultiField, ProxyField

WATCHED = frozenset({"cast", "name", "metadata", "metadata_defaults", "proxy", "flat_fields", "components"})
CALLED = frozenset({"proxy", "flat_fields", "components"})


def _show(args, kwargs):
    parts = [repr(a) for a in args] + ["%s=%r" % kv for kv in kwargs.items()]
    return ", ".join(parts)


class RecordingMeta:
    """A read-only view of a declaration's metadata that logs membership tests and get calls."""

    def __init__(self, owner, data):
        self._owner, self._data = owner, data

    def __contains__(self, key):
        self._owner._log.append("%r in %s.metadata" % (key, self._owner._tag))
        return key in self._data

    def get(self, key, default=None):
        self._owner._log.append("%s.metadata.get(%r, %r)" % (self._owner._tag, key, default))
        return self._data.get(key, default)

    def __getitem__(self, key):
        self._owner._log.append("%s.metadata[%r]" % (self._owner._tag, key))
        return self._data[key]


class _Recording:
    _log = None
    _tag = "?"
    _quiet = 0

    @contextlib.contextmanager
    def _inside(self):
        object.__setattr__(self, "_quiet", object.__getattribute__(self, "_quiet") + 1)
        try:
            yield
        finally:
            object.__setattr__(self, "_quiet", object.__getattribute__(self, "_quiet") - 1)

    def _note(self, text):
        """Log `text` unless the declaration is busy with itself."""
        log = object.__getattribute__(self, "_log")
        if log is not None and not object.__getattribute__(self, "_quiet"):
            log.append(text)
            return True
        return False

    def _logged(self, label, fn, elide=False):
        def call(*args, **kwargs):
            self._note("%s.%s(%s)" % (self._tag, label, "..." if elide and (args or kwargs) else _show(args, kwargs)))
            with self._inside():
                return fn(*args, **kwargs)
        call.__name__ = label
        return call

    def __getattribute__(self, attr):
        if attr not in WATCHED:
            return object.__getattribute__(self, attr)
        noted = _Recording._note(self, "%s.%s" % (object.__getattribute__(self, "_tag"), attr))
        with _Recording._inside(self):
            value = object.__getattribute__(self, attr)
        if not noted:
            return value
        if attr == "metadata":
            with _Recording._inside(self):
                return RecordingMeta(self, dict(value))
        if attr in CALLED:
            return _Recording._logged(self, attr, value, elide=attr == "proxy")
        return value

    def __setattr__(self, attr, value):
        if attr in WATCHED:
            shown = "<wrapper>" if attr == "cast" else "{...}" if attr == "metadata_defaults" else repr(value)
            self._note("%s.%s = %s" % (self._tag, attr, shown))
        with self._inside():
            object.__setattr__(self, attr, value)

    def __getitem__(self, key):
        noted = self._note("%s[%r]" % (self._tag, key))
        with self._inside():
            value = super().__getitem__(key)
        if noted and key == "factory" and callable(value):
            return self._logged("factory", value)
        return value


def _recording_class(base):
    def start(self, log, tag, *args, **kwargs):
        base.__init__(self, *args, **kwargs)
        object.__setattr__(self, "_tag", tag)
        object.__setattr__(self, "_log", log)
        cast = object.__getattribute__(self, "cast")
        object.__setattr__(self, "cast", self._logged("cast", cast))

    return type("Recording" + base.__name__, (_Recording, base), {"__init__": start})


RecordingField = _recording_class(Field)
RecordingProxyField = _recording_class(ProxyField)
RecordingMultiField = _recording_class(MultiField)
