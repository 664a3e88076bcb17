// Python objects to JSON values, by way of the interpreter's own `json` module: `json.dumps`
// decides what is convertible, our parser how numbers are held and in which order members come.
#pragma once

#include <Python.h>

#include "common/ref.h"
#include "json/value.h"

namespace kevro {

/// `json.dumps` as it is now: `json` goes through the import system on every call (the module
/// cache keeps a repeat cheap, and a replaced `sys.modules["json"]` is honoured), then its
/// `dumps` is read. A null Ref with the exception of either step.
Ref json_dumps();

/// Encodes `obj` (any object, despite the name) with `json.dumps(obj)` and parses the text into
/// `out`. Module inspection uses it for each asset's `__kevro_metadata__`. Returns false with a
/// Python exception set: whatever the import of `json` or `json.dumps` raised, TypeError when
/// `json.dumps` gave something other than a `str`, or RuntimeError "JSON parse error: ..." when
/// the parser refuses the text. Needs the interpreter lock.
bool python_dict_to_json(PyObject* obj, json::Value& out);

/// The shared step of the conversion and of partition keys: `dumps(obj)`, which must give a
/// `str`, read back by the parser. A refused text raises `error_type` with `prefix` followed by
/// the parser's error text.
bool dumps_and_parse(PyObject* dumps, PyObject* obj, json::Value& out, PyObject* error_type,
                     const char* prefix);

}  // namespace kevro
