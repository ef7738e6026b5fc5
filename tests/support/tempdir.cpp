#include "tempdir.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace zmrtest {

std::string makeTempDir(const std::string& name) {
  static std::atomic<int> counter{0};
  std::string dir = std::string(ZMR_TEST_TMPDIR) + "/" + name + "-" + std::to_string(getpid()) + "-" +
                    std::to_string(counter++);
  std::string cmd = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
  if (std::system(cmd.c_str()) != 0) return "";
  return dir;
}

bool writeFile(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
  return static_cast<bool>(f);
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

int runCommand(const std::string& command, std::string* out) {
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int status = pclose(p);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zmrtest
