"""Sphinx configuration of the tarnix documentation (built by ``make docs``)."""

import importlib

import tarnix
from tarnix._modules import PUBLIC

# The documentation comes from the compiled modules' own docstrings. Importing
# them here keeps Sphinx (9 and later) from loading the .pyi stubs beside
# them in their place, which hold signatures but no docstrings.
for _name in PUBLIC:
    importlib.import_module(f"tarnix.{_name}")


def _see_also_without_tildes():
    """Let numpydoc read See Also entries written as ``~package.module.name``.

    The docstrings name functions of sibling modules that way, the Sphinx
    spelling for "link, show the last part"; numpydoc's See Also parser
    accepts only plain dotted names and would refuse the whole docstring.
    The tilde is dropped inside that section only, which keeps the links.
    """
    import re

    from numpydoc import docscrape

    original = docscrape.NumpyDocString.__init__
    section = re.compile(r"(^See Also\n-+\n)(.*?)(?=\n\n\S[^\n]*\n-+\n|\Z)", re.M | re.S)

    def __init__(self, docstring, config=None):
        if isinstance(docstring, str) and "~" in docstring:
            text = docstring
            import textwrap

            text = textwrap.dedent(text)
            docstring = section.sub(lambda m: m.group(1) + re.sub(r"(?<![\w`])~(?=[A-Za-z_])", "", m.group(2)), text)
        original(self, docstring, config)

    docscrape.NumpyDocString.__init__ = __init__


_see_also_without_tildes()


def _summaries_without_footnotes():
    """Leave footnote references out of the one-line summaries of the API tables.

    A summary such as "Column approximate minimum degree ordering [#colamd_c]_."
    is copied into the table on the module's page, where the footnote it
    points to does not exist.
    """
    import re

    from sphinx.ext import autosummary

    original = autosummary.extract_summary

    def extract_summary(doc, document):
        return re.sub(r"\s*\[(#\w*|\d+)\]_", "", original(doc, document))

    autosummary.extract_summary = extract_summary


_summaries_without_footnotes()

project = "tarnix"
author = "the tarnix developers"
copyright = "the tarnix developers"
release = version = tarnix.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.intersphinx",
    "sphinx.ext.mathjax",
    "numpydoc",
    "matplotlib.sphinxext.plot_directive",
]

templates_path = ["_templates"]
exclude_patterns = ["_build", "inventories"]

# `name` in a docstring is a cross-reference when the name exists, and code otherwise.
default_role = "py:obj"

autosummary_generate = True


def _compiled_methods():
    """Public methods of the compiled classes, by class, for the class template."""
    import inspect

    from tarnix._modules import MODULES

    found = {}
    for name in [m.name for m in MODULES if m.public and m.extension]:
        module = importlib.import_module(f"tarnix.{name}")
        for cls in vars(module).values():
            if inspect.isclass(cls) and cls.__module__ == module.__name__:
                names = [k for k, v in vars(cls).items()
                         if not k.startswith("_") and callable(v) and not inspect.isclass(v)]
                if names:
                    found[f"{module.__name__}.{cls.__name__}"] = sorted(names)
    return found


autosummary_context = {"callables": _compiled_methods()}
autodoc_typehints = "none"
autodoc_default_options = {"members": False}

numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

# No network at build time: NumPy's and SciPy's inventories are read from the
# copies in docs/inventories (see make_numpy_inventory.py there), while the
# links they make point at the projects' published documentation.
intersphinx_mapping = {
    "numpy": ("https://numpy.org/doc/stable/", "inventories/numpy-objects.inv"),
    "scipy": ("https://docs.scipy.org/doc/scipy/", "inventories/scipy-objects.inv"),
}

plot_include_source = False
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]
plot_rcparams = {"figure.autolayout": True, "font.size": 9}
plot_pre_code = "import numpy as np\nimport matplotlib.pyplot as plt"

html_theme = "pydata_sphinx_theme"
html_title = "tarnix"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "footer_start": ["copyright"],
    "footer_end": [],
}
html_static_path = []
