"""What Python code sees of every operation: inspect.signature() through every
way an operation is reached, the function attributes behind it, and help()."""

from __future__ import annotations

import copy
import functools
import importlib
import inspect
import multiprocessing
import pickle
import pydoc
import re
import typing
from concurrent.futures import ProcessPoolExecutor

import pytest
from helpers_package import MODULES
from helpers_surface import rendered

PATH = "path: 'Path | str'"
PATH_NAME = f"{PATH}, name: 'str'"
DESCRIPTION = "'dict[str, list[str | dict[str, Any]]]'"
COLUMNS = "'list[str] | tuple[str, ...]'"

# (module, class or None, operation, kind, signature as reached through the
# class, or through the module for a function). Kinds: "logged" a static
# operation decorated by the logging facility, "static" a plain static method,
# "logged-method" / "method" an instance method, "function" a module function.
OPERATIONS = [
    ("tools.folders.folders", "Folder", "exists", "logged", f"({PATH}) -> 'bool'"),
    ("tools.folders.folders", "Folder", "create", "logged", f"({PATH}, recursive: 'bool' = True)"),
    ("tools.folders.folders", "Folder", "count", "logged",
     f"({PATH}, files: 'bool' = True, folders: 'bool' = False, mask: 'str' = '*', recursive: 'bool' = False)"
     " -> 'int'"),
    ("tools.folders.folders", "Folder", "remove", "logged", f"({PATH}, recursive: 'bool' = False)"),
    ("tools.files.files", "File", "exists", "logged", f"({PATH_NAME}) -> 'bool'"),
    ("tools.files.files", "File", "read", "logged", f"({PATH_NAME}) -> 'bytes'"),
    ("tools.files.files", "File", "write", "logged", f"({PATH_NAME}, content: 'bytes' = None)"),
    ("tools.files.files", "File", "rename", "logged", f"({PATH_NAME}, new_name: 'str')"),
    ("tools.files.files", "File", "copy", "logged",
     f"({PATH_NAME}, new_path: 'Path | str', new_name: 'str' = None)"),
    ("tools.files.files", "File", "lock", "logged", f"({PATH_NAME}) -> 'IO[Any]'"),
    ("tools.files.files", "File", "unlock", "logged", "(file: 'IO[Any]')"),
    ("tools.files.files", "File", "remove", "logged", f"({PATH_NAME})"),
    ("tools.tables.tables", "Table", "__init__", "logged-method", f"(self, table: {DESCRIPTION} = None)"),
    ("tools.tables.tables", "Table", "__repr__", "method", "(self) -> 'str'"),
    ("tools.tables.tables", "Table", "__str__", "method", "(self) -> 'str'"),
    ("tools.tables.tables", "Table", "filter", "logged-method",
     f"(self, include: {COLUMNS} = None, exclude: {COLUMNS} = None)"),
    ("tools.common.slotwarden", "SlotWarden", "__init__", "method", "(self, obj: 'Any', attr: 'str')"),
    ("tools.common.slotwarden", "SlotWarden", "get_name", "static", "(obj: 'Any', attr: 'str') -> 'str'"),
    ("tools.common.slotwarden", "SlotWarden", "get_attribute", "static", "(obj: 'Any', attr: 'str') -> 'Any'"),
    ("tools.common.slotwarden", "SlotWarden", "set_attribute", "static",
     "(obj: 'Any', attr: 'str', value: 'Any')"),
    ("tools.common.slotwarden", "SlotWarden", "has_attribute", "static", "(obj: 'Any', attr: 'str') -> 'bool'"),
    ("tools.common.bulkshade", None, "bulkshade", "function", "(value: 'Any' = None) -> 'Any'"),
    ("tools.common.secretshroud", None, "secretshroud", "function",
     "(name: 'str' = None, value: 'Any' = None) -> 'Any'"),
    ("tools.common.whereabouts", None, "whereabouts", "function",
     "(file: 'Path | str' = None, func: 'Callable | Type' = None) -> 'Path | None'"),
    ("tools.launchbrief.launchbrief", None, "launchbrief", "function",
     "(prefix: 'str' = 'app', name: 'str' = 'main', separator: 'str' = ':')"),
    ("tools.facility.facility", None, "logging", "function", "(prefix: 'str') -> 'Callable[[Any], Any]'"),
    ("tools.facility.facility", None, "register", "function", "(parent: 'str' = None)"),
    ("tools.facility.facility", "OperationLogger", "__init__", "method", "(self, name: 'str')"),
    ("tools.facility.facility", "OperationLogger", "debug", "method",
     "(self, message: 'str', date_: 'bool' = False, indent: 'bool' = False)"),
]

# (module, class, property, getter signature, setter signature or None)
PROPERTIES = [
    ("tools.tables.tables", "Table", "columns", "(self) -> 'list[str]'", None),
    ("tools.tables.tables", "Table", "data", "(self) -> 'list[dict[str, Any]]'", None),
    ("tools.common.slotwarden", "SlotWarden", "name", "(self) -> 'str'", None),
    ("tools.common.slotwarden", "SlotWarden", "value", "(self) -> 'Any'", "(self, value: 'Any')"),
    ("tools.common.slotwarden", "SlotWarden", "exists", "(self) -> 'bool'", None),
    ("tools.facility.facility", "OperationLogger", "name", "(self) -> 'str'", None),
]

# An instance of each class, made the ordinary way.
INSTANCES = {
    "Folder": lambda cls: cls(),
    "File": lambda cls: cls(),
    "Table": lambda cls: cls({"columns": ["a"], "data": [{"a": 1}]}),
    "SlotWarden": lambda cls: cls(cls, "__name__"),
    "OperationLogger": lambda cls: cls("tools.tests"),
}


def test_the_tables_cover_every_operation_of_every_module():
    listed = {(module, owner, name) for module, owner, name, *_ in OPERATIONS + PROPERTIES}
    found = set()
    for module in MODULES:
        namespace = importlib.import_module(module)
        for name, value in vars(namespace).items():
            if getattr(value, "__module__", None) != module or name.startswith("_"):
                continue
            if not isinstance(value, type):
                found.add((module, None, name))
                continue
            found |= {(module, name, member) for member, entry in vars(value).items()
                      if member in ("__init__", "__repr__", "__str__")
                      or not member.startswith("_") and (isinstance(entry, (staticmethod, property)) or callable(entry))}
    assert found == listed


def owner_of(module: str, owner: str | None):
    namespace = importlib.import_module(module)
    return namespace if owner is None else getattr(namespace, owner)


def ways_in(module: str, owner: str | None, name: str, kind: str):
    """Every way Python code reaches the operation, with the signature each
    should show: `True` with self, `False` without."""
    holder = owner_of(module, owner)
    if kind == "function":
        return [("module attribute", getattr(holder, name), True)]
    stored = holder.__dict__[name]
    instance = INSTANCES[owner](holder)
    method = kind.endswith("method")
    ways = [
        ("through the class", getattr(holder, name), True),
        ("class attribute as stored", stored, True),
        ("through an instance", getattr(instance, name), not method),
    ]
    if kind.startswith("logged"):
        ways.append(("undecorated", inspect.unwrap(stored), True))
    return ways


def native(module: str, owner: str | None, name: str):
    """The operation's own function object, beneath any decoration."""
    holder = owner_of(module, owner)
    found = holder.__dict__[name] if owner else getattr(holder, name)
    return inspect.unwrap(found.__func__ if isinstance(found, staticmethod) else found)


def without_self(signature: str) -> str:
    return re.sub(r"^\(self(, )?", "(", signature)


@pytest.mark.parametrize("module, owner, name, kind, signature", OPERATIONS,
                         ids=[f"{owner or module.rsplit('.', 1)[1]}.{name}" for module, owner, name, *_ in OPERATIONS])
def test_signature_through_every_way_in(module, owner, name, kind, signature):
    for way, reached, with_self in ways_in(module, owner, name, kind):
        shown = str(inspect.signature(reached))
        assert shown == (signature if with_self else without_self(signature)), way


@pytest.mark.parametrize("module, owner, name, kind, signature", OPERATIONS,
                         ids=[f"{owner or module.rsplit('.', 1)[1]}.{name}" for module, owner, name, *_ in OPERATIONS])
def test_function_attributes_agree_with_the_signature(module, owner, name, kind, signature):
    function = native(module, owner, name)
    parameters = inspect.signature(function).parameters.values()
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)
    annotations = {p.name: p.annotation for p in parameters if p.annotation is not inspect.Parameter.empty}
    returns = inspect.signature(function).return_annotation
    if returns is not inspect.Signature.empty:
        annotations["return"] = returns
    assert function.__annotations__ == annotations
    assert all(type(text) is str for text in function.__annotations__.values())
    defaults = tuple(p.default for p in parameters if p.default is not inspect.Parameter.empty)
    assert function.__defaults__ == (defaults or None)
    assert (function.__name__, function.__module__) == (name, module)
    assert function.__qualname__ == (f"{owner}.{name}" if owner else name)
    assert type(function).__name__ == "native_function"


@pytest.mark.parametrize("module, owner, name, getter, setter", PROPERTIES,
                         ids=[f"{owner}.{name}" for _, owner, name, *_ in PROPERTIES])
def test_property_signatures(module, owner, name, getter, setter):
    prop = owner_of(module, owner).__dict__[name]
    assert isinstance(prop, property)
    assert str(inspect.signature(prop.fget)) == getter
    assert (prop.fset and str(inspect.signature(prop.fset))) == setter
    assert prop.fdel is None
    assert prop.__doc__ == prop.fget.__doc__


def _python_function(x: "int") -> "str":
    pass


@pytest.mark.parametrize("module, owner, name, kind, signature", OPERATIONS,
                         ids=[f"{owner or module.rsplit('.', 1)[1]}.{name}" for module, owner, name, *_ in OPERATIONS])
def test_annotations_reach_every_way_in_as_a_python_function_s_do(module, owner, name, kind, signature):
    # A decorator made with functools.wraps copies __annotations__, or on
    # interpreters whose functions have it, __annotate__ in its place.
    function = native(module, owner, name)
    assert hasattr(function, "__annotate__") == hasattr(_python_function, "__annotate__")
    if hasattr(function, "__annotate__"):
        assert function.__annotate__(1) == function.__annotations__
        assert function.__annotate__(1) is not function.__annotate__(1)  # a new dict, as a Python function's
        with pytest.raises(NotImplementedError):
            function.__annotate__(2)
    for way, reached, _ in ways_in(module, owner, name, kind):
        if inspect.ismethod(reached):
            reached = reached.__func__
        assert inspect.get_annotations(reached) == function.__annotations__, way


@pytest.mark.parametrize("module, owner", [("tools.tables.tables", "Table"), ("tools.common.slotwarden", "SlotWarden")])
def test_calling_the_class_shows_the_constructor(module, owner):
    cls = owner_of(module, owner)
    assert str(inspect.signature(cls)) == without_self(str(inspect.signature(cls.__init__)))


def flat(text: str) -> str:
    """Text without layout: pydoc wraps long signatures over several lines
    and puts a bar in front of every line of a class."""
    return re.sub(r"[\s|]", "", text)


@pytest.mark.parametrize("module, owner", sorted({(module, owner) for module, owner, *_ in OPERATIONS}, key=str))
def test_help_renders_every_signature_and_docstring(module, owner):
    holder = owner_of(module, owner)
    text = pydoc.render_doc(holder, renderer=pydoc.plaintext)
    operations = [(name, kind, signature) for m, o, name, kind, signature in OPERATIONS if (m, o) == (module, owner)]
    assert operations
    for name, kind, signature in operations:
        shown = signature if kind.endswith("method") else without_self(signature)
        assert flat(rendered(name, shown)) in flat(text), name
        for line in filter(None, (line.strip() for line in (native(module, owner, name).__doc__ or "").splitlines())):
            assert flat(line) in flat(text), (name, line)


IDS = [f"{owner or module.rsplit('.', 1)[1]}.{name}" for module, owner, name, *_ in OPERATIONS]


@pytest.mark.parametrize("module, owner, name, kind, signature", OPERATIONS, ids=IDS)
def test_type_hints_resolve_in_the_module(module, owner, name, kind, signature):
    """The annotation texts evaluate against the module that binds their
    names, through the decorated operation as through the function itself."""
    function = native(module, owner, name)
    namespace = vars(importlib.import_module(module))
    expected = {key: eval(text, namespace) for key, text in function.__annotations__.items()}
    assert function.__globals__ is namespace
    for way, reached, _ in ways_in(module, owner, name, kind):
        if inspect.ismethod(reached):
            reached = reached.__func__
        assert typing.get_type_hints(reached) == expected, way
    assert inspect.get_annotations(function, eval_str=True) == expected
    assert all(type(text) is str for text in function.__annotations__.values())
    with pytest.raises(AttributeError):
        function.__globals__ = {}


# Operations reached as the function object itself (not the facility's
# decoration), as a caller would hand them to pickle or a process pool.
BY_REFERENCE = [(module, owner, name) for module, owner, name, kind, _ in OPERATIONS if not kind.startswith("logged")]


@pytest.mark.parametrize("module, owner, name", BY_REFERENCE, ids=[f"{o or m.rsplit('.', 1)[1]}.{n}"
                                                                  for m, o, n in BY_REFERENCE])
def test_operations_pickle_and_copy_by_reference(module, owner, name):
    function = getattr(owner_of(module, owner), name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function
    assert copy.deepcopy([function])[0] is function
    if owner == "Table":
        cls = owner_of(module, owner)
        table = INSTANCES[owner](cls)
        try:
            assert pickle.loads(pickle.dumps(getattr(table, name)))() == getattr(table, name)()
        finally:
            # pickling an instance caches its slot names on the class
            vars(cls).get("__slotnames__") is not None and delattr(cls, "__slotnames__")


def test_a_process_pool_runs_the_walkers():
    from tools.common.bulkshade import bulkshade
    from tools.common.secretshroud import secretshroud

    settings = {"masked": functools.partial(secretshroud, "pwd")}
    assert copy.deepcopy(settings)["masked"].func is secretshroud
    values = ["x" * 5000, [1, None], {"pwd": "s"}]
    # a fresh interpreter, which finds each function again by its name
    with ProcessPoolExecutor(max_workers=1, mp_context=multiprocessing.get_context("spawn")) as pool:
        assert list(pool.map(bulkshade, values)) == [bulkshade(value) for value in values]
        assert list(pool.map(settings["masked"], values)) == [secretshroud("pwd", value) for value in values]
