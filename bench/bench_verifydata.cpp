// zmr_verifydata and zmr_assymetricdecrypt beside OpenSSL alone, on 1 and 8
// threads, in the same run.
//
// BM_zmr_verifydata: an end user's detached SHA-256 signature, its chain
// two levels deep (issuing CA and root in the session's trust store), in
// the policy mode with dates. BM_openssl_verify: what OpenSSL alone does
// for the same signature: d2i_PKCS7, X509_verify_cert on the session's own
// store, and PKCS7_signatureVerify over the data.
//
// BM_openssl_rsa_verify: a bare RSA-2048 SHA-256 signature check with the
// end user's public key, the reference for what the cores give when
// nothing is shared.
//
// BM_zmr_assymetricdecrypt: RSA-2048 PKCS#1 v1.5 decryption of base64
// ciphertext with the central verifier key, loaded before the runs.
// BM_openssl_decrypt: an EVP_PKEY_decrypt loop on the same key.
//
// At the end the ratios are printed: the library over OpenSSL on one
// thread, and each one's 8-thread rate over its 1-thread rate. Certificate
// decoding barely scales in OpenSSL 3.0 (its decoders share locks): the
// verification's speed-up is judged against the bare RSA check's (goal
// 0.8), and shown beside the naive OpenSSL sequence's.
//
// --soak[=S] runs no benchmark: both library operations on 8 threads for S
// seconds (30 by default), with the resident set printed at the start,
// after a tenth of the time and at the end.
#include <tuple>
#include <benchmark/benchmark.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <zmr/zmr.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ratioreporter.h"
#include "soak.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "support/fixtures.h"
#include "support/merchant.h"
#include "support/tempdir.h"
#include "support/verifiers.h"

namespace {

int session = -1;
const std::string data(1024, 'd');
std::string pkcs7;  // base64
std::string pkcs7der;
X509_STORE* store = nullptr;  // the session's trust store
zmr::EvpPkeyPtr userkey;      // the end user's public key
std::string usersignature;    // the end user's bare signature over data
EVP_PKEY* verifierkey = nullptr;
std::string keyfile;
std::string cipher;  // base64
std::string cipherbytes;

void BM_zmr_verifydata(benchmark::State& state) {
  for (auto _ : state) {
    if (zmr_verifydata(session, pkcs7.c_str(), reinterpret_cast<const unsigned char*>(data.data()), data.size()) !=
        0) {
      state.SkipWithError("zmr_verifydata failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_zmr_verifydata)->Threads(1)->Threads(8)->UseRealTime();

bool opensslverify() {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(pkcs7der.data());
  zmr::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(pkcs7der.size())));
  if (!p7) return false;
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
  X509* signer = PKCS7_cert_from_signer_info(p7.get(), si);
  zmr::X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (signer == nullptr || !ctx || X509_STORE_CTX_init(ctx.get(), store, signer, p7->d.sign->cert) != 1 ||
      X509_verify_cert(ctx.get()) != 1)
    return false;
  BIO* in = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
  zmr::BioPtr chain(PKCS7_dataInit(p7.get(), in));
  if (!chain) {
    BIO_free(in);
    return false;
  }
  char buffer[4096];
  while (BIO_read(chain.get(), buffer, sizeof buffer) > 0) {
  }
  return PKCS7_signatureVerify(chain.get(), p7.get(), si, signer) == 1;
}

void BM_openssl_verify(benchmark::State& state) {
  for (auto _ : state) {
    if (!opensslverify()) {
      state.SkipWithError("OpenSSL verification failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_openssl_verify)->Threads(1)->Threads(8)->UseRealTime();

void BM_openssl_rsa_verify(benchmark::State& state) {
  const auto* text = reinterpret_cast<const unsigned char*>(data.data());
  const auto* signature = reinterpret_cast<const unsigned char*>(usersignature.data());
  for (auto _ : state) {
    zmr::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, userkey.get()) != 1 ||
        EVP_DigestVerify(ctx.get(), signature, usersignature.size(), text, data.size()) != 1) {
      state.SkipWithError("RSA verification failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_openssl_rsa_verify)->Threads(1)->Threads(8)->UseRealTime();

void BM_zmr_assymetricdecrypt(benchmark::State& state) {
  for (auto _ : state) {
    char* out = nullptr;
    if (zmr_assymetricdecrypt(session, keyfile.c_str(), "pw", cipher.c_str(), &out) != 0) {
      state.SkipWithError("zmr_assymetricdecrypt failed");
      break;
    }
    benchmark::DoNotOptimize(out);
    std::ignore = zmr_free(out);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_zmr_assymetricdecrypt)->Threads(1)->Threads(8)->UseRealTime();

void BM_openssl_decrypt(benchmark::State& state) {
  unsigned char plain[512];
  const auto* in = reinterpret_cast<const unsigned char*>(cipherbytes.data());
  for (auto _ : state) {
    zmr::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(verifierkey, nullptr));
    size_t n = sizeof plain;
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), plain, &n, in, cipherbytes.size()) != 1) {
      state.SkipWithError("EVP_PKEY_decrypt failed");
      break;
    }
    benchmark::DoNotOptimize(plain);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_openssl_decrypt)->Threads(1)->Threads(8)->UseRealTime();

bool prepare() {
  zmrtest::MerchantFiles m = zmrtest::makeMerchantFiles("bench-verifydata", 2);
  if (zmr_opensession(&session, m.keyfile.c_str(), m.password.c_str(), m.properties.c_str(), nullptr, nullptr,
                      nullptr, nullptr, nullptr, nullptr) != 0 ||
      zmr::gettruststore(*zmrtest::sessionState(session), &store) != 0)
    return false;
  pkcs7der = zmrtest::makePkcs7Der(zmrtest::pkcs7For(m.pki.endUser, data));
  pkcs7 = zmrtest::toBase64(pkcs7der);
  {
    zmr::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    unsigned char signature[512];
    size_t n = sizeof signature;
    const auto* text = reinterpret_cast<const unsigned char*>(data.data());
    EVP_PKEY* pub = X509_get0_pubkey(m.pki.endUser.get());
    if (!ctx || pub == nullptr || EVP_PKEY_up_ref(pub) != 1) return false;
    userkey.reset(pub);
    if (EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, m.pki.endUser.key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature, &n, text, data.size()) != 1)
      return false;
    usersignature.assign(reinterpret_cast<const char*>(signature), n);
  }

  static zmr::EvpPkeyPtr key = zmrtest::testKey(2048, 60);
  verifierkey = key.get();
  std::string dir = zmrtest::makeTempDir("bench-verifier");
  {
    zmr::BioPtr bio(BIO_new_file((dir + "/key.pem").c_str(), "w"));
    if (!bio || PEM_write_bio_PKCS8PrivateKey(bio.get(), verifierkey, nullptr, nullptr, 0, nullptr, nullptr) != 1)
      return false;
  }
  zmrtest::writeFile(dir + "/plain", std::string(32, 'k'));
  if (zmrtest::runCommand("openssl pkcs8 -topk8 -in " + dir + "/key.pem -outform DER -out " + dir +
                              "/key.der -passout pass:pw && openssl pkeyutl -encrypt -inkey " + dir +
                              "/key.pem -in " + dir + "/plain -out " + dir + "/cipher",
                          nullptr) != 0)
    return false;
  keyfile = dir + "/key.der";
  cipherbytes = zmrtest::readFile(dir + "/cipher");
  cipher = zmrtest::toBase64(cipherbytes);
  char* out = nullptr;
  if (zmr_assymetricdecrypt(session, keyfile.c_str(), "pw", cipher.c_str(), &out) != 0) return false;
  std::ignore = zmr_free(out);
  return opensslverify();
}

}  // namespace

// zmr_verifydata and zmr_assymetricdecrypt, once each.
bool bothOnce() {
  char* out = nullptr;
  if (zmr_verifydata(session, pkcs7.c_str(), reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 0 ||
      zmr_assymetricdecrypt(session, keyfile.c_str(), "pw", cipher.c_str(), &out) != 0)
    return false;
  std::ignore = zmr_free(out);
  return true;
}

int main(int argc, char** argv) {
  const double soakSeconds = zmrbench::takeSoakSeconds(argc, argv, 30);
  zmrbench::initializeRepeated(argc, argv);
  if (zmr_initialize() != 0 || !prepare()) {
    std::fprintf(stderr, "set-up failed\n");
    return 1;
  }
  if (soakSeconds > 0) {
    const bool ok = zmrbench::soak("soak, zmr_verifydata and zmr_assymetricdecrypt", 8, {0, soakSeconds},
                                   [](int) { return bothOnce(); });
    std::ignore = zmr_closesession(session);
    std::ignore = zmr_finalize();
    return ok ? 0 : 1;
  }
  zmrbench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto rate = [&](const char* name, int threads) { return reporter.rate(name, threads); };
  auto report = [](const char* what, double a, double b, const char* goal) {
    if (a > 0 && b > 0) std::printf(*goal != '\0' ? "%s: %.3f (%s)\n" : "%s: %.3f\n", what, a / b, goal);
  };
  double v1 = rate("BM_zmr_verifydata", 1), v8 = rate("BM_zmr_verifydata", 8);
  double r1 = rate("BM_openssl_verify", 1), r8 = rate("BM_openssl_verify", 8);
  report("zmr_verifydata / OpenSSL, 1 thread", v1, r1, "goal >= 1.5");
  report("zmr_verifydata 8 threads / 1 thread", v8, v1, "");
  report("OpenSSL verification 8 threads / 1 thread", r8, r1, "");
  if (v1 > 0 && r1 > 0 && r8 > 0)
    std::printf("verification speed-up / OpenSSL's: %.3f (goal >= 0.8)\n", (v8 / v1) / (r8 / r1));
  double b1 = rate("BM_openssl_rsa_verify", 1), b8 = rate("BM_openssl_rsa_verify", 8);
  report("bare RSA verify 8 threads / 1 thread", b8, b1, "");
  if (v1 > 0 && v8 > 0 && b1 > 0 && b8 > 0)
    std::printf("verification speed-up / bare RSA verify's: %.3f (goal >= 0.8)\n", (v8 / v1) / (b8 / b1));
  double d1 = rate("BM_zmr_assymetricdecrypt", 1), d8 = rate("BM_zmr_assymetricdecrypt", 8);
  double e1 = rate("BM_openssl_decrypt", 1), e8 = rate("BM_openssl_decrypt", 8);
  report("zmr_assymetricdecrypt / EVP_PKEY_decrypt, 1 thread", d1, e1, "goal >= 0.9");
  report("zmr_assymetricdecrypt 8 threads / 1 thread", d8, d1, "goal >= 5, or 0.85 of the loop's on a shared machine");
  report("EVP_PKEY_decrypt 8 threads / 1 thread", e8, e1, "");
  if (d1 > 0 && e1 > 0 && e8 > 0)
    std::printf("decryption speed-up / the loop's: %.3f\n", (d8 / d1) / (e8 / e1));
  std::ignore = zmr_closesession(session);
  std::ignore = zmr_finalize();
  return 0;
}
