"""Extended predictive model bundles: description, validation, storage and application.

Every module of the package is a C++ extension module; see the README.
"""
