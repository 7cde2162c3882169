#include "E2ESupport.h"

#include "support/TestFiles.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace pakforge::e2e {

using test::runCommand;
using test::shellQuote;
using test::wineEnvironment;
using test::winePrefix;

namespace {

std::string randomHex(std::size_t digits) {
    static std::random_device device;
    static std::mt19937_64 engine(device());
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < digits; ++i) text += hex[engine() % 16];
    return text;
}

std::string guid() {
    return randomHex(8) + "-" + randomHex(4) + "-4" + randomHex(3) + "-a" + randomHex(3) + "-" +
           randomHex(12);
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

std::string xmlText(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '&')
            escaped += "&amp;";
        else if (c == '<')
            escaped += "&lt;";
        else if (c == '>')
            escaped += "&gt;";
        else
            escaped += c;
    }
    return escaped;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::uint32_t le32(const std::vector<std::uint8_t>& bytes, std::uint64_t at) {
    if (at + 4 > bytes.size()) throw std::runtime_error("archive field outside the file");
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (std::uint32_t{bytes[at + 3]} << 24);
}

std::uint16_t le16(const std::vector<std::uint8_t>& bytes, std::uint64_t at) {
    if (at + 2 > bytes.size()) throw std::runtime_error("archive field outside the file");
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

// The text argument of each traced MessageBoxW call, its escapes undone.
void messageBoxesIn(const std::string& trace, std::vector<std::string>& boxes) {
    static const std::string call = "Call user32.MessageBoxW(";
    for (auto at = trace.find(call); at != std::string::npos; at = trace.find(call, at + 1)) {
        auto quote = trace.find("L\"", at);
        if (quote == std::string::npos) break;
        std::string text;
        for (auto i = quote + 2; i < trace.size() && trace[i] != '"' && trace[i] != '\n'; ++i) {
            if (trace[i] == '\\' && i + 1 < trace.size()) {
                const char escaped = trace[++i];
                text += escaped == 'n' ? '\n' : escaped;
            } else {
                text += trace[i];
            }
        }
        boxes.push_back(text);
    }
}

} // namespace

std::string winePath(const fs::path& path) {
    std::string text = "Z:" + fs::absolute(path).lexically_normal().string();
    for (auto& c : text)
        if (c == '/') c = '\\';
    return text;
}

std::string uniqueName(const std::string& stem) {
    return stem + randomHex(10);
}

fs::path makePackage(const fs::path& dir, const std::string& msiName, const PackageSpec& spec) {
    const fs::path work = dir / ("wixl-" + randomHex(6));
    fs::create_directories(work);
    std::string sourceName = spec.fileName;
    if (spec.payload.empty()) {
        test::writeText(work / sourceName, spec.content);
    } else {
        fs::create_symlink(fs::absolute(spec.payload), work / sourceName);
    }
    std::string wxs = readText(test::sourceDir() / "tests/e2e/data/package.wxs.in");
    replaceAll(wxs, "@NAME@", "Pakforge E2E " + spec.folder);
    replaceAll(wxs, "@UPGRADE_CODE@", guid());
    replaceAll(wxs, "@COMPONENT_GUID@", guid());
    replaceAll(wxs, "@FOLDER@", spec.folder);
    replaceAll(wxs, "@FILE_NAME@", spec.fileName);
    replaceAll(wxs, "@FILE_SOURCE@", sourceName);
    replaceAll(wxs, "@CONDITION@",
               (spec.condition.empty() ? std::string()
                                       : "<Condition Message=\"Launch condition not met.\">" +
                                             xmlText(spec.condition) + "</Condition>") +
                   spec.properties);
    test::writeText(work / "package.wxs", wxs);
    const fs::path msi = dir / msiName;
    std::string log;
    const int rc = runCommand("cd " + shellQuote(work.string()) + " && wixl -o " + shellQuote(msi.string()) +
                                  " package.wxs 2>&1",
                              &log);
    if (rc != 0 || !fs::exists(msi)) throw std::runtime_error("wixl failed: " + log);
    return msi;
}

fs::path stubExe() {
    return PAKFORGE_STUB_EXE;
}

void appendArchive(const fs::path& stub, const fs::path& package, const fs::path& out,
                   const std::string& entryName) {
    std::string command =
        "/usr/bin/python3 " + shellQuote((test::sourceDir() / "tests/e2e/append_zip.py").string()) + " " +
        shellQuote(stub.string()) + " " + shellQuote(package.string()) + " " + shellQuote(out.string());
    if (!entryName.empty()) command += " " + shellQuote(entryName);
    std::string log;
    if (runCommand(command + " 2>&1", &log) != 0) throw std::runtime_error("append_zip.py failed: " + log);
}

void makeInstaller(const fs::path& package, const fs::path& out) {
#ifdef PAKFORGE_E2E_CLI
    // The real pipeline: container, resources, manifest, archive.
    std::string log;
    const int rc = runCommand(shellQuote(PAKFORGE_E2E_CLI) + " " + shellQuote(package.string()) + " " +
                                  shellQuote((out.parent_path() / "no-icon.ico").string()) + " " +
                                  shellQuote(out.string()) + " 2>&1",
                              &log);
    if (rc != 0 || !fs::exists(out)) throw std::runtime_error("pakforge-cli failed: " + log);
#else
    appendArchive(stubExe(), package, out);
#endif
}

fs::path helper(const std::string& name) {
    return fs::path(PAKFORGE_E2E_HELPERS) / name;
}

int runInstaller(const fs::path& exe, const std::string& arguments, const fs::path& tempDir,
                 const fs::path& workDir, const RunOptions& options) {
    fs::create_directories(tempDir);
    // cmd's start /wait hands the whole exit code to %errorlevel%; wine
    // itself would keep only its low 8 bits.
    const fs::path script = workDir / ("run-" + randomHex(8) + ".bat");
    std::string bat = "@echo off\r\n";
    bat += "set TEMP=" + winePath(tempDir) + "\r\n";
    bat += "set TMP=" + winePath(tempDir) + "\r\n";
    bat += "cd /d " + winePath(workDir) + "\r\n";
    const std::string limited = options.elevated ? "" : "\"" + winePath(helper("run_limited.exe")) + "\" ";
    // The trace for the programs the run starts only: cmd's own would
    // interleave with the exit code's line.
    if (options.messageBoxes) bat += "set WINEDEBUG=+relay\r\n";
    bat += "start \"\" /wait " + limited + "\"" + winePath(exe) + "\" " + arguments + "\r\n";
    bat += "echo EXITCODE=%errorlevel%\r\n";
    test::writeText(script, bat);
    // A server that outlives each run keeps Wine's own services up between
    // runs. Those services inherit the output handles, so the output goes to
    // a file: a pipe would stay open, and the caller wait, until they end.
    const fs::path log = workDir / ("run-" + randomHex(8) + ".log");
    std::string environment = wineEnvironment();
    if (!options.dllOverrides.empty())
        environment += "WINEDLLOVERRIDES='mscoree,mshtml=;" + options.dllOverrides + "' ";
    runCommand("cd " + shellQuote(workDir.string()) + " && " + wineEnvironment() +
               "wineserver -p15 </dev/null >/dev/null 2>&1; " + environment + "wine cmd /c " +
               shellQuote(winePath(script)) + " </dev/null >" + shellQuote(log.string()) + " 2>&1");
    const std::string output = readText(log);
    fs::remove(log);
    fs::remove(script);
    if (options.messageBoxes) messageBoxesIn(output, *options.messageBoxes);
    const auto at = output.rfind("EXITCODE=");
    if (at == std::string::npos) {
        ADD_FAILURE() << "no exit code from the run; output:\n" << output;
        return -1000;
    }
    return std::stoi(output.substr(at + 9));
}

fs::path installedFile(const PackageSpec& spec) {
    return winePrefix() / "drive_c/Program Files" / spec.folder / spec.fileName;
}

std::vector<fs::path> foldersIn(const fs::path& dir) {
    std::vector<fs::path> folders;
    if (!fs::exists(dir)) return folders;
    for (const auto& item : fs::directory_iterator(dir))
        if (item.is_directory()) folders.push_back(item.path());
    return folders;
}

ArchiveLayout archiveLayout(const std::vector<std::uint8_t>& file) {
    // Unsigned files only: the end record is the last 22 bytes.
    if (file.size() < 22) throw std::runtime_error("file too short for an archive");
    ArchiveLayout layout;
    layout.endRecord = file.size() - 22;
    if (le32(file, layout.endRecord) != 0x06054B50) throw std::runtime_error("no end record at the end");
    layout.centralDirectory = le32(file, layout.endRecord + 16);
    layout.localHeader = le32(file, layout.centralDirectory + 42);
    layout.data =
        layout.localHeader + 30 + le16(file, layout.localHeader + 26) + le16(file, layout.localHeader + 28);
    return layout;
}

} // namespace pakforge::e2e
