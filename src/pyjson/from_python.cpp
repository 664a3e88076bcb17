// Python objects to JSON values, by way of the interpreter's own `json` module.
#include "pyjson/from_python.h"

#include <string>
#include <string_view>

#include "common/calls.h"
#include "common/errors.h"
#include "common/names.h"
#include "common/text.h"
#include "json/parser.h"

namespace kevro {

Ref json_dumps() {
    Ref json_module = import_module(json_name);
    return json_module ? attr(json_module.get(), dumps_name) : Ref();
}

bool python_dict_to_json(PyObject* obj, json::Value& out) {
    Ref dumps = json_dumps();
    return dumps &&
           dumps_and_parse(dumps.get(), obj, out, PyExc_RuntimeError, "JSON parse error: ");
}

bool dumps_and_parse(PyObject* dumps, PyObject* obj, json::Value& out, PyObject* error_type,
                     const char* prefix) {
    // Called with the one argument only, so that the module's defaults apply: ASCII-only text,
    // NaN spelled out (which the parser then refuses).
    Ref text = checked(PyObject_CallOneArg(dumps, obj));
    if (!text) {
        return false;
    }
    // Only a replaced `json.dumps` can return something other than a str.
    std::string_view view;
    if (!extract_str(text.get(), view)) {
        return false;
    }
    // The parser's refusal carries its message and position.
    json::ParseError error;
    if (!json::parse(view, out, error)) {
        std::string message = prefix + error.text();
        PyErr_SetString(error_type, message.c_str());
        return false;
    }
    return true;
}

}  // namespace kevro
