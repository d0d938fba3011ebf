from __future__ import annotations

import os
import shutil
import tarfile
from io import BytesIO, StringIO
from pathlib import Path
from typing import Dict, Optional, Union
from zipfile import ZIP_DEFLATED, ZipFile

class ExtendedPredictiveModelContent:
    scorebundle_yaml: StringIO
    external_model_json: Optional[StringIO] = None
    external_model_pmml: Optional[StringIO] = None
    attached_images: Dict[str, BytesIO]
    def __init__(
        self,
        scorebundle_yaml: StringIO,
        external_model_json: Optional[StringIO] = None,
        external_model_pmml: Optional[StringIO] = None,
        attached_images: Dict[str, BytesIO] = ...,
    ) -> None: ...
    def save_to_directory(self, directory: Path, pmml_filename: Optional[str] = None) -> None: ...
    def save_to_tar(self) -> BytesIO: ...
    def save_to_zip(self, pmml_filename: Optional[str] = None) -> BytesIO: ...
    # The loaders build this class itself, also when called on a subclass.
    @classmethod
    def load_from_directory(cls, directory: Path) -> ExtendedPredictiveModelContent: ...
    @classmethod
    def load_from_tar(cls, tar_content: BytesIO) -> ExtendedPredictiveModelContent: ...
    @classmethod
    def load_from_zip(cls, zip_content: BytesIO) -> ExtendedPredictiveModelContent: ...
