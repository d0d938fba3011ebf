// Unit tests of the file-set naming rules (run by CTest).
#include <cstdio>

#include "tests/expect.hpp"
#include "core/file_set.hpp"

using namespace kelvane::core;


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

static void foreign_members() {
    for (const char *foreign : {"__MACOSX/._extended_model.yaml", "__MACOSX/b/c.png", "a/__MACOSX/x.pmml", "__MACOSX",
                                "._extended_model.yaml", "b/._chart.png", "._"})
        EXPECT(is_foreign_member(foreign));
    for (const char *own : {"extended_model.yaml", "b/chart.png", "__MACOSX.png", "a__MACOSX/x", "x._y", "._a/b.png",
                            ".hidden.png", "", "MACOSX/x"})
        EXPECT(!is_foreign_member(own));
}

static void real_paths() {
    EXPECT(path_lies_inside("/a/b", "/a/b"));
    EXPECT(path_lies_inside("/a/b", "/a/b/c"));
    EXPECT(path_lies_inside("/", "/etc"));
    EXPECT(!path_lies_inside("/a/b", "/a/bc"));
    EXPECT(!path_lies_inside("/a/b", "/a"));
    EXPECT(!path_lies_inside("/a/b", "/etc/passwd"));
    EXPECT_EQ(temporary_name(0xabc), ".saving-0000000000000abc.yaml");
    EXPECT(!is_directory_image(temporary_name(~0ull)) && archive_member_role(temporary_name(1)) == MemberRole::Image);
}

int main() {
    foreign_members();
    real_paths();
    archive_roles();
    directory_names();
    leaving_keys();
    return finish();
}
