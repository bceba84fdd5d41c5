#include "tools/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tools::CommandKind;

bool Parse(std::vector<const char*> args, tools::CommandLine& result, std::string& error) {
    args.insert(args.begin(), "FocuserCtl");
    return tools::ParseCommandLine(static_cast<int>(args.size()), args.data(), result, error);
}

std::string Kinds(const tools::CommandLine& line) {
    std::string text;
    for (const tools::Command& c : line.commands)
        text += std::to_string(static_cast<int>(c.kind)) + ":" + std::to_string(c.value) + " ";
    return text;
}

TEST(CommandLine, CommandsRunInTheOrderGivenWithTheirValues) {
    tools::CommandLine line;
    std::string error;
    ASSERT_TRUE(
        Parse({"link", "move", "5000", "start", "-7", "sleep", "250", "halt", "wait", "unlink"}, line, error))
        << error;
    const std::vector<tools::Command> expected = {
        {CommandKind::Link, 0},    {CommandKind::Move, 5000}, {CommandKind::Start, -7},
        {CommandKind::Sleep, 250}, {CommandKind::Halt, 0},    {CommandKind::Wait, 0},
        {CommandKind::Unlink, 0},
    };
    ASSERT_EQ(expected.size(), line.commands.size()) << Kinds(line);
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i].kind, line.commands[i].kind) << "command " << i << " of " << Kinds(line);
        EXPECT_EQ(expected[i].value, line.commands[i].value) << "command " << i << " of " << Kinds(line);
    }
    EXPECT_EQ("Morvantis.Focuser", line.progId);
    EXPECT_EQ(300u, line.timeoutSeconds);
    EXPECT_FALSE(line.help);
}

TEST(CommandLine, PositionsReachTheDriverUncheckedAcrossTheWholeLongRange) {
    // The driver, not the client, decides what is out of range.
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {{"0", 0}, {"-1", -1}, {"+12", 12}, {"2147483647", 2147483647}, {"-2147483648", INT32_MIN}};
    for (const auto& c : cases) {
        tools::CommandLine line;
        std::string error;
        ASSERT_TRUE(Parse({"move", c.text}, line, error)) << c.text << ": " << error;
        ASSERT_EQ(1u, line.commands.size());
        EXPECT_EQ(c.value, line.commands[0].value) << c.text;
    }
}

TEST(CommandLine, OptionsAndHelp) {
    tools::CommandLine line;
    std::string error;
    ASSERT_TRUE(Parse({"--progid", "Other.Focuser", "status", "--timeout", "7"}, line, error)) << error;
    EXPECT_EQ("Other.Focuser", line.progId);
    EXPECT_EQ(7u, line.timeoutSeconds);
    ASSERT_EQ(1u, line.commands.size());
    EXPECT_EQ(CommandKind::Status, line.commands[0].kind);

    for (const char* help : {"--help", "-h", "/?"}) {
        tools::CommandLine helpLine;
        ASSERT_TRUE(Parse({help}, helpLine, error)) << help << ": " << error;
        EXPECT_TRUE(helpLine.help) << help;
    }
    EXPECT_NE(std::string::npos, std::string(tools::UsageText()).find("move N"));
}

TEST(CommandLine, MistakesAreRefusedWithAReasonAndLeaveTheResultAlone) {
    const struct {
        std::vector<const char*> args;
        const char* reasonPart;
    } cases[] = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"Link"}, "unknown command 'Link'"},
        {{"move"}, "move needs a position"},
        {{"move", "12x"}, "move needs a position"},
        {{"move", ""}, "move needs a position"},
        {{"move", " 12"}, "move needs a position"},
        {{"move", "1e3"}, "move needs a position"},
        {{"move", "0x10"}, "move needs a position"},
        {{"move", "2147483648"}, "move needs a position"},
        {{"start", "-2147483649"}, "start needs a position"},
        {{"move", "status"}, "move needs a position"},
        {{"sleep", "-1"}, "sleep needs milliseconds"},
        {{"sleep", "3600001"}, "sleep needs milliseconds"},
        {{"--progid"}, "--progid needs"},
        {{"--progid", "", "status"}, "--progid needs"},
        {{"--timeout", "0", "status"}, "--timeout needs"},
        {{"--timeout", "soon", "status"}, "--timeout needs"},
        {{"link", "--timeout"}, "--timeout needs"},
    };
    for (const auto& c : cases) {
        tools::CommandLine line;
        line.progId = "untouched";
        line.commands.push_back({CommandKind::Halt, 0xbeef});
        std::string error;
        std::string joined;
        for (const char* a : c.args)
            joined += std::string("[") + a + "]";
        EXPECT_FALSE(Parse(c.args, line, error)) << joined;
        EXPECT_NE(std::string::npos, error.find(c.reasonPart)) << joined << " gave: " << error;
        EXPECT_EQ("untouched", line.progId) << joined;
        ASSERT_EQ(1u, line.commands.size()) << joined;
        EXPECT_EQ(0xbeef, line.commands[0].value) << joined;
    }
}

TEST(DoctorArguments, MoveTakesAWholeNumberOfStepsFromOneTo100000AndNothingElse) {
    const struct {
        std::vector<const char*> args;
        bool ok;
        int32_t steps;
        const char* progId;
    } cases[] = {
        {{}, true, 0, "Morvantis.Focuser"},
        {{"--move", "1"}, true, 1, "Morvantis.Focuser"},
        {{"--move", "+250"}, true, 250, "Morvantis.Focuser"},
        {{"--move", "100000", "--progid", "Other.Focuser"}, true, 100000, "Other.Focuser"},
        {{"--move", "0"}, false, 0, ""},
        {{"--move", "-5"}, false, 0, ""},
        {{"--move", "100001"}, false, 0, ""},
        {{"--move", "4294967297"}, false, 0, ""},
        {{"--move", "12x"}, false, 0, ""},
        {{"--move", " 12"}, false, 0, ""},
        {{"--move", ""}, false, 0, ""},
        {{"--move", "1e3"}, false, 0, ""},
        {{"--move"}, false, 0, ""},
        {{"--progid", ""}, false, 0, ""},
        {{"--save"}, false, 0, ""},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const char* a : c.args)
            joined += std::string("[") + a + "]";
        tools::DoctorOptions options;
        options.progId = "untouched";
        options.moveSteps = -7;
        std::string error;
        const bool ok =
            tools::ParseDoctorArguments(static_cast<int>(c.args.size()), c.args.data(), options, error);
        ASSERT_EQ(c.ok, ok) << joined << " gave: " << error;
        if (ok) {
            EXPECT_EQ(c.steps, options.moveSteps) << joined;
            EXPECT_EQ(c.progId, options.progId) << joined;
        } else {
            EXPECT_EQ("doctor takes --move STEPS (1 to 100000) and --progid ID", error) << joined;
            EXPECT_EQ("untouched", options.progId) << joined;
            EXPECT_EQ(-7, options.moveSteps) << joined;
        }
    }
}

} // namespace
