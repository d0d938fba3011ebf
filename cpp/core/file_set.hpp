// Naming rules of a bundle's file set: which stream a stored name is read
// into, by storage, which stored names belong to other tools, which image
// keys may be written below a directory, and the names a save writes under
// before it renames its files into place.
// Names are UTF-8 (or any ASCII-compatible bytes): every rule looks only at
// ASCII characters, so a byte-wise test equals a character-wise one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvane::core {

enum class MemberRole : unsigned char { Yaml, Json, Pmml, Image };

// Zip and tar archives: the suffix tests "extended_model.yaml",
// "external_model.json", ".pmml" are made in that order and the first that
// holds decides; everything else is an image. Case-sensitive.
MemberRole archive_member_role(std::string_view name);

// A zip name ending with "/" is a folder entry, never read.
bool is_zip_folder_entry(std::string_view name);

// Offset of a zip image's key in its member name: what follows the last "/".
std::size_t zip_image_key_start(std::string_view name);

// Directory listings: a PMML candidate ends with ".pmml"; an image is a name
// ending with none of "json", "yaml", "pmml" (no dot in front).
bool is_directory_pmml(std::string_view name);
bool is_directory_image(std::string_view name);

// An image key that, joined to a directory, names a place outside it: an
// absolute path, or one whose ".." parts climb above the directory.
bool key_leaves_directory(std::string_view key);

// What other tools add beside a bundle's files and what is never one of its
// members, whatever the suffix: anything under a "__MACOSX" folder (the
// macOS Finder's zips) and AppleDouble resource forks, whose last name part
// begins with "._". A name that is "__MACOSX" itself is that folder.
bool is_foreign_member(std::string_view name);

// Whether `path` is `root` or lies below it. Both are absolute paths with no
// "." or ".." parts and no symbolic links (real paths), "/"-separated.
bool path_lies_inside(std::string_view root, std::string_view path);

// The name a save writes a file under before renaming it into place: hidden,
// and ending with "yaml" so that a directory load running meanwhile skips
// it (neither the YAML document nor an image). `random` makes it unique.
std::string temporary_name(std::uint64_t random);

}  // namespace kelvane::core
