"""Record base of the package's records.

This is a minimal stand-in: a platform may supply its own
``kelvane_analytics_utils.utils.base_model`` module whose ``BaseModel`` follows
the pydantic (version 2) model protocol.
"""
from pydantic import BaseModel as _PydanticBaseModel


class BaseModel(_PydanticBaseModel):
    """Base of every record of the package."""
