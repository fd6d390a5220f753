#include "ui/message_service.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/fake_platform.h"
#include "ui/messages.h"
#include "ui/unattended.h"

namespace velumtar {
namespace {

using test::FakePlatform;

TEST(MessageService, BoxTypeAndAnswerMappings) {
    EXPECT_EQ(MessageService::boxType(BoxStyle::information).flags(), 64u);
    EXPECT_EQ(MessageService::boxType(BoxStyle::error).flags(), 16u);
    EXPECT_EQ(MessageService::boxType(BoxStyle::retryCancel).flags(), 69u);
    EXPECT_EQ(MessageService::boxType(BoxStyle::retryCancelError).flags(), 277u);
    EXPECT_EQ(MessageService::boxType(BoxStyle::question).flags(), 324u);
    EXPECT_EQ(MessageService::boxType(BoxStyle::questionError).flags(), 20u);
    EXPECT_EQ(MessageService::answerFor(BoxButton::ok), Answer::ok);
    EXPECT_EQ(MessageService::answerFor(BoxButton::retry), Answer::retry);
    EXPECT_EQ(MessageService::answerFor(BoxButton::cancel), Answer::cancel);
    EXPECT_EQ(MessageService::answerFor(BoxButton::yes), Answer::yes);
    EXPECT_EQ(MessageService::answerFor(BoxButton::no), Answer::no);
    // No box counts as OK.
    EXPECT_EQ(MessageService::answerFor(BoxButton::none), Answer::ok);
    // The transcript's codes.
    EXPECT_EQ(styleCode(BoxStyle::information), '0');
    EXPECT_EQ(styleCode(BoxStyle::questionError), '5');
    EXPECT_EQ(answerCode(Answer::ok), '0');
    EXPECT_EQ(answerCode(Answer::no), '4');
}

TEST(MessageService, HandsCaptionTextAndTypeToTheSystem) {
    FakePlatform platform;
    platform.boxAnswers = {6};
    Unattended unattended(platform);
    MessageService service(platform, unattended, "VELUMTAR");
    EXPECT_EQ(service.show("Question?", BoxStyle::question), Answer::yes);
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(platform.boxes[0].caption, "VELUMTAR       ");
    EXPECT_EQ(platform.boxes[0].text, "Question?");
    EXPECT_EQ(platform.boxes[0].type, 324u);
    // A failed box answers like OK, so a question reads as No.
    EXPECT_EQ(service.show("Again?", BoxStyle::question), Answer::ok);
}

TEST(MessageService, TextBufferKeepsItsWidthAndCutsLongTexts) {
    FakePlatform platform;
    Unattended unattended(platform);
    MessageService service(platform, unattended, "VELUMTAR");
    service.setText(std::string(900, 'x'));
    EXPECT_EQ(service.text().size(), MessageService::kTextWidth);
    service.setText("short");
    EXPECT_EQ(service.text(), "short");
}

TEST(Unattended, RecordsBoxesAndTakesScriptedAnswers) {
    FakePlatform platform;
    platform.env["VELUMTAR_TRANSCRIPT"] = "T.JSONL";
    platform.env["VELUMTAR_ANSWERS"] = "Y";
    Unattended unattended(platform);
    MessageService service(platform, unattended, "VELUMTAR");
    EXPECT_EQ(service.show("first?", BoxStyle::question), Answer::yes);  // the scripted Y
    // A relative name stays in the start directory while the walk is elsewhere.
    platform.directories.insert("C:\\APP");
    ASSERT_TRUE(platform.changeDirectory("C:\\APP"));
    EXPECT_EQ(service.show("second?", BoxStyle::question),
              Answer::no);  // answers used up: default No
    EXPECT_EQ(service.show("note", BoxStyle::information), Answer::ok);
    EXPECT_TRUE(platform.boxes.empty());
    EXPECT_FALSE(platform.has("C:\\APP\\T.JSONL"));
    EXPECT_EQ(platform.contentOf("C:\\TOOLS\\T.JSONL"),
              "{\"caption\": \"VELUMTAR       \", \"style\": \"4\", \"type\": 324, "
              "\"text\": \"first?\", \"answer\": \"3\"}\n"
              "{\"caption\": \"VELUMTAR       \", \"style\": \"4\", \"type\": 324, "
              "\"text\": \"second?\", \"answer\": \"4\"}\n"
              "{\"caption\": \"VELUMTAR       \", \"style\": \"0\", \"type\": 64, "
              "\"text\": \"note\", \"answer\": \"0\"}\n");
}

TEST(Unattended, DefaultButtonsOfEveryBoxKind) {
    FakePlatform platform;
    platform.env["VELUMTAR_TRANSCRIPT"] = "C:\\T.JSONL";
    Unattended unattended(platform);
    auto answer = [&](BoxStyle style) {
        return unattended.answerFor(MessageService::boxType(style));
    };
    EXPECT_EQ(answer(BoxStyle::question), BoxButton::no);  // Yes/No, default No
    EXPECT_EQ(answer(BoxStyle::questionError), BoxButton::yes);
    EXPECT_EQ(answer(BoxStyle::retryCancelError), BoxButton::cancel);  // default Cancel
    EXPECT_EQ(answer(BoxStyle::retryCancel), BoxButton::retry);
    EXPECT_EQ(answer(BoxStyle::information), BoxButton::ok);
}

TEST(Unattended, AFinalStarRepeatsTheLastLetter) {
    struct Case {
        const char* answers;
        std::vector<int> expected;  // for four Yes/No boxes with default No (Yes 6, No 7)
    };
    const Case cases[] = {
        {"Y*", {6, 6, 6, 6}},  {"NY*", {7, 6, 6, 6}}, {"yn*", {6, 7, 7, 7}},
        {"Y", {6, 7, 7, 7}},   {"*", {7, 7, 7, 7}},  // nothing to repeat: defaults
        {"Y*N", {6, 7, 7, 7}},                       // a '*' inside the letters is passed over
    };
    for (const Case& c : cases) {
        FakePlatform platform;
        platform.env["VELUMTAR_TRANSCRIPT"] = "C:\\T.JSONL";
        platform.env["VELUMTAR_ANSWERS"] = c.answers;
        Unattended unattended(platform);
        std::vector<int> got;
        for (int i = 0; i < 4; ++i)
            got.push_back(static_cast<int>(
                unattended.answerFor(MessageService::boxType(BoxStyle::question))));
        EXPECT_EQ(got, c.expected) << c.answers;
        EXPECT_EQ(unattended.answerFor(MessageService::boxType(BoxStyle::information)),
                  BoxButton::ok)
            << "OK boxes take no letter";
    }
}

TEST(Unattended, JsonEscapesControlsAndInvalidUtf8) {
    EXPECT_EQ(jsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(jsonString("x\r\ny"), "\"x\\r\\ny\"");
    EXPECT_EQ(jsonString("caf\xc3\xa9"), "\"caf\xc3\xa9\"");             // valid UTF-8 stays
    EXPECT_EQ(jsonString("lat\xe9."), "\"lat\\u00e9.\"");                // a stray Latin-1 byte
    EXPECT_EQ(jsonString("\xc3"), "\"\\u00c3\"");                        // truncated sequence
    EXPECT_EQ(jsonString("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"");  // surrogate
    EXPECT_EQ(jsonString(std::string_view("\x01", 1)), "\"\\u0001\"");
}

}  // namespace
}  // namespace velumtar
