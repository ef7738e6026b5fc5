// A third, independent oracle: OpenSSL's command line opens a request the
// library made for a central server, and makes the reply the library opens.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include "services/transactiondata/transactiondataops.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "store/threadstore.h"
#include "support/pki.h"
#include "support/tempdir.h"
#include "support/txscheme.h"

namespace zmr {
namespace {

namespace tx = zmrtest::tx;

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

struct Cli {
  std::string dir = zmrtest::makeTempDir("txcli");
  std::string path(const std::string& name) const { return dir + "/" + name; }
  // Runs an openssl command; its standard output without the line end.
  std::string run(const std::string& args) const {
    std::string out;
    EXPECT_EQ(0, zmrtest::runCommand("openssl " + args + " 2>" + path("err"), &out))
        << args << "\n" << zmrtest::readFile(path("err"));
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }
  std::string file(const std::string& name, const std::string& content) const {
    zmrtest::writeFile(path(name), content);
    return path(name);
  }
  // HMAC in upper-case hexadecimal.
  std::string mac(const char* digest, const std::string& keyhex, const std::string& data) const {
    return run(std::string("mac -digest ") + digest + " -macopt hexkey:" + keyhex + " -in " + file("macin", data) +
               " HMAC");
  }
};

TEST(TransactionDataCli, OpenSslCommandLineAgrees) {
  int session = zmrtest::openStoreSession();
  EvpPkeyPtr serverkey = zmrtest::testKey(2048, 55);
  Cli cli;
  std::string keypem = cli.path("server.pem");
  {
    BioPtr bio(BIO_new_file(keypem.c_str(), "w"));
    ASSERT_TRUE(bio);
    ASSERT_EQ(1, PEM_write_bio_PrivateKey(bio.get(), serverkey.get(), nullptr, nullptr, 0, nullptr, nullptr));
  }

  const std::string plain = "operation=initSession&nonce=abc%3D";
  EncryptedRequest request;
  ASSERT_EQ(0, encrypttransactiondata(session, plain, tx::modulusHex(serverkey.get()), request));
  std::string wrapped, cipher, tag;
  ASSERT_TRUE(tx::unb64(request.enckey, wrapped));
  ASSERT_TRUE(tx::unb64(request.encdata, cipher));
  ASSERT_TRUE(tx::unb64(request.encauth, tag));

  cli.run("pkeyutl -decrypt -inkey " + keypem + " -pkeyopt rsa_padding_mode:pkcs1 -in " +
          cli.file("wrapped", wrapped) + " -out " + cli.path("basekey"));
  std::string basekey = zmrtest::readFile(cli.path("basekey"));
  ASSERT_EQ(32u, basekey.size());
  EXPECT_EQ(tx::b64(basekey), request.basekey.view());

  std::string enc = cli.mac("SHA256", hex(basekey), "requestEncryptionKey");
  std::string iv = cli.mac("SHA256", hex(basekey), "requestInitVector").substr(0, 32);
  std::string mackey = cli.mac("SHA256", hex(basekey), "requestAuthenticationKey");
  EXPECT_EQ(hex(tag), cli.mac("SHA1", mackey, cipher + wrapped));
  cli.run("enc -d -aes-256-cbc -K " + enc + " -iv " + iv + " -in " + cli.file("cipher", cipher) + " -out " +
          cli.path("plain"));
  EXPECT_EQ(plain, zmrtest::readFile(cli.path("plain")));

  // The reply, made with the response labels.
  const std::string reply = "nonce=abc%3D&tid=42";
  enc = cli.mac("SHA256", hex(basekey), "responseEncryptionKey");
  iv = cli.mac("SHA256", hex(basekey), "responseInitVector").substr(0, 32);
  mackey = cli.mac("SHA256", hex(basekey), "responseAuthenticationKey");
  cli.run("enc -e -aes-256-cbc -K " + enc + " -iv " + iv + " -in " + cli.file("reply", reply) + " -out " +
          cli.path("replycipher"));
  std::string replycipher = zmrtest::readFile(cli.path("replycipher"));
  std::string replytag = cli.mac("SHA1", mackey, replycipher);
  std::string replytagbytes;
  for (size_t i = 0; i + 1 < replytag.size(); i += 2)
    replytagbytes += static_cast<char>(std::stoi(replytag.substr(i, 2), nullptr, 16));
  SecretString opened;
  ASSERT_EQ(0, decrypttransactionresponse(session, request.basekey.value, tx::b64(replycipher),
                                          tx::b64(replytagbytes), opened));
  EXPECT_EQ(reply, opened.view());
  freeSessions();
}

}  // namespace
}  // namespace zmr
