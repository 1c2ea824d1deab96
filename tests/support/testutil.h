// Helpers shared by the tests: private temporary directories, files, and
// running the korvana-cli binary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

// A fresh directory under the build's temp area, removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
void writeText(const std::string& path, const std::string& text);
std::string fixture(const std::string& name); // path under tests/fixtures

struct CliResult {
    int exitCode;
    std::string out;
    std::string err;
};
// Runs korvana-cli with `args` (no shell), stdin from /dev/null.
CliResult runCli(const std::vector<std::string>& args);

} // namespace testutil
