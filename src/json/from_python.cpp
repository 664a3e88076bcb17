// Python object to JsonValue: the `json` module decides what is convertible, our parser decides
// how numbers are held and in which order members come out.
#include "json/from_python.h"

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
    // Step 2: the module's defaults, so that ASCII-only text with NaN spelled out comes back.
    Ref text = Ref::steal(PyObject_CallOneArg(dumps.get(), obj));
    if (!text) {
        ensure_error();
        return false;
    }
    // Step 3: only a replaced `json.dumps` can return something other than a str.
    std::string_view view;
    if (!extract_str(text.get(), view)) {
        return false;
    }
    // Step 4: the parser's refusal becomes a RuntimeError carrying its message and position.
    json::ParseError error;
    if (!json::parse(view, out, error)) {
        std::string message = "JSON parse error: " + error.text();
        PyErr_SetString(PyExc_RuntimeError, message.c_str());
        return false;
    }
    return true;
}

}  // namespace kevro
