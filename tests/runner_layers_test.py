"""The runner's package reads top-down: no module imports one from a layer above it."""

import ast
import unittest

from support import ROOT

PACKAGE = ROOT / "tools" / "algobench"

# From the command line down to the files: a module may import its own layer
# and the layers below it, never one above. The folders follow the pipeline
# (plan, measure, judge, record, export); a stage may use what the stages
# before it make, the model they all speak and the plan they all follow.
LAYERS = (
    ("command line", {"cli"}),
    ("commands", {"commands"}),
    ("fleet", {"fleet"}),
    ("measure", {"measure"}),
    ("record", {"record"}),
    ("judge", {"judge"}),
    ("model", {"model"}),
    ("export", {"export"}),
    ("plan", {"plan"}),
    ("files", {"files"}),
)


def layer_of(module: str) -> int:
    top = module.split(".")[0]
    for index, (_, names) in enumerate(LAYERS):
        if top in names:
            return index
    raise KeyError(module)


def imports_of(path) -> set[str]:
    """The package modules a file imports, as dotted names relative to the package."""
    package = path.relative_to(PACKAGE).with_suffix("").parts[:-1]
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.level:
            base = list(package[:len(package) - node.level + 1])
            if node.module:
                found.add(".".join(base + node.module.split(".")))
            else:
                found.update(".".join(base + [alias.name]) for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("algobench."):
            found.add(node.module.removeprefix("algobench."))
    return found


class LayersTest(unittest.TestCase):
    def test_every_module_has_a_layer(self):
        for path in PACKAGE.rglob("*.py"):
            module = ".".join(path.relative_to(PACKAGE).with_suffix("").parts)
            if module != "__init__":
                with self.subTest(module):
                    layer_of(module)

    def test_no_module_reaches_up(self):
        for path in PACKAGE.rglob("*.py"):
            module = ".".join(path.relative_to(PACKAGE).with_suffix("").parts)
            if module == "__init__":
                continue
            for imported in imports_of(path):
                with self.subTest(module=module, imports=imported):
                    self.assertGreaterEqual(
                        layer_of(imported), layer_of(module),
                        f"{module} ({LAYERS[layer_of(module)][0]}) imports {imported} "
                        f"({LAYERS[layer_of(imported)][0]})")

    def test_the_check_sees_a_reaching_import(self):
        # The renderers must not know the model: a file that imports it is caught.
        self.assertLess(layer_of("model"), layer_of("export.summary"))
        self.assertIn("model", imports_of(PACKAGE / "judge" / "derive.py"))
        # Nothing below the command modules calls them.
        self.assertLess(layer_of("commands.request"), layer_of("measure.sweep"))
        self.assertIn("commands.request", imports_of(PACKAGE / "commands" / "measuring.py"))
        # A record that imported the checks made of it would be caught too.
        self.assertLess(layer_of("judge.findings"), layer_of("model"))

    def test_no_import_loop(self):
        # Modules of one layer may import each other: not in a circle.
        graph = {}
        for path in PACKAGE.rglob("*.py"):
            module = ".".join(path.relative_to(PACKAGE).with_suffix("").parts)
            graph[module.removesuffix(".__init__")] = {
                name for name in imports_of(path) if name != module}
        done, path = set(), []

        def visit(module):
            if module in path:
                self.fail("import loop: " + " -> ".join(path[path.index(module):] + [module]))
            if module in done or module not in graph:
                return
            path.append(module)
            for imported in sorted(graph[module]):
                visit(imported)
            path.pop()
            done.add(module)

        for module in sorted(graph):
            visit(module)


if __name__ == "__main__":
    unittest.main()
