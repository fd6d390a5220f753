#include "ui/messages.h"

#include <gtest/gtest.h>

#include "files/record_view.h"
#include "files/text_field.h"

namespace velumtar {
namespace {

TEST(Messages, UnsuitableCommandShowsTheLetterOrUnderscore) {
    EXPECT_EQ(messages::unsuitableCommand(" "),
              "This is a command-line-tool, but\r\nthe actual command '_' is not a suitable "
              "command\r\nPlease confirm.");
    EXPECT_NE(messages::unsuitableCommand("X").find("'X'"), std::string::npos);
}

TEST(Messages, FieldsKeepTheirTrailingBlanks) {
    std::string text = messages::enterDirectoryError("\"C:\\LOCKED\"");
    EXPECT_EQ(text.size(), 28 + 2 + 255 + 2 + 41);
    EXPECT_EQ(text.substr(30, 12), "\"C:\\LOCKED\" ");
    EXPECT_EQ(text.substr(text.size() - 43), "\r\nPlease read the help for more information");
    EXPECT_EQ(messages::noDifferences(),
              "No differences detected                   \r\nPlease confirm");
    EXPECT_EQ(messages::interruptionDetected(messages::kRebuildText).size(), 44 + 2 + 115);
}

TEST(Messages, FileErrorLayout) {
    EXPECT_EQ(messages::fileError("REWRITE", "C:\\VELUMTAR.DBI"),
              "ERROR: File handling.\r\nREWRITE C:\\VELUMTAR.DBI ");
    EXPECT_EQ(messages::fileError("OPEN", "C:\\VELUMTAR.TXT"),
              "ERROR: File handling.\r\nOPEN    C:\\VELUMTAR.TXT ");
    EXPECT_EQ(messages::fileError("DELETE", "VELULIST.DBI"),
              "ERROR: File handling.\r\nDELETE  VELULIST.DBI    ");
}

TEST(Messages, DetailsQuestionListsFiveFixedLines) {
    std::array<std::string, 5> lines = {"2026.12.07 10:00 Differences", "          1 New", "", "",
                                        ""};
    std::string text = messages::detailsQuestion(lines);
    EXPECT_EQ(text.size(), 5 * 56 + 24);
    EXPECT_EQ(text.substr(56, 15), "          1 New");
    EXPECT_EQ(text.substr(280), "Display list of details?");
}

TEST(Messages, ProgramInformationCarriesTheTitle) {
    std::string text = messages::programInformation("VELUMTAR 4.01.03 File-Comparing-Tool");
    EXPECT_EQ(text.rfind("Programinformation:\r\nVELUMTAR 4.01.03 File-Comparing-Tool", 0), 0u);
    EXPECT_NE(text.find("Comparing EXE- and DLL-Files at C:\\ between different times"),
              std::string::npos);
}

}  // namespace
}  // namespace velumtar

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
