// The transaction-data scheme in all four directions against the test-side
// implementation (support/txscheme.h), and the ways a message can be
// tampered with.
#include <gtest/gtest.h>
#include <openssl/hmac.h>
#include <openssl/rsa.h>

#include <cctype>
#include <cstring>

#include "services/transactiondata/transactiondataops.h"
#include "store/sessionstore.h"
#include "support/storesession.h"
#include "store/threadstore.h"
#include "support/pki.h"
#include "support/recenterror.h"
#include "support/txscheme.h"

namespace zmr {
namespace {

namespace tx = zmrtest::tx;

std::string recent() { return zmrtest::peekRecentError(); }

std::string flipbit(const std::string& b64text, size_t byte) {
  std::string raw;
  EXPECT_TRUE(tx::unb64(b64text, raw));
  raw[byte % raw.size()] ^= 0x01;
  return tx::b64(raw);
}

class TransactionData : public ::testing::Test {
 protected:
  void SetUp() override {
    session = zmrtest::openStoreSession();
    merchantkey = zmrtest::testKey(2048, 50);
    serverkey = zmrtest::testKey(2048, 51);
    EVP_PKEY_up_ref(merchantkey.get());
    zmrtest::sessionState(session)->authkey.reset(merchantkey.get());
  }
  void TearDown() override { freeSessions(); }

  int decrypt(const tx::Envelope& e, const std::string& operation, std::optional<std::string> extra,
              std::string& plain, std::string* basekey = nullptr) {
    SecretString key, opened;
    std::optional<std::string_view> x;
    if (extra) x = *extra;
    int rc = decrypttransactiondata(session, e.encKey, e.encData, e.encAuth, operation, x, opened, key);
    plain = opened.view();
    if (basekey != nullptr) *basekey = key.view();
    return rc;
  }

  int session = -1;
  EvpPkeyPtr merchantkey;
  EvpPkeyPtr serverkey;
};

TEST_F(TransactionData, RequestToServerOpensAtTheServer) {
  // Lengths around the block size; the ciphertext is one padded block more.
  for (std::string plain : {std::string(), std::string(15, 'a'), std::string(16, 'b'), std::string("x=1&y=\xe5")}) {
    SCOPED_TRACE(plain.size());
    EncryptedRequest out;
    ASSERT_EQ(0, encrypttransactiondata(session, plain, tx::modulusHex(serverkey.get()), out)) << recent();
    std::string wrapped, cipher, tag, basekey, opened;
    ASSERT_TRUE(tx::unb64(out.enckey, wrapped));
    ASSERT_TRUE(tx::unb64(out.encdata, cipher));
    ASSERT_TRUE(tx::unb64(out.encauth, tag));
    EXPECT_EQ(256u, wrapped.size());
    EXPECT_EQ(16 * (plain.size() / 16 + 1), cipher.size());
    EXPECT_EQ(20u, tag.size());
    std::string why;
    ASSERT_TRUE(tx::openMerchantRequest(serverkey.get(), {out.enckey, out.encdata, out.encauth}, basekey, opened, &why))
        << why;
    EXPECT_EQ(plain, opened);
    EXPECT_EQ(tx::b64(basekey), out.basekey.view());
  }
  // Fresh base keys every time.
  EncryptedRequest a, b;
  ASSERT_EQ(0, encrypttransactiondata(session, "same", tx::modulusHex(serverkey.get()), a));
  ASSERT_EQ(0, encrypttransactiondata(session, "same", tx::modulusHex(serverkey.get()), b));
  EXPECT_NE(a.basekey.value, b.basekey.value);
  EXPECT_NE(a.encdata, b.encdata);
}

TEST_F(TransactionData, RequestNeedsAnOpenSessionAndClearsTheRecentError) {
  EncryptedRequest out;
  EXPECT_EQ(2009, encrypttransactiondata(session + 1, "x", tx::modulusHex(serverkey.get()), out));
  setlasterror(session, "old line\n");
  ASSERT_EQ(0, encrypttransactiondata(session, "x", tx::modulusHex(serverkey.get()), out));
  EXPECT_EQ("", recent());
}

TEST_F(TransactionData, ModulusTextsThatCannotWrapAKey) {
  EvpPkeyPtr big = zmrtest::testKey(4096, 0);
  std::vector<unsigned char> wrapped;
  std::vector<unsigned char> key(32, 7);
  ASSERT_EQ(0, protectBaseKey(session, key, tx::modulusHex(big.get()), wrapped));
  std::string basekey;
  ASSERT_TRUE(tx::rsaUnwrap(big.get(), std::string(wrapped.begin(), wrapped.end()), basekey));
  EXPECT_EQ(std::string(32, 7), basekey);
  // Leading zeros and lower case do not change the number.
  std::string lower = tx::modulusHex(serverkey.get());
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(0, protectBaseKey(session, key, "00" + lower, wrapped));

  const std::string bad[] = {
      "",
      "0000",
      "C3G1",                            // not hexadecimal
      "-" + tx::modulusHex(serverkey.get()),
      std::string(1025, 'F'),            // more than 4096 bits
      std::string(64, 'F') + "1",        // too small for a padded 32-byte key
  };
  for (const auto& m : bad) {
    SCOPED_TRACE(m.substr(0, 20));
    std::optional<std::string> discard;
    getlasterror(session, discard);
    EXPECT_EQ(44001, protectBaseKey(session, key, m, wrapped));
    EXPECT_TRUE(wrapped.empty());
    EXPECT_EQ("encrypttransactiondata::protectBaseKey: Error encrypting base key.\n", recent());
  }
  EncryptedRequest out;
  EXPECT_EQ(44001, encrypttransactiondata(session, "x", "XYZ", out));
  EXPECT_EQ(
      "encrypttransactiondata::protectBaseKey: Error encrypting base key.\n"
      "encrypttransactiondata::encrypttransactiondata: Error protecting basekey.\n",
      recent());
  EXPECT_TRUE(out.basekey.value.empty());
}

TEST_F(TransactionData, ServerReplyOpensWithTheRequestKey) {
  std::string basekey = tx::randomBytes(32);
  for (std::string plain : {std::string(), std::string("nonce=abc&cdmUri=https%3A%2F%2Fx")}) {
    tx::Envelope reply = tx::serverResponse(basekey, plain);
    SecretString opened("junk");
    ASSERT_EQ(0, decrypttransactionresponse(session, tx::b64(basekey), reply.encData, reply.encAuth, opened))
        << recent();
    EXPECT_EQ(plain, opened.view());
  }
  // The request key set does not open a reply.
  tx::SubKeys wrongset = tx::requestKeys(basekey);
  std::string cipher = tx::aesEncrypt(wrongset.enc, wrongset.iv, "a=b");
  SecretString opened;
  EXPECT_EQ(40051, decrypttransactionresponse(session, tx::b64(basekey), tx::b64(cipher),
                                              tx::b64(tx::hmacSha1(wrongset.mac, cipher)), opened));
}

TEST_F(TransactionData, TamperedServerReplies) {
  std::string basekey = tx::randomBytes(32);
  tx::Envelope good = tx::serverResponse(basekey, "nonce=abc");
  tx::SubKeys k = tx::responseKeys(basekey);
  // Valid tag over a ciphertext whose padding is wrong: the tag passes, the
  // decryption refuses.
  std::string garbage = tx::randomBytes(32);
  garbage[31] = 0;  // a zero pad byte is never valid
  struct {
    const char* name;
    std::string basekey, encdata, encauth;
    int code;
    std::string line;
  } cases[] = {
      {"flipped ciphertext", tx::b64(basekey), flipbit(good.encData, 3), good.encAuth, 40051,
       "Unable to verify authenticity of received message.\n"},
      {"flipped tag", tx::b64(basekey), good.encData, flipbit(good.encAuth, 19), 40051,
       "Unable to verify authenticity of received message.\n"},
      {"19-byte tag", tx::b64(basekey), good.encData, tx::b64(tx::hmacSha1(k.mac, "").substr(0, 19)), 40050,
       "Unable to verify authenticity of received message.\n"},
      {"other base key", tx::b64(tx::randomBytes(32)), good.encData, good.encAuth, 40051,
       "Unable to verify authenticity of received message.\n"},
      {"bad padding", tx::b64(basekey), tx::b64(garbage), tx::b64(tx::hmacSha1(k.mac, garbage)), 23003,
       "Error decrypting the received data.\n"},
      {"empty encData", tx::b64(basekey), "", good.encAuth, 21002, "Error base64 decoding encdata.\n"},
      {"empty encAuth", tx::b64(basekey), good.encData, "", 21002, "Error base64 decoding encauth.\n"},
      {"empty base key", "", good.encData, good.encAuth, 21002, "Error base64 decoding basekey.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::string> discard;
    getlasterror(session, discard);
    SecretString plain("left");
    EXPECT_EQ(c.code, decrypttransactionresponse(session, c.basekey, c.encdata, c.encauth, plain));
    EXPECT_EQ("", plain.view());
    EXPECT_NE(std::string::npos,
              recent().find("decrypttransactiondata::decrypttransactionresponse: " + c.line)) << recent();
  }
}

TEST_F(TransactionData, ClientRequestOpensWithTheAuthenticationKey) {
  const struct {
    std::string plain, operation;
    std::optional<std::string> extra;
  } cases[] = {
      {"clientChallenge=abc&carrier=NC_ZMR20", "initAuth", std::nullopt},
      {"", "initSign", std::string("traceId=1")},
      {std::string(1000, 'z'), "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    std::string used;
    tx::Envelope e = tx::clientRequest(merchantkey.get(), c.plain, c.operation, c.extra, "", &used);
    std::string plain, basekey;
    ASSERT_EQ(0, decrypt(e, c.operation, c.extra, plain, &basekey)) << recent();
    EXPECT_EQ(c.plain, plain);
    EXPECT_EQ(tx::b64(used), basekey);
  }
  // The signing key is not the one that unwraps.
  zmrtest::sessionState(session)->signkey = zmrtest::testKey(2048, 52);
  tx::Envelope e = tx::clientRequest(zmrtest::sessionState(session)->signkey.get(), "a", "op", std::nullopt);
  std::string plain;
  EXPECT_EQ(40051, decrypt(e, "op", std::nullopt, plain));
}

TEST_F(TransactionData, TamperedClientRequestsFailAtTheTag) {
  const std::string plain = "clientChallenge=abc";
  std::string basekey = tx::randomBytes(32);
  tx::Envelope good = tx::clientRequest(merchantkey.get(), plain, "initAuth", std::string("x"), basekey);
  tx::SubKeys k = tx::requestKeys(basekey);
  std::string wrapped;
  ASSERT_TRUE(tx::unb64(good.encKey, wrapped));

  // Blocks that are not a PKCS#1 v1.5 wrapping of 32 bytes under the
  // merchant's key, each with a tag made with the real base key: every one
  // must look exactly like a wrong tag.
  auto withkey = [&](const std::string& block) {
    tx::Envelope e = good;
    e.encKey = tx::b64(block);
    e.encAuth = tx::b64(tx::hmacSha1(k.mac, "initAuth" + e.encData + e.encKey + "x"));
    return e;
  };
  auto rawblock = [&](std::string em) {  // em encrypted without padding
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(merchantkey.get(), nullptr));
    size_t len = 256;
    std::string out(256, '\0');
    EXPECT_EQ(1, EVP_PKEY_encrypt_init(ctx.get()));
    EXPECT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING));
    EXPECT_EQ(1, EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &len,
                                  reinterpret_cast<const unsigned char*>(em.data()), em.size()));
    return out;
  };
  auto padded = [&](const std::string& payload, char type = 2, char separator = 0) {
    std::string em(256 - payload.size(), '\x5a');
    em[0] = 0;
    em[1] = type;
    em.back() = separator;
    return em + payload;
  };
  // A wrapping whose first byte is zero: cut to 255 bytes it is still the
  // same number, and must still not count as a wrapping of the key.
  std::string leadingzero;
  for (int i = 0; i < 100000 && (leadingzero.empty() || leadingzero[0] != 0); ++i) leadingzero = tx::rsaWrap(merchantkey.get(), basekey);
  ASSERT_EQ(0, leadingzero[0]);
  std::string zeroinpadding = padded(basekey);
  zeroinpadding[5] = 0;
  // Blocks of the modulus's length at and around it: those not below it
  // never reach the private key, which could not decrypt them.
  auto nearmodulus = [&](int delta) {
    BIGNUM* n = nullptr;
    EXPECT_EQ(1, EVP_PKEY_get_bn_param(merchantkey.get(), "n", &n));
    BignumPtr owned(n);
    const BN_ULONG by = static_cast<BN_ULONG>(delta < 0 ? -delta : delta);
    EXPECT_EQ(1, delta < 0 ? BN_sub_word(n, by) : BN_add_word(n, by));
    std::string block(256, '\0');
    EXPECT_EQ(256, BN_bn2binpad(n, reinterpret_cast<unsigned char*>(block.data()), 256));
    return block;
  };
  tx::Envelope otherorder = good;
  otherorder.encAuth = tx::b64(tx::hmacSha1(k.mac, "initAuth" + good.encKey + good.encData + "x"));

  struct {
    const char* name;
    tx::Envelope e;
    std::string operation;
    std::optional<std::string> extra;
    int code;
  } cases[] = {
      {"untouched", good, "initAuth", std::string("x"), 0},
      {"flipped ciphertext", {good.encKey, flipbit(good.encData, 0), good.encAuth}, "initAuth", std::string("x"), 40051},
      {"flipped tag", {good.encKey, good.encData, flipbit(good.encAuth, 7)}, "initAuth", std::string("x"), 40051},
      {"19-byte tag", {good.encKey, good.encData, tx::b64(std::string(19, 'a'))}, "initAuth", std::string("x"), 40050},
      {"21-byte tag", {good.encKey, good.encData, tx::b64(std::string(21, 'a'))}, "initAuth", std::string("x"), 40050},
      {"other operation", good, "initSign", std::string("x"), 40051},
      {"extra dropped", good, "initAuth", std::nullopt, 40051},
      {"extra changed", good, "initAuth", std::string("y"), 40051},
      {"fields in another order", otherorder, "initAuth", std::string("x"), 40051},
      {"flipped wrapped key", withkey(flipbit(good.encKey, 100)), "initAuth", std::string("x"), 40051},
      {"wrapped key cut", withkey(wrapped.substr(1)), "initAuth", std::string("x"), 40051},
      {"wrapped key with its leading zero dropped", withkey(leadingzero.substr(1)), "initAuth", std::string("x"), 40051},
      {"wrapped key too long", withkey(wrapped + "A"), "initAuth", std::string("x"), 40051},
      {"wrapped under another key", withkey(tx::rsaWrap(serverkey.get(), basekey)), "initAuth", std::string("x"), 40051},
      {"16-byte payload", withkey(tx::rsaWrap(merchantkey.get(), basekey.substr(0, 16))), "initAuth", std::string("x"), 40051},
      {"33-byte payload", withkey(tx::rsaWrap(merchantkey.get(), basekey + "!")), "initAuth", std::string("x"), 40051},
      {"block type 1", withkey(rawblock(padded(basekey, 1))), "initAuth", std::string("x"), 40051},
      {"no separator", withkey(rawblock(padded(basekey, 2, 1))), "initAuth", std::string("x"), 40051},
      {"zero in the padding", withkey(rawblock(zeroinpadding)), "initAuth", std::string("x"), 40051},
      {"hand-made good block", withkey(rawblock(padded(basekey))), "initAuth", std::string("x"), 0},
      {"the modulus itself", withkey(nearmodulus(0)), "initAuth", std::string("x"), 40051},
      {"one above the modulus", withkey(nearmodulus(1)), "initAuth", std::string("x"), 40051},
      {"one below the modulus", withkey(nearmodulus(-1)), "initAuth", std::string("x"), 40051},
      {"all ones", withkey(std::string(256, '\xff')), "initAuth", std::string("x"), 40051},
      {"empty encKey", {"", good.encData, good.encAuth}, "initAuth", std::string("x"), 21002},
      {"empty encData", {good.encKey, "", good.encAuth}, "initAuth", std::string("x"), 21002},
      {"empty encAuth", {good.encKey, good.encData, ""}, "initAuth", std::string("x"), 21002},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "left", key;
    int rc = decrypt(c.e, c.operation, c.extra, out, &key);
    EXPECT_EQ(c.code, rc);
    if (rc == 0) {
      EXPECT_EQ(plain, out);
      EXPECT_EQ(tx::b64(basekey), key);
    } else {
      // Nothing decrypted, no key handed out.
      EXPECT_EQ("", out);
      EXPECT_EQ("", key);
    }
    if (rc == 40050 || rc == 40051) {
      // One line, the same for a bad tag and for a bad wrapped key.
      EXPECT_EQ("decrypttransactiondata_decrypttransactiondata: Failed to authenticate message.\n", recent());
    }
  }
}

TEST_F(TransactionData, ClientRequestNeedsTheKey) {
  tx::Envelope e = tx::clientRequest(merchantkey.get(), "a", "op", std::nullopt);
  std::string plain;
  SecretString opened, key;
  EXPECT_EQ(2009, decrypttransactiondata(session + 1, e.encKey, e.encData, e.encAuth, "op", std::nullopt, opened, key));
  zmrtest::sessionState(session)->authkey.reset();
  EXPECT_EQ(2040, decrypt(e, "op", std::nullopt, plain));
  EXPECT_EQ("decrypttransactiondata::decrypttransactiondata: An error occured retrieving the auth key for merchant. \n",
            recent());
  // A key that is not RSA cannot unwrap at all.
  zmrtest::sessionState(session)->authkey = zmrtest::testKeyOfType("ec");
  EXPECT_EQ(22005, decrypt(e, "op", std::nullopt, plain));
  EXPECT_EQ(
      "decrypttransactiondata::decrypttransactiondata: An error occured trying to decrypt the encryption key with "
      "merchant private auth key\n",
      recent());
}

TEST_F(TransactionData, AnswersToTheClient) {
  std::string basekey = tx::randomBytes(32);
  for (std::string plain : {std::string(), std::string("status=OK"), std::string(300, '\xff')}) {
    std::string answer;
    ASSERT_EQ(0, encrypt_response(session, plain, tx::b64(basekey), answer)) << recent();
    ASSERT_EQ(0u, answer.find("encData="));
    size_t amp = answer.find("&encAuth=");
    ASSERT_NE(std::string::npos, amp);
    EXPECT_EQ(amp, answer.rfind("&encAuth="));
    for (const std::string& value : {answer.substr(8, amp - 8), answer.substr(amp + 9)}) {
      EXPECT_EQ(std::string::npos, value.find_first_of("+/=&")) << value;
    }
    std::string opened;
    ASSERT_TRUE(tx::openAnswer(basekey, answer, opened));
    EXPECT_EQ(plain, opened);
  }
  std::string answer;
  EXPECT_EQ(21002, encrypt_response(session, "x", "not base64!", answer));
  EXPECT_EQ("", answer);
  EXPECT_NE(std::string::npos,
            recent().find("inittransaction::encrypt_response: An error occured during base64 decoding of the basekey\n."));
}

TEST_F(TransactionData, ValuesAreFormEncodedAndEncrypted) {
  std::string basekey = tx::randomBytes(32);
  values v;
  v.pairs = {{"status", "OK"}, {"nextURL", "a b&c"}};
  std::string answer, opened;
  ASSERT_EQ(0, values_encrypt(v, session, tx::b64(basekey), answer)) << recent();
  ASSERT_TRUE(tx::openAnswer(basekey, answer, opened));
  EXPECT_EQ("status=OK&nextURL=a+b%26c", opened);

  v.pairs = {{"only", ""}};
  ASSERT_EQ(0, values_encrypt(v, session, tx::b64(basekey), answer));
  ASSERT_TRUE(tx::openAnswer(basekey, answer, opened));
  EXPECT_EQ("only=", opened);

  v.pairs.clear();
  answer = "left";
  EXPECT_EQ(33001, values_encrypt(v, session, tx::b64(basekey), answer));
  EXPECT_EQ("", answer);
  EXPECT_NE(std::string::npos, recent().find("inittransaction::values_encrypt: No values to encrypt.\n"));
}

TEST(KeyDeriver, EachLabelAsItsOwnHmacWhateverCameBefore) {
  const std::string basekey = "0123456789abcdef0123456789ABCDEF";
  KeyDeriver derive(bytesof(basekey));
  for (const char* label : {kRequestLabels.encryption, kRequestLabels.iv, kRequestLabels.encryption, "",
                            kResponseLabels.authentication}) {
    SubKey got;
    ASSERT_EQ(derive.derive(label, got), 0) << label;
    unsigned char want[32];
    unsigned int length = 0;
    ASSERT_NE(HMAC(EVP_sha256(), basekey.data(), static_cast<int>(basekey.size()),
                   reinterpret_cast<const unsigned char*>(label), std::strlen(label), want, &length),
              nullptr);
    ASSERT_EQ(length, got.bytes.size());
    EXPECT_EQ(std::memcmp(got.bytes.data(), want, length), 0) << label;
  }
}

TEST_F(TransactionData, PrimitivesRefuseKeysOfTheWrongSize) {
  std::vector<unsigned char> key(31), iv(16), out;
  SecretString plain;
  EXPECT_EQ(24001, symmetricEncrypt2(session, key, iv, bytesof("x"), out));
  EXPECT_EQ(23001, symmetricDecrypt2(session, key, iv, bytesof(std::string(16, 'x')), plain));
  key.resize(32);
  iv.resize(15);
  EXPECT_EQ(24001, symmetricEncrypt2(session, key, iv, bytesof("x"), out));
  iv.resize(32);  // only the first 16 bytes count
  ASSERT_EQ(0, symmetricEncrypt2(session, key, iv, bytesof("x"), out));
  iv.resize(16);
  ASSERT_EQ(0, symmetricDecrypt2(session, key, iv, out, plain));
  EXPECT_EQ("x", plain.view());
  EXPECT_EQ(23003, symmetricDecrypt2(session, key, iv, {}, plain));
}

}  // namespace
}  // namespace zmr
