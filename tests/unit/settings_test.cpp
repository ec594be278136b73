// The command line: values taken as typed, and one ERROR line for each unusable value.
#include <string>
#include <vector>

#include "unit/bytes.h"

namespace {

struct CommandLine : unit::ProxyStateTest {
    // Reads `args`; the result, with what was printed in `output`.
    CommandLineResult read(std::vector<std::string> args) {
        args.insert(args.begin(), "skoposproxy");
        std::vector<const char*> argv;
        for (const std::string& a : args) argv.push_back(a.c_str());
        CommandLineResult result = readCommandLine(int(argv.size()), argv.data());
        output = fakeplatform::takeConsole();
        return result;
    }
    std::string output;
};

TEST_F(CommandLine, ValuesAreTakenAsTypedAndUnusableOnesRefusedWithOneErrorLine) {
    EXPECT_EQ(read({}), CommandLineResult::Run);
    EXPECT_TRUE(settings.port == 26000 && settings.slotLimit == 1 && settings.c2sbps == 0 && settings.demoNumber == 0);
    EXPECT_EQ(read({"-h"}), CommandLineResult::Exit);
    EXPECT_EQ(read({"-p", "27000", "-h", "-d", "-x", "-p", "27001", "-x", "5", "-c", "2000", "-cc", "3000", "-o",
                    "45", "-s", " -7", "-n", "bob"}),
              CommandLineResult::Run);
    EXPECT_STREQ(settings.demoname, "-x");
    EXPECT_TRUE(settings.demoNumber == 1 && settings.port == 27001 && settings.c2sbps == 2000);
    EXPECT_TRUE(settings.observers == 30 && settings.slotLimit == 31 && settings.s2cbps == -7);
    EXPECT_STREQ(settings.namePrefix, "bob:");
    EXPECT_EQ(settings.namePrefixLength, 4);
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"-p", "65536"}, "-p 65536 is not a port (0 to 65535).\n"},
        {{"-p", "abc"}, "-p abc is not a port (0 to 65535).\n"},
        {{"-H", "10.0.0.0/33"}, "-H 10.0.0.0/33: host addresses are a.b.c.d[/bits],... (at most 16).\n"},
        {{"-H", "10.0.0.1,,10.0.0.2"}, "-H 10.0.0.1,,10.0.0.2: host addresses are a.b.c.d[/bits],... (at most 16).\n"},
        {{"-a", "-1"}, "-a -1: observers per address are 0 to 30.\n"},
        {{"-P", std::string(64, 'p')}, "-P: the password is longer than 63 characters.\n"},
        {{"-o", "-1"}, "-o -1: the number of observers cannot be negative.\n"},
        {{"-p", "27000", "-n"}, "Option -n needs a value.\n"},
        {{"-n", std::string(79, 'n')}, "-n name is longer than 78 characters.\n"},
        {{"-d", std::string(74, 'd')}, "-d demoname is longer than 73 characters.\n"}};
    for (const auto& [args, line] : refused) {
        EXPECT_EQ(read(args), CommandLineResult::Exit) << line;
        EXPECT_EQ(output.substr(std::min(output.size(), output.find("ERROR: "))), "ERROR: " + line);
    }
}

}  // namespace
