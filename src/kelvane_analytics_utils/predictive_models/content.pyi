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
    @classmethod
    def load_from_directory(cls, directory: Path) -> ExtendedPredictiveModelContent: ...
    @classmethod
    def load_from_tar(cls, tar_content: BytesIO, *, max_bytes: int = 1073741824) -> ExtendedPredictiveModelContent: ...
    @classmethod
    def load_from_zip(cls, zip_content: BytesIO, *, max_bytes: int = 1073741824) -> ExtendedPredictiveModelContent: ...
