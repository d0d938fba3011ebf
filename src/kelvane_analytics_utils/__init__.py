"""Extended predictive model bundles: description, validation, storage and application.

Every module of the package is a C++ extension module; see the README.
"""

__version__: str


def __getattr__(name: str) -> str:
    # The version's one source is the project's metadata (pyproject.toml), read
    # from the installed distribution on first use: importing the package reads
    # no metadata.
    if name == "__version__":
        from importlib.metadata import version

        value = globals()["__version__"] = version(__name__)
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
