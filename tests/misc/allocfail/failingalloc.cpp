#include "failingalloc.h"

#include <execinfo.h>
#include <openssl/crypto.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <unordered_set>

namespace allocfail {
namespace {

std::atomic<long> remaining{0};  // 0: not armed
std::atomic<bool> reached{false};
std::atomic<long> counted{0};
std::atomic<long> total{0};

// Census: the allocation numbers at which a new call stack allocates, but
// for stacks through a spared function.
bool recording = false;
std::unordered_set<uint64_t>* stacks = nullptr;
std::vector<long>* firsts = nullptr;
const std::vector<std::string>* spared = nullptr;

bool throughspared(void* const* frames, int depth) {
  if (spared->empty()) return false;
  char** names = backtrace_symbols(frames, depth);
  bool found = false;
  for (int i = 0; names != nullptr && i < depth && !found; ++i) {
    for (const std::string& f : *spared) found = found || std::strstr(names[i], ("(" + f + "+").c_str()) != nullptr;
  }
  std::free(names);
  return found;
}

void record(long n) {
  void* frames[64];
  int depth = backtrace(frames, 64);
  uint64_t key = 1469598103934665603ull;
  for (int i = 0; i < depth; ++i) key = (key ^ reinterpret_cast<uintptr_t>(frames[i])) * 1099511628211ull;
  if (stacks->insert(key).second && !throughspared(frames, depth)) firsts->push_back(n);
}

bool failnow() {
  total.fetch_add(1, std::memory_order_relaxed);
  if (remaining.load(std::memory_order_relaxed) <= 0) return false;
  long n = counted.fetch_add(1, std::memory_order_relaxed) + 1;
  if (recording) record(n);
  if (remaining.fetch_sub(1, std::memory_order_relaxed) != 1) return false;
  reached = true;
  if (std::getenv("ALLOCFAIL_TRACE") != nullptr) {  // where a failing run's allocation fails
    void* frames[64];
    backtrace_symbols_fd(frames, backtrace(frames, 64), 2);
  }
  return true;
}

void* failingmalloc(size_t n, const char*, int) { return failnow() ? nullptr : std::malloc(n); }
void* failingrealloc(void* p, size_t n, const char*, int) { return failnow() ? nullptr : std::realloc(p, n); }
void plainfree(void* p, const char*, int) { std::free(p); }

void writeall(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string readall(int fd) {
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  return out;
}

struct Child {
  pid_t pid = -1;
  int fd = -1;
};

Child spawn(const std::function<std::string()>& fn) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    writeall(fds[1], fn());
    ::_exit(0);  // no exit handlers: the parent owns them
  }
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    return {};
  }
  return {pid, fds[0]};
}

// What the child wrote, or nullopt with the reason it gave nothing.
std::optional<std::string> collect(const Child& c, std::string& why) {
  if (c.pid < 0) {
    why = "could not start a child process";
    return std::nullopt;
  }
  std::string text = readall(c.fd);
  ::close(c.fd);
  int status = 0;
  ::waitpid(c.pid, &status, 0);
  if (WIFSIGNALED(status)) {
    why = "killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    return std::nullopt;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    why = "exited with status " + std::to_string(WEXITSTATUS(status));
    return std::nullopt;
  }
  return text;
}

}  // namespace

bool install() { return CRYPTO_set_mem_functions(failingmalloc, failingrealloc, plainfree) == 1; }

bool untouched() { return total.load() == 0; }

void arm(long n) {
  reached = false;
  counted = 0;
  remaining = n;
}

bool disarm() {
  remaining = 0;
  return reached.load();
}

Sweep sweep(const std::function<Outcome(long n)>& run, const std::vector<std::string>& spare) {
  Sweep result;
  if (const char* only = std::getenv("ALLOCFAIL_ONLY")) {  // one run, in this process
    long n = std::atol(only);
    Outcome o = run(n);
    result.runs = 1;
    if (!o.fault.empty()) result.faults.push_back("n=" + std::to_string(n) + ": " + o.fault);
    return result;
  }
  std::string why;
  std::optional<std::string> census = collect(spawn([&run, &spare] {
                                                stacks = new std::unordered_set<uint64_t>();
                                                spared = &spare;
                                                firsts = new std::vector<long>();
                                                recording = true;
                                                run(LONG_MAX);
                                                recording = false;
                                                std::string out = std::to_string(counted.load());
                                                for (long n : *firsts) out += " " + std::to_string(n);
                                                return out;
                                              }),
                                              why);
  if (!census) {
    result.faults.push_back("census: " + why);
    return result;
  }
  std::istringstream in(*census);
  std::vector<long> targets;
  in >> result.allocations;
  for (long n; in >> n;) targets.push_back(n);
  result.runs = static_cast<long>(targets.size());

  constexpr size_t kAtOnce = 4;
  for (size_t first = 0; first < targets.size(); first += kAtOnce) {
    std::vector<Child> children;
    for (size_t i = first; i < targets.size() && i < first + kAtOnce; ++i) {
      long n = targets[i];
      children.push_back(spawn([&run, n] {
        Outcome o = run(n);
        return std::string(o.reached ? "R" : "U") + o.fault;
      }));
    }
    for (size_t i = 0; i < children.size(); ++i) {
      std::string prefix = "n=" + std::to_string(targets[first + i]) + ": ";
      std::optional<std::string> text = collect(children[i], why);
      if (!text || text->empty()) {
        result.faults.push_back(prefix + (text ? "no report" : why));
      } else if ((*text)[0] != 'R') {
        result.faults.push_back(prefix + "the allocation the census found was not reached " + text->substr(1));
      } else if (text->size() > 1) {
        result.faults.push_back(prefix + text->substr(1));
      }
    }
  }
  return result;
}

std::string describe(const Sweep& s) {
  std::string out = std::to_string(s.faults.size()) + " faults in " + std::to_string(s.runs) + " runs over " +
                    std::to_string(s.allocations) + " allocations\n";
  for (size_t i = 0; i < s.faults.size() && i < 20; ++i) out += s.faults[i] + "\n";
  return out;
}

}  // namespace allocfail
