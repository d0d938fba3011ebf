"""The file set of a bundle held in memory, and its storage.

A bundle leaves the process as a few files: its YAML document
(``extended_model.yaml``), the external model as JSON (``external_model.json``)
or PMML (``external_model.pmml``, or a name of the caller's), and one file per
attached image. `ExtendedPredictiveModelContent` holds that set as in-memory
streams and stores it in a directory, a zip archive or a tar archive, and reads
it back. It never parses the streams: `ExtendedPredictiveModel.get_content` and
`ExtendedPredictiveModel.parse_from_content` convert between a bundle and its
content.

Example:
    >>> from io import BytesIO, StringIO
    >>> from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent
    >>> content = ExtendedPredictiveModelContent(
    ...     scorebundle_yaml=StringIO("attributes: [age]"), external_model_json=StringIO("{}"),
    ...     attached_images={"roc.png": BytesIO(b"...")})
    >>> archive = content.save_to_zip()
    >>> loaded = ExtendedPredictiveModelContent.load_from_zip(archive)
    >>> loaded.scorebundle_yaml.getvalue(), list(loaded.attached_images)
    ('attributes: [age]', ['roc.png'])
"""

from __future__ import annotations

import os
import shutil
import tarfile
from io import BytesIO, StringIO
from pathlib import Path
from typing import Dict, Optional, Union
from zipfile import ZIP_DEFLATED, ZipFile

class ExtendedPredictiveModelContent:
    """The files of one bundle, one in-memory stream each.

    The object keeps the streams it is given (nothing is copied). Saving reads
    each stream from its start and leaves it at its end (the images of a zip
    archive at their start); loading creates new streams.

    Args:
        scorebundle_yaml: The bundle's YAML document.
        external_model_json: The external model as JSON text, or ``None``.
        external_model_pmml: The external model as PMML text, or ``None``.
        attached_images: Image bytes by file name. Without it, every content
            shares one empty ``dict`` made when the class was declared.

    Raises:
        TypeError: When `attached_images` is not exactly a ``dict``.
    """

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
    def save_to_directory(self, directory: Path, pmml_filename: Optional[str] = None) -> None:
        """Write the files into a directory.

        The directory is created when it does not exist (one level: its parent must
        exist). Files of the same names are replaced; nothing else in it is touched.
        Texts are written as UTF-8.

        Args:
            directory: Where to write; a ``pathlib.Path`` (file names are joined to it
                with ``/``).
            pmml_filename: The PMML file's name; ``None`` or empty for
                ``external_model.pmml``. A name not ending with ``.pmml`` is read back
                as an image.

        Raises:
            TypeError: When `directory` is a plain string, or `pmml_filename` neither
                a ``str`` nor ``None``.
            OSError: From the file system (``FileNotFoundError`` when the parent does
                not exist, or an image name holds a folder that does not); the files
                written before stay.
        """
    def save_to_tar(self) -> BytesIO:
        """Write the files into an uncompressed tar archive in memory.

        The PMML file is always named ``external_model.pmml``. Members carry only their
        name and size (time 0, mode 0644, owner 0).

        Returns:
            The archive, positioned at its end: rewind it (``seek(0)``) or take
            ``getvalue()`` before reading it.

        Raises:
            TypeError: When an image key is not a ``str``.
        """
    def save_to_zip(self, pmml_filename: Optional[str] = None) -> BytesIO:
        """Write the files into a zip archive (deflate) in memory.

        Args:
            pmml_filename: The PMML member's name; ``None`` or empty for
                ``external_model.pmml``.

        Returns:
            The archive, positioned at its end: rewind it (``seek(0)``) or take
            ``getvalue()`` before reading it.

        Raises:
            TypeError: When an image key is not a ``str``, or `pmml_filename` is
                neither a ``str`` nor ``None``.
        """
    # The loaders build this class itself, also when called on a subclass.
    @classmethod
    def load_from_directory(cls, directory: Path) -> ExtendedPredictiveModelContent:
        """Read a file set from a directory.

        ``extended_model.yaml`` is required and ``external_model.json`` read when
        present; the PMML model is the first file (in the order the system lists
        them) whose name ends with ``.pmml``; every file whose name ends with none of
        ``json``, ``yaml`` and ``pmml`` is an image, under its file name. Texts are read
        in the interpreter's default encoding.

        Returns:
            A new `ExtendedPredictiveModelContent` (always of this class, also when
            called on a subclass), its streams positioned at their end.

        Raises:
            FileNotFoundError: When the directory or its ``extended_model.yaml`` does
                not exist.
            IsADirectoryError: For a sub-directory whose name would make it an image.
            UnicodeDecodeError: For text the default encoding cannot read.
        """
    @classmethod
    def load_from_tar(cls, tar_content: BytesIO) -> ExtendedPredictiveModelContent:
        """Read a file set from a tar archive (compressed ones too) in memory.

        Members are recognised by the end of their path, in archive order (the last
        of several matches wins): ``extended_model.yaml`` (required),
        ``external_model.json``, ``.pmml``; every other member with file content is an
        image under its whole path. The archive is rewound first.

        Returns:
            A new `ExtendedPredictiveModelContent`; its texts are positioned at their
            start, its images at their end.

        Raises:
            tarfile.ReadError: When the data is not a tar archive.
            UnboundLocalError: When no member is the YAML document.
            UnicodeDecodeError: For a text member that is not UTF-8.
        """
    @classmethod
    def load_from_zip(cls, zip_content: BytesIO) -> ExtendedPredictiveModelContent:
        """Read a file set from a zip archive in memory.

        Members are recognised by the end of their name as in `load_from_tar`;
        directory entries are skipped, and an image is stored under the part of its
        name after the last ``/``. The archive is rewound first. The result, and the
        errors other than the archive's own, are those of `load_from_tar`.

        Raises:
            zipfile.BadZipFile: When the data is not a zip archive.
        """
