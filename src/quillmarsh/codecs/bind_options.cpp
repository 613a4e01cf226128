// The option tables' runtime side (see bind_options.h): default literals,
// rendered signatures and the plain-function faces of the public callables.
#include "bind_options.h"

#include <nanobind/stl/string.h>

#include <deque>
#include <string>

namespace qmjxl {

nb::object literal_value(const char *text) {
    const std::string t(text);
    if (t == "None") return nb::none();
    if (t == "True") return nb::bool_(true);
    if (t == "False") return nb::bool_(false);
    if (t.size() >= 2 && t.front() == '\'' && t.back() == '\'')
        return nb::str(t.substr(1, t.size() - 2).c_str());
    PyObject *v = PyLong_FromString(text, nullptr, 10);
    if (!v) throw_current();
    return nb::steal(v);
}

const char *render_signature(const char *name, bool method, const ParamText *params,
                             size_t count, size_t positional, const char *ret) {
    static std::deque<std::string> kept;  // nb::sig keeps the pointer
    std::string s = std::string("def ") + name + "(" + (method ? "self" : "");
    for (size_t i = 0; i < count; ++i) {
        if (method || i > 0) s += ", ";
        if (i == positional) s += "*, ";
        s += std::string(params[i].name) + ": " + params[i].annotation;
        if (*params[i].default_) s += std::string(" = ") + params[i].default_;
    }
    s += std::string(") -> ") + ret;
    return kept.emplace_back(std::move(s)).c_str();
}

// nanobind functions show their signature only as text: each public callable
// is replaced by a plain function with the same signature (return annotation
// included) and docstring that forwards to it (see _forward.py).
void expose_forwarder(nb::handle scope, const char *name, const std::string &qualname) {
    // Kept for the life of the process: a static nb::object would be released
    // after the interpreter has gone.
    static PyObject *make =
        nb::object(nb::module_::import_("quillmarsh.codecs._forward").attr("forwarder")).release().ptr();
    nb::setattr(scope, name, nb::handle(make)(scope.attr(name), qualname));
}

}  // namespace qmjxl
