"""The source analysis behind a code version (kevro.versions): which module-level statements
of a module bind each name, and which names a statement reads from the module's namespace, at
once or when the functions and classes it defines run. Pure `ast` work on the source texts of
the inspection report; nothing is imported or run."""

from __future__ import annotations

import ast
import textwrap
from typing import Dict, Iterable, List, Optional, Sequence, Set


class Module:
    """The module-level statements of one module source and the names each binds and reads."""

    def __init__(self, source: str, tree: ast.Module) -> None:
        self.lines = source.splitlines(keepends=True)
        self.statements: List[ast.stmt] = list(_module_level(tree.body))
        self.binders: Dict[str, List[int]] = {}  # name -> positions of the statements binding it
        self.stars: List[int] = []  # positions of `from x import *`
        self.functions: Dict[str, List[int]] = {}  # def name -> positions
        may_declare = "global" in source
        for position, stmt in enumerate(self.statements):
            for name in _bound(stmt, may_declare):
                self.binders.setdefault(name, []).append(position)
            if isinstance(stmt, ast.ImportFrom) and any(a.name == "*" for a in stmt.names):
                self.stars.append(position)
            if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)):
                self.functions.setdefault(stmt.name, []).append(position)
        self._reads: Dict[int, Set[str]] = {}
        self._texts: Dict[int, str] = {}

    @classmethod
    def parse(cls, source: str) -> Optional["Module"]:
        try:
            return cls(source, ast.parse(source))
        except (SyntaxError, ValueError, RecursionError):
            return None

    def text(self, position: int) -> str:
        text = self._texts.get(position)
        if text is None:
            stmt = self.statements[position]
            first = min([stmt.lineno] + [d.lineno for d in getattr(stmt, "decorator_list", [])])
            text = self._texts[position] = "".join(self.lines[first - 1:stmt.end_lineno])
        return text

    def reads(self, position: int) -> Set[str]:
        found = self._reads.get(position)
        if found is None:
            found = self._reads[position] = _reads(self.statements[position], decorators=True)
        return found

    def _definition(self, name: str, source: str) -> Optional[int]:
        for position in self.functions.get(name, ()):
            if _normalised(self.text(position)) == source:
                return position
        return None

    def defines(self, name: str, source: str) -> bool:
        """Whether a module-level def of `name` has exactly the text `source`."""
        return self._definition(name, source) is not None

    def reads_of_function(self, name: str, source: str) -> Set[str]:
        """The module-level names that the asset function `name` defined by `source` reads."""
        position = self._definition(name, source)
        assert position is not None
        return _reads(self.statements[position], decorators=False)

    def closure(self, reads: Iterable[str]) -> Dict[str, str]:
        """For every module-level name reached from `reads` through the statements binding
        them, the text of those statements; names the module does not bind are left out,
        unless a star import may bind them, whose text then stands under "*"."""
        texts: Dict[str, str] = {}
        stack = list(reads)
        seen: Set[str] = set()
        while stack:
            name = stack.pop()
            if name in seen:
                continue
            seen.add(name)
            positions = self.binders.get(name)
            if positions is None:
                if self.stars and "*" not in texts:
                    texts["*"] = "".join(self.text(p) for p in self.stars)
                continue
            texts[name] = "".join(self.text(p) for p in positions)
            for position in positions:
                stack.extend(self.reads(position))
        return texts


def _normalised(text: str) -> str:
    """A statement's lines as discovery gives a function's source: dedented, stripped, one line
    feed at the end."""
    return textwrap.dedent(text).strip() + "\n"


def reads_of_source(source: str) -> Optional[Set[str]]:
    """The module-level names that a function's own source text reads (its decorators left
    out when it is a def); None when it cannot be parsed."""
    try:
        body = ast.parse(source).body
    except (SyntaxError, ValueError, RecursionError):
        return None
    found: Set[str] = set()
    for stmt in body:
        found |= _reads(stmt, decorators=not isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)))
    return found


def _module_level(body: Sequence[ast.stmt]) -> Iterable[ast.stmt]:
    """The statements that run at module level: those of the body, and those inside its if and
    try blocks (each one on its own)."""
    for stmt in body:
        if isinstance(stmt, ast.If):
            yield from _module_level(stmt.body)
            yield from _module_level(stmt.orelse)
        elif isinstance(stmt, ast.Try):
            yield from _module_level(stmt.body)
            for handler in stmt.handlers:
                yield from _module_level(handler.body)
            yield from _module_level(stmt.orelse)
            yield from _module_level(stmt.finalbody)
        else:
            yield stmt


def _target_names(target: ast.AST) -> Iterable[str]:
    """The module-level names an assignment target binds or changes: `X`, and the X of
    `X[k]`, `X.a` and of unpacked targets."""
    while isinstance(target, (ast.Attribute, ast.Subscript, ast.Starred)):
        target = target.value
    if isinstance(target, ast.Name):
        yield target.id
    elif isinstance(target, (ast.Tuple, ast.List)):
        for element in target.elts:
            yield from _target_names(element)


def _bound(stmt: ast.stmt, may_declare: bool) -> Set[str]:
    """The module-level names that a module-level statement binds or may change."""
    names: Set[str] = set()
    if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
        names.add(stmt.name)
        if may_declare:
            # `global X` in a function or method: calling it rebinds X.
            for node in ast.walk(stmt):
                if isinstance(node, ast.Global):
                    names.update(node.names)
    elif isinstance(stmt, (ast.Import, ast.ImportFrom)):
        for alias in stmt.names:
            if alias.name != "*":
                names.add(alias.asname or alias.name.split(".")[0])
    elif isinstance(stmt, ast.Assign):
        for target in stmt.targets:
            names.update(_target_names(target))
    elif isinstance(stmt, (ast.AugAssign, ast.AnnAssign)):
        names.update(_target_names(stmt.target))
    elif isinstance(stmt, ast.Delete):
        for target in stmt.targets:
            names.update(_target_names(target))
    elif isinstance(stmt, ast.Expr):
        # A call at module level may change what it is given (`KEYS.append(4)`).
        if not isinstance(stmt.value, ast.Constant):
            names.update(n.id for n in ast.walk(stmt) if isinstance(n, ast.Name))
    else:
        # for, while, with and the like, taken as a whole: every name stored in them.
        for node in ast.walk(stmt):
            if isinstance(node, ast.Name) and not isinstance(node.ctx, ast.Load):
                names.add(node.id)
            elif isinstance(node, (ast.Attribute, ast.Subscript)) and not isinstance(node.ctx, ast.Load):
                names.update(_target_names(node))
    return names


# --- which names a statement reads from the module's namespace ----------------------------------

_FUNCTIONS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)
_COMPREHENSIONS = (ast.ListComp, ast.SetComp, ast.GeneratorExp, ast.DictComp)


def _reads(stmt: ast.stmt, decorators: bool) -> Set[str]:
    """The names that a module-level statement reads from the module's namespace, at once or
    when the functions and classes it defines run. An asset function's own decorators
    (`decorators` false) are left out: they name its upstream assets, whose code is theirs."""
    if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)):
        scope = _Scope()
        if decorators:
            scope.visit_all(stmt.decorator_list)
        scope.visit_all(_defaults(stmt.args))
        return scope.loads | scope.nested_free | _function_globals(stmt)
    if isinstance(stmt, ast.ClassDef):
        scope = _Scope()
        scope.visit_all(stmt.decorator_list + stmt.bases + [k.value for k in stmt.keywords])
        return scope.loads | scope.nested_free | _class_globals(stmt, set())
    scope = _Scope()
    scope.visit(stmt)
    return scope.loads | scope.nested_free | scope.globals


def _defaults(args: ast.arguments) -> List[ast.AST]:
    return [d for d in list(args.defaults) + list(args.kw_defaults) if d is not None]


def _params(args: ast.arguments) -> Set[str]:
    every = list(args.posonlyargs) + list(args.args) + list(args.kwonlyargs)
    every += [a for a in (args.vararg, args.kwarg) if a is not None]
    return {a.arg for a in every}


class _Scope:
    """Walks the code of one scope: what it stores and loads by name, and the scopes nested in
    it, whose free names it collects as they are found."""

    def __init__(self) -> None:
        self.stores: Set[str] = set()
        self.loads: Set[str] = set()
        self.globals: Set[str] = set()  # declared global, or read by a nested scope
        self.nested_free: Set[str] = set()  # free names of nested scopes

    def visit_all(self, nodes: Iterable[ast.AST]) -> None:
        for node in nodes:
            self.visit(node)

    def visit(self, node: ast.AST) -> None:
        if isinstance(node, ast.Name):
            (self.loads if isinstance(node.ctx, ast.Load) else self.stores).add(node.id)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            self.stores.add(node.name)
            self.visit_all(node.decorator_list)
            self.visit_all(_defaults(node.args))
            self.nested_free |= _function_globals(node)
        elif isinstance(node, ast.Lambda):
            self.visit_all(_defaults(node.args))
            self.nested_free |= _function_globals(node)
        elif isinstance(node, ast.ClassDef):
            self.stores.add(node.name)
            self.visit_all(node.decorator_list + node.bases + [k.value for k in node.keywords])
            self.nested_free |= _class_globals(node, set())
        elif isinstance(node, _COMPREHENSIONS):
            # The first iterable is evaluated here; the rest is a scope of its own.
            self.visit(node.generators[0].iter)
            self.nested_free |= _comprehension_free(node)
        elif isinstance(node, ast.Global):
            self.globals.update(node.names)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                if alias.name != "*":
                    self.stores.add(alias.asname or alias.name.split(".")[0])
        elif isinstance(node, ast.ExceptHandler) and node.name:
            self.stores.add(node.name)
            self.visit_all(ast.iter_child_nodes(node))
        elif isinstance(node, ast.AnnAssign):
            self.visit(node.target)  # the annotation says nothing about what the code does
            if node.value is not None:
                self.visit(node.value)
        else:
            for child in ast.iter_child_nodes(node):
                self.visit(child)

    def free(self, params: Set[str]) -> Set[str]:
        """The names this scope reads that are not its own (declared globals are never own)."""
        own = (self.stores | params) - self.globals
        return ((self.loads | self.nested_free) - own) | (self.globals & (self.loads | self.nested_free | self.stores))


def _function_globals(node: ast.AST) -> Set[str]:
    """The names a function or lambda body reads that are not its own."""
    scope = _Scope()
    body = node.body if isinstance(node.body, list) else [node.body]
    scope.visit_all(body)
    return scope.free(_params(node.args))


def _class_globals(node: ast.ClassDef, params: Set[str]) -> Set[str]:
    """The names a class body reads that it does not bind; its methods do not see its names."""
    scope = _Scope()
    methods: Set[str] = set()
    for stmt in node.body:
        if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)):
            scope.stores.add(stmt.name)
            scope.visit_all(stmt.decorator_list)
            scope.visit_all(_defaults(stmt.args))
            methods |= _function_globals(stmt)
        else:
            scope.visit(stmt)
    return scope.free(params) | methods


def _comprehension_free(node: ast.AST) -> Set[str]:
    scope = _Scope()
    for number, generator in enumerate(node.generators):
        scope.visit(generator.target)
        if number:
            scope.visit(generator.iter)
        scope.visit_all(generator.ifs)
    if isinstance(node, ast.DictComp):
        scope.visit(node.key)
        scope.visit(node.value)
    else:
        scope.visit(node.elt)
    return scope.free(set())
