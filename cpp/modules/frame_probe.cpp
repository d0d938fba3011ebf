// kelvane_analytics_utils._frame_probe
//
// A small module that uses every declaration form of the frame. The tests and
// the benchmarks of the frame import it; the package's modules do not.
#include "frame/frame.hpp"

namespace {

using namespace kelvane;

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

void declare(Module &m) {
    m.import_from("abc", {"ABC", "abstractmethod"});
    m.import_from("typing", {"Any", "Dict", "List", "Optional"});
    m.import("strawberry");
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});

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
}

}  // namespace

KELVANE_MODULE(_frame_probe, "kelvane_analytics_utils._frame_probe", declare)
