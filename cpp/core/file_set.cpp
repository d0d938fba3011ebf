#include "core/file_set.hpp"

#include <cstdio>

namespace kelvane::core {

MemberRole archive_member_role(std::string_view name) {
    if (name.ends_with("extended_model.yaml")) return MemberRole::Yaml;
    if (name.ends_with("external_model.json")) return MemberRole::Json;
    if (name.ends_with(".pmml")) return MemberRole::Pmml;
    return MemberRole::Image;
}

bool is_zip_folder_entry(std::string_view name) { return name.ends_with('/'); }

std::size_t zip_image_key_start(std::string_view name) {
    const std::size_t slash = name.rfind('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

bool is_directory_pmml(std::string_view name) { return name.ends_with(".pmml"); }

bool is_directory_image(std::string_view name) {
    return !name.ends_with("json") && !name.ends_with("yaml") && !name.ends_with("pmml");
}

bool key_leaves_directory(std::string_view key) {
    if (key.starts_with('/')) return true;
    // Depth below the directory after each part; "." and empty parts stay.
    long depth = 0;
    while (!key.empty()) {
        const std::size_t slash = key.find('/');
        const std::string_view part = key.substr(0, slash);
        if (part == "..") {
            if (--depth < 0) return true;
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        if (slash == std::string_view::npos) break;
        key.remove_prefix(slash + 1);
    }
    return false;
}

bool is_foreign_member(std::string_view name) {
    const std::size_t slash = name.rfind('/');
    if (name.substr(slash == std::string_view::npos ? 0 : slash + 1).starts_with("._")) return true;
    while (!name.empty()) {
        const std::size_t end = name.find('/');
        if (name.substr(0, end) == "__MACOSX") return true;
        if (end == std::string_view::npos) break;
        name.remove_prefix(end + 1);
    }
    return false;
}

bool path_lies_inside(std::string_view root, std::string_view path) {
    if (!path.starts_with(root)) return false;
    if (path.size() == root.size() || root.ends_with('/')) return true;
    return path[root.size()] == '/';
}

std::string temporary_name(std::uint64_t random) {
    char text[40];
    std::snprintf(text, sizeof text, ".saving-%016llx.yaml", static_cast<unsigned long long>(random));
    return text;
}

}  // namespace kelvane::core
