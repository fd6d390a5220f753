// The drive names of host names: one of its own for every host name, and the
// host name found again from it.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "util/name_mapping.h"

namespace velumtar::test {
namespace {

TEST(NameMapping, EveryHostNameHasOneDriveNameAndBack) {
    struct Case {
        std::string host;
        std::string drive;
        std::string shown;
    };
    const std::string backslash = "\xef\x81\x9c";  // U+F05C
    const std::string escape = "\xef\x80\x80";     // U+F000
    const Case cases[] = {
        {"plain.exe", "plain.exe", "plain.exe"},
        {"X\\Y.EXE", "X" + backslash + "Y.EXE", "X" + backslash + "Y.EXE"},
        {"\\", backslash, backslash},
        {"a*b?c:d\"e<f>g|h",
         "a\xef\x80\xaa"
         "b\xef\x80\xbf"
         "c\xef\x80\xba"
         "d\xef\x80\xa2"
         "e\xef\x80\xbc"
         "f\xef\x80\xbeg\xef\x81\xbch",
         "a*b?c:d\"e<f>g|h"},
        // The private-use forms and the escape itself, held by a host name.
        {"lit" + backslash, "lit" + escape + backslash, "lit" + backslash},
        {escape, escape + escape, escape},
        {escape + backslash, escape + escape + escape + backslash, escape + backslash},
        {"\xef\x80\x81", "\xef\x80\x81", "\xef\x80\x81"},  // U+F001: no mapped character
        // Bytes that form no character stay as they are.
        {"\xef\x81", "\xef\x81", "\xef\x81"},
        {"\xef\xef\x81\x9c\\", "\xef" + escape + backslash + backslash,
         "\xef" + backslash + backslash},
    };
    std::set<std::string> drives;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        EXPECT_EQ(driveName(c.host), c.drive);
        EXPECT_EQ(hostName(c.drive), c.host);
        EXPECT_EQ(shownName(c.drive), c.shown);
        EXPECT_EQ(holdsMappedCharacter(c.drive), c.drive != c.host);
        EXPECT_TRUE(drives.insert(c.drive).second) << "two host names share a drive name";
        // Nothing of the syntax of a path is left.
        EXPECT_EQ(c.drive.find_first_of(name_mapping::kSpecial), std::string::npos);
    }
}

}  // namespace
}  // namespace velumtar::test
