"""Field declarations that log every read, write and call made on them.

Each entry of the shared log is a short text, so a scenario's whole call
order can be asserted as one list:
    "x.cast"              attribute read
    "x.name = 'x'"        attribute write
    "x['default']"        item read on the declaration
    "x.metadata.get('optional', False)", "'default' in x.metadata"
    "x.cast('3')", "x.proxy(...)", "x.factory()", "x.flat_fields(prefix='p')", "x.components()"
"""
from quenlory.fields.bases import Field, MultiField, ProxyField

WATCHED = {"cast", "name", "metadata", "metadata_defaults", "proxy", "flat_fields", "components"}


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


def _logged_call(log, text, fn):
    def call(*args):
        log.append("%s(%s)" % (text, ", ".join(map(repr, args)) if text.endswith("cast") else "..." if args else ""))
        return fn(*args)
    return call


class _Recording:
    _log = None
    _tag = "?"

    def __getattribute__(self, attr):
        if attr in WATCHED:
            log, tag = object.__getattribute__(self, "_log"), object.__getattribute__(self, "_tag")
            log.append("%s.%s" % (tag, attr))
            value = object.__getattribute__(self, attr)
            if attr == "metadata":
                return RecordingMeta(self, dict(value))
            if attr == "cast" and callable(value):
                return _logged_call(log, tag + ".cast", value)
            if attr == "proxy":
                return _logged_call(log, tag + ".proxy", value)
            return value
        return object.__getattribute__(self, attr)

    def __setattr__(self, attr, value):
        if attr in WATCHED and self._log is not None:
            shown = "<wrapper>" if attr == "cast" else "{...}" if attr == "metadata_defaults" else repr(value)
            self._log.append("%s.%s = %s" % (self._tag, attr, shown))
        object.__setattr__(self, attr, value)

    def __getitem__(self, key):
        self._log.append("%s[%r]" % (self._tag, key))
        value = super().__getitem__(key)
        if key == "factory":
            return _logged_call(self._log, self._tag + ".factory", value)
        return value


def _recording_class(base):
    def start(self, log, tag, *args, **kwargs):
        base.__init__(self, *args, **kwargs)
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_tag", tag)

    return type("Recording" + base.__name__, (_Recording, base), {"__init__": start})


RecordingField = _recording_class(Field)
RecordingProxyField = _recording_class(ProxyField)
RecordingMultiField = _recording_class(MultiField)
