#include "softhsm.h"

#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "misc/ossl.h"
#include "tempdir.h"

namespace zmrtest {
namespace {

std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

bool util(SoftHsm& hsm, const std::string& args) {
  std::string command = "SOFTHSM2_CONF=" + quoted(hsm.conf) + " softhsm2-util " + args + " 2>&1";
  return runCommand(command, &hsm.log) == 0;
}

}  // namespace

bool makeSoftHsm(const std::string& name, SoftHsm& out) {
  out.dir = makeTempDir(name);
  if (out.dir.empty()) return false;
  std::string tokens = out.dir + "/tokens";
  if (runCommand("mkdir -p " + quoted(tokens)) != 0) return false;
  out.conf = out.dir + "/softhsm2.conf";
  if (!writeFile(out.conf, "directories.tokendir = " + tokens +
                               "\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n"))
    return false;
  return setenv("SOFTHSM2_CONF", out.conf.c_str(), 1) == 0;
}

bool initToken(SoftHsm& hsm, const std::string& tokenLabel, const std::string& userPin, uint64_t* slot,
               const std::string& soPin) {
  if (!util(hsm, "--init-token --free --label " + quoted(tokenLabel) + " --pin " + quoted(userPin) +
                     " --so-pin " + quoted(soPin)))
    return false;
  if (slot == nullptr) return true;
  // "... is reassigned to slot 1234567"
  size_t at = hsm.log.rfind("slot ");
  if (at == std::string::npos) return false;
  *slot = std::strtoull(hsm.log.c_str() + at + 5, nullptr, 10);
  return true;
}

bool importKey(SoftHsm& hsm, const std::string& tokenLabel, const std::string& userPin, EVP_PKEY* key,
               const std::string& label, const std::string& idHex, bool privateOnly) {
  std::string path = hsm.dir + "/import-" + idHex + ".pem";
  {
    zmr::BioPtr bio(BIO_new_file(path.c_str(), "w"));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) return false;
  }
  bool ok = util(hsm, "--import " + quoted(path) + " --token " + quoted(tokenLabel) + " --label " + quoted(label) +
                          " --id " + quoted(idHex) + " --pin " + quoted(userPin) +
                          (privateOnly ? " --no-public-key" : ""));
  std::remove(path.c_str());
  return ok;
}

std::vector<SlotEntry> listSlots(SoftHsm& hsm) {
  std::vector<SlotEntry> slots;
  if (!util(hsm, "--show-slots")) return slots;
  std::istringstream lines(hsm.log);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("Slot ", 0) == 0) {
      slots.push_back({std::strtoull(line.c_str() + 5, nullptr, 10), ""});
    } else if (!slots.empty()) {
      size_t at = line.find("Label:");
      if (at == std::string::npos) continue;
      std::string label = line.substr(at + 6);
      size_t first = label.find_first_not_of(' ');
      size_t last = label.find_last_not_of(' ');
      slots.back().tokenLabel = first == std::string::npos ? "" : label.substr(first, last - first + 1);
    }
  }
  return slots;
}

}  // namespace zmrtest
