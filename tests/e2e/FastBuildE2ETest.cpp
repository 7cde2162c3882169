// The Windows stub extracts what pakforge-cli builds with --level, --jobs
// and --fast: the chunked streams are read by the stub's own inflater.
#include "E2ESupport.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <string>

namespace pakforge::e2e {
namespace {

using test::readFile;
using test::runCommand;
using test::shellQuote;
using test::TempDir;

TEST(FastBuildE2E, StubExtractsEveryVariantByteForByte) {
#ifndef PAKFORGE_E2E_CLI
    GTEST_SKIP() << "needs pakforge-cli and pakforge-pack in the build";
#else
    TempDir dir;
    // Random and text, several chunks of each, so stored and deflated
    // chunks alternate in the --fast stream.
    auto payload = test::randomBytes(300000, 21);
    const std::string line = "a line of text that compresses well, again and again\n";
    while (payload.size() < 900000) payload.insert(payload.end(), line.begin(), line.end());
    const auto more = test::randomBytes(200000, 22);
    payload.insert(payload.end(), more.begin(), more.end());
    test::writeFile(dir / "payload.bin", payload);
    PackageSpec spec{uniqueName("PakF")};
    spec.payload = dir / "payload.bin";
    const fs::path package = makePackage(dir.path(), "Fast.msi", spec);
    const auto expected = readFile(package);

    int n = 0;
    for (const std::string options : {"--level 0", "--level 9 --jobs 3", "--fast --jobs 2"}) {
        SCOPED_TRACE(options);
        const fs::path installer = dir / ("setup" + std::to_string(n) + ".exe");
        std::string log;
        ASSERT_EQ(runCommand(shellQuote(PAKFORGE_E2E_CLI) + " " + options + " " +
                                 shellQuote(package.string()) + " '' " + shellQuote(installer.string()) +
                                 " 2>&1",
                             &log),
                  0)
            << log;
        const fs::path target = dir / ("out" + std::to_string(n++));
        EXPECT_EQ(
            runInstaller(installer, "/extract \"" + winePath(target) + "\"", dir / "wintemp", dir.path()), 0);
        EXPECT_EQ(readFile(target / "Fast.msi"), expected);
    }
#endif
}

} // namespace
} // namespace pakforge::e2e
