// The command line: options, values, refusals, and the texts printed while reading it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/settings.h"
#include "core/startup.h"
#include "platform/memory.h"

namespace {

struct CommandLine : ::testing::Test {
    void SetUp() override {
        fakeplatform::reset();
        resetProxyState();
    }
    CommandLineResult read(std::vector<std::string> args) {
        store = std::move(args);
        store.insert(store.begin(), "skoposproxy");
        std::vector<const char*> argv;
        for (const std::string& a : store) argv.push_back(a.c_str());
        CommandLineResult result = readCommandLine(int(argv.size()), argv.data());
        output = fakeplatform::takeConsole();
        return result;
    }
    std::vector<std::string> store;
    std::string output;
};

TEST_F(CommandLine, NoArgumentsPrintsTheHintAndRunsWithDefaults) {
    EXPECT_EQ(read({}), CommandLineResult::Run);
    EXPECT_EQ(output.rfind("\nSkopos-Proxy v1.04 - Visit Skopos homepage at ", 0), 0u);
    EXPECT_NE(output.find("\n\nStart with -h for help.\n\n"), std::string::npos);
    EXPECT_EQ(settings.port, 26000);
    EXPECT_EQ(settings.slotLimit, 1);
    EXPECT_STREQ(settings.localif, "0.0.0.0");
}

TEST_F(CommandLine, UsageOnlyAsTheSoleArgument) {
    EXPECT_EQ(read({"-?"}), CommandLineResult::Exit);
    EXPECT_NE(output.find("USAGE: skoposproxy [-p port] [-n name]"), std::string::npos);
    EXPECT_NE(output.find("Most options can be changed online from the quake client.\n"), std::string::npos);
    EXPECT_EQ(read({"-help"}), CommandLineResult::Exit);
    EXPECT_EQ(read({"-p", "27000", "-h"}), CommandLineResult::Run);
    EXPECT_EQ(settings.port, 27000);
    EXPECT_EQ(output.find("USAGE"), std::string::npos);
}

TEST_F(CommandLine, ValuesAreTakenWhateverTheyLookLike) {
    EXPECT_EQ(read({"-d", "-x", "-p", "27000", "-p", "27001", "-x", "5", "-c", "2000", "-cc", "3000"}),
              CommandLineResult::Run);
    EXPECT_STREQ(settings.demoname, "-x");
    EXPECT_EQ(settings.demoNumber, 1);
    EXPECT_EQ(settings.port, 27001);
    EXPECT_EQ(settings.c2sbps, 2000);
}

TEST_F(CommandLine, NumbersReadAsTyped) {
    read({"-p", "abc"});
    EXPECT_EQ(settings.port, 0);
    read({"-p", "27500x", "-o", "45", "-s", " -7"});
    EXPECT_EQ(settings.port, 27500);
    EXPECT_EQ(settings.observers, 30);
    EXPECT_EQ(settings.slotLimit, 31);
    EXPECT_EQ(settings.s2cbps, -7);
    EXPECT_EQ(readNumber("99999999999999"), 2147483647);
    EXPECT_EQ(readNumber("+12ab"), 12);
}

TEST_F(CommandLine, NamePrefix) {
    read({"-n", "bob"});
    EXPECT_STREQ(settings.namePrefix, "bob:");
    EXPECT_EQ(settings.namePrefixLength, 4);
}

TEST_F(CommandLine, UnusableValuesAreRefusedWithOneErrorLine) {
    const std::vector<std::vector<std::string>> refused = {
        {"-p", "70000"}, {"-p", "-1"}, {"-o", "-1"}, {"-c"}, {"-p", "27000", "-n"},
        {"-n", std::string(79, 'n')}, {"-d", std::string(74, 'd')}};
    for (const auto& args : refused) {
        EXPECT_EQ(read(args), CommandLineResult::Exit) << args[0];
        size_t at = output.find("ERROR: ");
        ASSERT_NE(at, std::string::npos) << args[0];
        EXPECT_NE(output.find(args.size() > 2 ? "-n" : args[0], at), std::string::npos) << output;
    }
    EXPECT_EQ(read({"-n", std::string(78, 'n'), "-d", std::string(73, 'd')}), CommandLineResult::Run);
}

}  // namespace
