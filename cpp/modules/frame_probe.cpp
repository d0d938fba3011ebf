// kelvane_analytics_utils._frame_probe
//
// A small module that uses every declaration form of the frame. The tests and
// the benchmarks of the frame import it; the package's modules do not.
#include "frame/host.hpp"
#include "frame/state.hpp"

#include <new>
#include <stdexcept>
#include <string>

namespace {

using namespace kelvane;

#define PROBE_NAMES(X) X(info) X(append)

struct State : ModuleState {
    KELVANE_NAMES(PROBE_NAMES)
};
KELVANE_STATE(State, S);

nb::object noop(Args) { return none(); }
nb::object identity(Args a) { return nb::borrow(a[0]); }
nb::object first(Args a) { return nb::borrow(a[1]); }
nb::object echo(Args a) { return nb::borrow(a[1]); }
nb::object pair(Args a) { return nb::make_tuple(a[0], a[1]); }
nb::object kwargs_of(Args a) { return nb::make_tuple(a[1], a[2]); }
nb::object label(Args a) { return nb::str("{}:{}").format(a[0].attr("name"), a[0].attr("size")); }
nb::object after(Args a) {
    if (nb::cast<int>(a[0].attr("size")) < 0) {
        PyErr_SetString(PyExc_ValueError, "size must not be negative");
        throw_error();
    }
    return nb::borrow(a[0]);
}
nb::object before(Args a) {
    // Raw input: a plain name becomes a mapping.
    if (PyUnicode_Check(a.get(1))) {
        nb::dict d;
        d["name"] = a[1];
        return d;
    }
    return nb::borrow(a[1]);
}
nb::object parent_name(Args a) { return a[1].attr("name"); }
nb::object init(Args a) {
    // Records built with Probe(**kwargs) get a name when none is given.
    nb::dict kwargs = nb::borrow<nb::dict>(a[1]);
    if (!kwargs.contains("name")) kwargs["name"] = "unnamed";
    nb::object base = nb::module_::import_("kelvane_analytics_utils.utils.base_model").attr("BaseModel");
    base.attr("__init__")(a[0], **kwargs);
    return none();
}

// Throws a C++ exception other than the frame's marker: std::bad_alloc for
// "bad_alloc", std::runtime_error otherwise. The call boundary turns it into
// a Python exception.
nb::object throw_cpp(Args a) {
    const char *text = PyUnicode_AsUTF8(a.get(0));
    if (!text) throw_error();
    const std::string kind = text;
    if (kind == "bad_alloc") throw std::bad_alloc();
    throw std::runtime_error("probe failure: " + kind);
}

// The host helpers, for the tests of the frame: logs each item of `items`
// that is not equal to `skip` through the module's logger, collects those
// items and calls `then()`; a failure of the walk or of `then` is re-raised
// with the prefix "Probe <skip>: ".
nb::object walk(Args a) {
    nb::object out = check(PyList_New(0));
    try {
        each(a[0], [&](nb::handle item) {
            if (!differs(item, a[1])) return false;
            S.log(S.str_info, check(PyObject_Str(item.ptr())));
            call_method(S.str_append, out, item);
            return false;
        });
        if (truthy(a[2])) check(PyObject_CallNoArgs(a.get(2)));
    } catch (error_already_set &) {
        reraise_with_prefix([&] { return check(PyUnicode_FromFormat("Probe %S: ", a.get(1))); });
    }
    return out;
}

void declare(Module &m) {
    S.init(m);
    m.import_from("abc", {"ABC", "abstractmethod"});
    m.import_from("typing", {"Any", "Dict", "List", "Optional"});
    m.import("strawberry");
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});
    m.logger();

    m.enumeration("Colour").member("RED").member("GREEN", "green").strawberry().create();

    m.record("AbstractProbe", {"BaseModel", "ABC"})
        .doc("Abstract probe.")
        .field("name", "str")
        .abstractmethod(Function("label", label).self().returns("str"))
        .create();

    m.record("Probe", {"AbstractProbe"})
        .doc("A record with every kind of method.")
        .field("size", "int", nb::int_(0))
        .field("tags", "List[str]", nb::list())
        .field("colour", "Optional[Colour]", none())
        .method(Function("__init__", init).self().kwargs("kwargs", "Any"))
        .method(Function("label", label).self().returns("str"))
        .method(Function("noop", noop).self().arg("a", "Any").returns("None"))
        .method(Function("text", echo).self().arg("value", "str").returns("str"))
        .method(Function("maybe_float", echo).self().arg("value", "Optional[float]").returns("Optional[float]"))
        .method(Function("as_list", echo).self().arg("value", "List[Dict[str, str]]").returns("List[str]"))
        .method(Function("as_dict", echo).self().arg("value", "Dict[str, Any]").returns("Optional[int]"))
        .method(Function("number", echo).self().arg("value", "Any").returns("Optional[int]"))
        .method(Function("loose", echo).self().arg("value", "Union[str, int]").returns("Any"))
        .method(Function("with_default", pair).self().arg("value", "Optional[str]", nb::str("x")).returns("Any"))
        .method(Function("options", kwargs_of).self().arg("value", "Any").kwargs("kwds", "Any").returns("Any"))
        .classmethod(Function("build", pair).cls().arg("value", "Any").returns("'Probe'").doc("Build one."))
        .staticmethod(Function("_helper", first).arg("unused", "Any").arg("value", "Any").returns("Any"))
        .validator_after(Function("check_size", after).self().returns("'Probe'"))
        .validator_before(Function("from_name", before).cls().arg("data", "Any").returns("Any"))
        .create();

    m.view("ProbeType", "Probe")
        .field("name", "strawberry.auto")
        .field("size", "strawberry.auto")
        .strawberry_field(Function("shown_name", parent_name)
                              .self()
                              .arg("parent", "strawberry.Parent[Probe]")
                              .returns("str")
                              .coroutine())
        .create();

    m.cls("Plain", {}).method(Function("noop", noop).self().arg("a", "Any").returns("None")).create();

    m.function(Function("noop", noop).arg("a", "Any").returns("None"));
    m.function(Function("later", identity).arg("value", "Any").returns("Any").coroutine());
    m.function(Function("walk", walk).arg("items", "Any").arg("skip", "Any").arg("then", "Any").returns("List[Any]"));
    m.function(Function("throw_cpp", throw_cpp).arg("kind", "str").returns("None"));
    m.function(Function("throw_cpp_later", throw_cpp).arg("kind", "str").returns("None").coroutine());
}

}  // namespace

KELVANE_MODULE(_frame_probe, "kelvane_analytics_utils._frame_probe", declare)
