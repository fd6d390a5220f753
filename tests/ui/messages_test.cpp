#include "ui/messages.h"

#include <gtest/gtest.h>

#include "util/text_field.h"

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
