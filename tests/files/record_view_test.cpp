#include "files/record_view.h"

#include <gtest/gtest.h>

#include <string>

#include "ui/messages.h"
#include "util/text_field.h"

namespace velumtar {
namespace {

// A fixed field cuts its text at the last whole UTF-8 character that fits
// and pads the rest; bytes that form no character are kept as they are.
TEST(TextField, CutsAtTheLastWholeCharacter) {
    struct Case {
        std::string text;
        std::size_t width;
        std::string expected;
    };
    const Case cases[] = {
        {"abcdef", 4, "abcd"},
        {"ab", 4, "ab  "},
        {"a\xc3\xa9z", 2, "a "},           // e acute: 2 bytes
        {"a\xc3\xa9z", 3, "a\xc3\xa9"},    // fits whole
        {"ab\xe2\x82\xac", 4, "ab  "},     // euro sign: 3 bytes
        {"a\xf0\x9f\x98\x80", 4, "a   "},  // emoji: 4 bytes
        {"a\xf0\x9f\x98\x80", 5, "a\xf0\x9f\x98\x80"},
        {"ab\xff\xfe\xfd", 4, "ab\xff\xfe"},  // not UTF-8: cut as bytes
        {"a\xc3\xc3\xa9", 2, "a\xc3"},        // a stray lead byte stays
        {"\x80\x80\x80\x80\x80", 3, "\x80\x80\x80"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(padded(c.text, c.width), c.expected) << c.text << " in " << c.width;
        std::string record(c.width + 2, '#');
        RecordView(record.data()).set(Field{1, c.width}, c.text);
        EXPECT_EQ(record, "#" + c.expected + "#");
    }
    // A path of 300 bytes in a box keeps whole characters only.
    std::string path = "C:\\a";
    while (path.size() < 300)
        path += "\xc3\xa9";
    const std::string box = messages::fileFactsError(path);
    EXPECT_EQ(box.substr(box.find("\r\n") + 2), path.substr(0, 254) + " ");
}

}  // namespace
}  // namespace velumtar
