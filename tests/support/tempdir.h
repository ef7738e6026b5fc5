// A fresh directory under the build tree for one test's generated files.
#pragma once

#include <string>

namespace zmrtest {

// Creates (and returns) an empty directory ZMR_TEST_TMPDIR/<name>-<pid>-<n>.
std::string makeTempDir(const std::string& name);
// Writes a file, creating it; returns false on failure.
bool writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
// Runs a shell command; returns its exit status, stdout in *out when given.
int runCommand(const std::string& command, std::string* out = nullptr);

}  // namespace zmrtest
