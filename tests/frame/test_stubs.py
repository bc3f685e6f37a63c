"""The type stubs shipped beside each module describe the functions it really has."""

import ast
import importlib
import inspect
import pathlib


def stub_functions(tree):
    """(class name or None, function node) of every function a stub declares."""
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    yield node.name, item
        elif isinstance(node, ast.FunctionDef):
            yield None, node


def declared(node):
    """Parameter names and literal defaults as the stub declares them."""
    args = node.args
    names = [a.arg for a in args.args]
    defaults = [ast.literal_eval(d) for d in args.defaults]
    return names, defaults, args.kwarg is not None


def test_package_is_marked_typed(module_name):
    module = importlib.import_module(module_name)
    package = pathlib.Path(importlib.import_module("carvola").__file__).parent
    assert (package / "py.typed").is_file()
    assert pathlib.Path(module.__file__).with_name(module_name.rpartition(".")[2] + ".pyi").is_file()


def test_stub_matches_the_runtime_signatures(module_name):
    module = importlib.import_module(module_name)
    stub = pathlib.Path(module.__file__).with_name(module_name.rpartition(".")[2] + ".pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    seen = set()
    for class_name, node in stub_functions(tree):
        owner = getattr(module, class_name) if class_name else module
        raw = inspect.getattr_static(owner, node.name)
        function = raw.__func__ if isinstance(raw, (staticmethod, classmethod)) else raw
        signature = inspect.signature(function)
        positional = [p for p in signature.parameters.values() if p.kind is p.POSITIONAL_OR_KEYWORD]
        names, defaults, var_keywords = declared(node)
        assert names == [p.name for p in positional], f"{class_name}.{node.name}"
        assert defaults == list(function.__defaults__ or ()), f"{class_name}.{node.name}"
        assert var_keywords == any(p.kind is p.VAR_KEYWORD for p in signature.parameters.values())
        decorators = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
        assert ("staticmethod" in decorators) == isinstance(raw, staticmethod)
        assert ("classmethod" in decorators) == isinstance(raw, classmethod)
        seen.add((class_name, node.name))
    for owner in [module, *(v for v in vars(module).values() if isinstance(v, type))]:
        for name, raw in vars(owner).items():
            function = raw.__func__ if isinstance(raw, (staticmethod, classmethod)) else raw
            if type(function).__name__ == "function" and type(function).__module__ == "carvola":
                key = (owner.__name__ if owner is not module else None, name)
                assert key in seen, f"the stub lacks {key}"
