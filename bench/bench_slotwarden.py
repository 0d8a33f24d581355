"""Attribute access by name: the cost of one call, against a plain-Python class."""

from typing import Any

from run import Case
from tools.common.slotwarden import SlotWarden


class PySlotWarden:
    __slots__ = ("__obj", "__attr")

    def __init__(self, obj: Any, attr: str):
        self.__obj = obj
        self.__attr = attr

    @property
    def value(self) -> Any:
        return PySlotWarden.get_attribute(obj=self.__obj, attr=self.__attr)

    @property
    def exists(self) -> bool:
        return PySlotWarden.has_attribute(obj=self.__obj, attr=self.__attr)

    @staticmethod
    def get_name(obj: Any, attr: str) -> str:
        if not attr.startswith("__") or attr.startswith("___") or attr.endswith("__"):
            return attr
        cls = obj if isinstance(obj, type) else obj.__class__
        return "_" + cls.__name__.lstrip("_") + attr

    @staticmethod
    def get_attribute(obj: Any, attr: str) -> Any:
        return object.__getattribute__(obj, PySlotWarden.get_name(obj=obj, attr=attr))

    @staticmethod
    def set_attribute(obj: Any, attr: str, value: Any):
        object.__setattr__(obj, PySlotWarden.get_name(obj=obj, attr=attr), value)

    @staticmethod
    def has_attribute(obj: Any, attr: str) -> bool:
        try:
            _ = PySlotWarden.get_attribute(obj=obj, attr=attr)
        except AttributeError:
            return False
        return True


class Vault:
    def __init__(self):
        self.__balance = 10
        self.owner = "ann"


def cases():
    vault = Vault()
    for warden, label in ((SlotWarden, "native"), (PySlotWarden, "python")):
        assert warden.get_attribute(vault, "__balance") == 10
    yield Case("SlotWarden.get_name, private name",
               lambda: SlotWarden.get_name(vault, "__balance"), lambda: PySlotWarden.get_name(vault, "__balance"))
    yield Case("SlotWarden.get_attribute, private name",
               lambda: SlotWarden.get_attribute(vault, "__balance"),
               lambda: PySlotWarden.get_attribute(vault, "__balance"))
    yield Case("SlotWarden.get_attribute, public name",
               lambda: SlotWarden.get_attribute(vault, "owner"), lambda: PySlotWarden.get_attribute(vault, "owner"))
    yield Case("SlotWarden.set_attribute, private name",
               lambda: SlotWarden.set_attribute(vault, "__balance", 10),
               lambda: PySlotWarden.set_attribute(vault, "__balance", 10))
    yield Case("SlotWarden.has_attribute, missing name",
               lambda: SlotWarden.has_attribute(vault, "__missing"),
               lambda: PySlotWarden.has_attribute(vault, "__missing"))
    native, python = SlotWarden(vault, "__balance"), PySlotWarden(vault, "__balance")
    yield Case("SlotWarden(...).value", lambda: native.value, lambda: python.value)
    yield Case("SlotWarden(...).exists", lambda: native.exists, lambda: python.exists)
