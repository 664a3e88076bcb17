// Python object to JsonValue: the `json` module decides what is convertible, our parser decides
// how numbers are held and in which order members come out.
#include "pyjson/from_python.h"

#include <string>
#include <string_view>

#include "common/errors.h"
#include "common/ref.h"
#include "common/text.h"
#include "json/parser.h"

namespace kevro {

bool python_dict_to_json(PyObject* obj, json::Value& out) {
    // Step 1: `json` goes through the import system on every call; the module cache keeps a
    // repeat cheap, and a replaced `sys.modules["json"]` is honoured.
    Ref json_module = Ref::steal(PyImport_ImportModule("json"));
    if (!json_module) {
        ensure_error();
        return false;
    }
    Ref dumps = Ref::steal(PyObject_GetAttrString(json_module.get(), "dumps"));
    if (!dumps) {
        ensure_error();
        return false;
    }
    // Steps 2 to 4.
    return dumps_and_parse(dumps.get(), obj, out, PyExc_RuntimeError, "JSON parse error: ");
}

bool dumps_and_parse(PyObject* dumps, PyObject* obj, json::Value& out, PyObject* error_type,
                     const char* prefix) {
    // The module's defaults, so that ASCII-only text with NaN spelled out comes back.
    Ref text = Ref::steal(PyObject_CallOneArg(dumps, obj));
    if (!text) {
        ensure_error();
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
