"""The module frame through its private probe module, which uses every
declaration form: functions, records, enums and views declared from C++.
The probe is built for the development build only (KELVANE_PROBE=1); a wheel
leaves it out, and these tests are then skipped."""
import asyncio
import copy
import inspect
import pickle
import pydoc
import sys
import typing
import warnings

import pydantic
import pytest
import strawberry

fp = pytest.importorskip(
    "kelvane_analytics_utils._frame_probe",
    reason="the private probe module is built only for the development build (KELVANE_PROBE=1)")


# ------------------------------------------------------------------ functions

P = fp.Probe


@pytest.fixture
def probe():
    return P(name="a", size=2)


def test_functions_carry_names_and_annotation_texts():
    assert P.text.__name__ == "text"
    assert P.text.__qualname__ == "Probe.text"
    assert P.text.__module__ == "kelvane_analytics_utils._frame_probe"
    assert P.text.__annotations__ == {"value": "str", "return": "str"}
    assert P.build.__doc__ == "Build one."
    assert fp.noop.__qualname__ == "noop"


@pytest.mark.parametrize(
    "function, text",
    [
        (P.text, "(self, value: 'str') -> 'str'"),
        (P.with_default, "(self, value: 'Optional[str]' = 'x') -> 'Any'"),
        (P.options, "(self, value: 'Any', **kwds: 'Any') -> 'Any'"),
        (P.__init__, "(self, **kwargs: 'Any')"),
        (P.build, "(value: 'Any') -> \"'Probe'\""),
        (P._helper, "(unused: 'Any', value: 'Any') -> 'Any'"),
        (fp.noop, "(a: 'Any') -> 'None'"),
    ],
)
def test_signature_shows_parameters_and_annotation_texts(function, text):
    assert str(inspect.signature(function)) == text


def test_bound_method_signature_drops_self(probe):
    assert str(inspect.signature(probe.text)) == "(value: 'str') -> 'str'"
    assert isinstance(probe.text, type(probe.model_dump))  # a real bound method
    assert probe.text.__self__ is probe


@pytest.mark.parametrize(
    "method, value, message",
    [
        ("text", None, "Argument 'value' has incorrect type (expected str, got NoneType)"),
        ("text", 1, "Argument 'value' has incorrect type (expected str, got int)"),
        ("text", type("Sub", (str,), {})("x"), "Argument 'value' has incorrect type (expected str, got Sub)"),
        ("maybe_float", 1, "Argument 'value' has incorrect type (expected float, got int)"),
        ("as_list", (), "Argument 'value' has incorrect type (expected list, got tuple)"),
        ("as_dict", {"a": 1}, "Expected int, got dict"),
        ("as_dict", True, "Argument 'value' has incorrect type (expected dict, got bool)"),
        ("number", True, "Expected int, got bool"),
        ("number", 1.0, "Expected int, got float"),
    ],
)
def test_argument_and_result_checks_give_the_exact_message(probe, method, value, message):
    with pytest.raises(TypeError) as err:
        getattr(probe, method)(value)
    assert str(err.value) == message


@pytest.mark.parametrize(
    "method, value",
    [("maybe_float", None), ("maybe_float", 1.5), ("as_list", []), ("loose", 3), ("loose", None), ("number", None)],
)
def test_values_that_pass_the_checks(probe, method, value):
    assert getattr(probe, method)(value) == value


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: p.text(), "text() missing 1 required positional argument: 'value'"),
        (lambda p: p.text("a", "b"), "text() takes 2 positional arguments but 3 were given"),
        (lambda p: p.text("a", value="b"), "text() got multiple values for argument 'value'"),
        (lambda p: p.text(other="b"), "text() got an unexpected keyword argument 'other'"),
    ],
)
def test_argument_binding_errors(probe, call, message):
    with pytest.raises(TypeError) as err:
        call(probe)
    assert str(err.value) == message


def test_keywords_defaults_and_kwargs(probe):
    assert probe.text(value="k") == "k"
    assert probe.with_default() == (probe, "x")
    assert probe.options(1, b=2, a=3) == (1, {"b": 2, "a": 3})
    assert P.build(4) == (P, 4)
    assert probe._helper(1, 2) == 2


def test_calls_do_not_leak_references(probe):
    value = object()
    before = sys.getrefcount(value)
    for _ in range(1000):
        probe.loose(value)
        probe.options(value, k=value)
        with pytest.raises(TypeError):
            probe.text(value)
    assert sys.getrefcount(value) == before


def test_functions_pickle_and_copy_by_reference():
    assert pickle.loads(pickle.dumps(fp.noop)) is fp.noop
    assert pickle.loads(pickle.dumps(P.text)) is P.text
    assert copy.deepcopy(P.text) is P.text
    assert copy.deepcopy(P) is P


# ------------------------------------------------------------------ records


def test_record_fields_in_declaration_order_base_first():
    assert list(P.model_fields) == ["name", "size", "tags", "colour"]
    assert P.__annotations__ == {"size": "int", "tags": "List[str]", "colour": "Optional[Colour]"}
    assert list(P(name="n").model_dump()) == ["name", "size", "tags", "colour"]
    assert P.model_fields["colour"].annotation == fp.Colour | None


def test_record_defaults_are_fresh_per_instance():
    a, b = P(name="a"), P(name="b")
    a.tags.append("x")
    assert b.tags == []


def test_missing_field_and_failing_validators_raise_validation_errors():
    with pytest.raises(pydantic.ValidationError) as err:
        fp.AbstractProbe.model_validate({})
    with pytest.raises(pydantic.ValidationError) as err:
        P(name="x", size=-1)
    assert "size must not be negative" in str(err.value)


def test_custom_init_and_before_validator():
    assert P().name == "unnamed"
    assert P.model_validate("zed").name == "zed"
    assert P.model_validate({"size": 3}) == P(name="unnamed", size=3)


def test_abstract_record_cannot_be_built():
    assert fp.AbstractProbe.__abstractmethods__ == frozenset({"label"})
    with pytest.raises(TypeError):
        fp.AbstractProbe(name="x")
    assert P(name="n", size=1).label() == "n:1"


def test_records_and_enum_members_pickle():
    record = P(name="p", size=1, colour="green")
    assert record.colour is fp.Colour.GREEN
    assert pickle.loads(pickle.dumps(record)) == record
    assert pickle.loads(pickle.dumps(fp.Colour.RED)) is fp.Colour.RED


def test_enum_on_str_with_declared_values():
    assert [m.value for m in fp.Colour] == ["RED", "green"]
    assert fp.Colour.RED == "RED"
    assert fp.Colour.__mro__[1:3] == (str, fp.Colour.__mro__[2])
    assert fp.Colour.__module__ == "kelvane_analytics_utils._frame_probe"


# ------------------------------------------------------------------ views


def test_view_with_coroutine_resolver_through_a_schema():
    resolver = {f.name: f.base_resolver for f in fp.ProbeType.__strawberry_definition__.fields}["shown_name"]
    assert resolver.is_async
    assert inspect.iscoroutinefunction(fp.ProbeType.shown_name)

    @strawberry.type
    class Query:
        @strawberry.field
        def probe(self) -> fp.ProbeType:
            return fp.ProbeType.from_pydantic(P(name="seen", size=5))

        @strawberry.field
        def colour(self) -> fp.Colour:
            return fp.Colour.GREEN

    schema = strawberry.Schema(query=Query)
    result = asyncio.run(schema.execute("{ probe { name size shownName } colour }"))
    assert result.errors is None
    assert result.data == {"probe": {"name": "seen", "size": 5, "shownName": "seen"}, "colour": "GREEN"}


def test_awaitable_returns_tuples_whole_and_raises_when_awaited():
    async def run(value):
        return await fp.later(value)

    assert asyncio.run(run(("a", "b"))) == ("a", "b")
    pending = fp.ProbeType.shown_name(None, parent=object())  # fails only when awaited
    with pytest.raises(AttributeError):
        asyncio.run(_await(pending))


async def _await(awaitable):
    return await awaitable


async def _native(value):
    return value


def _thrown(coroutine, args):
    """What throw(*args) raises and warns, then what resuming the coroutine gives."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            coroutine.throw(*args)
        except BaseException as e:
            first = (type(e), str(e))
    try:
        coroutine.send(None)
    except BaseException as e:
        second = (type(e), e.value if isinstance(e, StopIteration) else str(e))
    coroutine.close()
    return first, [w.category for w in caught], second


@pytest.mark.parametrize("args", [
    (5,), (None,), ("text",), (ValueError,), (ValueError("given"),), (KeyError, "k"), (ValueError, ("a", 1)),
    (ValueError("given"), "separate"), (ValueError, None, None), (ValueError, None, 5), (), (ValueError, 1, None, 2),
])
def test_awaitable_throw_answers_as_a_native_coroutine(args):
    assert _thrown(fp.later(1), args) == _thrown(_native(1), args)




@pytest.mark.parametrize(("kind", "error"), [("bad_alloc", MemoryError), ("other", SystemError)])
def test_cpp_exceptions_become_python_exceptions(kind, error):
    with pytest.raises(error, match=None if kind == "bad_alloc" else "probe failure: other"):
        fp.throw_cpp(kind)
    with pytest.raises(error):
        asyncio.run(fp.throw_cpp_later(kind))
    assert fp.noop(None) is None   # the interpreter carries on


def test_host_helpers_iterate_log_and_reraise_with_prefix(monkeypatch):
    events = []

    class Logger:
        def info(self, message):
            events.append(message)

    monkeypatch.setattr(fp, "logger", Logger())
    items = [1, 2.0, "x"]
    assert fp.walk(items, 2, None) == [1, "x"]
    assert fp.walk(iter(items), "y", None) == items
    assert events == ["1", "x", "1", "2.0", "x"]

    def fail():
        raise KeyError("gone")

    with pytest.raises(KeyError) as caught:
        fp.walk([], 3, fail)
    assert caught.value.args == ("Probe 3: 'gone'",)
    assert isinstance(caught.value.__cause__, KeyError)
    with pytest.raises(KeyboardInterrupt):   # outside Exception: unchanged
        fp.walk([], 3, lambda: (_ for _ in ()).throw(KeyboardInterrupt))
    monkeypatch.delattr(fp, "logger")
    with pytest.raises(NameError, match="Probe 0: name 'logger' is not defined"):
        fp.walk([1], 0, None)


def test_annotation_texts_resolve_in_the_declaring_module_and_help_names_functions():
    from kelvane_analytics_utils.predictive_models.preparation import discretisation as d

    assert fp.noop.__globals__ is vars(fp)
    hints = typing.get_type_hints(d.AttributeBinning.bin_numeric_attribute)
    assert hints == {"value": typing.Optional[typing.Union[int, float]], "return": typing.Optional[float]}
    assert inspect.get_annotations(fp.Probe.as_dict, eval_str=True) == {
        "value": typing.Dict[str, typing.Any], "return": typing.Optional[int]}
    assert "noop(self, a: 'Any') -> 'None'" in pydoc.render_doc(fp.Plain.noop, renderer=pydoc.plaintext)


# ------------------------------------------------------------------ classes owning a C++ object


def test_native_class_owns_its_object_and_checks_self():
    tag = object()
    t = fp.Tally(2, tag)
    t.add(3)
    assert (t.total, t.tag) == (5, tag)
    assert fp.Tally.__module__ == fp.__name__ and fp.Tally.__qualname__ == "Tally"
    assert str(inspect.signature(fp.Tally.add)) == "(self, n: 'int') -> 'None'"
    assert fp.Tally.total.__doc__ == "The sum so far."
    assert pickle.loads(pickle.dumps(t)) == t and copy.deepcopy(t) == t and t != fp.Tally(4)
    assert (t == 5) is False
    with pytest.raises(TypeError, match="unhashable"):
        hash(t)
    for call in (lambda: fp.Tally.add(3, 1), lambda: fp.Tally.total.fget("x"), lambda: fp.Tally.__new__(int, 1)):
        with pytest.raises(TypeError, match="Tally"):
            call()
    with pytest.raises(TypeError, match="not initialised"):
        object.__new__(fp.Tally).add(1)
    with pytest.raises(TypeError):
        t.add("1")
    for change in (lambda: setattr(fp.Tally, "add", None), lambda: setattr(t, "total", 1)):
        with pytest.raises((TypeError, AttributeError)):
            change()
    with pytest.raises(TypeError):
        type("Sub", (fp.Tally,), {})
    before = sys.getrefcount(tag)
    del t
    assert sys.getrefcount(tag) == before - 1


def test_native_instances_in_a_cycle_are_collected():
    import gc
    import weakref

    class Holder:
        pass

    holder = Holder()
    holder.tally = fp.Tally(0, holder)
    alive = weakref.ref(holder)
    del holder
    gc.collect()
    assert alive() is None
