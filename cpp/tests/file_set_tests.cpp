// Unit tests of the file-set naming rules (run by CTest).
#include <cstdio>

#include "core/file_set.hpp"

using namespace kelvane::core;

static int failures = 0;
#define EXPECT(cond)                                                                 \
    do {                                                                             \
        if (!(cond)) {                                                               \
            std::fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

static void archive_roles() {
    struct Case { const char *name; MemberRole role; };
    const Case cases[] = {
        {"extended_model.yaml", MemberRole::Yaml},
        {"dir/extended_model.yaml", MemberRole::Yaml},
        {"myextended_model.yaml", MemberRole::Yaml},
        {"Extended_model.yaml", MemberRole::Image},     // case-sensitive
        {"extended_model.yml", MemberRole::Image},
        {"notes.yaml", MemberRole::Image},
        {"external_model.json", MemberRole::Json},
        {"other.json", MemberRole::Image},
        {"a/b.pmml", MemberRole::Pmml},
        {"model.PMML", MemberRole::Image},
        {"modelpmml", MemberRole::Image},               // no dot
        {"external_model.json.pmml", MemberRole::Pmml},
        {"", MemberRole::Image},
    };
    for (const Case &c : cases) EXPECT(archive_member_role(c.name) == c.role);
    EXPECT(is_zip_folder_entry("a/"));
    EXPECT(!is_zip_folder_entry("a"));
    EXPECT(zip_image_key_start("x.png") == 0);
    EXPECT(zip_image_key_start("a/b/x.png") == 4);
    EXPECT(zip_image_key_start("a/") == 2);
}

static void directory_names() {
    EXPECT(is_directory_pmml("m.pmml"));
    EXPECT(!is_directory_pmml("mpmml"));
    EXPECT(!is_directory_pmml("m.PMML"));
    for (const char *skipped : {"chart.json", "notes.yaml", "x.pmml", "xjson", "external_model.json"})
        EXPECT(!is_directory_image(skipped));
    for (const char *image : {"a.png", "model.PMML", "b.yml", "c.JSON", "json.png"}) EXPECT(is_directory_image(image));
}

static void leaving_keys() {
    for (const char *out : {"/x", "//x", "..", "../x", "a/../../x", "./..", "a/./../.."})
        EXPECT(key_leaves_directory(out));
    for (const char *in : {"x.png", "a/b.png", "a/../b.png", "./x", "a/..", "", ".", "..x", "a/..b", "a//b"})
        EXPECT(!key_leaves_directory(in));
}

int main() {
    archive_roles();
    directory_names();
    leaving_keys();
    if (failures) std::fprintf(stderr, "%d failure(s)\n", failures);
    return failures ? 1 : 0;
}
