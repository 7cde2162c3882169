// A loopback HTTPS server (Python's http.server with ssl) for the update
// check, with a certificate from a throwaway CA made with openssl, and a
// second CA that signed nothing the server shows.
#pragma once

#include "support/TestFiles.h"

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pakforge::test {

class LoopbackServer {
  public:
    // Empty when python3 and openssl are there; else what is missing.
    static std::string missingTools();

    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    std::string authority() const { return "127.0.0.1:" + std::to_string(port_); }
    std::filesystem::path caFile() const { return dir_ / "ca.pem"; }
    std::filesystem::path rogueCaFile() const { return dir_ / "rogue.pem"; }
    // The case the real description file (/pakforge/pakforge.xml) answers.
    void setCase(const std::string& name);
    // The raw log: one JSON line per request (request line, headers).
    std::vector<std::string> requests() const;
    // Case "late" holds its answer until released; answered() once sent.
    void releaseLateAnswer();
    bool answered() const;

  private:
    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// PAKFORGE_UPDATE_HOST and PAKFORGE_UPDATE_CA for one test, restored after;
// loopback requests never go through a proxy.
class UpdateEnvironment {
  public:
    UpdateEnvironment(const std::string& host, const std::filesystem::path& caFile);
    ~UpdateEnvironment();
    UpdateEnvironment(const UpdateEnvironment&) = delete;
    UpdateEnvironment& operator=(const UpdateEnvironment&) = delete;
};

// A port on 127.0.0.1 where nothing listens.
int closedPort();

} // namespace pakforge::test

// Fails under CI (the CI variable set) and skips elsewhere when the server's
// tools are missing.
#define REQUIRE_LOOPBACK_TOOLS()                                                                             \
    do {                                                                                                     \
        const std::string missing = ::pakforge::test::LoopbackServer::missingTools();                        \
        if (!missing.empty()) {                                                                              \
            if (std::getenv("CI")) FAIL() << "missing " << missing;                                          \
            GTEST_SKIP() << "missing " << missing;                                                           \
        }                                                                                                    \
    } while (0)
