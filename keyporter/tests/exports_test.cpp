#include "test_support.h"

#include <gmock/gmock.h>

#include <sstream>

namespace kptest {
namespace {

TEST(Exports, DynamicSymbolTableHoldsExactlyTheTenExports) {
    const CommandResult result =
        runCommand({"nm", "-D", "--defined-only", (binDir() / "libKeyPorter.so").string()});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    std::vector<std::string> names;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        names.push_back(line.substr(line.rfind(' ') + 1));
    }
    EXPECT_THAT(names, ::testing::UnorderedElementsAre(
                           "GenCertRequests", "GenCertRequestsEKU", "InstallCertificate",
                           "GetTokenCertificates", "GetTokenCertificatesPKI", "GetTokenPublicKeys",
                           "FreeTokenCertificates", "GetSign", "GetSignEx", "FreeBuffMemory"));
}

}  // namespace
}  // namespace kptest
