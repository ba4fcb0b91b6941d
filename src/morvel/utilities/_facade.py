"""Helpers of the public facade modules."""
from __future__ import annotations

import inspect
import types
from typing import Any


def doctest_table(*modules: types.ModuleType) -> dict[str, Any]:
    """The objects of ``modules`` whose docstrings hold examples, keyed by
    module and qualified name, for a facade's ``__test__``: doctest only
    looks at objects defined in the module it is given, and a facade defines
    none itself."""
    table: dict[str, Any] = {}

    def add(key: str, obj: Any) -> None:
        if ">>>" in (getattr(obj, "__doc__", None) or ""):
            table[key] = obj

    for module in modules:
        for name, obj in vars(module).items():
            if getattr(obj, "__module__", None) != module.__name__:
                continue
            if inspect.isfunction(obj):
                add(f"{module.__name__}.{name}", obj)
            elif inspect.isclass(obj):
                add(f"{module.__name__}.{name}", obj)
                for attr, member in vars(obj).items():
                    if isinstance(member, (staticmethod, classmethod)):
                        member = member.__func__
                    elif isinstance(member, property):
                        member = member.fget
                    if inspect.isfunction(member):
                        add(f"{module.__name__}.{name}.{attr}", member)
    return table
