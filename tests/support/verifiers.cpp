#include "verifiers.h"

#include <openssl/evp.h>
#include <openssl/pkcs7.h>

#include "misc/ossl.h"

#include "pki.h"
#include "tempdir.h"

namespace zmrtest {
namespace {

std::string pemOf(const std::vector<const X509*>& certs) {
  std::string text;
  for (const X509* c : certs) text += toPem(c);
  return text;
}

bool run(const std::string& command, std::string* log) {
  std::string out;
  int status = runCommand(command + " 2>&1", &out);
  if (log != nullptr) *log = command + "\n" + out;
  return status == 0;
}

}  // namespace

std::string fromBase64(const std::string& text) {
  std::string clean;
  for (char c : text)
    if (c != '\n' && c != '\r') clean += c;
  if (clean.empty() || clean.size() % 4 != 0) return "";
  std::string out(clean.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(clean.data()), static_cast<int>(clean.size()));
  if (n < 0) return "";
  size_t pad = 0;
  if (clean.back() == '=') ++pad;
  if (clean.size() >= 2 && clean[clean.size() - 2] == '=') ++pad;
  out.resize(static_cast<size_t>(n) - pad);
  return out;
}

std::string toBase64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

bool cmsVerifies(const std::string& pkcs7Base64, const std::string& content, const std::vector<const X509*>& roots,
                 std::string* log) {
  std::string dir = makeTempDir("cmsverify");
  if (!writeFile(dir + "/sig.der", fromBase64(pkcs7Base64)) || !writeFile(dir + "/content", content) ||
      !writeFile(dir + "/roots.pem", pemOf(roots)))
    return false;
  return run("openssl cms -verify -binary -inform DER -in '" + dir + "/sig.der' -content '" + dir +
                 "/content' -CAfile '" + dir + "/roots.pem' -purpose any -out /dev/null",
             log);
}

bool pkcs7VerifiesWith(const std::string& pkcs7Base64, const std::string& content, X509* signer) {
  std::string der = fromBase64(pkcs7Base64);
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  zmr::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  zmr::X509StackPtr certs(sk_X509_new_null());
  zmr::BioPtr data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  if (!p7 || !certs || !data || X509_up_ref(signer) != 1) return false;
  if (sk_X509_push(certs.get(), signer) <= 0) {
    X509_free(signer);
    return false;
  }
  return PKCS7_verify(p7.get(), certs.get(), nullptr, data.get(), nullptr,
                      PKCS7_NOVERIFY | PKCS7_NOINTERN | PKCS7_BINARY) == 1;
}

bool pkeyutlVerifies(const std::string& signatureBase64, const std::string& data, const X509* cert,
                     const std::string& digest, std::string* log) {
  std::string dir = makeTempDir("pkeyutlverify");
  if (!writeFile(dir + "/sig", fromBase64(signatureBase64)) || !writeFile(dir + "/data", data) ||
      !writeFile(dir + "/cert.pem", toPem(cert)))
    return false;
  return run("openssl pkeyutl -verify -certin -inkey '" + dir + "/cert.pem' -rawin -digest " + digest + " -in '" +
                 dir + "/data' -sigfile '" + dir + "/sig'",
             log);
}

bool xmlsecVerifies(const std::string& document, const std::vector<const X509*>& roots,
                    const std::vector<const X509*>& intermediates, std::string* log) {
  std::string dir = makeTempDir("xmlsecverify");
  if (!writeFile(dir + "/doc.xml", document) || !writeFile(dir + "/roots.pem", pemOf(roots)) ||
      !writeFile(dir + "/untrusted.pem", pemOf(intermediates)))
    return false;
  std::string command = "xmlsec1 --verify --trusted-pem '" + dir + "/roots.pem'";
  if (!intermediates.empty()) command += " --untrusted-pem '" + dir + "/untrusted.pem'";
  return run(command + " '" + dir + "/doc.xml'", log);
}

}  // namespace zmrtest
