#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace pakforge::test {

namespace {

namespace fs = std::filesystem;

// EC keys: quick to make, and the server's certificate names 127.0.0.1.
const char* kMakeCertificates = R"(set -e
cd "$1"
openssl ecparam -name prime256v1 -genkey -noout -out ca.key
openssl req -x509 -new -key ca.key -subj "/CN=Pakforge loopback test CA" -days 2 -out ca.pem \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
openssl ecparam -name prime256v1 -genkey -noout -out rogue.key
openssl req -x509 -new -key rogue.key -subj "/CN=Pakforge loopback test CA" -days 2 -out rogue.pem \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
openssl ecparam -name prime256v1 -genkey -noout -out server.key
openssl req -new -key server.key -subj "/CN=127.0.0.1" -out server.csr
printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out server.pem -extfile ext
)";

} // namespace

std::string LoopbackServer::missingTools() {
    std::string missing;
    for (const char* tool : {"python3", "openssl"})
        if (!haveTool(tool)) missing += std::string(missing.empty() ? "" : ", ") + tool;
    return missing;
}

LoopbackServer::LoopbackServer() {
    writeText(dir_ / "make.sh", kMakeCertificates);
    std::string output;
    if (runCommand("sh " + shellQuote((dir_ / "make.sh").string()) + " " + shellQuote(dir_.path().string()) +
                       " 2>&1",
                   &output) != 0)
        throw std::runtime_error("openssl could not make the test certificates:\n" + output);
    setCase("newer");
    writeText(dir_ / "requests.log", "");

    // The server's stdout must not hold the pipe runCommand reads.
    const std::string errors = (dir_ / "server.err").string();
    std::string pid;
    runCommand("python3 " + shellQuote((sourceDir() / "tests" / "update" / "loopback_server.py").string()) +
                   " --dir " + shellQuote(dir_.path().string()) + " >/dev/null 2>" + shellQuote(errors) +
                   " & echo $!",
               &pid);
    // Started by the shell: not our child, so it is watched with kill(0).
    pid_ = std::stoi(pid);
    const fs::path portFile = dir_ / "port";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(portFile)) {
        if (::kill(pid_, 0) != 0) {
            pid_ = -1;
            const auto err = readFile(errors);
            throw std::runtime_error("the loopback server ended at start:\n" +
                                     std::string(err.begin(), err.end()));
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the loopback server did not start");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto text = readFile(portFile);
    port_ = std::stoi(std::string(text.begin(), text.end()));
}

LoopbackServer::~LoopbackServer() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
}

void LoopbackServer::setCase(const std::string& name) {
    writeText(dir_ / "case.tmp", name);
    fs::rename(dir_ / "case.tmp", dir_ / "case");
}

std::vector<std::string> LoopbackServer::requests() const {
    std::ifstream in(dir_ / "requests.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

void LoopbackServer::releaseLateAnswer() {
    writeText(dir_ / "release", "");
}

bool LoopbackServer::answered() const {
    return fs::exists(dir_ / "answered");
}

UpdateEnvironment::UpdateEnvironment(const std::string& host, const fs::path& caFile) {
    ::setenv("PAKFORGE_UPDATE_HOST", host.c_str(), 1);
    if (caFile.empty())
        ::unsetenv("PAKFORGE_UPDATE_CA");
    else
        ::setenv("PAKFORGE_UPDATE_CA", caFile.c_str(), 1);
    ::setenv("no_proxy", "*", 1);
    ::setenv("NO_PROXY", "*", 1);
}

UpdateEnvironment::~UpdateEnvironment() {
    ::unsetenv("PAKFORGE_UPDATE_HOST");
    ::unsetenv("PAKFORGE_UPDATE_CA");
}

int closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    const int port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

} // namespace pakforge::test
