"""The signature of the native module's functions that carry annotations.

A function of `quenlory.model_decorator` describes its parameters with a text signature, which `inspect` reads
without annotations. When the function has annotations (`model_fields` has `cls: 'type'`), its `__signature__`
comes from here: the text signature's parameters with the annotations put in, as for a Python function.
"""
import inspect

_reading = set()  # functions whose text signature is being read, for which __signature__ must step aside


def annotated(function):
    key = id(function)
    if key in _reading:
        return None
    _reading.add(key)
    try:
        signature = inspect.signature(function)
    finally:
        _reading.discard(key)
    notes = function.__annotations__
    parameters = [p.replace(annotation=notes.get(p.name, p.annotation)) for p in signature.parameters.values()]
    return signature.replace(parameters=parameters, return_annotation=notes.get("return", signature.return_annotation))
